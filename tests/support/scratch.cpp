#include "scratch.h"

#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <system_error>

#include <gtest/gtest.h>

namespace nwt::test {

ScratchDir::ScratchDir(const std::string& prefix) {
    // create_directory reports whether it made the folder, so a name another process took
    // between our choice and the call is never shared: pick again.
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    std::random_device seed;
    std::mt19937_64 pick(seed());
    static const char kLetters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string name = prefix + "-";
        for (int i = 0; i < 10; ++i) {
            name += kLetters[pick() % (sizeof kLetters - 1)];
        }
        std::error_code error;
        if (std::filesystem::create_directory(base / name, error)) {
            _dir = base / name;
            return;
        }
        if (error) {
            throw std::filesystem::filesystem_error("cannot make a scratch folder", base / name,
                                                    error);
        }
    }
    throw std::runtime_error("no free scratch folder name under " + base.string());
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(_dir, ignored);
}

std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    out.close();
    EXPECT_TRUE(out.good()) << "cannot write " << path;
}

std::string WriteMachine(const ScratchDir& scratch, const std::string& text) {
    std::string path = scratch.Path("machine.json");
    WriteFile(path, text);
    return path;
}

} // namespace nwt::test
