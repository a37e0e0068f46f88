// The `simbook` command's dispatch: help, --version and the subcommands, for main and for
// in-process tests.
#include <cstdio>
#include <string>

#include "simbook/cli/commands.h"

namespace simbook::cli {

int Main(const Args& all) {
    if (all.empty() || all[0] == "--help" || all[0] == "-h" || all[0] == "help") {
        const std::string topic = all.size() > 1 ? all[1] : "";
        const std::string text = HelpText(topic);
        if (text.empty()) {
            Complain("help", "no command '" + topic + "'");
            return kUsage;
        }
        std::fputs(text.c_str(), all.empty() ? stderr : stdout);
        return all.empty() ? kUsage : kDone;
    }
    if (all[0] == "--version") {
        if (all.size() > 1) {
            Complain("--version", "takes no arguments");
            return kUsage;
        }
        std::fputs("simbook " SIMBOOK_VERSION "\n", stdout);
        return kDone;
    }
    const std::string& command = all[0];
    if (const Subcommand* found = FindSubcommand(command)) {
        const Args args(all.begin() + 1, all.end());
        for (const std::string& a : args) {
            if (a == "--") {
                break; // what follows is the procedure's command line
            }
            if (a == "--help" || a == "-h") {
                std::fputs(HelpText(command).c_str(), stdout);
                return kDone;
            }
        }
        return found->run(args);
    }
    Complain(command, "no such command (" + SubcommandNames() + ")");
    return kUsage;
}

} // namespace simbook::cli
