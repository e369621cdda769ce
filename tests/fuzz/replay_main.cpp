// Replays seed files through a fuzz harness without libFuzzer: `fuzz_replay_<door> FILE-OR-DIRECTORY...`
// calls LLVMFuzzerInitialize once, then LLVMFuzzerTestOneInput on every file (a directory's files in name
// order; paths are made absolute first, as the harness changes the working directory). A harness that refuses
// a seed fails the replay; a crash or a broken promise aborts it.

#include "fuzz/fuzz_support.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<std::filesystem::path> inputsOf(const std::filesystem::path& path) {
    std::vector<std::filesystem::path> files;
    if (std::filesystem::is_directory(path)) {
        for (const auto& entry : std::filesystem::directory_iterator(path)) {
            if (entry.is_regular_file()) {
                files.push_back(std::filesystem::absolute(entry.path()));
            }
        }
        std::sort(files.begin(), files.end());
    } else {
        files.push_back(std::filesystem::absolute(path));
    }
    return files;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE-OR-DIRECTORY...\n", argv[0]);
        return 2;
    }
    std::vector<std::filesystem::path> files;
    for (int i = 1; i < argc; ++i) {
        if (!std::filesystem::exists(argv[i])) {
            std::fprintf(stderr, "no such seed file or directory: %s\n", argv[i]);
            return 2;
        }
        const std::vector<std::filesystem::path> found = inputsOf(argv[i]);
        if (found.empty()) {
            // A door without seeds would replay nothing and pass; git would not even keep its directory.
            std::fprintf(stderr, "no seed files in %s: every door keeps at least one\n", argv[i]);
            return 2;
        }
        files.insert(files.end(), found.begin(), found.end());
    }
    LLVMFuzzerInitialize(&argc, &argv);
    int refused = 0;
    for (const std::filesystem::path& file : files) {
        std::ifstream stream(file, std::ios::binary);
        const std::string bytes{std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>()};
        if (!stream.good() && !stream.eof()) {
            std::fprintf(stderr, "cannot read %s\n", file.c_str());
            return 2;
        }
        const int outcome =
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        std::printf("%s %s\n", outcome == Tarnivale::AI::Fuzzing::Ran ? "ran" : "REFUSED", file.c_str());
        refused += outcome != Tarnivale::AI::Fuzzing::Ran;
    }
    std::printf("%zu seeds, %d refused\n", files.size(), refused);
    return refused == 0 ? 0 : 1;
}
