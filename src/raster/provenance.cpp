#include <tarnivale/ai/raster.h>

#include "runtime/sha256.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace Tarnivale::AI {

QString aiRasterOutputModeName(AiRasterOutputMode mode) {
    return mode == AiRasterOutputMode::FloatBands ? QStringLiteral("floatBands")
                                                  : QStringLiteral("classMask");
}

QJsonObject AiInferenceExecutionProvenance::toJson() const {
    QJsonArray bands;
    for (const std::int32_t band : inputBands) {
        bands.append(band);
    }
    return QJsonObject{
        {QStringLiteral("schemaVersion"), schemaVersion},
        {QStringLiteral("executionId"), executionId},
        {QStringLiteral("recordedAtUtc"), recordedAtUtc},
        {QStringLiteral("model"), QJsonObject{{QStringLiteral("id"), modelId},
                                              {QStringLiteral("version"), modelVersion},
                                              {QStringLiteral("revision"), modelRevision},
                                              {QStringLiteral("path"), modelPath},
                                              {QStringLiteral("sha256"), modelSha256}}},
        {QStringLiteral("source"),
         QJsonObject{{QStringLiteral("path"), sourcePath}, {QStringLiteral("crs"), sourceCrs}}},
        {QStringLiteral("provider"), aiExecutionProviderName(provider)},
        {QStringLiteral("sdkVersion"), sdkVersion},
        {QStringLiteral("runtimeVersion"), runtimeVersion},
        {QStringLiteral("options"),
         QJsonObject{{QStringLiteral("tiling"), QJsonObject{{QStringLiteral("width"), tiling.width},
                                                            {QStringLiteral("height"), tiling.height},
                                                            {QStringLiteral("overlapX"), tiling.overlapX},
                                                            {QStringLiteral("overlapY"), tiling.overlapY}}},
                     {QStringLiteral("inputBands"), bands},
                     {QStringLiteral("outputMode"), aiRasterOutputModeName(outputMode)}}},
        {QStringLiteral("output"),
         QJsonObject{{QStringLiteral("width"), outputWidth},
                     {QStringLiteral("height"), outputHeight},
                     {QStringLiteral("bandCount"), outputBandCount},
                     {QStringLiteral("dataType"), aiTensorDataTypeName(outputDataType)}}},
        {QStringLiteral("elapsedMilliseconds"), static_cast<qint64>(elapsedMilliseconds)},
        {QStringLiteral("peakMemoryBytes"), static_cast<qint64>(peakMemoryBytes)},
        {QStringLiteral("cancelled"), cancelled},
    };
}

QString AiInferenceExecutionProvenance::canonicalJson() const {
    // QJsonObject keeps its members sorted by key and the compact writer adds no whitespace, writes integers
    // without a fraction and escapes strings as JSON requires: exactly the canonical form.
    return QString::fromUtf8(QJsonDocument(toJson()).toJson(QJsonDocument::Compact));
}

QString AiInferenceExecutionProvenance::sha256() const {
    return Sha256::hex(canonicalJson().toUtf8());
}

}  // namespace Tarnivale::AI
