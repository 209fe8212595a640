// ioctl() again after an interrupting signal; shared by the serial layer's two source files
// (one of which may include only the kernel's termios2 header, not <termios.h>).
#pragma once

#include <cerrno>
#include <sys/ioctl.h>

namespace platform::detail {

inline int ioctlRetry(int fd, unsigned long request, void *arg)
{
    int r;
    do {
        r = ::ioctl(fd, request, arg);
    } while (r < 0 && errno == EINTR);
    return r;
}

} // namespace platform::detail
