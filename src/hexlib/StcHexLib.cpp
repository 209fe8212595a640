#include "hexlib/StcHexLib.h"

#include "iHexToBin.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <memory>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef TRAMELO_LIBRARY_FROM_BIN
#define TRAMELO_LIBRARY_FROM_BIN "../lib/tramelo"
#endif

namespace hexlib {

namespace {

constexpr auto kResourcePath = ":/FILE1/SRC1";
constexpr auto kSystemSubdirectory = "/.local/lib/Tramelo";
constexpr auto kDecodeHexName = "DecodeHex";
constexpr auto kLoadErrorText = "Unable to Load iHexToBin";
// dlsym sets no error number of its own; a missing export is reported as "no such entry".
constexpr int kMissingExportCode = ENOENT;
constexpr mode_t kFolderMode = 0700;
constexpr mode_t kFileMode = 0644;

struct LibraryCloser
{
    void operator()(void *handle) const { dlclose(handle); }
};
using LibraryHandle = std::unique_ptr<void, LibraryCloser>;

class Descriptor
{
public:
    explicit Descriptor(int fd) : fd_(fd) {}
    ~Descriptor()
    {
        if (fd_ >= 0) ::close(fd_);
    }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    int get() const { return fd_; }
    bool ok() const { return fd_ >= 0; }

private:
    int fd_;
};

QString errnoText(int err)
{
    return QString::fromLocal8Bit(std::strerror(err));
}

// Why the folder or file behind fd may not be trusted with code; "" when it may.
QString untrusted(int fd, bool folder)
{
    struct stat st = {};
    if (::fstat(fd, &st) != 0) return errnoText(errno);
    if (folder ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
        return folder ? QCoreApplication::translate("hexlib", "不是文件夹")
                      : QCoreApplication::translate("hexlib", "不是普通文件");
    if (st.st_uid != ::geteuid() && st.st_uid != 0)
        return QCoreApplication::translate("hexlib", "属于其他用户 (uid %1)").arg(st.st_uid);
    if (st.st_mode & (S_IWGRP | S_IWOTH))
        return QCoreApplication::translate("hexlib", "组或其他用户可写 (权限 %1)")
            .arg(QString::number(st.st_mode & 07777, 8));
    return {};
}

// A reason that concerns the library's folder rather than the file.
QString folderReason(const QString &why)
{
    return QCoreApplication::translate("hexlib", "文件夹: %1").arg(why);
}

// The folder itself must not be a symbolic link: a link would hand the choice of the folder
// to whoever can change the link.
int openFolder(const QString &folder)
{
    return ::open(QFile::encodeName(folder).constData(),
                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

QString openFailure(int err)
{
    return err == ELOOP || err == ENOTDIR ? QCoreApplication::translate("hexlib", "符号链接")
                                          : errnoText(err);
}

// dlopen through the descriptor's /proc name maps exactly the file that was checked, even if
// the name in the folder is replaced in between.
LibraryHandle loadDescriptor(int fd, QString &why)
{
    const QByteArray name = QByteArray("/proc/self/fd/") + QByteArray::number(fd);
    void *handle = dlopen(name.constData(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        const char *text = dlerror();
        why = text ? QString::fromLocal8Bit(text) : QStringLiteral("cannot be loaded");
        // The loader's text names the /proc path; the note names the copy's own path.
        why.replace(QString::fromLatin1(name) + QStringLiteral(": "), QString());
    }
    return LibraryHandle(handle);
}

// Tries the copy in one folder; a missing copy is passed over without a note.
LibraryHandle loadFrom(const QString &folder, LoadNotes &notes)
{
    const QString path = QDir(folder).absoluteFilePath(libraryFileName());
    auto skip = [&](const QString &why) {
        notes.skipped << QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), why);
        return LibraryHandle();
    };
    const Descriptor dir(openFolder(folder));
    if (!dir.ok()) {
        const int err = errno;
        if (err == ENOENT) return {};
        return skip(folderReason(openFailure(err)));
    }
    const QByteArray name = QFile::encodeName(libraryFileName());
    // O_NONBLOCK: a named pipe planted under the library's name must not hang the open.
    const Descriptor file(
        ::openat(dir.get(), name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.ok()) {
        const int err = errno;
        if (err == ENOENT) return {};
        return skip(openFailure(err));
    }
    if (const QString why = untrusted(dir.get(), true); !why.isEmpty())
        return skip(folderReason(why));
    if (const QString why = untrusted(file.get(), false); !why.isEmpty()) return skip(why);
    QString why;
    LibraryHandle handle = loadDescriptor(file.get(), why);
    if (!handle) return skip(why);
    notes.loadedFrom = path;
    return handle;
}

// The carried bytes in an anonymous memory file, loaded from there.
LibraryHandle loadCarried(LoadNotes &notes)
{
    const QString path = QStringLiteral("(carried copy)");
    auto skip = [&](const QString &why) {
        notes.skipped << QStringLiteral("%1: %2").arg(path, why);
        return LibraryHandle();
    };
    QFile resource(QString::fromLatin1(kResourcePath));
    if (!resource.open(QIODevice::ReadOnly))
        return skip(QStringLiteral("the program does not carry the library"));
    const QByteArray bytes = resource.readAll();
    const Descriptor mem(::memfd_create("iHexToBin", MFD_CLOEXEC));
    if (!mem.ok()) return skip(errnoText(errno));
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(mem.get(), bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return skip(errnoText(errno));
        done += n;
    }
    QString why;
    LibraryHandle handle = loadDescriptor(mem.get(), why);
    if (!handle) return skip(why);
    notes.embedded = true;
    notes.loadedFrom.clear();
    return handle;
}

LibraryHandle loadFirst(const QStringList &folders, LoadNotes &notes, Fallback fallback)
{
    for (const QString &folder : folders) {
        if (folder.isEmpty()) continue; // a bare name would send dlopen through its own search
        if (LibraryHandle handle = loadFrom(folder, notes)) return handle;
    }
    if (fallback == Fallback::Embedded)
        if (LibraryHandle handle = loadCarried(notes)) return handle;
    throw EDLLLoadError(
        notes.skipped.isEmpty()
            ? QStringLiteral("no copy in %1").arg(folders.join(QStringLiteral(", ")))
            : notes.skipped.join(QStringLiteral("; ")));
}

// Makes each missing folder below home with mode 0700 exactly (mkdir's mode is cut by the
// umask, so the mode is set again).
bool makeFolders(const QString &home, const QString &relative)
{
    QString path = home;
    for (const QString &part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        path += QLatin1Char('/') + part;
        const QByteArray native = QFile::encodeName(path);
        if (::mkdir(native.constData(), kFolderMode) == 0) {
            if (::chmod(native.constData(), kFolderMode) != 0) return false;
        } else if (errno != EEXIST) {
            return false;
        }
    }
    return true;
}

} // namespace

QString LoadNotes::statusText() const
{
    const QString list = skipped.join(QStringLiteral("; "));
    if (embedded)
        return skipped.isEmpty()
                   ? QCoreApplication::translate("hexlib", "使用程序内置的HEX解码库")
                   : QCoreApplication::translate("hexlib", "使用程序内置的HEX解码库（已跳过 %1）")
                         .arg(list);
    if (skipped.isEmpty()) return {};
    return QCoreApplication::translate("hexlib", "已跳过HEX解码库 %1").arg(list);
}

QString systemDirectory()
{
    const QString home = qEnvironmentVariable("HOME");
    if (home.isEmpty()) return {};
    return QDir::cleanPath(home) + QLatin1String(kSystemSubdirectory);
}

QString libraryFileName()
{
    return QStringLiteral("libiHexToBin.so");
}

QString programFolder()
{
    const QString own = QCoreApplication::applicationDirPath();
    const QString installed =
        QDir::cleanPath(own + QLatin1Char('/') + QLatin1String(TRAMELO_LIBRARY_FROM_BIN));
    return QFileInfo(installed).isDir() ? installed : own;
}

QStringList searchFolders()
{
    return {programFolder(), systemDirectory()};
}

QString installLibrary(const QString &ownFolder)
{
    // The program's own copy (an installed program's lib/tramelo) loads and decodes: the
    // search finds it first, so a per-user copy would never be used and is not written.
    {
        LoadNotes notes;
        const LibraryHandle own = ownFolder.isEmpty() ? LibraryHandle() : loadFrom(ownFolder, notes);
        if (own && dlsym(own.get(), kDecodeHexName)) return {};
    }
    const QString folder = systemDirectory();
    const auto failure = [&](const QString &why) {
        return QStringLiteral("Unable to install iHexToBin into %1: %2")
            .arg(folder.isEmpty() ? QStringLiteral("~/.local/lib/Tramelo")
                                  : QDir::toNativeSeparators(folder),
                 why);
    };
    // With another user's HOME (sudo -E) the copy would be theirs to replace; with none the
    // folder would land at the root.
    const QString home = qEnvironmentVariable("HOME");
    if (home.isEmpty()) return failure(QStringLiteral("HOME is not set"));
    struct stat homeStat = {};
    if (::stat(QFile::encodeName(home).constData(), &homeStat) != 0 ||
        homeStat.st_uid != ::geteuid())
        return failure(QStringLiteral("the home folder %1 is not the running user's").arg(home));

    const QByteArray path = QFile::encodeName(folder + QLatin1Char('/') + libraryFileName());
    struct stat existing = {};
    if (::lstat(path.constData(), &existing) == 0) return {};

    if (!makeFolders(QDir::cleanPath(home), QLatin1String(kSystemSubdirectory)))
        return failure(QStringLiteral("the folder cannot be created"));
    const Descriptor dir(openFolder(folder));
    if (!dir.ok())
        return failure(QStringLiteral("the folder cannot be opened: %1").arg(openFailure(errno)));
    if (const QString why = untrusted(dir.get(), true); !why.isEmpty())
        return failure(folderReason(why));

    QFile resource(QString::fromLatin1(kResourcePath));
    if (!resource.open(QIODevice::ReadOnly))
        return failure(QStringLiteral("the program does not carry the library"));
    const QByteArray bytes = resource.readAll();

    // The copy is written under a name of its own and renamed into place only when whole, so
    // another program starting at the same moment finds either no copy or a whole one (a
    // library cut short could be mapped and fault when used). RENAME_NOREPLACE: a copy that
    // another program put there meanwhile is never replaced, and it is as good as this one.
    static std::atomic<unsigned> attempt{0};
    const QByteArray name = QFile::encodeName(libraryFileName());
    const QByteArray part = QByteArray(".") + name + '.' + QByteArray::number(::getpid()) + '.' +
                            QByteArray::number(attempt.fetch_add(1)) + ".part";
    const Descriptor out(::openat(dir.get(), part.constData(),
                                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode));
    if (!out.ok()) return failure(errnoText(errno));
    int err = ::fchmod(out.get(), kFileMode) == 0 ? 0 : errno;
    qsizetype done = 0;
    while (err == 0 && done < bytes.size()) {
        const ssize_t n = ::write(out.get(), bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            err = n < 0 ? errno : EIO;
        else
            done += n;
    }
    if (err == 0 && ::fsync(out.get()) != 0) err = errno;
    if (err == 0 &&
        ::renameat2(dir.get(), part.constData(), dir.get(), name.constData(), RENAME_NOREPLACE) != 0 &&
        errno != EEXIST)
        err = errno;
    // Gone already when renamed; a partly written copy must not stay behind either.
    ::unlinkat(dir.get(), part.constData(), 0);
    if (err != 0) return failure(errnoText(err));
    return {};
}

EDLLLoadError::EDLLLoadError(const QString &detail)
    : std::runtime_error(
          detail.isEmpty()
              ? std::string(kLoadErrorText)
              : (QStringLiteral("%1: %2").arg(QLatin1String(kLoadErrorText), detail)).toStdString())
{
}

EExportError::EExportError(int code, const QString &text)
    : std::runtime_error(text.toStdString()), code_(code)
{
}

int decodeHexFile(const QString &fileName, quint8 *image65536, const QStringList &folders,
                  LoadNotes *notes, Fallback fallback)
{
    LoadNotes local;
    LoadNotes &n = notes ? *notes : local;
    const LibraryHandle library = loadFirst(folders, n, fallback);
    dlerror();
    void *symbol = dlsym(library.get(), kDecodeHexName);
    if (!symbol) {
        const char *why = dlerror();
        QString text = why ? QString::fromLocal8Bit(why) : QString::fromLatin1(kDecodeHexName);
        // The loader names the copy by its descriptor; the text names the copy's own path.
        static const QRegularExpression procName(QStringLiteral("/proc/self/fd/[0-9]+"));
        text.replace(procName, n.embedded ? QStringLiteral("(carried copy)") : n.loadedFrom);
        throw EExportError(kMissingExportCode, text);
    }
    const auto decodeHex = reinterpret_cast<DecodeHexFunction>(symbol);
    return decodeHex(QFile::encodeName(fileName).constData(), image65536);
}

int decodeHexFile(const QString &fileName, quint8 *image65536, LoadNotes *notes)
{
    return decodeHexFile(fileName, image65536, searchFolders(), notes);
}

} // namespace hexlib
