// Locking and atomic write-back of the machine file.
#include "simbook/driver/store.h"
#include "simbook/file_write.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <thread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace simbook {
namespace {

std::string SystemProblem(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// The file `path` leads to, every symbolic link followed; empty (errno set) when it is gone.
std::string Resolve(const std::string& path) {
    char resolved[PATH_MAX];
    if (realpath(path.c_str(), resolved) == nullptr) {
        return {};
    }
    return resolved;
}

// Whether the file at `held` may be replaced: one name only (a rename would leave the other
// names on the old file, splitting one machine in two) and writable by someone (permission
// checks do not stop the superuser, so the mode bits are read here).
bool MayReplace(int held, std::string& problem) {
    struct stat st {};
    if (fstat(held, &st) != 0) {
        problem = SystemProblem("cannot be examined");
        return false;
    }
    if (st.st_nlink > 1) {
        problem = "has " + std::to_string(st.st_nlink) +
                  " hard links; it is never replaced, so that its names do not part";
        return false;
    }
    if ((st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0) {
        problem = "is read-only";
        return false;
    }
    return true;
}

// Writes `text` into a new temporary file beside `path` (the shared writer's, created
// exclusively, flushed, with `mode`), locks it and renames it over `path`. Returns the new file's
// descriptor, or -1 with `problem` set and no temporary file left.
int RenameIntoPlace(const std::string& path, const std::string& text, mode_t mode,
                    std::string& problem) {
    std::string temp;
    int fd = WriteTemporaryBeside(path, text, static_cast<int>(mode), temp, problem);
    if (fd < 0) {
        return -1;
    }
    const char* step = "cannot lock the temporary file";
    bool ok = flock(fd, LOCK_EX | LOCK_NB) == 0;
    if (ok) {
        step = "cannot rename the temporary file over it";
        ok = rename(temp.c_str(), path.c_str()) == 0;
    }
    if (!ok) {
        problem = SystemProblem(step);
        close(fd);
        unlink(temp.c_str());
        return -1;
    }
    return fd;
}

// The machine file's text with the firmware's changeable values put in, every other key and
// the key order kept.
bool UpdatedText(const std::string& path, const Machine::Firmware& firmware, std::string& updated,
                 std::string& problem) {
    std::string text;
    if (!ReadMachineText(path, text, problem)) {
        return false;
    }
    nlohmann::ordered_json root = nlohmann::ordered_json::parse(text, nullptr, false);
    if (root.is_discarded()) {
        problem = "not valid JSON any more";
        return false;
    }
    if (!root.is_object() || (root.contains("firmware") && !root["firmware"].is_object())) {
        problem = "firmware: must be an object";
        return false;
    }
    root["firmware"]["wlan_flags"] = firmware.wlanFlags;
    root["firmware"]["setting58"] = firmware.setting58;
    updated = root.dump(2) + "\n";
    return true;
}

// The folders of ready machines a program may meet: the installed one beside the program
// (bin/../share/simbook/machines) and the source tree's.
std::vector<std::string> ReadyMachineFolders() {
    std::vector<std::string> folders = {SIMBOOK_SOURCE_MACHINES_DIR};
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        const std::string exe(self, static_cast<size_t>(n));
        folders.push_back(exe.substr(0, exe.find_last_of('/')) + "/../share/simbook/machines");
    }
    return folders;
}

// Refuses to let a program change a ready machine.
bool MayProgramWrite(const std::string& path, std::string& problem) {
    if (!IsReadyMachineFile(path)) {
        return true;
    }
    problem = "is a ready machine, which programs never change; give the program a copy "
              "(simbook new --from NAME FILE)";
    return false;
}

// "wlan.interfaces[0].scan" for the key `key` of the object at the JSON pointer `where`
// ("/wlan/interfaces/0").
std::string KeyPath(const std::string& where, const std::string& key) {
    std::string path;
    size_t at = 0;
    while (at < where.size()) {
        const size_t next = std::min(where.find('/', at + 1), where.size());
        const std::string part = where.substr(at + 1, next - at - 1);
        const bool index = !part.empty() && std::all_of(part.begin(), part.end(), [](char c) {
            return c >= '0' && c <= '9';
        });
        path += index ? "[" + part + "]" : (path.empty() ? "" : ".") + part;
        at = next;
    }
    return (path.empty() ? "" : path + ".") + key;
}

// The machine file's text with the step of the list `key` (of the object at `where`) taken:
// `taken` is the index this run takes; `updated` the text to store, empty when nothing changes.
bool SteppedText(const std::string& path, const std::string& where, const std::string& key,
                 size_t& taken, std::string& updated, std::string& problem) {
    std::string text;
    if (!ReadMachineText(path, text, problem) || !ParseMachine(text, problem)) {
        return false; // a file the reader refuses has no step to take
    }
    nlohmann::ordered_json root = nlohmann::ordered_json::parse(text);
    nlohmann::ordered_json& object = root.at(nlohmann::ordered_json::json_pointer(where));
    const std::string stepKey = key + "_step";
    taken = 0;
    updated.clear();
    if (!object.contains(key) || !object[key].is_array()) {
        return true;
    }
    const size_t last = object[key].size() - 1; // the reader refuses an empty list
    const size_t step = object.contains(stepKey) ? object[stepKey].get<size_t>() : 0;
    taken = std::min(step, last);
    const size_t next = std::min(taken + 1, last);
    if (object.contains(stepKey) ? step == next : next == 0) {
        return true; // the last value repeats: nothing to store
    }
    object[stepKey] = next;
    updated = root.dump(2) + "\n";
    return true;
}

} // namespace

bool IsReadyMachineFile(const std::string& path) {
    const std::string file = Resolve(path);
    const size_t slash = file.find_last_of('/');
    if (slash == std::string::npos) {
        return false;
    }
    const std::string folder = slash == 0 ? "/" : file.substr(0, slash);
    const std::vector<std::string> ready = ReadyMachineFolders();
    return std::any_of(ready.begin(), ready.end(),
                       [&](const std::string& f) { return SameFile(folder, f); });
}

MachineLock::~MachineLock() {
    for (int fd : fds_) {
        close(fd); // closing the descriptor drops its lock
    }
}

bool MachineLock::Acquire(const std::string& path, bool exclusive, Dword& error) {
    // The file may be replaced by a write-back between open and flock; then the lock sits on a
    // file nobody will open again, so try once more on the new one.
    for (int attempt = 0; attempt < 16; ++attempt) {
        std::string target = Resolve(path);
        int fd = target.empty()
                     ? -1
                     : AboveStandard(open(target.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
        if (fd < 0) {
            error = errno == ENOENT ? win32::kFileNotFound : win32::kAccessDenied;
            return false;
        }
        if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) != 0) {
            error = errno == EWOULDBLOCK ? win32::kSharingViolation : win32::kAccessDenied;
            close(fd);
            return false;
        }
        struct stat held {};
        struct stat current {};
        if (fstat(fd, &held) == 0 && stat(target.c_str(), &current) == 0 &&
            held.st_ino == current.st_ino && held.st_dev == current.st_dev) {
            path_ = target;
            exclusive_ = exclusive;
            fds_.push_back(fd);
            return true;
        }
        close(fd);
    }
    error = win32::kSharingViolation;
    return false;
}

bool MachineLock::Replace(const std::string& text, std::string& problem) {
    if (!Held() || !exclusive_) {
        problem = "not locked for writing";
        return false;
    }
    try {
        std::string invalid;
        if (!ParseMachine(text, invalid)) {
            problem = "the new text is not a machine: " + invalid;
            return false;
        }
        struct stat st {};
        if (!MayReplace(fds_.back(), problem) || fstat(fds_.back(), &st) != 0) {
            return false;
        }
        int fd = RenameIntoPlace(path_, text, st.st_mode & 07777, problem);
        if (fd < 0) {
            return false;
        }
        fds_.push_back(fd); // keep the new file locked as well
        SyncFolderOf(path_);
        return true;
    } catch (const std::exception& e) {
        problem = std::string("cannot be replaced: ") + e.what();
        return false;
    }
}

bool MachineLock::WriteBack(const Machine::Firmware& firmware) {
    if (!Held() || !exclusive_) {
        return false; // only the exclusive holder may change the file
    }
    std::string problem;
    try {
        std::string updated;
        if (MayProgramWrite(path_, problem) && UpdatedText(path_, firmware, updated, problem) &&
            Replace(updated, problem)) {
            return true;
        }
    } catch (const std::exception& e) {
        problem = e.what();
    }
    ReportMachineProblem(path_, "firmware change not stored: " + problem);
    return false;
}

std::optional<size_t> MachineLock::TakeStep(const std::string& where, const std::string& key) {
    std::string problem = "not locked for writing";
    if (Held() && exclusive_) {
        try {
            size_t taken = 0;
            std::string updated;
            if (SteppedText(path_, where, key, taken, updated, problem) &&
                (updated.empty() ||
                 (MayProgramWrite(path_, problem) && Replace(updated, problem)))) {
                return taken;
            }
        } catch (const std::exception& e) {
            problem = e.what();
        }
    }
    ReportMachineProblem(path_, KeyPath(where, key) + " step not stored: " + problem);
    return std::nullopt;
}

std::optional<size_t> TakeStepWaiting(const std::string& path, const std::string& where,
                                      const std::string& key, std::chrono::milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    MachineLock lock;
    Dword error = 0;
    while (!lock.Acquire(path, true, error)) {
        if (error != win32::kSharingViolation || std::chrono::steady_clock::now() >= deadline) {
            ReportMachineProblem(path, KeyPath(where, key) + " step not taken: " +
                                           (error == win32::kSharingViolation
                                                ? "another program holds the machine file"
                                                : SystemProblem("cannot be opened")));
            return std::nullopt;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return lock.TakeStep(where, key);
}

bool ReadFirmware(const std::string& path, Machine::Firmware& firmware) {
    std::string problem;
    std::optional<LoadedMachine> loaded = LoadMachineFile(path, problem);
    if (!loaded) {
        ReportMachineProblem(path, problem);
        return false;
    }
    firmware = loaded->machine.firmware;
    return true;
}

} // namespace simbook
