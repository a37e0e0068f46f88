// The shared runner of `simbook run` and `simbook explore` (row_runner.h).
#include "simbook/cli/row_runner.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "simbook/file_write.h"
#include "simbook/machine.h"

namespace simbook::cli {

namespace fs = std::filesystem;

void Fail(const std::string& problem) {
    throw Failure{problem};
}

std::string KeptPath(const std::string& dir, const std::string& row, const char* suffix) {
    return (fs::path(dir) / (SafeFileName(row) + suffix)).string();
}

namespace {

LoadedMachine LoadMachine(const std::string& path) {
    std::string problem;
    std::optional<LoadedMachine> loaded = LoadMachineFile(path, problem);
    if (!loaded) {
        Fail(path + ": " + problem);
    }
    return std::move(*loaded);
}

// A trace the user names is emptied first, so that the report is this run's; only a regular
// file (or a new one) is taken, never a device or FIFO.
void PrepareTrace(const std::string& path) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, 0644);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || ftruncate(fd, 0) != 0) {
        const std::string why = fd < 0 ? std::strerror(errno) : "not a regular file";
        if (fd >= 0) {
            close(fd);
        }
        Fail(path + ": cannot be the trace: " + why);
    }
    close(fd);
}

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

// Writes all of `bytes` to `fd`; false on an error.
bool WriteAll(int fd, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t put = write(fd, bytes.data() + done, bytes.size() - done);
        if (put < 0 && errno != EINTR) {
            return false;
        }
        done += put > 0 ? static_cast<size_t>(put) : 0;
    }
    return true;
}

} // namespace

RunFolder::RunFolder() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern =
        std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") + "/simbook-run.XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        Fail("cannot create a folder in the temporary folder: " +
             std::string(std::strerror(errno)));
    }
    path_ = pattern;
}

RunFolder::~RunFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void RunFolder::Create(const std::string& name, const std::string& text) const {
    const std::string path = *this / name;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    const bool written =
        fd >= 0 && write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    const int error = errno;
    if (fd >= 0) {
        close(fd);
    }
    if (!written) {
        Fail(path + ": cannot be written: " + std::strerror(error));
    }
}

Runner::Runner(const RunOptions& o)
    : o_(o), launcher_(o.windows.empty() ? LinuxLauncher(SimbookDir().empty() ? "." : SimbookDir())
                                         : WineLauncher(o.windows, FindWineRunner())) {}

Outcome Runner::RunOn(const MachineChoice& source, bool row, const RunFolder& folder) {
    Outcome out;
    out.machine = source.name;
    out.file = source.path;
    if (source.ready) {
        out.description = ReadyMachineDescription(MachinesDir(), source.name);
    }
    const LoadedMachine before = LoadMachine(source.path);
    std::string machine = source.path;
    std::string problem;
    if (!o_.inPlace) {
        machine = folder / "machine.json";
        folder.Create("machine.json", before.text);
    }
    const std::string trace = o_.trace.empty() ? folder / "trace.jsonl" : o_.trace;
    PrepareTrace(trace);
    Judge(Start(machine, trace, folder / "status", row), folder / "status", out);
    out.runs = RunsOfTrace(ReadLines(trace));
    if (row && !o_.keep.empty()) {
        Keep(source.name, {ReadWhole(trace), out.output, ReadWhole(machine)});
    }
    const std::optional<LoadedMachine> after = LoadMachineFile(machine, problem);
    if (!after) {
        if (!row) {
            Fail(machine + ": " + problem);
        }
        out.failures.push_back("the machine file after the run could not be read: " + problem);
        return out;
    }
    out.after = after->json;
    out.changes = Changes(before.json, after->json);
    return out;
}

// A row's trace, output and machine after the run, into the --keep folder. Each file is made
// new beside its place and renamed over it: a link planted under its name is replaced, never
// written through.
void Runner::Keep(const std::string& row, const std::vector<std::string>& texts) const {
    for (size_t i = 0; i < texts.size(); ++i) {
        const std::string path = KeptPath(o_.keep, row, kKept[i]);
        std::string temp;
        std::string problem;
        const int fd = WriteTemporaryBeside(path, texts[i], -1, temp, problem);
        if (fd < 0) {
            Fail(std::string(path).append(": ").append(problem));
        }
        close(fd);
        if (rename(temp.c_str(), path.c_str()) != 0) {
            const int error = errno;
            unlink(temp.c_str());
            Fail(std::string(path).append(": cannot be written: ").append(std::strerror(error)));
        }
    }
    SyncFolderOf(KeptPath(o_.keep, row, kKept[0]));
}

ChildEnd Runner::Start(const std::string& machine, const std::string& trace,
                       const std::string& status, bool capture) {
    ChildCommand child = launcher_->Procedure(o_.command,
                                              {{"SIMBOOK", fs::absolute(machine).string()},
                                               {"SIMBOOK_TRACE", fs::absolute(trace).string()}},
                                              status, o_.timeout);
    child.capture = capture;
    if (!capture && o_.json) {
        child.out = 2; // standard output is the report's
    }
    std::fflush(stdout);
    ChildEnd end = Supervise(child);
    if (!end.started) {
        Fail(end.problem);
    }
    return end;
}

// The procedure's status and how it ended, into `out`.
void Runner::Judge(const ChildEnd& end, const std::string& status, Outcome& out) {
    interrupted_ = end.interruptedBy;
    out.seconds = end.seconds;
    out.leftovers = end.leftovers;
    out.timedOut = end.timedOut;
    out.output = end.output;
    out.exit = launcher_->FullStatus(end, status);
    if (out.timedOut) {
        out.exit = kTimedOut;
    } else if (end.interruptedBy != 0 && end.status > 128) {
        out.interrupted = true; // ended by simbook, not by itself
        out.exit = kInterrupted;
    }
}

namespace {

// A worker process: runs one row as this process would, with a process group of its own (an
// interrupt reaches it only through the rows' process) and as the reaper of its procedure's
// orphans, then sends the packed result up `out` and ends without running this process's
// destructors (a kept Wine session is the table's, not the worker's).
[[noreturn]] void Worker(const RowWork& work, size_t row, const RunFolder& folder, int out,
                         pid_t table) {
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGTERM); // held, so it ends the procedure as an interrupt does
    if (getppid() != table) {
        kill(getpid(), SIGTERM);
    }
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    RowResult result;
    bool sent = false;
    try {
        try {
            result = work(row, folder);
        } catch (const Failure& f) {
            result.problem = f.problem;
        } catch (const std::exception& e) {
            result.problem = e.what();
        }
        sent = WriteAll(out, PackRow(result));
    } catch (...) {
        sent = false;
    }
    _exit(sent ? 0 : 1);
}

} // namespace

SideBySide::SideBySide(RowWork work, size_t rows, HeldInterrupts& held, size_t jobs, bool endStrays)
    : work_(std::move(work)), rows_(rows), held_(held), jobs_(jobs), endStrays_(endStrays),
      results_(rows) {}

SideBySide::~SideBySide() {
    try {
        Forward(SIGTERM);
        while (!running_.empty()) {
            Finish(running_.size() - 1);
        }
    } catch (...) {
        // Already on the way out of a failure, which is the one to tell.
    }
}

int SideBySide::Run(const RowSink& sink) {
    size_t next = 0;
    size_t added = 0;
    bool more = true;
    while (true) {
        while (more && !stopping_ && running_.size() < jobs_ && next < rows_) {
            Start(next++);
        }
        if (running_.empty()) {
            break;
        }
        if (const int sig = Wait(); sig != 0) {
            // Every interrupt is passed on: a second one cuts the rows' grace short.
            interrupted_ = interrupted_ != 0 ? interrupted_ : sig;
            stopping_ = true;
            Forward(sig);
        }
        for (; added < next && results_[added]; ++added) {
            more = sink(added, std::move(results_[added]->outcome), results_[added]->death) && more;
            results_[added].reset();
        }
        if (!more) {
            Stop(SIGTERM);
        }
    }
    // An interrupt that came after the last look is not left pending for later.
    while (const int sig = held_.Take()) {
        interrupted_ = interrupted_ != 0 ? interrupted_ : sig;
    }
    if (!problem_.empty()) {
        Fail(problem_);
    }
    return interrupted_;
}

void SideBySide::Start(size_t row) {
    Running r;
    r.row = row;
    r.folder = std::make_unique<RunFolder>();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        Fail("cannot start a row: " + std::string(std::strerror(errno)));
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t table = getpid();
    r.pid = fork();
    if (r.pid == 0) {
        close(fds[0]);
        Worker(work_, row, *r.folder, fds[1], table);
    }
    const int error = errno;
    close(fds[1]);
    if (r.pid < 0) {
        close(fds[0]);
        Fail("cannot start a row: " + std::string(std::strerror(error)));
    }
    r.pipe = fds[0];
    running_.push_back(std::move(r));
}

// Sleeps until a worker sends or ends, or an interrupt comes; the interrupt's signal, or 0.
int SideBySide::Wait() {
    std::vector<pollfd> fds = {{held_.Handle(), POLLIN, 0}};
    for (const Running& r : running_) {
        fds.push_back({r.pipe, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), -1) < 0) {
        return 0; // a signal that is not held: look again
    }
    for (size_t i = running_.size(); i-- > 0;) {
        if (fds[i + 1].revents != 0) {
            Read(i);
        }
    }
    return (fds[0].revents & POLLIN) != 0 ? held_.Take() : 0;
}

void SideBySide::Read(size_t i) {
    char buffer[65536];
    const ssize_t got = read(running_[i].pipe, buffer, sizeof buffer);
    if (got > 0) {
        running_[i].bytes.append(buffer, static_cast<size_t>(got));
    } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
        Finish(i);
    }
}

// Worker `i` sent all it will: waited for, its outcome (or why there is none) taken.
void SideBySide::Finish(size_t i) {
    Running r = std::move(running_[i]);
    running_.erase(running_.begin() + static_cast<std::ptrdiff_t>(i));
    close(r.pipe);
    int status = 0;
    while (waitpid(r.pid, &status, 0) < 0 && errno == EINTR) {
    }
    std::optional<RowResult> result;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) {
        result = UnpackRow(r.bytes);
    }
    if (!result) {
        Died(r.row, status);
    } else if (!result->problem.empty()) {
        problem_ = problem_.empty() ? result->problem : problem_;
        Stop(SIGTERM);
    } else {
        if (result->interruptedBy != 0 && !stopping_) {
            interrupted_ = result->interruptedBy; // the worker itself was told to stop
            Stop(SIGTERM);
        }
        results_[r.row] = Done{std::move(result->outcome), ""};
    }
}

// The row of a worker that ended without its outcome fails, saying how the worker ended;
// what its procedure left running is ended.
void SideBySide::Died(size_t row, int status) {
    if (endStrays_) {
        std::vector<pid_t> spare;
        for (const Running& r : running_) {
            spare.push_back(r.pid);
        }
        EndStrays(spare);
    }
    Done done;
    done.outcome.exit = kOwnFailure;
    done.death = "the process that ran this row ended without its outcome (" +
                 (WIFSIGNALED(status) ? "killed by signal " + std::to_string(WTERMSIG(status))
                                      : "exit status " + std::to_string(StatusOfWait(status))) +
                 ")";
    results_[row] = std::move(done);
}

// No row is started from now on, and those running are ended as an interrupt would.
void SideBySide::Stop(int sig) {
    if (!stopping_) {
        stopping_ = true;
        Forward(sig);
    }
}

void SideBySide::Forward(int sig) {
    for (const Running& r : running_) {
        kill(r.pid, sig);
    }
}

} // namespace simbook::cli
