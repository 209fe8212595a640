#include "engines/FileCheck.h"


#include "hexlib/StcHexLib.h"
#include "logic/FirmwareFile.h"
#include "logic/LpcImage.h"
#include "logic/StcFrames.h"
#include "logic/StcProtocols.h"
#include "logic/Stm32Image.h"

#include <QCoreApplication>
#include <QFileInfo>

#include <vector>

namespace filecheck {

// The command line's words (its translation context), shared with the window.
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

Verdict check(devices::Family family, const QString &path)
{
    const auto named = [&path](const QString &why) {
        return Verdict{QStringLiteral("%1: %2").arg(path, why), {}};
    };
    const QFileInfo info(path);
    if (firmwarefile::isSymlinkLoop(path)) return {symlinkLoop(path), {}};
    if (path.isEmpty() || !info.exists()) return {noSuchFile(path), {}};
    if (!info.isFile()) return {notRegularFile(path), {}};
    if (!info.isReadable()) return {notReadable(path), {}};
    switch (family) {
    case devices::Family::Lpc: {
        const lpc::LoadResult r = lpc::loadImage(path);
        if (!r.ok()) return named(r.statusText);
        break;
    }
    case devices::Family::Stm32: {
        // The chip is not known yet: its line's HEX limit applies once it has answered.
        const stm32::LoadResult r = stm32::loadImage(path, stm32::kImageCapacity);
        if (!r.ok()) return named(r.statusText);
        break;
    }
    case devices::Family::Stc: {
        if (!firmwarefile::isHexFileName(path)) {
            const stc::BinaryImage binary = stc::readBinaryImage(path);
            if (!binary.refusal.isEmpty()) return named(binary.refusal);
            break;
        }
        // The same check as the programmer's, before the decoding library reads the file.
        if (const QString why = firmwarefile::decoderRefusal(path); !why.isEmpty())
            return named(why);
        std::vector<quint8> image(stc::kImageBufferSize, 0);
        hexlib::LoadNotes notes;
        hexlib::decodeHexFile(path, image.data(), &notes);
        if (!stc::imageLength(QByteArrayView(reinterpret_cast<const char *>(image.data()),
                                             qsizetype(image.size()))))
            return {noDataInImage(path), notes.statusText()};
        return {{}, notes.statusText()};
    }
    case devices::Family::StcSeries: {
        const stc::ImageLoad r = stc::loadImage(path);
        if (r.status == stc::ImageLoad::Empty) return {noDataInImage(path), {}};
        if (r.status == stc::ImageLoad::Damaged) return named(r.damage);
        if (r.status == stc::ImageLoad::TooLarge)
            return {QCoreApplication::translate("cli", "%1: 大于 64 KiB 代码空间").arg(path), {}};
        if (r.status != stc::ImageLoad::Loaded) return {notReadable(path), {}};
        break;
    }
    }
    return {};
}

} // namespace filecheck
