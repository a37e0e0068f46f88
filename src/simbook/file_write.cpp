// Atomic file writing: a flushed temporary file beside the target, renamed or linked into place.
#include "simbook/file_write.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace simbook {
namespace {

std::string SystemProblem(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
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

// A name beside `path` that is new with high likelihood; the exclusive create decides.
std::string CandidateName(const std::string& path) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
    return path + ".tmp." + suffix;
}

// Creates a new file beside `path` under an unused name, refusing to follow any link there.
int CreateUnique(const std::string& path, mode_t mode, std::string& temp) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        temp = CandidateName(path);
        int fd = AboveStandard(
            open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (fd >= 0 || errno != EEXIST) {
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

// The file a name leads to: `path` itself unless it is a symbolic link to an existing file.
std::string Target(const std::string& path) {
    struct stat st {};
    char resolved[PATH_MAX];
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) &&
        realpath(path.c_str(), resolved) != nullptr) {
        return resolved;
    }
    return path;
}

} // namespace

int WriteTemporaryBeside(const std::string& path, const std::string& text, int mode,
                         std::string& temp, std::string& problem) {
    // Without an explicit mode the kernel applies the umask (and any default ACL) to 0644.
    int fd = CreateUnique(path, mode < 0 ? 0644 : 0600, temp);
    if (fd < 0) {
        problem = SystemProblem("cannot create a temporary file beside it", errno);
        return -1;
    }
    const char* step = "cannot set the mode of the temporary file";
    bool ok = mode < 0 || fchmod(fd, static_cast<mode_t>(mode) & 07777) == 0;
    if (ok) {
        step = "cannot write the temporary file";
        ok = WriteAll(fd, text) && fsync(fd) == 0;
    }
    if (!ok) {
        problem = SystemProblem(step, errno);
        close(fd);
        unlink(temp.c_str());
        return -1;
    }
    return fd;
}

void SyncFolderOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    std::string folder = slash == std::string::npos ? "."
                         : slash == 0               ? "/"
                                                    : path.substr(0, slash);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
}

bool WriteFileAtomically(const std::string& path, const std::string& text, std::string& problem,
                         int mode) {
    const std::string target = Target(path);
    struct stat st {};
    if (stat(target.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode)) {
            problem = S_ISDIR(st.st_mode) ? "is a directory" : "is not a regular file";
            return false;
        }
        if (mode < 0) {
            mode = static_cast<int>(st.st_mode & 07777);
        }
    }
    std::string temp;
    int fd = WriteTemporaryBeside(target, text, mode, temp, problem);
    if (fd < 0) {
        return false;
    }
    const char* step = "cannot write the temporary file";
    bool ok = close(fd) == 0;
    if (ok) {
        step = "cannot rename the temporary file over it";
        ok = rename(temp.c_str(), target.c_str()) == 0;
    }
    if (!ok) {
        problem = SystemProblem(step, errno);
        unlink(temp.c_str());
        return false;
    }
    SyncFolderOf(target);
    return true;
}

bool CreateFileAtomically(const std::string& path, const std::string& text, std::string& problem,
                          bool& existed) {
    existed = false;
    std::string temp;
    int fd = WriteTemporaryBeside(path, text, -1, temp, problem);
    if (fd < 0) {
        return false;
    }
    // A rename that refuses to replace where the file system has one, else a hard link: neither
    // ever replaces an existing name, unlike a plain rename().
    bool ok = close(fd) == 0;
    bool moved = false;
    if (ok) {
        moved = renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, path.c_str(), RENAME_NOREPLACE) == 0;
        ok = moved || ((errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) &&
                       link(temp.c_str(), path.c_str()) == 0);
    }
    const int error = errno;
    if (!moved) {
        unlink(temp.c_str());
    }
    if (!ok) {
        existed = error == EEXIST;
        problem = existed ? "exists already" : SystemProblem("cannot be created", error);
        return false;
    }
    SyncFolderOf(path);
    return true;
}

int AboveStandard(int fd) {
    if (fd < 0 || fd > STDERR_FILENO) {
        return fd;
    }
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int saved = errno;
    close(fd);
    errno = saved;
    return moved;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat sa {};
    struct stat sb {};
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
}

} // namespace simbook
