// The program's entry. A command runs here, on Qt Core alone. Without one (or with --demo)
// the window program takes this process over: it lives in the program's own folder, beside
// the decoding library, so that starting a download from a script loads none of Qt's GUI
// libraries.
#include "cli/Cli.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>

#ifndef TRAMELO_LIBRARY_FROM_BIN
#define TRAMELO_LIBRARY_FROM_BIN "../lib/tramelo"
#endif

namespace {

constexpr char kWindowProgram[] = "tramelo-window";

std::string executableFolder()
{
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return {};
    const std::string exe(path, size_t(n));
    const size_t slash = exe.rfind('/');
    return slash == std::string::npos ? std::string() : exe.substr(0, slash);
}

// The installed program's own folder first, then beside this executable (the build tree).
std::string windowProgram()
{
    const std::string folder = executableFolder();
    if (folder.empty()) return {};
    const std::string candidates[] = {
        folder + "/" TRAMELO_LIBRARY_FROM_BIN "/" + kWindowProgram,
        folder + "/" + kWindowProgram,
    };
    for (const std::string &candidate : candidates)
        if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    return candidates[0];
}

} // namespace

int main(int argc, char *argv[])
{
    if (cli::wantsCommandLine(argc, argv)) return cli::run(argc, argv);
    const std::string window = windowProgram();
    ::execv(window.c_str(), argv);
    std::fprintf(stderr, "tramelo: cannot start the window (%s): %s\n", window.c_str(),
                 std::strerror(errno));
    return cli::kExitFailed;
}
