#include "runtime/sam3_bundle_probe.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace Tarnivale::AI {

namespace {
constexpr qint64 kManifestSizeLimit = 1024 * 1024;
}

bool isSam3BundleGraph(const QString& modelPath) noexcept {
    try {
        const QFileInfo model(modelPath);
        QFile manifest(model.dir().filePath(QStringLiteral("sam3-package.json")));
        if (!manifest.open(QIODevice::ReadOnly) || manifest.size() >= kManifestSizeLimit) {
            return false;
        }
        // A file that grew to the limit after size() was read is refused too.
        const QByteArray bytes = manifest.read(kManifestSizeLimit);
        if (bytes.size() >= kManifestSizeLimit) {
            return false;
        }
        const QJsonDocument document = QJsonDocument::fromJson(bytes);
        if (!document.isObject()) {
            return false;
        }
        const QJsonObject root = document.object();
        if (root.value(QStringLiteral("schema")) != QJsonValue(QStringLiteral("tarnivale.sam3-package/1")) ||
            root.value(QStringLiteral("model")) != QJsonValue(QStringLiteral("facebook/sam3"))) {
            return false;
        }
        return root.value(QStringLiteral("graphs")).toArray().contains(QJsonValue(model.fileName()));
    } catch (...) {
        return false;
    }
}

}  // namespace Tarnivale::AI
