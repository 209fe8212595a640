// The command line's own lines about files, options and endings, each defined once, in the
// interface language (Chinese source texts, English from the translation).
#pragma once

#include <QString>

namespace cli::messages {

QString noSuchFile(const QString &path);
QString symlinkLoop(const QString &path);
QString notRegularFile(const QString &path);
QString notReadable(const QString &path);
QString noDataInImage(const QString &path); // STC: nothing inside the 64 KiB image
QString cannotWrite(const QString &path);
QString folderNotWritable(const QString &folder);
QString symlinkNotFollowed(const QString &path);
QString downloadEnded(int sig);
QString readEnded(int sig);
QString portNotOpened(const QString &port, const QString &reason);
QString unprotectNotice();

} // namespace cli::messages
