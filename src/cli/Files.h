// File names as the command line takes them, and files it replaces.
//
// Linux file names are bytes. Qt's file functions take a QString and encode it as UTF-8, so a
// name that is not valid UTF-8 (a GBK name from a Windows archive) cannot be reached through
// them. argumentPath() keeps such an argument reachable: it stands for a symbolic link, in a
// private folder of this process (removed at exit), whose target is the argument's own bytes;
// the file functions open the file through it, and fileSystemPath() gives the bytes back.
#pragma once

#include <QByteArray>
#include <QString>

namespace cli::files {

// The argument as a path for Qt's file functions (itself when it is valid UTF-8).
QString argumentPath(const QByteArray &arg);
// The bytes of the file system name a path stands for.
QByteArray fileSystemPath(const QString &path);
// Where a path leads through symbolic links (a dangling link's target included); the path
// itself when it is none. Empty when the links loop or go too deep.
QByteArray finalTarget(const QByteArray &path);
// Writes bytes to a new file in target's folder and renames it onto target only when every
// write, the flush to disk and the close succeeded; otherwise the new file is removed and
// target stays as it was. A new file takes mode, where target exists, of target.
bool replaceFile(const QByteArray &target, const QByteArray &bytes);

} // namespace cli::files
