// The child of `simbook run` and everything it starts. The child leads a process group of its
// own, so that an interrupt at the terminal reaches simbook alone, which then ends the group; and
// simbook is the reaper of orphans (PR_SET_CHILD_SUBREAPER), so that a process the procedure
// left in the background, even one that left the group, comes back to it and can be ended.
#include "simbook/cli/supervise.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ; // NOLINT: the process environment, set in the child before exec

namespace simbook::cli {
namespace {

using Clock = std::chrono::steady_clock;

// The processes that are this process's children or members of the group `group`.
std::vector<pid_t> Remaining(pid_t group) {
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (proc == nullptr) {
        return found;
    }
    const pid_t self = getpid();
    while (dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid <= 0) {
            continue;
        }
        std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        // pid (comm) state ppid pgrp ...: the name may hold spaces and parentheses.
        const size_t close = text.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        std::istringstream rest(text.substr(close + 1));
        std::string state;
        long ppid = 0;
        long pgrp = 0;
        if (!(rest >> state >> ppid >> pgrp) || state == "Z") {
            continue;
        }
        if (ppid == self || pgrp == group) {
            found.push_back(static_cast<pid_t>(pid));
        }
    }
    closedir(proc);
    return found;
}

// Reaps every child that has ended; notes the status of `child` when it is among them.
void Reap(pid_t child, bool& childDone, int& childStatus) {
    int status = 0;
    pid_t pid = 0;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        if (pid == child) {
            childDone = true;
            childStatus = status;
        }
    }
}

// Waits for a signal of `set` until `deadline`; 0 when the deadline passed.
int WaitSignal(const sigset_t& set, Clock::time_point deadline) {
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero()) {
        return 0;
    }
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    siginfo_t info{};
    const int sig = sigtimedwait(&set, &info, &wait);
    return sig < 0 ? (errno == EAGAIN ? 0 : -1) : sig;
}

Clock::time_point After(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Ends what is left of the group `group` and of this process's children, and reaps them.
int EndRemaining(pid_t group, pid_t child, bool& childDone, int& childStatus) {
    int ended = 0;
    const Clock::time_point give_up = After(5);
    while (Clock::now() < give_up) {
        Reap(child, childDone, childStatus);
        const std::vector<pid_t> left = Remaining(group);
        if (left.empty()) {
            break;
        }
        ended = std::max(ended, static_cast<int>(left.size()));
        kill(-group, SIGKILL);
        for (pid_t pid : left) {
            kill(pid, SIGKILL);
        }
        usleep(10000);
    }
    Reap(child, childDone, childStatus);
    return ended;
}

} // namespace

void AdoptOrphans() {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
}

ChildEnd Supervise(const ChildCommand& command) {
    ChildEnd end;
    sigset_t held;
    sigemptyset(&held);
    for (int sig : {SIGCHLD, SIGINT, SIGTERM, SIGHUP}) {
        sigaddset(&held, sig);
    }
    sigset_t before;
    sigprocmask(SIG_BLOCK, &held, &before);

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
    int report[2];
    if (pipe2(report, O_CLOEXEC) != 0) {
        end.problem = std::string("cannot start the procedure: ") + std::strerror(errno);
        sigprocmask(SIG_SETMASK, &before, nullptr);
        return end;
    }
    const Clock::time_point started = Clock::now();
    const pid_t child = fork();
    if (child == 0) {
        setpgid(0, 0);
        const int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, 0);
        }
        dup2(command.out, 1);
        dup2(command.err, 2);
        // The procedure gets every signal, whatever simbook holds for itself.
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        environ = envp.data();
        execvp(argv[0], argv.data());
        const int error = errno;
        ssize_t ignored = write(report[1], &error, sizeof error);
        (void)ignored;
        _exit(127);
    }
    close(report[1]);
    if (child < 0) {
        end.problem = std::string("cannot start the procedure: ") + std::strerror(errno);
        close(report[0]);
        sigprocmask(SIG_SETMASK, &before, nullptr);
        return end;
    }
    setpgid(child, child);
    int error = 0;
    ssize_t got = 0;
    do {
        got = read(report[0], &error, sizeof error);
    } while (got < 0 && errno == EINTR);
    close(report[0]);
    bool childDone = false;
    int childStatus = 0;
    if (got == sizeof error) {
        waitpid(child, &childStatus, 0);
        end.problem = "cannot run " + command.argv[0] + ": " + std::strerror(error);
        sigprocmask(SIG_SETMASK, &before, nullptr);
        return end;
    }
    end.started = true;

    const Clock::time_point deadline = After(command.timeoutSeconds);
    Reap(child, childDone, childStatus);
    while (!childDone) {
        const int sig = WaitSignal(held, deadline);
        if (sig == SIGCHLD) {
            Reap(child, childDone, childStatus);
        } else if (sig == 0) {
            end.timedOut = true;
            break;
        } else if (sig > 0) {
            end.interruptedBy = sig;
            break;
        }
    }
    if (!childDone) {
        // The procedure is asked to end first (a runner cleans up on SIGTERM), then made to.
        kill(-child, SIGTERM);
        const Clock::time_point grace = After(command.graceSeconds);
        while (!childDone) {
            const int sig = WaitSignal(held, grace);
            if (sig == SIGCHLD) {
                Reap(child, childDone, childStatus);
            } else if (sig == 0 || sig == SIGINT || sig == SIGTERM || sig == SIGHUP) {
                break;
            }
        }
    }
    const bool ended = end.timedOut || end.interruptedBy != 0;
    if (command.endLeftovers || ended) {
        const int left = EndRemaining(child, child, childDone, childStatus);
        end.leftovers = ended ? 0 : left;
    }
    if (!childDone) {
        waitpid(child, &childStatus, 0);
    }
    end.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    end.status = WIFEXITED(childStatus)     ? WEXITSTATUS(childStatus)
                 : WIFSIGNALED(childStatus) ? 128 + WTERMSIG(childStatus)
                                            : 1;
    // Signals that came while the child was being ended are not left pending for later.
    timespec none{0, 0};
    siginfo_t info{};
    while (sigtimedwait(&held, &info, &none) > 0) {
        if (info.si_signo != SIGCHLD && end.interruptedBy == 0) {
            end.interruptedBy = info.si_signo;
        }
    }
    sigprocmask(SIG_SETMASK, &before, nullptr);
    return end;
}

} // namespace simbook::cli
