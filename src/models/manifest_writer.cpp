#include <tarnivale/ai/models.h>

#include "runtime/errors.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>

namespace Tarnivale::AI {

namespace {

QJsonObject tensorObject(const AiTensorSpec& spec) {
    QJsonArray shape;
    for (const std::int64_t dimension : spec.shape) {
        shape.append(QJsonValue(static_cast<qint64>(dimension)));
    }
    return QJsonObject{
        {QStringLiteral("name"), spec.name},
        {QStringLiteral("dataType"), aiTensorDataTypeName(spec.dataType).toLower()},
        {QStringLiteral("layout"), aiTensorLayoutName(spec.layout)},
        {QStringLiteral("shape"), shape},
    };
}

QJsonArray tensorArray(const QList<AiTensorSpec>& specs) {
    QJsonArray array;
    for (const AiTensorSpec& spec : specs) {
        array.append(tensorObject(spec));
    }
    return array;
}

QJsonObject adapterObject(const AiInputAdapterSpec& spec) {
    QJsonArray bands;
    for (const std::int32_t band : spec.bands) {
        bands.append(band);
    }
    QJsonObject object{
        {QStringLiteral("tensor"), spec.tensor},
        {QStringLiteral("source"), spec.source},
        {QStringLiteral("bands"), bands},
        {QStringLiteral("resize"), spec.resize},
        {QStringLiteral("padding"), spec.padding},
        {QStringLiteral("options"), QJsonObject::fromVariantMap(spec.options)},
    };
    if (!spec.colorSpace.isEmpty()) {
        object.insert(QStringLiteral("colorSpace"), spec.colorSpace);
    }
    return object;
}

QJsonObject decoderObject(const AiOutputDecoderSpec& spec) {
    return QJsonObject{
        {QStringLiteral("id"), spec.id},
        {QStringLiteral("tensor"), spec.tensor},
        {QStringLiteral("activation"), spec.activation},
        {QStringLiteral("channelAxis"), spec.channelAxis},
        {QStringLiteral("threshold"), spec.threshold},
        {QStringLiteral("options"), QJsonObject::fromVariantMap(spec.options)},
    };
}

QJsonObject materializationObject(const AiMaterializationSpec& spec) {
    return QJsonObject{
        {QStringLiteral("kind"), aiOutputKindName(spec.kind).toLower()},
        {QStringLiteral("decoder"), spec.decoder},
        {QStringLiteral("crsPolicy"), spec.crsPolicy},
        {QStringLiteral("nodataPolicy"), spec.nodataPolicy},
        {QStringLiteral("options"), QJsonObject::fromVariantMap(spec.options)},
    };
}

QJsonArray doubleArray(const QList<double>& values) {
    QJsonArray array;
    for (const double value : values) {
        array.append(value);
    }
    return array;
}

template <typename Spec, typename Convert>
void insertNonEmpty(QJsonObject& root, const QString& key, const QList<Spec>& specs, Convert convert) {
    if (specs.isEmpty()) {
        return;
    }
    QJsonArray array;
    for (const Spec& spec : specs) {
        array.append(convert(spec));
    }
    root.insert(key, array);
}

}  // namespace

QJsonObject AiModelManifestWriter::toJsonObject(const AiModelManifest& manifest) {
    const QList<QString> errors = manifest.validationErrors();
    if (!errors.isEmpty()) {
        throwInvalidArgument(
            QStringLiteral("Cannot serialize invalid AI model manifest: %1").arg(joinMessages(errors)));
    }

    QJsonArray labels;
    for (const QString& label : manifest.labels) {
        labels.append(label);
    }
    QJsonObject root{
        {QStringLiteral("schemaVersion"), manifest.schemaVersion},
        {QStringLiteral("id"), manifest.id},
        {QStringLiteral("version"), manifest.version},
        {QStringLiteral("modelPath"), manifest.modelPath},
        {QStringLiteral("inputs"), tensorArray(manifest.inputs)},
        {QStringLiteral("outputs"), tensorArray(manifest.outputs)},
        {QStringLiteral("normalization"),
         QJsonObject{
             {QStringLiteral("mean"), doubleArray(manifest.normalization.mean)},
             {QStringLiteral("standardDeviation"), doubleArray(manifest.normalization.standardDeviation)},
             {QStringLiteral("scale"), manifest.normalization.scale},
         }},
        {QStringLiteral("tiling"),
         QJsonObject{
             {QStringLiteral("width"), manifest.tiling.width},
             {QStringLiteral("height"), manifest.tiling.height},
             {QStringLiteral("overlapX"), manifest.tiling.overlapX},
             {QStringLiteral("overlapY"), manifest.tiling.overlapY},
         }},
        {QStringLiteral("labels"), labels},
        {QStringLiteral("metadata"), QJsonObject::fromVariantMap(manifest.metadata)},
    };

    if (manifest.task != AiTaskKind::Unspecified) {
        root.insert(QStringLiteral("task"), aiTaskKindName(manifest.task));
    }
    if (!manifest.modelSha256.isEmpty()) {
        root.insert(QStringLiteral("modelSha256"), manifest.modelSha256.toLower());
    }
    if (!manifest.description.isEmpty()) {
        root.insert(QStringLiteral("description"), manifest.description);
    }
    insertNonEmpty(root, QStringLiteral("inputAdapters"), manifest.inputAdapters, adapterObject);
    insertNonEmpty(root, QStringLiteral("outputDecoders"), manifest.outputDecoders, decoderObject);
    insertNonEmpty(root, QStringLiteral("materializations"), manifest.materializations,
                   materializationObject);

    const AiModelProvenance& provenance = manifest.provenance;
    if (!provenance.sourceUrl.isEmpty() || !provenance.license.isEmpty()) {
        root.insert(QStringLiteral("provenance"), QJsonObject{
                                                      {QStringLiteral("sourceUrl"), provenance.sourceUrl},
                                                      {QStringLiteral("repository"), provenance.repository},
                                                      {QStringLiteral("revision"), provenance.revision},
                                                      {QStringLiteral("license"), provenance.license},
                                                      {QStringLiteral("licenseUrl"), provenance.licenseUrl},
                                                      {QStringLiteral("attribution"), provenance.attribution},
                                                  });
    }
    return root;
}

QByteArray AiModelManifestWriter::toJson(const AiModelManifest& manifest, bool indented) {
    return QJsonDocument(toJsonObject(manifest))
        .toJson(indented ? QJsonDocument::Indented : QJsonDocument::Compact);
}

void AiModelManifestWriter::toFile(const AiModelManifest& manifest, const QString& path) {
    // Serialise first: an invalid manifest must never touch an existing file.
    const QByteArray json = toJson(manifest, true);

    const QString directory = QFileInfo(path).absolutePath();
    if (!QDir().mkpath(directory)) {
        throwRuntimeError(QStringLiteral("Could not create AI model manifest directory: %1").arg(directory));
    }
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        throwRuntimeError(QStringLiteral("Could not write AI model manifest: %1").arg(path));
    }
    if (file.write(json) != json.size() || !file.flush()) {
        throwRuntimeError(QStringLiteral("Could not complete AI model manifest write: %1").arg(path));
    }
}

}  // namespace Tarnivale::AI
