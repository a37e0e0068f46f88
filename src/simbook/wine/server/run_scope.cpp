#include "run_scope.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "simbook/machine.h"
#include "simbook/trace.h"

namespace simbook_wine {
namespace {

int g_savedError = -1; // the server's own standard error while a run's is collected
int g_collected = -1;  // the run's collected standard error

} // namespace

void BeginRun(const std::vector<RunVariable>& variables) {
    for (const RunVariable& v : variables) {
        if (v.second) {
            setenv(v.first.c_str(), v.second->c_str(), 1);
        } else {
            unsetenv(v.first.c_str());
        }
    }
    if (g_collected < 0) {
        g_collected = memfd_create("simbook-run-stderr", MFD_CLOEXEC);
        g_savedError = g_collected >= 0 ? dup(STDERR_FILENO) : -1;
        if (g_savedError >= 0) {
            dup2(g_collected, STDERR_FILENO);
        } else if (g_collected >= 0) {
            close(g_collected);
            g_collected = -1;
        }
    }
    simbook::ReloadMachineForTests();
    simbook::ReopenTraceForTests();
}

std::string RunMachinePath() {
    const simbook::Machine* machine = simbook::CurrentMachine();
    if (machine != nullptr) {
        return machine->path;
    }
    const char* path = std::getenv("SIMBOOK");
    return path != nullptr ? path : "";
}

std::string EndRun(size_t limit) {
    simbook::ReopenTraceForTests(); // closes the run's trace file
    std::string text;
    if (g_collected < 0) {
        return text;
    }
    dup2(g_savedError, STDERR_FILENO);
    close(g_savedError);
    g_savedError = -1;
    char buffer[4096];
    ssize_t n = 0;
    off_t at = 0;
    while ((n = pread(g_collected, buffer, sizeof buffer, at)) > 0) {
        text.append(buffer, static_cast<size_t>(n));
        at += n;
    }
    close(g_collected);
    g_collected = -1;
    if (text.size() > limit) {
        std::string note =
            "simbook_server: " + std::to_string(text.size()) + " bytes of messages, cut\n";
        text.resize(limit > note.size() ? limit - note.size() : 0);
        text += note.substr(0, limit - text.size());
    }
    return text;
}

} // namespace simbook_wine
