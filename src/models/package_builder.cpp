#include <tarnivale/ai/models.h>

#include "runtime/errors.h"

namespace Tarnivale::AI {

AiModelPackageBuilder& AiModelPackageBuilder::id(const QString& value) {
    m_manifest.id = value;
    return *this;
}

AiModelPackageBuilder& AiModelPackageBuilder::version(const QString& value) {
    m_manifest.version = value;
    return *this;
}

AiModelPackageBuilder& AiModelPackageBuilder::schemaVersion(const QString& value) {
    m_manifest.schemaVersion = value;
    return *this;
}

AiModelPackageBuilder& AiModelPackageBuilder::task(AiTaskKind value) {
    m_manifest.task = value;
    return *this;
}

AiModelPackageBuilder& AiModelPackageBuilder::description(const QString& value) {
    m_manifest.description = value;
    return *this;
}

AiModelPackageBuilder& AiModelPackageBuilder::modelPath(const QString& value) {
    m_manifest.modelPath = value;
    return *this;
}

AiModelPackageBuilder& AiModelPackageBuilder::modelSha256(const QString& value) {
    m_manifest.modelSha256 = value;
    return *this;
}

AiModelPackageBuilder& AiModelPackageBuilder::addInput(const AiTensorSpec& spec) {
    m_manifest.inputs.append(spec);
    return *this;
}

AiModelPackageBuilder& AiModelPackageBuilder::addOutput(const AiTensorSpec& spec) {
    m_manifest.outputs.append(spec);
    return *this;
}

AiModelPackageBuilder& AiModelPackageBuilder::addInputAdapter(const AiInputAdapterSpec& spec) {
    m_manifest.inputAdapters.append(spec);
    return *this;
}

AiModelPackageBuilder& AiModelPackageBuilder::addOutputDecoder(const AiOutputDecoderSpec& spec) {
    m_manifest.outputDecoders.append(spec);
    return *this;
}

AiModelPackageBuilder& AiModelPackageBuilder::addMaterialization(const AiMaterializationSpec& spec) {
    m_manifest.materializations.append(spec);
    return *this;
}

AiModelPackageBuilder& AiModelPackageBuilder::normalization(const AiNormalization& value) {
    m_manifest.normalization = value;
    return *this;
}

AiModelPackageBuilder& AiModelPackageBuilder::tiling(const AiTileOptions& value) {
    m_manifest.tiling = value;
    return *this;
}

AiModelPackageBuilder& AiModelPackageBuilder::labels(const QList<QString>& value) {
    m_manifest.labels = value;
    return *this;
}

AiModelPackageBuilder& AiModelPackageBuilder::provenance(const AiModelProvenance& value) {
    m_manifest.provenance = value;
    return *this;
}

AiModelPackageBuilder& AiModelPackageBuilder::metadata(const AiVariantMap& value) {
    m_manifest.metadata = value;
    return *this;
}

AiModelPackageBuilder& AiModelPackageBuilder::metadataValue(const QString& key, const QVariant& value) {
    m_manifest.metadata.insert(key, value);
    return *this;
}

AiModelManifest AiModelPackageBuilder::build() const {
    const QList<QString> errors = m_manifest.validationErrors();
    if (!errors.isEmpty()) {
        throwInvalidArgument(QStringLiteral("Invalid AI model package: %1").arg(joinMessages(errors)));
    }
    return m_manifest;
}

}  // namespace Tarnivale::AI
