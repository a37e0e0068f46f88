// The child of `simbook run` and everything it starts. The child leads a process group of its
// own, so that an interrupt at the terminal reaches simbook alone, which then ends the group; and
// with an OrphanAdoption held, simbook is the reaper of orphans, so that a process the procedure
// left in the background, even one that left the group, stays below simbook and can be ended.
// While the child runs, simbook sleeps in poll() on three descriptors: a pidfd that wakes when
// the child ends, a signalfd for the interrupts it holds, and the pipe of captured output.
#include "simbook/cli/supervise.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ; // NOLINT: the process environment, set in the child before exec

namespace simbook::cli {
namespace {

using Clock = std::chrono::steady_clock;

// The pidfd calls through syscall(2): glibc's <sys/pidfd.h> is not usable from C++ in every
// version (its declarations lack C linkage).
int PidfdOpen(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

bool PidfdKill(int pidfd, int sig) {
    return syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0) == 0;
}

Clock::time_point After(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Milliseconds left until `deadline`, rounded up so that a wake-up is never early.
int MillisecondsUntil(Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
}

// A file descriptor closed when it goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Reset(); }
    int Get() const { return fd_; }
    void Reset(int fd = -1) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

struct Child {
    pid_t pid = -1;
    Fd pidfd;
    Fd output; // the read end of the captured output, while it is open
    bool done = false;
    int waitStatus = 0;
};

// In the forked child: the process group, the descriptors, the signals, then the program.
[[noreturn]] void ExecChild(const ChildCommand& command, int capture, char** argv, char** envp,
                            int report) {
    setpgid(0, 0);
    const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null >= 0) {
        dup2(null, 0);
    }
    dup2(capture >= 0 ? capture : command.out, 1);
    dup2(capture >= 0 ? capture : command.err, 2);
    // The procedure gets every signal, whatever simbook holds or ignores for itself.
    signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    environ = envp;
    execvp(argv[0], argv);
    const int error = errno;
    ssize_t ignored = write(report, &error, sizeof error);
    (void)ignored;
    _exit(127);
}

// Starts the child; false with `problem` set when it could not be started.
bool Spawn(const ChildCommand& command, Child& child, std::string& problem) {
    // Everything the child needs is made before the fork: after it only async-signal-safe calls.
    std::vector<char*> argv;
    for (const std::string& a : command.argv) {
        argv.push_back(const_cast<char*>(a.c_str()));
    }
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (const std::string& e : command.env) {
        envp.push_back(const_cast<char*>(e.c_str()));
    }
    envp.push_back(nullptr);
    int report[2] = {-1, -1};
    int capture[2] = {-1, -1};
    if (pipe2(report, O_CLOEXEC) != 0 || (command.capture && pipe2(capture, O_CLOEXEC) != 0)) {
        problem = std::string("cannot start the procedure: ") + std::strerror(errno);
        for (int fd : {report[0], report[1]}) {
            if (fd >= 0) {
                close(fd);
            }
        }
        return false;
    }
    child.output.Reset(capture[0]);
    const pid_t pid = fork();
    if (pid == 0) {
        ExecChild(command, capture[1], argv.data(), envp.data(), report[1]);
    }
    const int forkError = errno;
    close(report[1]);
    if (capture[1] >= 0) {
        close(capture[1]);
    }
    const Fd reportRead(report[0]);
    if (pid < 0) {
        problem = std::string("cannot start the procedure: ") + std::strerror(forkError);
        return false;
    }
    child.pid = pid;
    setpgid(pid, pid);
    int error = 0;
    ssize_t got = 0;
    do {
        got = read(reportRead.Get(), &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    if (got == sizeof error) {
        waitpid(pid, &child.waitStatus, 0);
        child.done = true;
        problem = "cannot run " + command.argv[0] + ": " + std::strerror(error);
        return false;
    }
    child.pidfd.Reset(PidfdOpen(pid));
    if (child.output.Get() >= 0) {
        fcntl(child.output.Get(), F_SETFL, O_NONBLOCK);
    }
    return true;
}

// Reads up to `chunks` pieces of what the captured output holds now (a bound, so that a
// procedure that writes without pause cannot keep the caller from its other work); closes the
// pipe at its end or on an error.
void ReadOutput(Child& child, OutputTail& tail, int chunks) {
    char buffer[16384];
    for (int i = 0; i < chunks && child.output.Get() >= 0; ++i) {
        const ssize_t got = read(child.output.Get(), buffer, sizeof buffer);
        if (got > 0) {
            tail.Append(buffer, static_cast<size_t>(got));
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else if (got < 0 && errno == EAGAIN) {
            return;
        } else {
            child.output.Reset();
        }
    }
}

void ReapIfEnded(Child& child) {
    if (!child.done && waitpid(child.pid, &child.waitStatus, WNOHANG) == child.pid) {
        child.done = true;
    }
}

enum class Wake { kEnded, kSignal, kDeadline };

// Sleeps until the child ends, an interrupt comes (in `sig`) or `deadline` passes, taking in
// the captured output meanwhile.
Wake Until(Child& child, HeldInterrupts& held, OutputTail& tail, Clock::time_point deadline,
           int& sig) {
    for (;;) {
        ReapIfEnded(child);
        if (child.done) {
            return Wake::kEnded;
        }
        const int wait = MillisecondsUntil(deadline);
        if (wait == 0) {
            return Wake::kDeadline;
        }
        // Without a pidfd (a kernel before 5.3) the child is looked at every 50 ms instead.
        pollfd fds[3] = {{child.pidfd.Get(), POLLIN, 0},
                         {held.Handle(), POLLIN, 0},
                         {child.output.Get(), POLLIN, 0}};
        const int n = poll(fds, 3, child.pidfd.Get() < 0 ? std::min(wait, 50) : wait);
        if (n < 0 && errno != EINTR) {
            return Wake::kDeadline; // nothing left to wait with: end the child now
        }
        if (n > 0 && fds[2].revents != 0) {
            ReadOutput(child, tail, 4);
        }
        if (n > 0 && (fds[1].revents & POLLIN) != 0 && (sig = held.Take()) != 0) {
            return Wake::kSignal;
        }
    }
}

struct ProcessEntry {
    pid_t pid = 0;
    pid_t parent = 0;
    bool zombie = false;
};

// Every process in /proc with its parent. A process that ends between being listed and being
// read is simply not there.
std::vector<ProcessEntry> ProcessList() {
    std::vector<ProcessEntry> list;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return list;
    }
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0) {
            continue;
        }
        const Fd fd(
            open(("/proc/" + std::string(entry->d_name) + "/stat").c_str(), O_RDONLY | O_CLOEXEC));
        char text[1024];
        const ssize_t got = fd.Get() < 0 ? -1 : read(fd.Get(), text, sizeof text - 1);
        if (got <= 0) {
            continue;
        }
        text[got] = '\0';
        // pid (comm) state ppid ...: the name may hold spaces and parentheses.
        const char* close = std::strrchr(text, ')');
        char state = 0;
        int parent = 0;
        if (close != nullptr && std::sscanf(close + 1, " %c %d", &state, &parent) == 2) {
            list.push_back({static_cast<pid_t>(pid), parent, state == 'Z'});
        }
    }
    closedir(proc);
    return list;
}

// The descendants of `root`, living ones in `living`, ended ones that are `root`'s own children
// (waiting to be reaped) in `zombies`; the processes in `spare`, and what lies below them, are
// passed over.
void Tree(pid_t root, std::vector<pid_t>& living, std::vector<pid_t>& zombies,
          const std::vector<pid_t>& spare = {}) {
    std::multimap<pid_t, const ProcessEntry*> byParent;
    const std::vector<ProcessEntry> list = ProcessList();
    for (const ProcessEntry& p : list) {
        byParent.emplace(p.parent, &p);
    }
    // The list is not one snapshot: a number read twice (an ended process's, given again) must
    // not lead the walk round in a circle.
    std::set<pid_t> seen = {root};
    std::vector<pid_t> parents = {root};
    while (!parents.empty()) {
        const pid_t parent = parents.back();
        parents.pop_back();
        const auto [from, to] = byParent.equal_range(parent);
        for (auto it = from; it != to; ++it) {
            const ProcessEntry& p = *it->second;
            if (std::find(spare.begin(), spare.end(), p.pid) != spare.end() ||
                !seen.insert(p.pid).second) {
                continue;
            }
            if (p.zombie && parent == root) {
                zombies.push_back(p.pid);
            } else if (!p.zombie) {
                living.push_back(p.pid);
            }
            parents.push_back(p.pid);
        }
    }
}

// Whether a process may be left: a child of this process (ended or not), or a member of the
// group `group`. With orphans adopted, every descendant is either a child or below a living one,
// so that no child and no group member means nothing is left, without reading /proc.
bool AnyLeft(pid_t group) {
    siginfo_t info{};
    return waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0 || kill(-group, 0) == 0;
}

// Kills each of `living` and gives each a moment to end, so that the next look reaps it or
// finds its orphans.
void KillAndSettle(const std::vector<pid_t>& living) {
    std::vector<pollfd> ends;
    for (pid_t pid : living) {
        const int fd = PidfdOpen(pid);
        if (fd >= 0 && PidfdKill(fd, SIGKILL)) {
            ends.push_back({fd, POLLIN, 0});
        } else if (fd >= 0) {
            close(fd);
        }
    }
    const Clock::time_point settled = After(0.2);
    for (pollfd& end : ends) {
        poll(&end, 1, MillisecondsUntil(settled));
        close(end.fd);
    }
}

// Ends every descendant of this process and the group `group`, reaping them; notes the child's
// status when it is among them. Returns the most processes seen alive at once.
int EndDescendants(pid_t group, Child& child) {
    int most = 0;
    if (child.done && !AnyLeft(group)) {
        return 0;
    }
    const Clock::time_point giveUp = After(5);
    while (Clock::now() < giveUp) {
        std::vector<pid_t> living;
        std::vector<pid_t> zombies;
        Tree(getpid(), living, zombies);
        for (pid_t pid : zombies) {
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid && pid == child.pid) {
                child.done = true;
                child.waitStatus = status;
            }
        }
        if (living.empty()) {
            break;
        }
        most = std::max(most, static_cast<int>(living.size()));
        kill(-group, SIGKILL);
        KillAndSettle(living);
    }
    ReapIfEnded(child);
    return most;
}

} // namespace

// Up to twice the limit is held, so that the front is dropped once per limit's worth of bytes
// rather than on every append.
void OutputTail::Append(const char* bytes, size_t size) {
    kept_.append(bytes, size);
    if (kept_.size() > 2 * limit_) {
        kept_.erase(0, kept_.size() - limit_);
        cut_ = true;
    }
}

std::string OutputTail::Text() const {
    if (!cut_ && kept_.size() <= limit_) {
        return kept_;
    }
    return "[... earlier output left out]\n" + kept_.substr(kept_.size() - limit_);
}

OrphanAdoption::OrphanAdoption() {
    prctl(PR_GET_CHILD_SUBREAPER, &before_);
    prctl(PR_SET_CHILD_SUBREAPER, 1);
}

OrphanAdoption::~OrphanAdoption() {
    prctl(PR_SET_CHILD_SUBREAPER, before_);
}

int StatusOfWait(int waitStatus) {
    return WIFEXITED(waitStatus)     ? WEXITSTATUS(waitStatus)
           : WIFSIGNALED(waitStatus) ? 128 + WTERMSIG(waitStatus)
                                     : 1;
}

HeldInterrupts::HeldInterrupts() {
    sigemptyset(&set_);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&set_, sig);
    }
    sigprocmask(SIG_BLOCK, &set_, &before_);
    fd_ = signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
}

HeldInterrupts::~HeldInterrupts() {
    if (fd_ >= 0) {
        close(fd_);
    }
    sigprocmask(SIG_SETMASK, &before_, nullptr);
}

int HeldInterrupts::Take() {
    signalfd_siginfo info{};
    return read(fd_, &info, sizeof info) == sizeof info ? static_cast<int>(info.ssi_signo) : 0;
}

std::vector<pid_t> Descendants(pid_t root) {
    std::vector<pid_t> living;
    std::vector<pid_t> zombies;
    Tree(root, living, zombies);
    return living;
}

int EndStrays(const std::vector<pid_t>& spare) {
    int most = 0;
    const Clock::time_point giveUp = After(5);
    while (Clock::now() < giveUp) {
        std::vector<pid_t> living;
        std::vector<pid_t> zombies;
        Tree(getpid(), living, zombies, spare);
        for (pid_t pid : zombies) {
            waitpid(pid, nullptr, WNOHANG);
        }
        if (living.empty()) {
            break;
        }
        most = std::max(most, static_cast<int>(living.size()));
        KillAndSettle(living);
    }
    return most;
}

ChildEnd Supervise(const ChildCommand& command) {
    ChildEnd end;
    HeldInterrupts held;
    Child child;
    OutputTail tail;
    const Clock::time_point started = Clock::now();
    end.started = Spawn(command, child, end.problem);
    if (!end.started) {
        return end;
    }
    int sig = 0;
    const Wake wake = Until(child, held, tail, After(command.timeoutSeconds), sig);
    end.timedOut = wake == Wake::kDeadline;
    end.interruptedBy = wake == Wake::kSignal ? sig : 0;
    if (!child.done) {
        // The procedure is asked to end first (a runner cleans up on SIGTERM), then made to; a
        // second interrupt cuts the grace short.
        kill(-child.pid, SIGTERM);
        Until(child, held, tail, After(command.graceSeconds), sig);
    }
    const bool ended = wake != Wake::kEnded;
    if (command.endLeftovers || ended) {
        const int left = EndDescendants(child.pid, child);
        end.leftovers = ended ? 0 : left;
    }
    if (!child.done) {
        kill(-child.pid, SIGKILL);
        waitpid(child.pid, &child.waitStatus, 0);
    }
    // What is left in the pipe; a writer that outlived the child is not waited for.
    ReadOutput(child, tail, 1024);
    end.output = tail.Text();
    end.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    end.status = StatusOfWait(child.waitStatus);
    // Interrupts that came while the child was being ended are not left pending for later.
    while ((sig = held.Take()) != 0) {
        end.interruptedBy = end.interruptedBy != 0 ? end.interruptedBy : sig;
    }
    return end;
}

} // namespace simbook::cli
