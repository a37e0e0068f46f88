// In-process tests of the simbook command: dispatch, help and the table of subcommands.
#include <gtest/gtest.h>

#include <string>

#include "simbook/cli/commands.h"

namespace {

using simbook::cli::Main;

struct Result {
    int status;
    std::string out;
    std::string err;
};

Result Simbook(const simbook::cli::Args& args) {
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = Main(args);
    std::string out = testing::internal::GetCapturedStdout();
    return {status, out, testing::internal::GetCapturedStderr()};
}

TEST(CliHelp, EverySubcommandIsListedAndHasItsOwnUsage) {
    const Result overview = Simbook({"help"});
    ASSERT_EQ(overview.status, 0);
    for (const char* name : {"show", "set", "reset", "new", "run", "trace", "status"}) {
        SCOPED_TRACE(name);
        EXPECT_NE(overview.out.find(std::string("\n  ") + name + " "), std::string::npos);
        const Result own = Simbook({"help", name});
        EXPECT_EQ(own.status, 0);
        EXPECT_EQ(own.out.rfind(std::string("usage: simbook ") + name + " ", 0), 0u);
        // --help anywhere among the arguments is the same text.
        EXPECT_EQ(Simbook({name, "x", "--help"}).out, own.out);
    }
    // The summaries start in one column, and a synopsis too long for it keeps two spaces.
    EXPECT_NE(overview.out.find("\n  show   [--json] [FILE]               the machine"),
              std::string::npos);
    EXPECT_NE(overview.out.find("\n  new    [--from NAME] [--force] [FILE]  a new machine file"),
              std::string::npos);
    EXPECT_NE(overview.out.find("\n  --version                            the version"),
              std::string::npos);
}

TEST(CliHelp, UsageErrorsExitTwoWithOneLine) {
    const struct {
        simbook::cli::Args args;
        const char* err;
    } cases[] = {
        {{}, "usage: simbook COMMAND"},
        {{"frob"},
         "simbook frob: no such command (show, set, reset, new, run, explore, trace, status, "
         "help)\n"},
        {{"help", "frob"}, "simbook help: no command 'frob'\n"},
        {{"--version", "x"}, "simbook --version: takes no arguments\n"},
    };
    for (const auto& c : cases) {
        const Result r = Simbook(c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    }
}

} // namespace
