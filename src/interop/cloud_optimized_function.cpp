// TarnivaleAI_CopyAsCloudOptimizedGeoTiff: a raster file (a task's raster result, say) copied out as a
// Cloud-Optimised GeoTIFF, for hosts that publish results to object storage.

#include <tarnivale/ai/interop.h>
#include <tarnivale/ai/raster.h>

#include "interop/interop_frame.h"

#include <QFileInfo>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Interop;

extern "C" TarnivaleAI_Char* TarnivaleAI_CopyAsCloudOptimizedGeoTiff(const TarnivaleAI_Char* sourcePath,
                                                                     const TarnivaleAI_Char* outputPath) {
    return runJsonFunction([=] {
        const QString source = requireText(sourcePath);
        const QString output = requireText(outputPath);
        const QString destination =
            output.trimmed().isEmpty() ? output : QFileInfo(output).absoluteFilePath();
        AiRasterInferenceExecutor::copyAsCloudOptimizedGeoTiff(source, destination);
        return QJsonObject{{QStringLiteral("sourcePath"), source},
                           {QStringLiteral("outputPath"), destination}};
    });
}
