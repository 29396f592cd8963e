#pragma once

// The command line of the one program: --help, --version and the headless
// mode (`brindlewick --headless ...`), read with QCommandLineParser. Without
// them the desktop starts as it always has.
namespace CommandLine
{
// True when the arguments ask for --headless, --help or --version.
bool isForTerminal(int argc, char** argv);
// Reads the options and runs the headless mode (or prints the help or the
// version); returns the exit code. No widgets are made.
int run(int argc, char** argv);
}
