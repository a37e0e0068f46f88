// Locking and atomic write-back of the machine file.
#include "simbook/driver/store.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace simbook {

MachineLock::~MachineLock() {
    for (int fd : fds_) {
        close(fd); // closing the descriptor drops its lock
    }
}

bool MachineLock::Acquire(const std::string& path, bool exclusive, Dword& error) {
    // The file may be replaced by a write-back between open and flock; then the lock sits on a
    // file nobody will open again, so try once more on the new one.
    for (int attempt = 0; attempt < 16; ++attempt) {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
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
        if (fstat(fd, &held) == 0 && stat(path.c_str(), &current) == 0 &&
            held.st_ino == current.st_ino && held.st_dev == current.st_dev) {
            path_ = path;
            exclusive_ = exclusive;
            fds_.push_back(fd);
            return true;
        }
        close(fd);
    }
    error = win32::kSharingViolation;
    return false;
}

namespace {

bool ReadText(const std::string& path, std::string& text) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    std::ostringstream ss;
    ss << in.rdbuf();
    text = ss.str();
    return !in.bad();
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool MachineLock::WriteBack(const Machine::Firmware& firmware) {
    if (!Held() || !exclusive_) {
        return false; // only the exclusive holder may change the file
    }
    std::string text;
    if (!ReadText(path_, text)) {
        ReportMachineProblem(path_, "cannot be read for the write-back");
        return false;
    }
    nlohmann::ordered_json root;
    try {
        root = nlohmann::ordered_json::parse(text);
    } catch (const nlohmann::ordered_json::parse_error&) {
        ReportMachineProblem(path_, "not valid JSON any more; firmware change not stored");
        return false;
    }
    if (!root.is_object() || (root.contains("firmware") && !root["firmware"].is_object())) {
        ReportMachineProblem(path_, "firmware: must be an object; firmware change not stored");
        return false;
    }
    root["firmware"]["wlan_flags"] = firmware.wlanFlags;
    root["firmware"]["setting58"] = firmware.setting58;
    std::string problem;
    if (!Replace(root.dump(2) + "\n", problem)) {
        ReportMachineProblem(path_, "firmware change not stored: " + problem);
        return false;
    }
    return true;
}

bool MachineLock::Replace(const std::string& text, std::string& problem) {
    if (!Held() || !exclusive_) {
        problem = "the file is not held exclusively";
        return false;
    }
    std::string temp = path_ + ".tmp";
    struct stat st {};
    mode_t mode = 0644;
    if (fstat(fds_.front(), &st) == 0) {
        mode = st.st_mode & 07777;
    }
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0) {
        problem = "cannot create " + temp + ": " + std::strerror(errno);
        return false;
    }
    bool ok = WriteAll(fd, text) && fsync(fd) == 0 && flock(fd, LOCK_EX | LOCK_NB) == 0 &&
              rename(temp.c_str(), path_.c_str()) == 0;
    if (!ok) {
        int saved = errno;
        close(fd);
        unlink(temp.c_str());
        problem = std::strerror(saved);
        return false;
    }
    fds_.push_back(fd); // keep the new file locked as well
    return true;
}

bool ReadFirmware(const std::string& path, Machine::Firmware& firmware) {
    std::string text;
    if (!ReadText(path, text)) {
        ReportMachineProblem(path, std::string("cannot be read: ") + std::strerror(errno));
        return false;
    }
    std::string problem;
    std::optional<Machine> machine = ParseMachine(text, problem);
    if (!machine) {
        ReportMachineProblem(path, problem);
        return false;
    }
    firmware = machine->firmware;
    return true;
}

} // namespace simbook
