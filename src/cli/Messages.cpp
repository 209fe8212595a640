#include "cli/Messages.h"

#include "cli/EndSignals.h"
#include "engines/FileCheck.h"
#include "logic/FirmwareFile.h"

#include <QCoreApplication>

namespace cli::messages {

// The file refusals are the window's too (engines/FileCheck).
QString noSuchFile(const QString &path)
{
    return filecheck::noSuchFile(path);
}

QString symlinkLoop(const QString &path)
{
    return filecheck::symlinkLoop(path);
}

QString notRegularFile(const QString &path)
{
    return filecheck::notRegularFile(path);
}

QString notReadable(const QString &path)
{
    return filecheck::notReadable(path);
}

QString noDataInImage(const QString &path)
{
    return filecheck::noDataInImage(path);
}

QString cannotWrite(const QString &path)
{
    return QCoreApplication::translate("cli", "%1: 无法写入文件").arg(path);
}

QString folderNotWritable(const QString &folder)
{
    return QCoreApplication::translate("cli", "%1: 文件夹不存在或不可写").arg(folder);
}

QString symlinkNotFollowed(const QString &path)
{
    return QCoreApplication::translate("cli", "%1: 是符号链接，不跟随").arg(path);
}

QString downloadEnded(int sig)
{
    return QCoreApplication::translate("cli", "%1: 下载被中止").arg(signalName(sig));
}

QString readEnded(int sig)
{
    return QCoreApplication::translate("cli", "%1: 读取被中止").arg(signalName(sig));
}

QString portNotOpened(const QString &port, const QString &reason)
{
    return QCoreApplication::translate("cli", "%1: 无法打开串口 (%2)").arg(port, reason);
}

QString unprotectNotice()
{
    return QCoreApplication::translate("cli",
                                       "--unprotect: 读保护的芯片先解除保护，芯片将擦除整片 Flash");
}
} // namespace cli::messages
