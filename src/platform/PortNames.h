// The program names ports "COM1" .. "COM8". A name is resolved to a device path each time a
// port is opened, so an adapter that was unplugged and plugged in again is found:
//   1. the [Ports] value of that name in the settings file, if set;
//   2. otherwise the n-th serial port present, in the order USB adapters (/dev/ttyUSB*),
//      CDC-ACM devices (/dev/ttyACM*), then on-board ports with hardware behind them (/dev/ttyS*).
// A text that is already a path (begins with '/') stands for itself.
#pragma once

#include <QList>
#include <QString>
#include <optional>
#include <sys/types.h>

namespace platform {

struct PortInfo
{
    QString path;         // /dev/ttyUSB0
    QString description;  // product, manufacturer, serial number where known
};

// Serial ports present, in COM order (index 0 is what "COM1" resolves to without [Ports]).
QList<PortInfo> presentPorts();
// Names a device path for "COMn" in this process only, ahead of the settings file (the
// command line's --port with a path). An empty path removes the alias.
void setPortAlias(const QString &comName, const QString &path);
// Device path for "COM1".."COM8" or a path; empty when it resolves to nothing.
QString resolvePortName(const QString &name);
// The same against the ports present, listed once by a caller that resolves every name.
QString resolvePortName(const QString &name, const QList<PortInfo> &present);
// Description of the device behind a path ("" when unknown), for tooltips and `ports`.
QString describePort(const QString &path);
QString describePort(const QString &path, const QList<PortInfo> &present);
// The device a port name opens (the device number of the character device the resolved path
// leads to, through symbolic links); none when it names no character device. Two names of
// one device have one identity.
std::optional<dev_t> deviceIdentity(const QString &name);

} // namespace platform
