// Line settings through termios2. The kernel header that declares it clashes with <termios.h>,
// so this file is the only one that includes it, and it includes no libc termios header.
#include "platform/SerialPort.h"

#include "platform/IoctlRetry.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {

static_assert(sizeof(termios2) <= 64, "saved_ in SerialPort.h holds one termios2");

using detail::ioctlRetry;

constexpr tcflag_t kDataBits[] = {CS5, CS6, CS7, CS8};

// Settings of the framing and flow control that a request and a read-back must share.
constexpr tcflag_t kCompareCflag = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS;
constexpr tcflag_t kCompareIflag = IXON | IXOFF | INPCK;
// A driver may round an odd rate to what its divisor gives; a UART tolerates about 2 %.
constexpr quint32 kSpeedTolerancePerCent = 2;

bool speedClose(speed_t actual, quint32 wanted)
{
    const quint64 diff = actual > wanted ? actual - wanted : wanted - actual;
    return diff * 100 <= quint64(wanted) * kSpeedTolerancePerCent;
}

void makeRaw(termios2 &t)
{
    t.c_iflag &= ~tcflag_t(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON |
                           IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
    t.c_oflag &= ~tcflag_t(OPOST);
    t.c_lflag &= ~tcflag_t(ECHO | ECHONL | ICANON | ISIG | IEXTEN | ECHOE | ECHOK | ECHOCTL);
    t.c_cflag |= CLOCAL | CREAD;
    // VMIN 1 makes a non-blocking read of an empty live tty fail with EAGAIN, so that a read
    // returning 0 means the device hung up.
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
}

} // namespace

TermiosFlags termiosFlags(const LineSettings &s)
{
    const int bits = s.dataBits < 5 || s.dataBits > 8 ? 8 : s.dataBits;
    tcflag_t c = kDataBits[bits - 5];
    switch (s.parity) {
    case Parity::Odd:
        c |= PARENB | PARODD;
        break;
    case Parity::Even:
        c |= PARENB;
        break;
    case Parity::Mark:
        c |= PARENB | PARODD | CMSPAR; // parity bit always 1
        break;
    case Parity::Space:
        c |= PARENB | CMSPAR; // parity bit always 0
        break;
    case Parity::None:
        break;
    }
    // 1 and 2 stop bits; 1.5 also sets CSTOPB (see the header).
    if (s.stopBits != StopBits::One) c |= CSTOPB;
    if (s.rtsCts) c |= CRTSCTS;
    tcflag_t i = 0;
    if (s.xonXoffOut) i |= IXON;
    if (s.xonXoffIn) i |= IXOFF;
    if (s.parityCheck) i |= INPCK;
    return {c, i};
}

TermiosFlags termiosFlagMask()
{
    return {kCompareCflag, kCompareIflag};
}

void lineFromTermiosFlags(const TermiosFlags &f, LineSettings &s)
{
    switch (f.cflag & CSIZE) {
    case CS5:
        s.dataBits = 5;
        break;
    case CS6:
        s.dataBits = 6;
        break;
    case CS7:
        s.dataBits = 7;
        break;
    default:
        s.dataBits = 8;
        break;
    }
    if (!(f.cflag & PARENB))
        s.parity = Parity::None;
    else if (f.cflag & CMSPAR)
        s.parity = (f.cflag & PARODD) ? Parity::Mark : Parity::Space;
    else
        s.parity = (f.cflag & PARODD) ? Parity::Odd : Parity::Even;
    s.stopBits = (f.cflag & CSTOPB) ? StopBits::Two : StopBits::One;
    s.rtsCts = (f.cflag & CRTSCTS) != 0;
    s.xonXoffOut = (f.iflag & IXON) != 0;
    s.xonXoffIn = (f.iflag & IXOFF) != 0;
    s.parityCheck = (f.iflag & INPCK) != 0;
}

bool SerialPort::saveAndMakeRaw(int fd)
{
    termios2 t{};
    if (ioctlRetry(fd, TCGETS2, &t) != 0) return false;
    std::memcpy(saved_, &t, sizeof t);
    haveSaved_ = true;
    makeRaw(t);
    return ioctlRetry(fd, TCSETS2, &t) == 0;
}

void SerialPort::restoreSaved()
{
    if (!haveSaved_ || fd_ < 0) return;
    termios2 t{};
    std::memcpy(&t, saved_, sizeof t);
    ioctlRetry(fd_, TCSETS2, &t);
    haveSaved_ = false;
}

bool SerialPort::applyLine(const LineSettings &s)
{
    if (!isOpen()) return false;
    traceLine(s);
    ignoreNull_.store(s.ignoreNull, std::memory_order_relaxed);

    termios2 t{};
    if (ioctlRetry(fd_, TCGETS2, &t) != 0) return false;
    makeRaw(t);

    t.c_cflag &= ~tcflag_t(CBAUD | (CBAUD << IBSHIFT) | kCompareCflag);
    const TermiosFlags wanted = termiosFlags(s);
    t.c_cflag |= BOTHER | wanted.cflag;
    t.c_iflag |= wanted.iflag;
    t.c_ispeed = t.c_ospeed = s.baud;
    t.c_cc[VSTART] = cc_t(s.xonChar);
    t.c_cc[VSTOP] = cc_t(s.xoffChar);

    const tcflag_t wantC = t.c_cflag & kCompareCflag;
    const tcflag_t wantI = t.c_iflag & kCompareIflag;
    if (ioctlRetry(fd_, TCSETS2, &t) != 0) return false;

    // The kernel may accept the call and still keep other values (a pseudo-terminal keeps
    // 8 data bits and no parity): compare what the device holds now.
    termios2 back{};
    if (ioctlRetry(fd_, TCGETS2, &back) != 0) return false;
    return (back.c_cflag & kCompareCflag) == wantC && (back.c_iflag & kCompareIflag) == wantI &&
           speedClose(back.c_ospeed, s.baud);
}

bool SerialPort::readLine(LineSettings &out) const
{
    if (!isOpen()) return false;
    termios2 t{};
    if (ioctlRetry(fd_, TCGETS2, &t) != 0) return false;
    LineSettings s;
    s.baud = t.c_ospeed;
    lineFromTermiosFlags({t.c_cflag, t.c_iflag}, s);
    s.ignoreNull = ignoreNull_.load(std::memory_order_relaxed);
    s.xonChar = char(t.c_cc[VSTART]);
    s.xoffChar = char(t.c_cc[VSTOP]);
    out = s;
    return true;
}

} // namespace platform
