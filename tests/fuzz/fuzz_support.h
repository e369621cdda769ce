#pragma once

// Shared by the fuzz harnesses of the flat C functions (one harness per function, its "door"). Each harness
// defines LLVMFuzzerInitialize and LLVMFuzzerTestOneInput; libFuzzer drives them in the clang fuzz build and
// replay_main.cpp feeds them the door's seed files in every other build.
//
// A process gets one scratch directory (under TMPDIR) holding the door's fixtures and an output directory
// that is also the working directory. Inputs name fixtures by placeholders ("@RASTER@", "@PACKAGE@",
// "@MODEL@", "@MODELS@", "@OUT@", ...), replaced before the call, so that seeds work on any machine.

#include <tarnivale/ai/interop.h>

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace Tarnivale::AI::Fuzzing {

/// What LLVMFuzzerTestOneInput returns: 0 for an input that ran, -1 for one the harness refused to run
/// (libFuzzer keeps it out of the corpus; the replay counts it as a bad seed).
constexpr int Ran = 0;
constexpr int Refused = -1;

/// Creates the process's scratch directory with fixtures/ and out/, makes out/ the working directory and
/// removes everything at exit. Defines the placeholders @MODELS@ (the generated test models), @MODEL@
/// (add_one.onnx) and @OUT@. Call once, first, from LLVMFuzzerInitialize with its arguments: libFuzzer
/// reads them after that call, so relative inputs, corpus directories and path flags are made absolute
/// (against the starting directory), and crashing inputs are written there unless -artifact_prefix says.
void initialise(const char* door, int* argc, char*** argv);
/// The door's name, for messages.
const char* door();
/// A path under the fixtures directory.
QString fixturePath(const QString& name);
/// The output directory (the working directory).
QString outputDirectory();
/// A generated test model (TARNIVALE_TEST_MODEL_DIR).
QString testModel(const QString& name);
/// Copies a generated model, or a directory of them, into the fixtures; returns the copy's path.
QString copyTestModel(const QString& name, const QString& fixtureName);

/// Adds a placeholder ("@NAME@") and the text it stands for.
void definePlaceholder(const char* name, const QString& value);
/// The input with every placeholder replaced.
QByteArray substituted(const std::uint8_t* data, std::size_t size);

/// Two documents in one input: the first up to the separator line "---", the second after it.
struct DocumentPair {
    QByteArray first;
    std::optional<QByteArray> second;
};
DocumentPair splitDocuments(const QByteArray& input);

/// UTF-8 to UTF-16 for the wide doors, ending at the first NUL. Bytes that are not valid UTF-8 become lone
/// low surrogates (0xDC00 + byte), so the library also meets unpaired surrogates.
std::u16string wideText(const QByteArray& utf8);

/// Makes safeDocument refuse URLs too ("://"), for doors whose paths reach GDAL, which would fetch them.
void refuseUrls();

/// Whether an input may run: every string in the document (parsed as the library parses it) is refused
/// when it reaches a device other than /dev/null and /dev/zero, /proc or a GDAL virtual file system
/// ("/vsi"), and the strings under `outputKeys` (top-level keys the library writes files to) must stay
/// inside the output directory. Text that is not a JSON object may always run: the library refuses it.
bool safeDocument(const QByteArray& utf8, const QStringList& outputKeys = {});
bool safeWideDocument(const std::u16string& text, const QStringList& outputKeys = {});

/// Deletes everything the last input wrote into the output directory.
void clearOutputs();

/// With TARNIVALE_FUZZ_VERBOSE set, prints what an input led to (for checking seeds); otherwise nothing.
void note(const QString& what);

/// Reports a broken promise of the C interface and aborts (a crash for libFuzzer, a failure for the replay).
[[noreturn]] void fail(const std::string& what);

/// Checks a wide door's answer against the interface's promises (null with a nonempty last error, or a JSON
/// object with an empty last error), frees it and returns the object (empty for a failure).
std::optional<QJsonObject> checkedWideResult(TarnivaleAI_Char* result);

/// A progress callback that checks its arguments (message present, percent 0..100) and counts its calls.
void checkedProgress(int completed, int total, int percent, const TarnivaleAI_Char* message, void* calls);

/// Runs one input through the door's own LLVMFuzzerTestOneInput (warm-up and built-in examples).
void runText(const char* text);

}  // namespace Tarnivale::AI::Fuzzing
