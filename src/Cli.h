// The command-line face of the program: downloads for scripts and production lines.
#pragma once

namespace cli {
// True when the program was started with arguments (the window takes none).
bool wantsCommandLine(int argc, char **argv);
int run(int argc, char **argv);
} // namespace cli
