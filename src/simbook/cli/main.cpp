// simbook: the simulated notebook from the command line, for people who write service
// procedures: show a machine file, change it with the reader's own checks, make a new one, run
// a whole procedure against one machine or a table of them, and read a trace decoded. See HelpText
// for each subcommand.
#include <cstdio>
#include <string>

#include "simbook/cli/commands.h"

namespace {

using simbook::cli::Args;

int Dispatch(const std::string& command, const Args& args) {
    if (command == "show") {
        return simbook::cli::Show(args);
    }
    if (command == "set") {
        return simbook::cli::Set(args);
    }
    if (command == "reset") {
        return simbook::cli::Reset(args);
    }
    if (command == "new") {
        return simbook::cli::New(args);
    }
    if (command == "run") {
        return simbook::cli::Run(args);
    }
    return simbook::cli::Trace(args);
}

} // namespace

int main(int argc, char** argv) {
    const Args all(argv + 1, argv + argc);
    if (all.empty() || all[0] == "--help" || all[0] == "-h" || all[0] == "help") {
        const std::string topic = all.size() > 1 ? all[1] : "";
        const std::string text = simbook::cli::HelpText(topic);
        if (text.empty()) {
            simbook::cli::Complain("help", "no command '" + topic + "'");
            return simbook::cli::kUsage;
        }
        std::fputs(text.c_str(), all.empty() ? stderr : stdout);
        return all.empty() ? simbook::cli::kUsage : simbook::cli::kDone;
    }
    if (all[0] == "--version") {
        if (all.size() > 1) {
            simbook::cli::Complain("--version", "takes no arguments");
            return simbook::cli::kUsage;
        }
        std::fputs("simbook " SIMBOOK_VERSION "\n", stdout);
        return simbook::cli::kDone;
    }
    const std::string& command = all[0];
    if (command == "trace" || command == "show" || command == "set" || command == "reset" ||
        command == "new" || command == "run") {
        const Args args(all.begin() + 1, all.end());
        for (const std::string& a : args) {
            if (a == "--") {
                break; // what follows is the procedure's command line
            }
            if (a == "--help" || a == "-h") {
                std::fputs(simbook::cli::HelpText(command).c_str(), stdout);
                return simbook::cli::kDone;
            }
        }
        return Dispatch(command, args);
    }
    simbook::cli::Complain(command, "no such command (show, set, reset, new, run, trace, help)");
    return simbook::cli::kUsage;
}
