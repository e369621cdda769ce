// TarnivaleAI_RunRasterInference: a JSON request onto the raster executor, run isolated, with optional class
// codes, GeoTIFF and colourised preview outputs.

#include <tarnivale/ai/interop.h>
#include <tarnivale/ai/models.h>
#include <tarnivale/ai/raster.h>

#include "interop/interop_frame.h"
#include "raster/package_request.h"
#include "raster/run_estimate_json.h"
#include "runtime/errors.h"

#include <QJsonArray>

#include <algorithm>

#include <limits>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Interop;

namespace {

QString stringOr(const QJsonObject& object, const char* key, const QString& fallback) {
    const QJsonValue value = object.value(QLatin1String(key));
    return value.isString() ? value.toString() : fallback;
}

void replaceInt(const QJsonObject& object, const char* key, std::int32_t& target) {
    if (object.contains(QLatin1String(key))) {
        target = object.value(QLatin1String(key)).toInt(target);
    }
}

QList<double> doubles(const QJsonValue& value) {
    QList<double> values;
    for (const QJsonValue& element : value.toArray()) {
        values.append(element.toDouble());
    }
    return values;
}

// The extension keys are refused by name when of the wrong type: absent, they change nothing.
bool flag(const QJsonObject& json, const char* key) {
    return optionalFlag(json, key, "Raster inference request");
}

QString text(const QJsonObject& json, const char* key) {
    return optionalText(json, key, "Raster inference request");
}

// "useInputAdapter": the bands of the package's first raster input adapter, unless "bands" names others.
// "outputDecoderId": that decoder of the package applied to every tile (a one-channel probability with a
// threshold then gives its class mask).
void applyPackageExtensions(const QJsonObject& json, const AiModelManifest& manifest, bool packaged,
                            AiRasterInferenceRequest& request) {
    const bool adapterBands = flag(json, "useInputAdapter");
    const QString decoderId = text(json, "outputDecoderId");
    if ((adapterBands || !decoderId.isEmpty()) && !packaged) {
        throwInvalidArgument(QStringLiteral(
            "Input adapters and output decoders come from a model package: modelPackagePath is required."));
    }
    if (adapterBands && !json.contains(QStringLiteral("bands"))) {
        const auto adapter = std::find_if(
            manifest.inputAdapters.begin(), manifest.inputAdapters.end(), [](const AiInputAdapterSpec& spec) {
                return spec.source.trimmed().compare(QLatin1String("raster"), Qt::CaseInsensitive) == 0;
            });
        if (adapter == manifest.inputAdapters.end()) {
            throwInvalidArgument(QStringLiteral("The model package has no raster input adapter."));
        }
        request.bands = adapter->bands;
    }
    if (!decoderId.isEmpty()) {
        const auto decoder =
            std::find_if(manifest.outputDecoders.begin(), manifest.outputDecoders.end(),
                         [&](const AiOutputDecoderSpec& spec) { return spec.id == decoderId; });
        if (decoder == manifest.outputDecoders.end()) {
            throwInvalidArgument(
                QStringLiteral("The model package has no output decoder '%1'.").arg(decoderId));
        }
        request.outputDecoder = *decoder;
    }
}

// Fills the executor request from the JSON request, a package's manifest first when one is named.
AiRasterInferenceRequest readRequest(const QJsonObject& json, AiModelManifest& manifest) {
    AiRasterInferenceRequest request;
    request.rasterPath = json.value(QStringLiteral("rasterPath")).toString();
    request.modelPath = json.value(QStringLiteral("modelPath")).toString();
    if (json.contains(QStringLiteral("modelPackagePath"))) {
        const AiModelPackage package =
            AiModelPackage::open(json.value(QStringLiteral("modelPackagePath")).toString());
        const QList<QString> errors = package.validationErrors();
        if (!errors.isEmpty()) {
            throwInvalidArgument(joinMessages(errors));
        }
        manifest = package.manifest();
        request.modelPath = package.modelPath();
        request.modelId = manifest.id;
        request.modelVersion = manifest.version;
        request.modelRevision = manifest.provenance.revision;
        request.modelSha256 = validatedModelSha256(package);
        request.tiling = manifest.tiling;
        request.normalization = manifest.normalization;
        if (!manifest.inputs.isEmpty()) {
            request.inputName = manifest.inputs.front().name;
        }
        if (!manifest.outputs.isEmpty()) {
            request.outputName = manifest.outputs.front().name;
        }
    }
    request.inputName = stringOr(json, "inputName", request.inputName);
    request.modelId = stringOr(json, "modelId", request.modelId);
    request.modelVersion = stringOr(json, "modelVersion", request.modelVersion);
    request.modelRevision = stringOr(json, "modelRevision", request.modelRevision);
    request.modelSha256 = stringOr(json, "modelSha256", request.modelSha256);
    request.outputName = stringOr(json, "outputName", request.outputName);
    for (const QJsonValue& band : json.value(QStringLiteral("bands")).toArray()) {
        // Numbers outside 32 bits must not wrap onto a real band: they become 0, which no dataset has.
        const qint64 number = band.isDouble() ? band.toInteger(0) : 0;
        request.bands.append(number >= 1 && number <= std::numeric_limits<std::int32_t>::max()
                                 ? static_cast<std::int32_t>(number)
                                 : 0);
    }
    applyPackageExtensions(json, manifest, json.contains(QStringLiteral("modelPackagePath")), request);
    request.sessionOptions = readSessionOptions(json);
    request.operationContext.setMemoryBudgetBytes(
        json.value(QStringLiteral("memoryBudgetBytes")).toInteger(0));
    request.outputMode = json.value(QStringLiteral("outputMode"))
                                     .toString()
                                     .compare(QLatin1String("floatBands"), Qt::CaseInsensitive) == 0
                             ? AiRasterOutputMode::FloatBands
                             : AiRasterOutputMode::ClassMask;
    const QJsonObject tiling = json.value(QStringLiteral("tiling")).toObject();
    replaceInt(tiling, "width", request.tiling.width);
    replaceInt(tiling, "height", request.tiling.height);
    replaceInt(tiling, "overlapX", request.tiling.overlapX);
    replaceInt(tiling, "overlapY", request.tiling.overlapY);
    const QJsonObject normalization = json.value(QStringLiteral("normalization")).toObject();
    if (normalization.contains(QStringLiteral("mean"))) {
        request.normalization.mean = doubles(normalization.value(QStringLiteral("mean")));
    }
    if (normalization.contains(QStringLiteral("standardDeviation"))) {
        request.normalization.standardDeviation =
            doubles(normalization.value(QStringLiteral("standardDeviation")));
    }
    if (normalization.contains(QStringLiteral("scale"))) {
        request.normalization.scale =
            normalization.value(QStringLiteral("scale")).toDouble(request.normalization.scale);
    }
    return request;
}

// "outputFormat": "GTiff" (the default) or "COG", for the output and the preview alike.
bool cloudOptimized(const QJsonObject& json) {
    const QString format = text(json, "outputFormat");
    if (format.isEmpty() || format.compare(QLatin1String("GTiff"), Qt::CaseInsensitive) == 0) {
        return false;
    }
    if (format.compare(QLatin1String("COG"), Qt::CaseInsensitive) == 0) {
        return true;
    }
    throwInvalidArgument(QStringLiteral("Unknown raster output format: %1").arg(format));
}

QJsonObject resultJson(const AiRasterInferenceResult& result, const QString& outputPath,
                       const QString& previewPath, bool classCodesApplied) {
    QJsonArray transform;
    for (const double value : result.geoTransform) {
        transform.append(value);
    }
    return QJsonObject{
        {QStringLiteral("outputPath"), outputPath},
        {QStringLiteral("previewOutputPath"), previewPath},
        {QStringLiteral("classCodesApplied"), classCodesApplied},
        {QStringLiteral("width"), result.width},
        {QStringLiteral("height"), result.height},
        {QStringLiteral("bandCount"), result.bandCount},
        {QStringLiteral("dataType"), aiTensorDataTypeName(result.dataType)},
        {QStringLiteral("processedTiles"), result.processedTiles},
        {QStringLiteral("elapsedMilliseconds"), static_cast<qint64>(result.elapsedMilliseconds)},
        {QStringLiteral("provider"), aiExecutionProviderName(result.provider)},
        {QStringLiteral("workerThreadId"), static_cast<qint64>(result.workerThreadId)},
        {QStringLiteral("isolatedWorker"), result.isolatedWorker},
        {QStringLiteral("peakMemoryBytes"), static_cast<qint64>(result.peakMemoryBytes)},
        {QStringLiteral("cancellationLatencyMilliseconds"),
         static_cast<qint64>(result.cancellationLatencyMilliseconds)},
        {QStringLiteral("provenance"), result.provenance.toJson()},
        {QStringLiteral("provenanceSha256"), result.provenance.sha256()},
        {QStringLiteral("cancelled"), result.cancelled},
        {QStringLiteral("geoTransform"), transform},
        {QStringLiteral("projectionWkt"), result.projectionWkt},
    };
}

}  // namespace

extern "C" TarnivaleAI_Char* TarnivaleAI_RunRasterInference(const TarnivaleAI_Char* requestJson,
                                                            TarnivaleAI_ProgressCallback progress,
                                                            void* userData) {
    return runJsonFunction([=] {
        const QJsonObject json = parseRequest(requestJson);
        AiModelManifest manifest;
        const AiRasterInferenceRequest request = readRequest(json, manifest);
        const bool cog = cloudOptimized(json);
        if (flag(json, "estimateOnly")) {
            return runEstimateJson(AiRasterInferenceExecutor::estimate(request));
        }
        const auto write = [cog](const AiRasterInferenceResult& raster, const QString& path) {
            cog ? AiRasterInferenceExecutor::writeCloudOptimizedGeoTiff(raster, path)
                : AiRasterInferenceExecutor::writeGeoTiff(raster, path);
        };

        AiRasterProgressCallback report;
        if (progress != nullptr) {
            report = [progress, userData](const AiRasterInferenceProgress& p) {
                progress(p.completedTiles, p.totalTiles, p.percent,
                         reinterpret_cast<const TarnivaleAI_Char*>(p.message.utf16()), userData);
            };
        }
        AiRasterInferenceResult result = AiRasterInferenceExecutor::runIsolated(request, report);

        const bool applyCodes =
            json.value(QStringLiteral("applyManifestClassCodes")).toBool(false) && !result.cancelled;
        if (applyCodes) {
            QList<std::int32_t> codes;
            for (const QVariant& code : manifest.metadata.value(QStringLiteral("classCodes")).toList()) {
                codes.append(code.toInt());
            }
            AiRasterInferenceExecutor::remapClassMask(result, codes);
        }
        const QString outputPath = json.value(QStringLiteral("outputPath")).toString();
        if (!result.cancelled && !outputPath.isEmpty()) {
            write(result, outputPath);
        }
        const QString previewPath = json.value(QStringLiteral("previewOutputPath")).toString();
        if (!result.cancelled && !previewPath.isEmpty()) {
            QList<AiClassColor> palette;
            for (const QJsonValue& entry : json.value(QStringLiteral("classPalette")).toArray()) {
                const QJsonObject color = entry.toObject();
                palette.append(AiClassColor{color.value(QStringLiteral("code")).toInt(0),
                                            color.value(QStringLiteral("red")).toInt(0),
                                            color.value(QStringLiteral("green")).toInt(0),
                                            color.value(QStringLiteral("blue")).toInt(0)});
            }
            write(AiRasterInferenceExecutor::colorizeClassMask(result, palette), previewPath);
        }
        return resultJson(result, outputPath, previewPath, applyCodes);
    });
}
