#include "cli/Files.h"

#include <QDir>
#include <QFile>
#include <QStringList>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace cli::files {

namespace {

constexpr int kMaxLinks = 40;      // as the kernel's own limit on a path's symbolic links
constexpr int kMaxBaseBytes = 200; // the temporary name's copy of a base name (NAME_MAX 255)

std::mutex aliasMutex;
QByteArray aliasFolder; // "" until the first alias
QList<QByteArray> aliases;

void removeAliases()
{
    const std::lock_guard lock(aliasMutex);
    for (const QByteArray &a : std::as_const(aliases))
        ::unlink(a.constData());
    if (!aliasFolder.isEmpty()) ::rmdir(aliasFolder.constData());
}

QByteArray folderOf(const QByteArray &path)
{
    const qsizetype slash = path.lastIndexOf('/');
    return slash < 0 ? QByteArray(".") : slash == 0 ? QByteArray("/") : path.left(slash);
}

QByteArray baseOf(const QByteArray &path)
{
    return path.mid(path.lastIndexOf('/') + 1);
}

QByteArray linkTarget(const QByteArray &path)
{
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.constData(), target, sizeof target);
    return n > 0 ? QByteArray(target, n) : QByteArray();
}

} // namespace

QString argumentPath(const QByteArray &arg)
{
    const QString text = QString::fromUtf8(arg);
    if (text.toUtf8() == arg) return text;
    QByteArray target = arg;
    if (!target.startsWith('/')) {
        char cwd[PATH_MAX];
        if (!::getcwd(cwd, sizeof cwd)) return text;
        target = QByteArray(cwd) + '/' + target;
    }
    const std::lock_guard lock(aliasMutex);
    if (aliasFolder.isEmpty()) {
        QByteArray folder = QFile::encodeName(QDir::tempPath()) + "/tramelo-names-XXXXXX";
        if (!::mkdtemp(folder.data())) return text;
        aliasFolder = folder;
        std::atexit(removeAliases);
    }
    // The base name stays recognisable (its ending says binary or HEX); what is not UTF-8
    // shows as U+FFFD.
    const QByteArray alias = aliasFolder + '/' + QByteArray::number(aliases.size()) + '-' +
                             QString::fromUtf8(baseOf(arg)).toUtf8();
    if (::symlink(target.constData(), alias.constData()) != 0) return text;
    aliases << alias;
    return QFile::decodeName(alias);
}

QByteArray fileSystemPath(const QString &path)
{
    const QByteArray bytes = QFile::encodeName(path);
    {
        const std::lock_guard lock(aliasMutex);
        if (aliasFolder.isEmpty() || !aliases.contains(bytes)) return bytes;
    }
    return linkTarget(bytes);
}

QByteArray finalTarget(const QByteArray &path)
{
    QByteArray at = path;
    for (int i = 0; i <= kMaxLinks; ++i) {
        struct stat st = {};
        if (::lstat(at.constData(), &st) != 0 || !S_ISLNK(st.st_mode)) return at;
        const QByteArray target = linkTarget(at);
        if (target.isEmpty()) return {};
        at = target.startsWith('/') ? target : folderOf(at) + '/' + target;
    }
    return {};
}

bool replaceFile(const QByteArray &target, const QByteArray &bytes)
{
    const QByteArray stem = folderOf(target) + "/." + baseOf(target).left(kMaxBaseBytes) + '.' +
                            QByteArray::number(::getpid()) + '-';
    QByteArray temp;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
        temp = stem + QByteArray::number(attempt);
        fd = ::open(temp.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) return false;
    }
    if (fd < 0) return false;
    struct stat st = {};
    bool ok = ::stat(target.constData(), &st) != 0 || ::fchmod(fd, st.st_mode & 07777) == 0;
    for (qsizetype at = 0; ok && at < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.constData() + at, size_t(bytes.size() - at));
        if (n < 0 && errno == EINTR) continue;
        ok = n > 0;
        at += n > 0 ? n : 0;
    }
    ok = ok && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && ::rename(temp.constData(), target.constData()) == 0;
    if (!ok) ::unlink(temp.constData());
    return ok;
}

} // namespace cli::files
