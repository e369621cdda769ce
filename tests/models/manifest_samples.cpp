#include "manifest_samples.h"

namespace Tarnivale::AI::Testing {

AiModelManifest minimalManifest(const QString& modelPath) {
    AiModelManifest manifest;
    manifest.id = QStringLiteral("sample");
    manifest.version = QStringLiteral("1");
    manifest.modelPath = modelPath;
    manifest.inputs = {
        AiTensorSpec{QStringLiteral("x"), AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 3, -1, -1}}};
    manifest.outputs = {
        AiTensorSpec{QStringLiteral("y"), AiTensorDataType::Float32, AiTensorLayout::NCHW, {1, 2, -1, -1}}};
    return manifest;
}

AiModelManifest fullManifest() {
    AiModelManifest manifest = minimalManifest();
    manifest.schemaVersion = QStringLiteral("1.1");
    manifest.id = QStringLiteral("land-cover");
    manifest.version = QStringLiteral("2.3.0");
    manifest.task = AiTaskKind::SemanticSegmentation;
    manifest.modelSha256 = QStringLiteral("ab") + QString(62, QLatin1Char('0'));
    manifest.description = QStringLiteral("Nine classes; «ünïcode» text");
    manifest.inputs.append(
        AiTensorSpec{QStringLiteral("ids"), AiTensorDataType::Int64, AiTensorLayout::Unknown, {4}});
    manifest.outputs.append(
        AiTensorSpec{QStringLiteral("aux"), AiTensorDataType::UInt8, AiTensorLayout::NHWC, {1, 8, 8, 1}});

    AiInputAdapterSpec adapter;
    adapter.tensor = QStringLiteral("x");
    adapter.source = QStringLiteral("raster");
    adapter.bands = {4, 3, 2};
    adapter.colorSpace = QStringLiteral("rgb");
    adapter.resize = QStringLiteral("bilinear");
    adapter.padding = QStringLiteral("reflect");
    adapter.options = {{QStringLiteral("gain"), 2.5}, {QStringLiteral("note"), QStringLiteral("n")}};
    manifest.inputAdapters = {adapter};

    AiOutputDecoderSpec decoder;
    decoder.id = QStringLiteral("classes");
    decoder.tensor = QStringLiteral("y");
    decoder.activation = QStringLiteral("softmax");
    decoder.channelAxis = -3;
    decoder.threshold = 0.25;
    decoder.options = {{QStringLiteral("channel"), 1}};
    AiOutputDecoderSpec auxiliary;
    auxiliary.id = QStringLiteral("aux");
    auxiliary.tensor = QStringLiteral("aux");
    auxiliary.activation = QStringLiteral("sigmoid");
    manifest.outputDecoders = {decoder, auxiliary};

    AiMaterializationSpec mask;
    mask.kind = AiOutputKind::Mask;
    mask.decoder = QStringLiteral("classes");
    mask.crsPolicy = QStringLiteral("EPSG:3857");
    mask.nodataPolicy = QStringLiteral("zero");
    mask.options = {{QStringLiteral("polygonize"), true}};
    manifest.materializations = {mask};

    manifest.normalization = AiNormalization{{0.1, 0.2, 0.3}, {1.5, 2.5, 3.5}, 1.0 / 255.0};
    manifest.tiling = AiTileOptions{256, 128, 16, 8};
    manifest.labels = {QStringLiteral("water"), QString(), QStringLiteral("trees")};
    manifest.provenance = AiModelProvenance{QStringLiteral("https://example.org/weights"),
                                            QStringLiteral("org/repo"),
                                            QStringLiteral("abc123"),
                                            QStringLiteral("CC-BY-4.0"),
                                            QStringLiteral("https://example.org/license"),
                                            QStringLiteral("Someone")};
    manifest.metadata = {{QStringLiteral("bandsAre"), QStringLiteral("sentinel-2")},
                         {QStringLiteral("resolution"), 10.0},
                         {QStringLiteral("nested"), QVariantMap{{QStringLiteral("k"), QStringLiteral("v")}}}};
    return manifest;
}

}  // namespace Tarnivale::AI::Testing
