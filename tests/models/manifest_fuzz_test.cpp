// A seeded mutation fuzzer for the manifest loader: whatever the bytes, the loader returns a manifest or
// throws std::invalid_argument, and whatever it returns can be validated and, when valid, written back.
// Set TARNIVALE_FUZZ_ITERATIONS to run longer than the suite's bounded default.

#include <tarnivale/ai/models.h>

#include "manifest_samples.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <stdexcept>

using namespace Tarnivale::AI;

namespace {

const char* const kTokens[] = {"{",
                               "}",
                               "[",
                               "]",
                               ",",
                               ":",
                               "\"",
                               "null",
                               "true",
                               "-1",
                               "1e308",
                               "-0.0",
                               "\"\\ud800\"",
                               "\"task\"",
                               "\"shape\"",
                               "\"inputs\"",
                               "\"tiling\"",
                               "\"kind\"",
                               "\"dataType\"",
                               "\xff",
                               "\\u0000"};

QByteArray mutate(QByteArray data, std::mt19937& random) {
    const int steps = 1 + static_cast<int>(random() % 4);
    for (int step = 0; step < steps; ++step) {
        const auto position = [&] {
            return data.isEmpty() ? 0 : static_cast<qsizetype>(random() % data.size());
        };
        switch (random() % 6) {
            case 0:  // flip a byte
                if (!data.isEmpty()) {
                    data[position()] = static_cast<char>(random() % 256);
                }
                break;
            case 1:  // insert a JSON token
                data.insert(position(), kTokens[random() % std::size(kTokens)]);
                break;
            case 2: {  // delete a run
                const qsizetype at = position();
                data.remove(at, static_cast<qsizetype>(random() % 16));
                break;
            }
            case 3:  // truncate
                data.truncate(position());
                break;
            case 4: {  // duplicate a run
                const qsizetype at = position();
                data.insert(at, data.mid(at, static_cast<qsizetype>(random() % 64)));
                break;
            }
            default: {  // swap a number for an extreme one
                const qsizetype digit = data.indexOf(QByteArrayView("1"), position());
                if (digit >= 0) {
                    data.replace(digit, 1, random() % 2 ? "99999999999999999999" : "-2147483649");
                }
                break;
            }
        }
    }
    return data;
}

}  // namespace

TEST(ManifestFuzz, LoaderNeverCrashesOrThrowsAnythingElse) {
    const QList<QByteArray> seeds{
        AiModelManifestWriter::toJson(Testing::fullManifest(), false),
        AiModelManifestWriter::toJson(Testing::fullManifest(), true),
        AiModelManifestWriter::toJson(Testing::minimalManifest(), false),
        QByteArray("{}"),
    };
    int iterations = 20000;
    if (const char* configured = std::getenv("TARNIVALE_FUZZ_ITERATIONS")) {
        iterations = std::atoi(configured);
    }
    std::mt19937 random(20261206);
    int parsed = 0;
    int valid = 0;
    for (int i = 0; i < iterations; ++i) {
        const QByteArray input = mutate(seeds[i % seeds.size()], random);
        try {
            const AiModelManifest manifest = AiModelManifestLoader::fromJson(input);
            ++parsed;
            if (manifest.isValid()) {
                ++valid;
                const AiModelManifest again =
                    AiModelManifestLoader::fromJson(AiModelManifestWriter::toJson(manifest));
                ASSERT_TRUE(again.isValid()) << input.toStdString();
            }
        } catch (const std::invalid_argument&) {
            // refused with a message: fine
        } catch (const std::exception& error) {
            FAIL() << "unexpected exception " << error.what() << " for input " << input.toStdString();
        }
    }
    // The mutations must keep some inputs parseable and valid, or the fuzzer tests only the parser's
    // refusals.
    EXPECT_GT(parsed, iterations / 20);
    EXPECT_GT(valid, 0);
}
