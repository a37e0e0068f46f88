// simbook: the simulated notebook from the command line, for people who write service
// procedures: show a machine file, change it with the reader's own checks, make a new one, run
// a whole procedure against one machine or a table of them, and read a trace decoded. See HelpText
// for each subcommand.
#include "simbook/cli/commands.h"

int main(int argc, char** argv) {
    return simbook::cli::Main(simbook::cli::Args(argv + 1, argv + argc));
}
