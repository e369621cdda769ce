#include <tarnivale/ai/models.h>

#include "runtime/errors.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>

#include <limits>

namespace Tarnivale::AI {

namespace {

// The loader never fails on an absent key or a value of another JSON type: it takes the default.

QString stringOr(const QJsonObject& object, const QString& key, const QString& fallback = {}) {
    const QJsonValue value = object.value(key);
    return value.isString() ? value.toString() : fallback;
}

QJsonObject objectOf(const QJsonValue& value) {
    return value.isObject() ? value.toObject() : QJsonObject();
}

QJsonArray arrayOf(const QJsonObject& object, const QString& key) {
    const QJsonValue value = object.value(key);
    return value.isArray() ? value.toArray() : QJsonArray();
}

std::int64_t int64Or(const QJsonValue& value, std::int64_t fallback) {
    // toInteger() takes whole numbers representable as a 64-bit integer, and only those.
    return value.isDouble() ? value.toInteger(fallback) : fallback;
}

std::int32_t int32Or(const QJsonValue& value, std::int32_t fallback) {
    const std::int64_t wide = int64Or(value, fallback);
    if (wide < std::numeric_limits<std::int32_t>::min() || wide > std::numeric_limits<std::int32_t>::max()) {
        return fallback;
    }
    return static_cast<std::int32_t>(wide);
}

double doubleOr(const QJsonValue& value, double fallback) {
    return value.isDouble() ? value.toDouble() : fallback;
}

AiVariantMap variantMapOf(const QJsonObject& object, const QString& key) {
    return objectOf(object.value(key)).toVariantMap();
}

QList<double> doublesOf(const QJsonObject& object, const QString& key) {
    QList<double> values;
    const QJsonArray array = arrayOf(object, key);
    values.reserve(array.size());
    for (const QJsonValue& element : array) {
        values.append(doubleOr(element, 0.0));
    }
    return values;
}

AiTensorSpec readTensor(const QJsonObject& object) {
    AiTensorSpec spec;
    spec.name = stringOr(object, QStringLiteral("name"));
    spec.dataType =
        parseTensorDataType(stringOr(object, QStringLiteral("dataType"), QStringLiteral("float32")));
    spec.layout = parseTensorLayout(stringOr(object, QStringLiteral("layout")));
    const QJsonArray shape = arrayOf(object, QStringLiteral("shape"));
    spec.shape.reserve(shape.size());
    for (const QJsonValue& dimension : shape) {
        spec.shape.append(int64Or(dimension, 0));
    }
    return spec;
}

QList<AiTensorSpec> readTensors(const QJsonObject& root, const QString& key) {
    QList<AiTensorSpec> tensors;
    for (const QJsonValue& element : arrayOf(root, key)) {
        tensors.append(readTensor(objectOf(element)));
    }
    return tensors;
}

AiInputAdapterSpec readAdapter(const QJsonObject& object) {
    AiInputAdapterSpec spec;
    spec.tensor = stringOr(object, QStringLiteral("tensor"));
    spec.source = stringOr(object, QStringLiteral("source"), spec.source);
    for (const QJsonValue& band : arrayOf(object, QStringLiteral("bands"))) {
        spec.bands.append(int32Or(band, 0));
    }
    spec.colorSpace = stringOr(object, QStringLiteral("colorSpace"));
    spec.resize = stringOr(object, QStringLiteral("resize"), spec.resize);
    spec.padding = stringOr(object, QStringLiteral("padding"), spec.padding);
    spec.options = variantMapOf(object, QStringLiteral("options"));
    return spec;
}

AiOutputDecoderSpec readDecoder(const QJsonObject& object) {
    AiOutputDecoderSpec spec;
    spec.id = stringOr(object, QStringLiteral("id"));
    spec.tensor = stringOr(object, QStringLiteral("tensor"));
    spec.activation = stringOr(object, QStringLiteral("activation"), spec.activation);
    spec.channelAxis = int32Or(object.value(QStringLiteral("channelAxis")), spec.channelAxis);
    spec.threshold = doubleOr(object.value(QStringLiteral("threshold")), spec.threshold);
    spec.options = variantMapOf(object, QStringLiteral("options"));
    return spec;
}

AiMaterializationSpec readMaterialization(const QJsonObject& object) {
    AiMaterializationSpec spec;
    spec.kind = parseMaterializationKind(stringOr(object, QStringLiteral("kind"), QStringLiteral("tensor")));
    spec.decoder = stringOr(object, QStringLiteral("decoder"));
    spec.crsPolicy = stringOr(object, QStringLiteral("crsPolicy"), spec.crsPolicy);
    spec.nodataPolicy = stringOr(object, QStringLiteral("nodataPolicy"), spec.nodataPolicy);
    spec.options = variantMapOf(object, QStringLiteral("options"));
    return spec;
}

}  // namespace

AiModelManifest AiModelManifestLoader::fromFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        throwRuntimeError(QStringLiteral("Could not open AI model manifest: %1").arg(path));
    }
    return fromJson(file.readAll());
}

AiModelManifest AiModelManifestLoader::fromJson(const QByteArray& json) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        throwInvalidArgument(QStringLiteral("Invalid AI model manifest JSON: %1").arg(error.errorString()));
    }
    return fromJsonObject(document.object());
}

AiModelManifest AiModelManifestLoader::fromJsonObject(const QJsonObject& root) {
    AiModelManifest manifest;
    manifest.schemaVersion = stringOr(root, QStringLiteral("schemaVersion"), manifest.schemaVersion);
    manifest.id = stringOr(root, QStringLiteral("id"));
    manifest.version = stringOr(root, QStringLiteral("version"));
    manifest.task = parseTaskKind(stringOr(root, QStringLiteral("task")));
    manifest.modelPath = stringOr(root, QStringLiteral("modelPath"));
    manifest.modelSha256 = stringOr(root, QStringLiteral("modelSha256"));
    manifest.description = stringOr(root, QStringLiteral("description"));
    manifest.inputs = readTensors(root, QStringLiteral("inputs"));
    manifest.outputs = readTensors(root, QStringLiteral("outputs"));
    for (const QJsonValue& element : arrayOf(root, QStringLiteral("inputAdapters"))) {
        manifest.inputAdapters.append(readAdapter(objectOf(element)));
    }
    for (const QJsonValue& element : arrayOf(root, QStringLiteral("outputDecoders"))) {
        manifest.outputDecoders.append(readDecoder(objectOf(element)));
    }
    for (const QJsonValue& element : arrayOf(root, QStringLiteral("materializations"))) {
        manifest.materializations.append(readMaterialization(objectOf(element)));
    }

    const QJsonObject normalization = objectOf(root.value(QStringLiteral("normalization")));
    manifest.normalization.mean = doublesOf(normalization, QStringLiteral("mean"));
    manifest.normalization.standardDeviation = doublesOf(normalization, QStringLiteral("standardDeviation"));
    manifest.normalization.scale = doubleOr(normalization.value(QStringLiteral("scale")), 1.0);

    const QJsonObject tiling = objectOf(root.value(QStringLiteral("tiling")));
    manifest.tiling.width = int32Or(tiling.value(QStringLiteral("width")), manifest.tiling.width);
    manifest.tiling.height = int32Or(tiling.value(QStringLiteral("height")), manifest.tiling.height);
    manifest.tiling.overlapX = int32Or(tiling.value(QStringLiteral("overlapX")), manifest.tiling.overlapX);
    manifest.tiling.overlapY = int32Or(tiling.value(QStringLiteral("overlapY")), manifest.tiling.overlapY);

    for (const QJsonValue& label : arrayOf(root, QStringLiteral("labels"))) {
        manifest.labels.append(label.isString() ? label.toString() : QString());
    }

    const QJsonObject provenance = objectOf(root.value(QStringLiteral("provenance")));
    manifest.provenance.sourceUrl = stringOr(provenance, QStringLiteral("sourceUrl"));
    manifest.provenance.repository = stringOr(provenance, QStringLiteral("repository"));
    manifest.provenance.revision = stringOr(provenance, QStringLiteral("revision"));
    manifest.provenance.license = stringOr(provenance, QStringLiteral("license"));
    manifest.provenance.licenseUrl = stringOr(provenance, QStringLiteral("licenseUrl"));
    manifest.provenance.attribution = stringOr(provenance, QStringLiteral("attribution"));

    manifest.metadata = variantMapOf(root, QStringLiteral("metadata"));
    return manifest;
}

}  // namespace Tarnivale::AI
