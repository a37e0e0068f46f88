// The replay of a fuzz target without libFuzzer: runs LLVMFuzzerTestOneInput once on each file
// named on the command line, and on each regular file inside each folder named there (in name
// order, so that runs repeat). A fault ends the process as it would under the fuzzer; an input
// that cannot be read, or a folder with no input, is a failure.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace {

bool RunFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return false;
    }
    // The bytes go to the target in a block of exactly their size, as the fuzzer hands them
    // over, so that a read past the end is caught.
    const std::vector<char> text((std::istreambuf_iterator<char>(in)),
                                 std::istreambuf_iterator<char>());
    std::vector<uint8_t> bytes(text.begin(), text.end());
    LLVMFuzzerTestOneInput(bytes.empty() ? nullptr : bytes.data(), bytes.size());
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize != nullptr) {
        LLVMFuzzerInitialize(&argc, &argv);
    }
    size_t ran = 0;
    bool ok = argc > 1;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path given(argv[i]);
        std::vector<std::filesystem::path> files;
        if (std::filesystem::is_directory(given)) {
            for (const auto& entry : std::filesystem::directory_iterator(given)) {
                if (entry.is_regular_file()) {
                    files.push_back(entry.path());
                }
            }
            std::sort(files.begin(), files.end());
            if (files.empty()) {
                std::fprintf(stderr, "replay: no input in %s\n", given.c_str());
                ok = false;
            }
        } else {
            files.push_back(given);
        }
        for (const auto& file : files) {
            ok = RunFile(file) && ok;
            ++ran;
        }
    }
    std::printf("replay: %zu inputs\n", ran);
    return ok ? 0 : 1;
}
