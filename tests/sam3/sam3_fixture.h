#pragma once

// Copies of the generated SAM3 bundles that a test may change: edit the manifest, replace a file and
// re-inventory it with its real size and digest.

#include "runtime/sha256.h"
#include "support/test_paths.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

#include <stdexcept>

namespace Tarnivale::AI::Testing {

class BundleCopy {
public:
    /// "sam3-text" or "sam3-tracker", copied from the generated models.
    explicit BundleCopy(const QString& name) {
        const QString source = testModelPath(name);
        QDirIterator files(source, QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString from = files.next();
            const QString to = root() + from.mid(source.size());
            QDir().mkpath(QFileInfo(to).absolutePath());
            if (!QFile::copy(from, to)) {
                throw std::runtime_error("cannot copy " + from.toStdString());
            }
        }
    }

    QString root() const { return m_directory.path(); }
    QString manifestPath() const { return root() + QStringLiteral("/sam3-package.json"); }
    QString path(const QString& relative) const { return root() + QLatin1Char('/') + relative; }

    QJsonObject manifest() const {
        QFile file(manifestPath());
        file.open(QIODevice::ReadOnly);
        return QJsonDocument::fromJson(file.readAll()).object();
    }
    void writeManifest(const QJsonObject& manifest) const {
        writeManifestBytes(QJsonDocument(manifest).toJson());
    }
    void writeManifestBytes(const QByteArray& bytes) const {
        QFile file(manifestPath());
        if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
            throw std::runtime_error("cannot write the manifest");
        }
    }

    /// Replaces an inventoried file and updates its entry's size and digest.
    void replaceFile(const QString& relative, const QString& sourceFile) const {
        QFile::remove(path(relative));
        if (!QFile::copy(sourceFile, path(relative))) {
            throw std::runtime_error("cannot replace " + relative.toStdString());
        }
        QJsonObject m = manifest();
        QJsonArray files = m.value(QStringLiteral("files")).toArray();
        for (qsizetype i = 0; i < files.size(); ++i) {
            QJsonObject entry = files.at(i).toObject();
            if (entry.value(QStringLiteral("path")).toString() == relative) {
                entry.insert(QStringLiteral("bytes"), QFileInfo(path(relative)).size());
                entry.insert(QStringLiteral("sha256"), sha256File(path(relative)).hex);
                files.replace(i, entry);
            }
        }
        m.insert(QStringLiteral("files"), files);
        writeManifest(m);
    }

private:
    QTemporaryDir m_directory;
};

}  // namespace Tarnivale::AI::Testing
