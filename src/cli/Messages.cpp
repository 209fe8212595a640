#include "cli/Messages.h"

#include "cli/EndSignals.h"
#include "logic/FirmwareFile.h"

#include <QCoreApplication>

namespace cli::messages {

QString noSuchFile(const QString &path)
{
    return QCoreApplication::translate("cli", "%1: 文件不存在").arg(path);
}

QString symlinkLoop(const QString &path)
{
    return QStringLiteral("%1: %2").arg(path, firmwarefile::symlinkLoopText());
}

QString notRegularFile(const QString &path)
{
    return QCoreApplication::translate("cli", "%1: 不是普通文件").arg(path);
}

QString notReadable(const QString &path)
{
    return QStringLiteral("%1: %2").arg(path, firmwarefile::unreadableText());
}

QString noDataInImage(const QString &path)
{
    return QCoreApplication::translate("cli", "%1: 64 KiB 映像范围内没有数据").arg(path);
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
