// Files of a test: a scratch folder that removes itself, and whole-file reads and writes.
#pragma once

#include <filesystem>
#include <string>

namespace nwt::test {

// A fresh folder under the temporary folder, unique to this object, removed with everything in
// it when the object goes. The name starts with `prefix`, so a leftover names its test.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix = "nwt-test");
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& Dir() const { return _dir; }
    // The path of `name` inside the folder, as text.
    std::string Path(const std::string& name) const { return (_dir / name).string(); }

private:
    std::filesystem::path _dir;
};

// The file's bytes; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);
// Replaces the file with `bytes`; a failure is a test failure.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
// Writes `text` as the machine file "machine.json" of `scratch`; returns its path.
std::string WriteMachine(const ScratchDir& scratch, const std::string& text);

} // namespace nwt::test
