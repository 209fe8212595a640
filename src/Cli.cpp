#include "Cli.h"

#include <cstdio>

namespace cli {

bool wantsCommandLine(int argc, char **) { return argc > 1; }

int run(int, char **)
{
    std::fputs("tramelo: the command line is not available yet\n", stderr);
    return 2;
}

} // namespace cli
