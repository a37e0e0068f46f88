// Locating, creating and loading the machine file of this process: $SIMBOOK, or the default
// state file created from the built-in default the first time; the problem, when the file
// cannot be read or parsed, reported once on standard error.
//
// The same code serves the Linux stand-in and the Wi-Fi service libraries built for Wine. Under
// Wine, $SIMBOOK still holds the Linux path the runner was given; it is reached through the
// drive Wine maps to the Linux root (Z:), and the runner always names the file explicitly.
#include "simbook/machine.h"
#include "simbook/trace.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include "simbook/file_write.h"
#endif

namespace simbook {
namespace {

#ifdef _WIN32
// A Linux path ("/tmp/m.json") as Wine's programs reach it ("Z:\\tmp\\m.json"); any other path
// is taken as a Windows path already.
std::string WindowsPath(const std::string& path) {
    if (path.empty() || path[0] != '/') {
        return path;
    }
    std::string out = "Z:" + path;
    for (char& c : out) {
        if (c == '/') {
            c = '\\';
        }
    }
    return out;
}
#endif

std::mutex g_mutex;
bool g_loaded = false;
const Machine* g_current = nullptr;
std::vector<std::unique_ptr<Machine>> g_machines; // every machine handed out stays valid

std::string TooLarge() {
    return "is larger than " + std::to_string(kMaxMachineFileSize) +
           " bytes, the most a machine file may have";
}

#ifdef _WIN32
bool ReadText(const std::string& path, std::string& text, std::string& problem) {
    DWORD attributes = GetFileAttributesA(WindowsPath(path).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        problem = "is a directory, not a machine file";
        return false;
    }
    std::ifstream in(WindowsPath(path), std::ios::binary);
    if (!in) {
        problem = std::string("cannot be read: ") + std::strerror(errno);
        return false;
    }
    // One byte more than the limit tells a file that is too large.
    std::string buffer(kMaxMachineFileSize + 1, '\0');
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    if (in.bad()) {
        problem = "cannot be read";
        return false;
    }
    buffer.resize(static_cast<size_t>(in.gcount()));
    if (buffer.size() > kMaxMachineFileSize) {
        problem = TooLarge();
        return false;
    }
    text = std::move(buffer);
    return true;
}
#else
const char* NotRegular(mode_t mode) {
    if (S_ISDIR(mode)) {
        return "is a directory, not a machine file";
    }
    if (S_ISFIFO(mode)) {
        return "is a FIFO, not a regular file";
    }
    if (S_ISCHR(mode) || S_ISBLK(mode)) {
        return "is a device, not a regular file";
    }
    return "is not a regular file";
}

// Reads the whole of an open regular file, refusing more than the limit even when the file
// grows while it is read.
bool ReadAll(int fd, std::string& text, std::string& problem) {
    std::string buffer;
    char chunk[16384];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            problem = std::string("cannot be read: ") + std::strerror(errno);
            return false;
        }
        if (n == 0) {
            break;
        }
        if (buffer.size() + static_cast<size_t>(n) > kMaxMachineFileSize) {
            problem = TooLarge();
            return false;
        }
        buffer.append(chunk, static_cast<size_t>(n));
    }
    text = std::move(buffer);
    return true;
}

bool ReadText(const std::string& path, std::string& text, std::string& problem) {
    // Non-blocking, so that a FIFO is opened at once and then refused rather than waited on.
    int fd = AboveStandard(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd < 0) {
        problem = std::string("cannot be read: ") + std::strerror(errno);
        return false;
    }
    struct stat st {};
    bool ok = false;
    if (fstat(fd, &st) != 0) {
        problem = std::string("cannot be read: ") + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        problem = NotRegular(st.st_mode);
    } else if (static_cast<uintmax_t>(st.st_size) > kMaxMachineFileSize) {
        problem = TooLarge();
    } else {
        int flags = fcntl(fd, F_GETFL);
        ok = flags >= 0 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
        if (!ok) {
            problem = std::string("cannot be read: ") + std::strerror(errno);
        }
    }
    ok = ok && ReadAll(fd, text, problem);
    close(fd);
    return ok;
}
#endif

#ifndef _WIN32
bool MakeDirectories(const std::string& dir) {
    if (dir.empty()) {
        return true;
    }
    struct stat st {};
    if (stat(dir.c_str(), &st) == 0) {
        return S_ISDIR(st.st_mode);
    }
    size_t slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0 && !MakeDirectories(dir.substr(0, slash))) {
        return false;
    }
    return mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST;
}

// Creates the default state file from the built-in text when it does not exist yet. The file
// appears complete or not at all, and a file another process created meanwhile is kept.
bool EnsureDefaultFile(const std::string& path) {
    if (access(path.c_str(), F_OK) == 0) {
        return true;
    }
    size_t slash = path.find_last_of('/');
    if (slash != std::string::npos && !MakeDirectories(path.substr(0, slash))) {
        ReportMachineProblem(path,
                             std::string("cannot create its folder: ") + std::strerror(errno));
        return false;
    }
    std::string problem;
    bool existed = false;
    if (!CreateFileAtomically(path, DefaultMachineText(), problem, existed) && !existed) {
        ReportMachineProblem(path, problem);
        return false;
    }
    return true;
}

#endif

const Machine* LoadLocked() {
    std::string path = MachineFilePath();
    if (path.empty()) {
        return nullptr;
    }
    std::string problem;
    std::optional<LoadedMachine> loaded = LoadMachineFile(path, problem);
    if (!loaded) {
        ReportMachineProblem(path, problem);
        return nullptr;
    }
    try {
        g_machines.push_back(std::make_unique<Machine>(std::move(loaded->machine)));
    } catch (const std::exception& e) {
        // No memory for the machine: it is missing, as for a bad file.
        ReportMachineProblem(path, std::string("cannot be loaded: ") + e.what());
        return nullptr;
    }
    return g_machines.back().get();
}

} // namespace

bool ReadMachineText(const std::string& path, std::string& text, std::string& problem) {
    return ReadText(path, text, problem);
}

std::optional<LoadedMachine> LoadMachineFile(const std::string& path, std::string& problem) {
    try {
        LoadedMachine loaded;
        if (!ReadText(path, loaded.text, problem)) {
            return std::nullopt;
        }
        std::optional<Machine> machine = ParseMachine(loaded.text, problem);
        if (!machine) {
            return std::nullopt;
        }
        loaded.machine = std::move(*machine);
        loaded.machine.path = path;
        loaded.json = MachineJson(loaded.machine);
        return loaded;
    } catch (const std::exception& e) {
        // No memory for the text or the machine: the machine is missing, as for a bad file.
        problem = std::string("cannot be loaded: ") + e.what();
        return std::nullopt;
    }
}

std::string MachineFilePath() {
    const char* explicitPath = std::getenv("SIMBOOK");
    if (explicitPath != nullptr && explicitPath[0] != '\0') {
        return explicitPath;
    }
#ifdef _WIN32
    ReportMachineProblem("(default machine)", "SIMBOOK is not set");
    return {};
#else
    std::string path = DefaultMachineFilePath();
    if (path.empty()) {
        ReportMachineProblem("(default machine)", "neither SIMBOOK nor HOME is set");
        return {};
    }
    if (!EnsureDefaultFile(path)) {
        return {};
    }
    return path;
#endif
}

std::string DefaultMachineFilePath() {
#ifdef _WIN32
    return {};
#else
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state != nullptr && state[0] == '/') {
        return std::string(state) + "/simbook/machine.json";
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
        return {};
    }
    return std::string(home) + "/.local/state/simbook/machine.json";
#endif
}

void ReportMachineProblem(const std::string& file, const std::string& problem) {
#ifdef _WIN32
    // Under Wine each service library carries its own reader, and both read the machine when
    // they load: the first report marks the process, so the problem is still told once.
    const char* kReported = "SIMBOOK_PROBLEM_REPORTED";
    if (GetEnvironmentVariableA(kReported, nullptr, 0) != 0) {
        return;
    }
    SetEnvironmentVariableA(kReported, "1");
#endif
    ReportProblem(file, problem);
}

const Machine* CurrentMachine() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_loaded) {
        g_current = LoadLocked();
        g_loaded = true;
    }
    return g_current;
}

void ReloadMachineForTests() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_loaded = false;
    g_current = nullptr;
}

} // namespace simbook
