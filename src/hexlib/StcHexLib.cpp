#include "hexlib/StcHexLib.h"

#include "iHexToBin.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <dlfcn.h>
#include <memory>

namespace hexlib {

namespace {

constexpr auto kResourcePath = ":/FILE1/SRC1";
constexpr auto kSystemSubdirectory = "/.local/lib/Tramelo";
constexpr auto kDecodeHexName = "DecodeHex";
constexpr auto kLoadErrorText = "Unable to Load iHexToBin";
// dlsym sets no error number of its own; a missing export is reported as "no such entry".
constexpr int kMissingExportCode = ENOENT;

struct LibraryCloser
{
    void operator()(void *handle) const { dlclose(handle); }
};
using LibraryHandle = std::unique_ptr<void, LibraryCloser>;

LibraryHandle loadFirst(const QStringList &folders)
{
    for (const QString &folder : folders) {
        if (folder.isEmpty()) continue; // a bare name would send dlopen through its own search
        const QString path = QDir(folder).absoluteFilePath(libraryFileName());
        if (void *handle = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL))
            return LibraryHandle(handle);
    }
    throw EDLLLoadError();
}

} // namespace

QString systemDirectory()
{
    return QDir::homePath() + QLatin1String(kSystemSubdirectory);
}

QString libraryFileName()
{
    return QStringLiteral("libiHexToBin.so");
}

QStringList searchFolders()
{
    return {QCoreApplication::applicationDirPath(), systemDirectory()};
}

QString installLibrary()
{
    const QString folder = systemDirectory();
    const QString path = folder + QLatin1Char('/') + libraryFileName();
    if (QFileInfo::exists(path)) return {};

    const auto failure = [&](const QString &why) {
        return QStringLiteral("Unable to install iHexToBin into %1: %2")
            .arg(QDir::toNativeSeparators(folder), why);
    };
    if (!QDir().mkpath(folder)) return failure(QStringLiteral("the folder cannot be created"));

    QFile resource(QString::fromLatin1(kResourcePath));
    if (!resource.open(QIODevice::ReadOnly))
        return failure(QStringLiteral("the program does not carry the library"));
    const QByteArray bytes = resource.readAll();

    // NewOnly: a file that appeared meanwhile is still never replaced. A partly written file
    // is removed again, or it would stand in the way of every later installation.
    QFile out(path);
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly)) return failure(out.errorString());
    if (out.write(bytes) != bytes.size() || !out.flush()) {
        const QString why = out.errorString();
        out.close();
        out.remove();
        return failure(why);
    }
    out.close();
    return {};
}

EDLLLoadError::EDLLLoadError() : std::runtime_error(kLoadErrorText) {}

EExportError::EExportError(int code, const QString &text)
    : std::runtime_error(text.toStdString()), code_(code)
{
}

int decodeHexFile(const QString &fileName, quint8 *image65536, const QStringList &folders)
{
    const LibraryHandle library = loadFirst(folders);
    dlerror();
    void *symbol = dlsym(library.get(), kDecodeHexName);
    if (!symbol) {
        const char *why = dlerror();
        throw EExportError(kMissingExportCode,
                           why ? QString::fromLocal8Bit(why) : QString::fromLatin1(kDecodeHexName));
    }
    const auto decodeHex = reinterpret_cast<DecodeHexFunction>(symbol);
    return decodeHex(QFile::encodeName(fileName).constData(), image65536);
}

int decodeHexFile(const QString &fileName, quint8 *image65536)
{
    return decodeHexFile(fileName, image65536, searchFolders());
}

} // namespace hexlib
