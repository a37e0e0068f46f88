// simbook trace: a trace file read and decoded, one line (or JSON object) per event.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>

#include "simbook/cli/commands.h"
#include "simbook/trace_decode.h"

namespace simbook::cli {

int Trace(const Args& args) {
    bool json = false;
    std::string program;
    std::string source;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--json") {
            json = true;
        } else if (args[i] == "--program" && i + 1 < args.size()) {
            program = args[++i];
            if (program != "brenvik" && program != "tolmare" && program != "sundrel") {
                Complain("trace", "--program must be brenvik, tolmare or sundrel");
                return kUsage;
            }
        } else if (source.empty() && (args[i] == "-" || args[i].rfind("--", 0) != 0)) {
            source = args[i];
        } else {
            Complain("trace", "unexpected argument '" + args[i] + "' (see simbook trace --help)");
            return kUsage;
        }
    }
    if (source.empty()) {
        const char* traced = std::getenv("SIMBOOK_TRACE");
        source = traced != nullptr && traced[0] != '\0' ? traced : "-";
    }
    std::ifstream file;
    if (source != "-") {
        file.open(source, std::ios::binary);
        if (!file) {
            Complain("trace", source + ": cannot be read");
            return kFailed;
        }
    }
    std::istream& in = source == "-" ? std::cin : file;
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(std::move(line));
    }
    if (in.bad()) {
        Complain("trace", source + ": read error");
        return kFailed;
    }
    for (const TraceEvent& e : DecodeTrace(lines, program)) {
        const std::string text =
            json ? e.facts.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace)
                 : e.text;
        std::fputs((text + "\n").c_str(), stdout);
    }
    return std::fflush(stdout) == 0 ? kDone : kFailed;
}

} // namespace simbook::cli
