// AiSamModelPackage::load, the reader of a SAM3 bundle's "sam3-package.json": the input is written as the
// manifest of copies of the generated text and tracker bundles and both are loaded.
// "@SHA256:<bundle>/<file>@" stands for a bundle file's digest ("@SHA256:sam3-text/decoder.onnx@"). A bundle
// that loads must name graphs that exist inside it.

#include "fuzz/fuzz_support.h"

#include <tarnivale/ai/sam3.h>

#include "runtime/sha256.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>

#include <exception>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Fuzzing;

namespace {

const char* const Bundles[] = {"sam3-text", "sam3-tracker"};

void loadBundle(const QString& directory, const QByteArray& manifest) {
    const QString manifestPath = directory + QStringLiteral("/sam3-package.json");
    QFile file(manifestPath);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(manifest) != manifest.size()) {
        fail("cannot write the manifest");
    }
    file.close();
    try {
        const AiSamModelPackage package = AiSamModelPackage::load(manifestPath);
        const QString root = package.rootDirectory();
        for (const auto& graph : package.manifest().value(QStringLiteral("graphs")).toArray()) {
            const QString path = package.graphPath(graph.toString());
            if (!QFileInfo(path).isFile() || !path.startsWith(root + u'/')) {
                fail("a loaded bundle names a graph outside it or missing: " + path.toStdString());
            }
        }
        note(QStringLiteral("loaded ") + directory);
    } catch (const std::exception& error) {
        if (*error.what() == '\0') {
            fail("a refused bundle gave no message");
        }
        note(QString::fromUtf8(error.what()));
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    initialise("sam3-manifest", argc, argv);
    for (const char* bundle : Bundles) {
        const QString name = QString::fromLatin1(bundle);
        const QString copy = copyTestModel(name, name);
        QDirIterator files(copy, QDir::Files, QDirIterator::Subdirectories);
        while (files.hasNext()) {
            const QString path = files.next();
            const QString relative = QDir(copy).relativeFilePath(path);
            const QByteArray placeholder = ("@SHA256:" + name + u'/' + relative + u'@').toUtf8();
            definePlaceholder(placeholder.constData(), sha256File(path).hex);
        }
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray manifest = substituted(data, size);
    if (!safeDocument(manifest)) {
        return Refused;
    }
    for (const char* bundle : Bundles) {
        loadBundle(fixturePath(QString::fromLatin1(bundle)), manifest);
    }
    return Ran;
}
