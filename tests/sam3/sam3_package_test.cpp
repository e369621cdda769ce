// SAM3 bundles: every refusal of the loader and the path resolver, the boundaries (manifest size, entry
// count), case folding, links that leave the bundle, and a seeded fuzz of the manifest
// (TARNIVALE_FUZZ_ITERATIONS runs it longer than the suite's bounded default).

#include <tarnivale/ai/sam3.h>

#include "sam3/sam3_fixture.h"
#include "support/expectations.h"

#include <gtest/gtest.h>

#include <QJsonArray>

#include <cstdlib>
#include <functional>
#include <random>

using namespace Tarnivale::AI;
using namespace Tarnivale::AI::Testing;
using namespace Qt::StringLiterals;

namespace {

using Change = std::function<void(const BundleCopy&, QJsonObject&)>;

Change set(const char* key, const QJsonValue& value) {
    return [key = QString::fromUtf8(key), value](const BundleCopy&, QJsonObject& m) { m.insert(key, value); };
}

Change without(const char* key) {
    return [key = QString::fromUtf8(key)](const BundleCopy&, QJsonObject& m) { m.remove(key); };
}

/// Changes the first inventory entry whose path is `path` (or appends `entry` when `path` is empty).
Change entry(const QString& path, const std::function<void(QJsonObject&)>& edit) {
    return [path, edit](const BundleCopy&, QJsonObject& m) {
        QJsonArray files = m.value(u"files"_s).toArray();
        for (qsizetype i = 0; i < files.size(); ++i) {
            QJsonObject e = files.at(i).toObject();
            if (e.value(u"path"_s).toString() == path) {
                edit(e);
                files.replace(i, e);
            }
        }
        m.insert(u"files"_s, files);
    };
}

Change addEntry(const QJsonValue& value) {
    return [value](const BundleCopy&, QJsonObject& m) {
        QJsonArray files = m.value(u"files"_s).toArray();
        files.append(value);
        m.insert(u"files"_s, files);
    };
}

QJsonObject licenseEntryAt(const QString& path) {
    return {{u"path"_s, path}, {u"bytes"_s, 51}, {u"sha256"_s, QString(64, u'0')}};
}

std::string loadError(const BundleCopy& bundle) {
    return errorOf<std::invalid_argument>([&] { AiSamModelPackage::load(bundle.manifestPath()); });
}

}  // namespace

TEST(Sam3Package, ManifestChecksInTheirOrder) {
    struct Row {
        const char* bundle;
        Change change;
        std::string message;
    };
    const QString unsafe = u"Unsafe SAM3 package path: "_s;
    const QString missing = u"SAM3 file is missing or escapes the package: "_s;
    const std::vector<Row> rows{
        {"sam3-text", without("profile"), "Unsupported SAM3 package profile."},
        {"sam3-text", set("schema", u"tarnivale.sam3-package/2"_s), "Unsupported SAM3 package profile."},
        {"sam3-text", set("precision", u"float16"_s), "Unsupported SAM3 package profile."},
        {"sam3-text", set("batch", u"1"_s), "Unsupported SAM3 package profile."},
        {"sam3-text", set("batch", 1.5), "Unsupported SAM3 package profile."},
        {"sam3-text", set("text_tokens", 31), "Unsupported SAM3 package profile."},
        {"sam3-text", set("image_size", QJsonArray{1008, 1007}), "Unsupported SAM3 package profile."},
        {"sam3-text", set("prompts", QJsonArray{u"point"_s}), "Unsupported SAM3 package profile."},
        {"sam3-tracker", set("max_points", 63), "Unsupported SAM3 package profile."},
        {"sam3-text", set("id", u""_s), "SAM3 package identity/revision is missing."},
        {"sam3-text", set("revision", u"0123456789ABCDEF0123456789abcdef01234567"_s),
         "SAM3 package identity/revision is missing."},
        {"sam3-text", set("revision", u"0123456789abcdef0123456789abcdef0123456"_s),
         "SAM3 package identity/revision is missing."},
        {"sam3-text",
         set("graphs", QJsonArray{u"text_encoder.onnx"_s, u"vision_encoder.onnx"_s, u"decoder.onnx"_s}),
         "SAM3 graph contract is incomplete."},
        {"sam3-text", set("decoder_outputs", QJsonArray{u"pred_masks"_s}),
         "SAM3 graph contract is incomplete."},
        {"sam3-tracker", set("preprocessing", u"resize"_s), "Unsupported tracker preprocessing."},
        {"sam3-text", set("files", QJsonObject{}), "Invalid SAM3 file inventory."},
        {"sam3-text", set("files", QJsonArray::fromVariantList(QVariantList(129, QVariantMap{}))),
         "Invalid SAM3 file inventory."},
        {"sam3-text", addEntry(u"LICENSE"_s), "Invalid SAM3 file entry."},
        {"sam3-text", addEntry(licenseEntryAt(u"license"_s)), "Duplicate SAM3 file entry."},
        {"sam3-text", addEntry(licenseEntryAt(u"../LICENSE"_s)), (unsafe + u"../LICENSE"_s).toStdString()},
        {"sam3-text", addEntry(licenseEntryAt(u"processor/../LICENSE"_s)),
         (unsafe + u"processor/../LICENSE"_s).toStdString()},
        {"sam3-text", addEntry(licenseEntryAt(u"./x"_s)), (unsafe + u"./x"_s).toStdString()},
        {"sam3-text", addEntry(licenseEntryAt(u"a\\b"_s)), (unsafe + u"a\\b"_s).toStdString()},
        {"sam3-text", addEntry(licenseEntryAt(u"C:/x"_s)), (unsafe + u"C:/x"_s).toStdString()},
        {"sam3-text", addEntry(licenseEntryAt(u"/etc/hostname"_s)),
         (unsafe + u"/etc/hostname"_s).toStdString()},
        {"sam3-text", addEntry(licenseEntryAt(u""_s)), unsafe.toStdString()},
        {"sam3-text", addEntry(licenseEntryAt(u"processor//x"_s)),
         (unsafe + u"processor//x"_s).toStdString()},
        {"sam3-text", addEntry(licenseEntryAt(u"processor/"_s)), (unsafe + u"processor/"_s).toStdString()},
        {"sam3-text", addEntry(licenseEntryAt(u"processor"_s)), (missing + u"processor"_s).toStdString()},
        {"sam3-text", addEntry(licenseEntryAt(u"absent.onnx"_s)), (missing + u"absent.onnx"_s).toStdString()},
        {"sam3-text",
         [](const BundleCopy& b, QJsonObject& m) {
             QFile::link(u"/etc/hostname"_s, b.path(u"outside"_s));
             addEntry(licenseEntryAt(u"outside"_s))(b, m);
         },
         (missing + u"outside"_s).toStdString()},
        {"sam3-text", entry(u"LICENSE"_s, [](QJsonObject& e) { e.insert(u"bytes"_s, 0); }),
         "SAM3 file size or hash metadata is invalid: LICENSE"},
        {"sam3-text", entry(u"LICENSE"_s, [](QJsonObject& e) { e.insert(u"bytes"_s, u"51"_s); }),
         "SAM3 file size or hash metadata is invalid: LICENSE"},
        {"sam3-text", entry(u"LICENSE"_s, [](QJsonObject& e) { e.insert(u"bytes"_s, 52); }),
         "SAM3 file size or hash metadata is invalid: LICENSE"},
        {"sam3-text",
         entry(u"LICENSE"_s,
               [](QJsonObject& e) { e.insert(u"sha256"_s, e.value(u"sha256"_s).toString().toUpper()); }),
         "SAM3 file size or hash metadata is invalid: LICENSE"},
        {"sam3-text", entry(u"LICENSE"_s, [](QJsonObject& e) { e.insert(u"sha256"_s, QString(64, u'a')); }),
         "SAM3 checksum mismatch: LICENSE"},
        {"sam3-text",
         [](const BundleCopy&, QJsonObject& m) {
             QJsonArray files = m.value(u"files"_s).toArray();
             files.removeLast();
             m.insert(u"files"_s, files);
         },
         "Required SAM3 package file is not inventoried: processor/tokenizer_config.json"},
    };
    for (const Row& row : rows) {
        BundleCopy bundle(QString::fromUtf8(row.bundle));
        QJsonObject manifest = bundle.manifest();
        row.change(bundle, manifest);
        bundle.writeManifest(manifest);
        EXPECT_EQ(loadError(bundle), row.message) << QJsonDocument(manifest).toJson().toStdString();
    }

    BundleCopy bundle(u"sam3-text"_s);
    QFile::remove(bundle.manifestPath());
    EXPECT_EQ(loadError(bundle), "Cannot open SAM3 package manifest.");
    for (const QByteArray& text : {QByteArray("{"), QByteArray("[]"), QByteArray("")}) {
        bundle.writeManifestBytes(text);
        EXPECT_EQ(loadError(bundle), "Invalid SAM3 package JSON.");
    }
}

TEST(Sam3Package, BoundariesAndCaseFolding) {
    // A manifest of exactly 1 MiB is read; one byte more is refused before parsing.
    BundleCopy bundle(u"sam3-text"_s);
    QByteArray text = QJsonDocument(bundle.manifest()).toJson();
    bundle.writeManifestBytes(text + QByteArray(1048576 - text.size(), ' '));
    EXPECT_EQ(loadError(bundle), "no error");
    bundle.writeManifestBytes(text + QByteArray(1048577 - text.size(), ' '));
    EXPECT_EQ(loadError(bundle), "SAM3 manifest exceeds 1 MiB.");

    // 128 entries are accepted, 129 refused; "image_size" written as 1008.0 is the same number.
    QJsonObject manifest = bundle.manifest();
    QJsonArray files = manifest.value(u"files"_s).toArray();
    QDir().mkpath(bundle.path(u"extra"_s));
    for (int i = 0; files.size() < 129; ++i) {
        const QString relative = u"extra/%1.bin"_s.arg(i);
        writeBytes(bundle.path(relative), QByteArray::number(i));
        files.append(QJsonObject{{u"path"_s, relative},
                                 {u"bytes"_s, QByteArray::number(i).size()},
                                 {u"sha256"_s, Sha256::hex(QByteArray::number(i))}});
    }
    manifest.insert(u"files"_s, files);
    bundle.writeManifest(manifest);
    EXPECT_EQ(loadError(bundle), "Invalid SAM3 file inventory.");
    files.removeLast();
    manifest.insert(u"files"_s, files);
    QByteArray decimal = QJsonDocument(manifest).toJson();
    decimal.replace("\"image_size\": [\n        1008,", "\"image_size\": [\n        1008.0,");
    ASSERT_TRUE(decimal.contains("1008.0"));
    bundle.writeManifestBytes(decimal);
    EXPECT_EQ(loadError(bundle), "no error");

    // Paths are compared after case folding: a capitalised decoder entry satisfies "decoder.onnx".
    BundleCopy capital(u"sam3-text"_s);
    QFile::rename(capital.path(u"decoder.onnx"_s), capital.path(u"Decoder.onnx"_s));
    manifest = capital.manifest();
    entry(u"decoder.onnx"_s, [](QJsonObject& e) { e.insert(u"path"_s, u"Decoder.onnx"_s); })(capital,
                                                                                             manifest);
    capital.writeManifest(manifest);
    EXPECT_EQ(loadError(capital), "no error");

    // A tracker bundle needs no tokenizer; it is loaded through a linked directory as its canonical root.
    BundleCopy tracker(u"sam3-tracker"_s);
    QTemporaryDir links;
    ASSERT_TRUE(QFile::link(tracker.root(), links.path() + u"/bundle"_s));
    const AiSamModelPackage package = AiSamModelPackage::load(links.path() + u"/bundle/sam3-package.json"_s);
    EXPECT_EQ(package.rootDirectory(), QFileInfo(tracker.root()).canonicalFilePath());
    EXPECT_EQ(package.graphPath(u"tracker_decoder.onnx"_s),
              package.rootDirectory() + u"/tracker_decoder.onnx"_s);
    EXPECT_EQ(package.processorDirectory(), package.rootDirectory() + u"/processor"_s);
    EXPECT_EQ(package.manifest().value(u"profile"_s).toString(), u"tracker-rgb-1008"_s);
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { package.graphPath(u"Tracker_decoder.onnx"_s); }),
              "Unknown SAM3 graph name.");
    EXPECT_EQ(errorOf<std::invalid_argument>([&] { package.graphPath(u"LICENSE"_s); }),
              "Unknown SAM3 graph name.");
}

TEST(Sam3Package, FuzzedManifestsLoadOrAreRefusedWithAMessage) {
    BundleCopy bundle(u"sam3-tracker"_s);
    const QByteArray seed = QJsonDocument(bundle.manifest()).toJson(QJsonDocument::Compact);
    const QList<QByteArray> tokens =
        QByteArray(
            R"({ } [ ] , : " null true -1 1e308 0.5 "\ud800" "files" "path" "bytes" "sha256" "../" "/" )"
            R"("LICENSE" "license" 1008 64 \u0000 99999999999999999999 \xff)")
            .split(' ');
    const char* configured = std::getenv("TARNIVALE_FUZZ_ITERATIONS");
    const int iterations = configured ? std::atoi(configured) : 1500;
    std::mt19937 random(20261207);
    const auto below = [&](qsizetype n) { return n > 0 ? static_cast<qsizetype>(random() % n) : 0; };
    int loaded = 0;
    for (int i = 0; i < iterations; ++i) {
        QByteArray input = seed;
        for (int step = 1 + below(3); step > 0; --step) {
            const qsizetype at = below(input.size());
            const QByteArray variants[] = {input.left(at) + char(random()) + input.mid(at + 1),
                                           input.left(at) + tokens[below(tokens.size())] + input.mid(at),
                                           input.left(at) + input.mid(at + below(16)),
                                           input.left(at) + input.mid(at, below(64)) + input.mid(at)};
            input = variants[below(4)];
        }
        bundle.writeManifestBytes(input);
        try {
            AiSamModelPackage::load(bundle.manifestPath());
            ++loaded;
        } catch (const std::invalid_argument& error) {
            ASSERT_STRNE(error.what(), "") << input.toStdString();
        } catch (const std::exception& error) {
            FAIL() << "unexpected " << error.what() << " for " << input.toStdString();
        }
    }
    bundle.writeManifestBytes(seed);
    EXPECT_EQ(loadError(bundle), "no error");
    EXPECT_LT(loaded, iterations);
}
