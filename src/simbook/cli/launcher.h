// How `simbook run` starts a procedure: the Linux build's programs straight from the folder they
// lie in, or the Windows build's under Wine through the Wine runner (scripts/wine-run), which
// prepares the prefix and the session. Either way the supervisor (supervise.h) owns the time
// limit and the ending of processes: the runner gets no time limit of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "simbook/cli/supervise.h"

namespace simbook::cli {

using Variables = std::vector<std::pair<std::string, std::string>>;

class Launcher {
public:
    Launcher() = default;
    Launcher(const Launcher&) = delete;
    Launcher& operator=(const Launcher&) = delete;
    virtual ~Launcher() = default;

    // Readies the launcher for a table of runs; false when an interrupt (in `interruptedBy`)
    // stopped it. Throws std::runtime_error when it cannot be readied.
    virtual bool BeginTable(int& interruptedBy) = 0;
    // Ends what BeginTable started; nothing when nothing was.
    virtual void EndTable() = 0;

    // The command that runs `procedure` with `set` added to the environment; `statusFile`, a
    // path in the run's private folder, may receive the procedure's full status.
    virtual ChildCommand Procedure(const std::vector<std::string>& procedure, const Variables& set,
                                   const std::string& statusFile, double timeoutSeconds) const = 0;

    // The procedure's full exit status once `end` tells how its command ended. Throws
    // std::runtime_error when the launcher itself failed, so there is no status to give.
    virtual int64_t FullStatus(const ChildEnd& end, const std::string& statusFile) const = 0;
};

// The Linux build's programs in `programs` (brenvik, tolmare, sundrel must be there); this
// process adopts the orphans of its procedures while the launcher lives.
std::unique_ptr<Launcher> LinuxLauncher(const std::string& programs);

// The Windows build's programs in `programs` (brenvik.exe, tolmare.exe, sundrel.exe) run by
// the Wine runner `runner`, one Wine session kept for a whole table and stopped when the table
// ends or the launcher goes.
std::unique_ptr<Launcher> WineLauncher(const std::string& programs, const std::string& runner);

// The Wine runner: $SIMBOOK_WINE_RUN, else the one installed with this simbook
// (<prefix>/share/simbook/wine-run), else the source tree's scripts/wine-run. Throws
// std::runtime_error when there is none.
std::string FindWineRunner();

// This process's environment with `first` (when not empty) put before the directories of PATH
// and `set` replacing or adding variables.
std::vector<std::string> ProcedureEnvironment(const std::string& first, const Variables& set);

} // namespace simbook::cli
