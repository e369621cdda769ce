#include "fuzz/fuzz_support.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <sstream>
#include <utility>
#include <vector>

namespace Tarnivale::AI::Fuzzing {

namespace {

struct Scratch {
    std::string door;
    QString root;
    QString fixtures;
    QString output;
    std::vector<std::pair<QByteArray, QByteArray>> placeholders;
    bool refuseUrls = false;
    std::vector<std::string> arguments;  // what libFuzzer parses after LLVMFuzzerInitialize
    std::vector<char*> argumentPointers;
};

std::unique_ptr<Scratch> g_scratch;  // set once by initialise(), for the process's life

Scratch& scratch() {
    if (g_scratch == nullptr) {
        std::fprintf(stderr, "tarnivale-fuzz: initialise() was not called\n");
        std::abort();
    }
    return *g_scratch;
}

void removeScratch() {
    if (g_scratch != nullptr) {
        std::error_code ignored;
        std::filesystem::remove_all(g_scratch->root.toStdString(), ignored);
    }
}

const QByteArray Separator = "\n---\n";

bool safeString(const QString& text) {
    const QString lower = text.toLower();
    if (lower.contains(QLatin1String("/vsi")) ||
        (scratch().refuseUrls && lower.contains(QLatin1String("://")))) {
        return false;
    }
    if (lower.contains(QLatin1String("/dev/")) || lower.contains(QLatin1String("/proc/"))) {
        const QString clean = QDir::cleanPath(text);
        return clean == QLatin1String("/dev/null") || clean == QLatin1String("/dev/zero");
    }
    return true;
}

bool safeValue(const QJsonValue& value) {
    if (value.isString()) {
        return safeString(value.toString());
    }
    if (value.isArray()) {
        for (const QJsonValue& element : value.toArray()) {
            if (!safeValue(element)) {
                return false;
            }
        }
    }
    if (value.isObject()) {
        const QJsonObject object = value.toObject();
        for (auto it = object.begin(); it != object.end(); ++it) {
            if (!safeValue(it.value())) {
                return false;
            }
        }
    }
    return true;
}

bool insideOutput(const QString& path) {
    const QString output = outputDirectory();
    const QString absolute = QDir::cleanPath(QDir(output).absoluteFilePath(path));
    return absolute.startsWith(output + QLatin1Char('/'));
}

std::string absoluteFrom(const std::filesystem::path& start, const std::string& path) {
    return path.empty() || path.front() == '/' ? path : (start / path).string();
}

// libFuzzer flags whose values name files or directories (or, for -artifact_prefix, start their names).
const std::set<std::string, std::less<>> PathFlags = {
    "artifact_prefix",    "exact_artifact_path", "dict",
    "merge_control_file", "features_dir",        "stop_file",
    "data_flow_trace",    "collect_data_flow",   "mutation_graph_file"};

// Rewrites the command line so that nothing in it depends on the working directory, which initialise()
// moves into the scratch directory before libFuzzer reads any of it.
void absoluteArguments(int* argc, char*** argv) {
    Scratch& s = scratch();
    const std::filesystem::path start = std::filesystem::current_path();
    bool artifactPrefix = false;
    for (int i = 0; argc != nullptr && argv != nullptr && i < *argc; ++i) {
        std::string argument = (*argv)[i];
        if (i > 0 && !argument.empty() && argument.front() != '-') {
            argument = absoluteFrom(start, argument);  // an input file or a corpus directory
        } else if (const std::size_t equals = argument.find('='); i > 0 && equals != std::string::npos) {
            const std::string name = argument.substr(1, equals - 1);
            if (name == "seed_inputs") {
                std::string list;
                std::istringstream files(argument.substr(equals + 1));
                for (std::string file; std::getline(files, file, ',');) {
                    const bool indirect = !file.empty() && file.front() == '@';
                    list += (list.empty() ? "" : ",") + std::string(indirect ? "@" : "") +
                            absoluteFrom(start, file.substr(indirect ? 1 : 0));
                }
                argument = "-seed_inputs=" + list;
            } else if (PathFlags.contains(name)) {
                argument = "-" + name + "=" + absoluteFrom(start, argument.substr(equals + 1));
            }
            artifactPrefix = artifactPrefix || name == "artifact_prefix";
        }
        s.arguments.push_back(std::move(argument));
    }
    if (!artifactPrefix) {
        s.arguments.push_back("-artifact_prefix=" + (start / "").string());
    }
    for (std::string& argument : s.arguments) {
        s.argumentPointers.push_back(argument.data());
    }
    s.argumentPointers.push_back(nullptr);
    if (argc != nullptr && argv != nullptr) {
        *argc = static_cast<int>(s.arguments.size());
        *argv = s.argumentPointers.data();
    }
}

void copyTree(const QString& from, const QString& to) {
    if (QFileInfo(from).isFile()) {
        QDir().mkpath(QFileInfo(to).absolutePath());
        if (!QFile::copy(from, to)) {
            fail("cannot copy fixture " + from.toStdString());
        }
        return;
    }
    QDirIterator files(from, QDir::Files, QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString file = files.next();
        copyTree(file, to + file.mid(from.size()));
    }
}

}  // namespace

void initialise(const char* doorName, int* argc, char*** argv) {
    if (g_scratch != nullptr) {
        return;
    }
    QByteArray pattern =
        QFile::encodeName(QDir::tempPath() + QStringLiteral("/tarnivale-fuzz-%1-XXXXXX").arg(doorName));
    if (::mkdtemp(pattern.data()) == nullptr) {
        std::fprintf(stderr, "tarnivale-fuzz: cannot create a scratch directory in %s\n",
                     qPrintable(QDir::tempPath()));
        std::abort();
    }
    g_scratch = std::make_unique<Scratch>();
    g_scratch->door = doorName;
    g_scratch->root = QFile::decodeName(pattern);
    std::atexit(&removeScratch);
    absoluteArguments(argc, argv);
    g_scratch->fixtures = g_scratch->root + QStringLiteral("/fixtures");
    g_scratch->output = g_scratch->root + QStringLiteral("/out");
    if (!QDir().mkpath(g_scratch->fixtures) || !QDir().mkpath(g_scratch->output) ||
        ::chdir(QFile::encodeName(g_scratch->output).constData()) != 0) {
        fail("cannot prepare the scratch directory " + g_scratch->root.toStdString());
    }
    definePlaceholder("@MODELS@", QStringLiteral(TARNIVALE_TEST_MODEL_DIR));
    definePlaceholder("@MODEL@", testModel(QStringLiteral("add_one.onnx")));
    definePlaceholder("@OUT@", g_scratch->output);
}

const char* door() {
    return scratch().door.c_str();
}

QString fixturePath(const QString& name) {
    return scratch().fixtures + QLatin1Char('/') + name;
}

QString outputDirectory() {
    return scratch().output;
}

QString testModel(const QString& name) {
    return QDir(QStringLiteral(TARNIVALE_TEST_MODEL_DIR)).filePath(name);
}

QString copyTestModel(const QString& name, const QString& fixtureName) {
    const QString source = testModel(name);
    if (!QFileInfo::exists(source)) {
        fail("generated test model missing: " + source.toStdString());
    }
    const QString target = fixturePath(fixtureName);
    copyTree(source, target);
    return target;
}

void definePlaceholder(const char* name, const QString& value) {
    scratch().placeholders.emplace_back(QByteArray(name), value.toUtf8());
}

QByteArray substituted(const std::uint8_t* data, std::size_t size) {
    const auto& placeholders = scratch().placeholders;
    QByteArray text;
    text.reserve(static_cast<qsizetype>(size));
    const char* bytes = reinterpret_cast<const char*>(data);
    for (std::size_t at = 0; at < size;) {
        bool replaced = false;
        if (bytes[at] == '@') {
            for (const auto& [name, value] : placeholders) {
                const auto length = static_cast<std::size_t>(name.size());
                if (size - at >= length && std::memcmp(bytes + at, name.constData(), length) == 0) {
                    text.append(value);
                    at += length;
                    replaced = true;
                    break;
                }
            }
        }
        if (!replaced) {
            text.append(bytes[at++]);
        }
    }
    return text;
}

DocumentPair splitDocuments(const QByteArray& input) {
    const qsizetype at = input.indexOf(Separator);
    if (at < 0) {
        return {input, std::nullopt};
    }
    return {input.left(at), input.mid(at + Separator.size())};
}

std::u16string wideText(const QByteArray& utf8) {
    std::u16string text;
    const auto* bytes = reinterpret_cast<const unsigned char*>(utf8.constData());
    const std::size_t size = static_cast<std::size_t>(utf8.size());
    for (std::size_t at = 0; at < size && bytes[at] != 0;) {
        const unsigned char lead = bytes[at];
        if (lead < 0x80) {
            text.push_back(lead);
            ++at;
            continue;
        }
        std::size_t length = 0;
        char32_t point = 0;
        char32_t smallest = 0;
        if ((lead & 0xE0) == 0xC0) {
            length = 2, point = lead & 0x1F, smallest = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, point = lead & 0x0F, smallest = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, point = lead & 0x07, smallest = 0x10000;
        }
        bool valid = length > 0 && at + length <= size;
        for (std::size_t k = 1; valid && k < length; ++k) {
            valid = (bytes[at + k] & 0xC0) == 0x80;
            point = (point << 6) | (bytes[at + k] & 0x3F);
        }
        valid = valid && point >= smallest && point <= 0x10FFFF;
        if (!valid) {
            text.push_back(static_cast<char16_t>(0xDC00 + lead));  // a lone low surrogate
            ++at;
            continue;
        }
        if (point >= 0x10000) {  // surrogates written as three bytes pass through as lone units
            point -= 0x10000;
            text.push_back(static_cast<char16_t>(0xD800 + (point >> 10)));
            text.push_back(static_cast<char16_t>(0xDC00 + (point & 0x3FF)));
        } else {
            text.push_back(static_cast<char16_t>(point));
        }
        at += length;
    }
    return text;
}

void refuseUrls() {
    scratch().refuseUrls = true;
}

bool safeDocument(const QByteArray& utf8, const QStringList& outputKeys) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(utf8, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject()) {
        return true;
    }
    const QJsonObject object = document.object();
    if (!safeValue(object)) {
        return false;
    }
    for (const QString& key : outputKeys) {
        const QJsonValue value = object.value(key);
        if (value.isString() && !value.toString().isEmpty() && !insideOutput(value.toString())) {
            return false;
        }
    }
    return true;
}

bool safeWideDocument(const std::u16string& text, const QStringList& outputKeys) {
    // As the library reads it: UTF-16 to QString to UTF-8 to QJsonDocument.
    return safeDocument(QString::fromUtf16(text.c_str()).toUtf8(), outputKeys);
}

void clearOutputs() {
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(outputDirectory().toStdString(), error)) {
        std::filesystem::remove_all(entry.path(), error);
    }
}

void note(const QString& what) {
    static const bool verbose = qEnvironmentVariableIsSet("TARNIVALE_FUZZ_VERBOSE");
    if (verbose) {
        std::fprintf(stderr, "  %s\n", qPrintable(what.left(4000)));
    }
}

void fail(const std::string& what) {
    std::fprintf(stderr, "\ntarnivale-fuzz [%s]: %s\n", g_scratch ? g_scratch->door.c_str() : "?",
                 what.c_str());
    std::fflush(stderr);
    std::abort();
}

std::optional<QJsonObject> checkedWideResult(TarnivaleAI_Char* result) {
    TarnivaleAI_Char* errorText = TarnivaleAI_GetLastError();
    if (errorText == nullptr) {
        fail("TarnivaleAI_GetLastError returned null");
    }
    const QString error = QString::fromUtf16(errorText);
    TarnivaleAI_FreeString(errorText);
    if (result == nullptr) {
        if (error.isEmpty()) {
            fail("a null result left the last error empty");
        }
        note(QStringLiteral("error: ") + error);
        return std::nullopt;
    }
    const QString text = QString::fromUtf16(result);
    TarnivaleAI_FreeString(result);
    if (!error.isEmpty()) {
        fail("a result came with a nonempty last error: " + error.toStdString());
    }
    QJsonParseError parse;
    const QJsonDocument document = QJsonDocument::fromJson(text.toUtf8(), &parse);
    if (parse.error != QJsonParseError::NoError || !document.isObject()) {
        fail("the result is not a JSON object: " + text.left(300).toStdString());
    }
    note(QStringLiteral("result: ") + text);
    return document.object();
}

void checkedProgress(int, int, int percent, const TarnivaleAI_Char* message, void* calls) {
    if (message == nullptr) {
        fail("progress without a message");
    }
    if (percent < 0 || percent > 100) {
        fail("progress percent out of range: " + std::to_string(percent));
    }
    if (calls != nullptr) {
        ++*static_cast<int*>(calls);
    }
}

void runText(const char* text) {
    if (LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(text), std::strlen(text)) != Ran) {
        fail(std::string("a built-in example was refused: ") + text);
    }
}

}  // namespace Tarnivale::AI::Fuzzing
