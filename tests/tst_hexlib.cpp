// Carrying, installing and loading the decoding library, with HOME in a temporary folder so
// that the system directory is a fresh one for each test.
#include "app/Ui.h"
#include "hexlib/StcHexLib.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include <dlfcn.h>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr qsizetype kImageSize = 65536;
constexpr auto kHexText = ":0300000002003AC1\r\n:00000001FF\r\n";

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// Whether the library file at path is mapped into this process now.
bool isLoaded(const QString &path)
{
    void *handle = dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return false;
    dlclose(handle);
    return true;
}

} // namespace

class TestHexLib : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void resourceCarriesTheBuiltLibrary();
    void systemDirectoryFollowsHome();
    void searchOrder();
    void installWritesLibrary();
    void installKeepsExistingFile();
    void installAtOnceByManyPrograms();
    void noInstallBesideAUsableOwnCopy_data();
    void noInstallBesideAUsableOwnCopy();
    void installFailure_data();
    void installFailure();
    void decodeThroughInstalledLibrary();
    void programFolderFirst();
    void unloadableCopySkipped();
    void noLibraryAnywhere();
    void missingExport();
    void untrustedCopySkipped_data();
    void untrustedCopySkipped();
    void installModesIgnoreUmask();
    void noInstallWithoutOwnHome_data();
    void noInstallWithoutOwnHome();

private:
    QString programFolderWith(const QString &libraryFile);
    std::unique_ptr<QTemporaryDir> home_;
    std::unique_ptr<QTemporaryDir> programFolder_;
    QString hexFile_;
};

void TestHexLib::init()
{
    home_ = std::make_unique<QTemporaryDir>();
    programFolder_ = std::make_unique<QTemporaryDir>();
    QVERIFY(home_->isValid() && programFolder_->isValid());
    qputenv("HOME", QFile::encodeName(home_->path()));
    hexFile_ = home_->filePath(QStringLiteral("image.hex"));
    QVERIFY(writeAll(hexFile_, kHexText));
    // The build tree keeps the library beside its own target, never beside the tests; a copy
    // here would hide the loading failures below.
    QVERIFY(!QFile::exists(
        QDir(QCoreApplication::applicationDirPath()).filePath(hexlib::libraryFileName())));
}

QString TestHexLib::programFolderWith(const QString &libraryFile)
{
    const QString target = programFolder_->filePath(hexlib::libraryFileName());
    QFile::remove(target);
    if (!QFile::copy(libraryFile, target)) return {};
    return programFolder_->path();
}

void TestHexLib::resourceCarriesTheBuiltLibrary()
{
    const QByteArray carried = readAll(QStringLiteral(":/FILE1/SRC1"));
    QVERIFY(!carried.isEmpty());
    QCOMPARE(carried, readAll(QStringLiteral(TST_IHEXTOBIN_FILE)));
}

void TestHexLib::systemDirectoryFollowsHome()
{
    QCOMPARE(hexlib::systemDirectory(), home_->path() + QStringLiteral("/.local/lib/Tramelo"));
    QCOMPARE(hexlib::libraryFileName(), QStringLiteral("libiHexToBin.so"));
}

void TestHexLib::searchOrder()
{
    // In the build tree the program's own folder is its executable's; installed, it is
    // <prefix>/lib/tramelo beside bin/ (the package check runs that case).
    QCOMPARE(hexlib::programFolder(), QCoreApplication::applicationDirPath());
    QCOMPARE(hexlib::searchFolders(),
             (QStringList{QCoreApplication::applicationDirPath(), hexlib::systemDirectory()}));
}

void TestHexLib::installWritesLibrary()
{
    QVERIFY(!QFile::exists(hexlib::systemDirectory()));
    QCOMPARE(hexlib::installLibrary(), QString());
    const QString installed = hexlib::systemDirectory() + "/libiHexToBin.so";
    QCOMPARE(readAll(installed), readAll(QStringLiteral(":/FILE1/SRC1")));
    // A second start finds it there and leaves it.
    QCOMPARE(hexlib::installLibrary(), QString());
    QCOMPARE(readAll(installed), readAll(QStringLiteral(":/FILE1/SRC1")));
}

// Production stations start several downloads at once: each installs or finds a whole copy,
// none fails because another one was writing it, and nothing half-written is left.
void TestHexLib::installAtOnceByManyPrograms()
{
    constexpr int kPrograms = 8;
    std::vector<QString> errors(kPrograms);
    std::vector<std::thread> starts;
    for (int i = 0; i < kPrograms; ++i)
        starts.emplace_back([&errors, i] { errors[size_t(i)] = hexlib::installLibrary(); });
    for (std::thread &t : starts)
        t.join();
    for (const QString &error : errors)
        QCOMPARE(error, QString());
    QCOMPARE(readAll(hexlib::systemDirectory() + "/libiHexToBin.so"),
             readAll(QStringLiteral(":/FILE1/SRC1")));
    QCOMPARE(QDir(hexlib::systemDirectory()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QStringLiteral("libiHexToBin.so")});
}

void TestHexLib::installKeepsExistingFile()
{
    QVERIFY(QDir().mkpath(hexlib::systemDirectory()));
    const QString installed = hexlib::systemDirectory() + "/libiHexToBin.so";
    QVERIFY(writeAll(installed, "an older library"));
    QCOMPARE(hexlib::installLibrary(), QString());
    QCOMPARE(readAll(installed), QByteArray("an older library"));
}

// The system directory cannot be made (tests run as root, so file modes do not stop them: a
// file standing where a folder has to be does). The text is returned, and a copy in the
// program's folder is still used.
// An installed program loads its own copy first; a per-user copy is written only when that
// copy cannot serve.
void TestHexLib::noInstallBesideAUsableOwnCopy_data()
{
    QTest::addColumn<QString>("ownCopy");
    QTest::addColumn<bool>("written");
    QTest::newRow("usable own copy") << QStringLiteral(TST_IHEXTOBIN_FILE) << false;
    QTest::newRow("own copy without DecodeHex") << QStringLiteral(TST_WITHOUT_DECODEHEX_FILE)
                                                << true;
    QTest::newRow("no own copy") << QString() << true;
}

void TestHexLib::noInstallBesideAUsableOwnCopy()
{
    QFETCH(QString, ownCopy);
    QFETCH(bool, written);
    const QString own = ownCopy.isEmpty() ? programFolder_->path() : programFolderWith(ownCopy);
    QVERIFY(!own.isEmpty());
    QCOMPARE(hexlib::installLibrary(own), QString());
    QCOMPARE(QFile::exists(hexlib::systemDirectory() + "/libiHexToBin.so"), written);
}

void TestHexLib::installFailure_data()
{
    QTest::addColumn<QString>("blocker");
    QTest::newRow(".local is a file") << "local";
    QTest::newRow("Tramelo is a file") << "Tramelo";
}

void TestHexLib::installFailure()
{
    QFETCH(QString, blocker);
    QDir home(home_->path());
    if (blocker == QLatin1String("local")) {
        QVERIFY(writeAll(home.filePath(".local"), "x"));
    } else {
        QVERIFY(home.mkpath(".local/lib"));
        QVERIFY(writeAll(home.filePath(".local/lib/Tramelo"), "x"));
    }
    const QString error = hexlib::installLibrary();
    QVERIFY(!error.isEmpty());
    QVERIFY2(error.contains(hexlib::systemDirectory()), qPrintable(error));

    const QString programFolder = programFolderWith(QStringLiteral(TST_IHEXTOBIN_FILE));
    QVERIFY(!programFolder.isEmpty());
    std::vector<quint8> image(kImageSize, 0);
    QCOMPARE(
        hexlib::decodeHexFile(hexFile_, image.data(), {programFolder, hexlib::systemDirectory()}),
        1);
    QCOMPARE(image[0], quint8(0x02));
    QCOMPARE(image[2], quint8(0x3A));
}

void TestHexLib::decodeThroughInstalledLibrary()
{
    QCOMPARE(hexlib::installLibrary(), QString());
    const QString installed = hexlib::systemDirectory() + "/libiHexToBin.so";
    std::vector<quint8> image(kImageSize, 0);
    QCOMPARE(hexlib::decodeHexFile(hexFile_, image.data()), 1);
    QCOMPARE(image[0], quint8(0x02));
    QCOMPARE(image[1], quint8(0x00));
    QCOMPARE(image[2], quint8(0x3A));
    QVERIFY(!isLoaded(installed));

    std::vector<quint8> untouched(kImageSize, 0x5A);
    QCOMPARE(hexlib::decodeHexFile(home_->filePath("missing.hex"), untouched.data()), 0);
    QVERIFY(std::all_of(untouched.cbegin(), untouched.cend(), [](quint8 b) { return b == 0x5A; }));
    QVERIFY(!isLoaded(installed));
}

// A copy in the program's folder is taken before the installed one: a copy without DecodeHex
// there makes the call fail although the installed library would work.
void TestHexLib::programFolderFirst()
{
    QCOMPARE(hexlib::installLibrary(), QString());
    const QString programFolder = programFolderWith(QStringLiteral(TST_WITHOUT_DECODEHEX_FILE));
    QVERIFY(!programFolder.isEmpty());
    std::vector<quint8> image(kImageSize, 0);
    QVERIFY_THROWS_EXCEPTION(
        hexlib::EExportError,
        hexlib::decodeHexFile(hexFile_, image.data(), {programFolder, hexlib::systemDirectory()}));
    QCOMPARE(image[0], quint8(0));
}

void TestHexLib::unloadableCopySkipped()
{
    QCOMPARE(hexlib::installLibrary(), QString());
    QVERIFY(writeAll(programFolder_->filePath(hexlib::libraryFileName()), "not a library"));
    std::vector<quint8> image(kImageSize, 0);
    QCOMPARE(hexlib::decodeHexFile(hexFile_, image.data(),
                                   {programFolder_->path(), hexlib::systemDirectory()}),
             1);
    QCOMPARE(image[2], quint8(0x3A));
}

// With no copy on disk the carried one is loaded from memory and the download goes on;
// without that fallback the error names the folders tried.
void TestHexLib::noLibraryAnywhere()
{
    std::vector<quint8> image(kImageSize, 0);
    hexlib::LoadNotes notes;
    QCOMPARE(hexlib::decodeHexFile(hexFile_, image.data(), &notes), 1);
    QCOMPARE(image[2], quint8(0x3A));
    QVERIFY(notes.embedded);
    QVERIFY(notes.skipped.isEmpty());
    QVERIFY(!notes.statusText().isEmpty());

    std::fill(image.begin(), image.end(), 0);
    try {
        hexlib::decodeHexFile(hexFile_, image.data(), hexlib::searchFolders(), nullptr,
                              hexlib::Fallback::None);
        QFAIL("no exception");
    } catch (const hexlib::EDLLLoadError &e) {
        const QString text = QString::fromUtf8(e.what());
        QVERIFY2(text.startsWith(QStringLiteral("Unable to Load iHexToBin")), e.what());
        QVERIFY2(text.contains(hexlib::systemDirectory()), e.what());
    }
    QVERIFY(std::all_of(image.cbegin(), image.cend(), [](quint8 b) { return b == 0; }));
}

void TestHexLib::missingExport()
{
    QVERIFY(QDir().mkpath(hexlib::systemDirectory()));
    const QString installed = hexlib::systemDirectory() + "/libiHexToBin.so";
    QVERIFY(QFile::copy(QStringLiteral(TST_WITHOUT_DECODEHEX_FILE), installed));
    QCOMPARE(hexlib::installLibrary(), QString()); // a file of that name is not replaced
    std::vector<quint8> image(kImageSize, 0);
    try {
        hexlib::decodeHexFile(hexFile_, image.data());
        QFAIL("no exception");
    } catch (const hexlib::EExportError &e) {
        QVERIFY2(QString::fromUtf8(e.what()).contains("DecodeHex"), e.what());
        QVERIFY2(QString::fromUtf8(e.what()).contains(installed), e.what()); // the copy tried
    }
    QVERIFY(!isLoaded(installed));
}

// A copy that someone other than the user or root could have placed or changed, or that
// cannot be loaded, is passed over with a note naming it; the carried copy does the work.
// The ownership rows chown to another uid, which needs root (as the tests run in CI).
void TestHexLib::untrustedCopySkipped_data()
{
    QTest::addColumn<QString>("trouble");
    QTest::addColumn<bool>("trusted");
    QTest::newRow("trusted copy") << "none" << true;
    for (const char *t :
         {"file of another user", "file writable by group", "file writable by others",
          "folder of another user", "folder writable by others", "folder is a symbolic link",
          "file is a symbolic link", "file is a named pipe", "file is a folder", "empty file",
          "corrupt file"})
        QTest::newRow(t) << QString::fromLatin1(t) << false;
}

void TestHexLib::untrustedCopySkipped()
{
    QFETCH(QString, trouble);
    QFETCH(bool, trusted);
    constexpr uid_t kOtherUser = 4242;
    QDir base(home_->path());
    QVERIFY(base.mkdir("good"));
    const QString good = base.filePath("good");
    QString folder = good;
    const QString lib = good + "/" + hexlib::libraryFileName();
    const QByteArray libPath = QFile::encodeName(lib);
    if (trouble == "file is a named pipe") {
        QVERIFY(::mkfifo(libPath.constData(), 0644) == 0);
    } else if (trouble == "file is a folder") {
        QVERIFY(base.mkdir("good/" + hexlib::libraryFileName()));
    } else if (trouble == "empty file") {
        QVERIFY(writeAll(lib, {}));
    } else if (trouble == "corrupt file") {
        QVERIFY(writeAll(lib, QByteArray(4096, '\x7f')));
    } else if (trouble == "file is a symbolic link") {
        QVERIFY(QFile::copy(QStringLiteral(TST_IHEXTOBIN_FILE), base.filePath("real.so")));
        QVERIFY(QFile::link(base.filePath("real.so"), lib));
    } else {
        QVERIFY(QFile::copy(QStringLiteral(TST_IHEXTOBIN_FILE), lib));
        QVERIFY(::chmod(libPath.constData(), 0644) == 0);
    }
    const QByteArray goodPath = QFile::encodeName(good);
    QVERIFY(::chmod(goodPath.constData(), 0755) == 0);
    if (trouble.endsWith("of another user")) {
        if (::geteuid() != 0) QSKIP("changing a file's owner needs root");
        const QByteArray target = trouble.startsWith("file") ? libPath : goodPath;
        QVERIFY(::chown(target.constData(), kOtherUser, gid_t(-1)) == 0);
    } else if (trouble == "file writable by group") {
        QVERIFY(::chmod(libPath.constData(), 0664) == 0);
    } else if (trouble == "file writable by others") {
        QVERIFY(::chmod(libPath.constData(), 0646) == 0);
    } else if (trouble == "folder writable by others") {
        QVERIFY(::chmod(goodPath.constData(), 0777) == 0);
    } else if (trouble == "folder is a symbolic link") {
        folder = base.filePath("linked");
        QVERIFY(QFile::link(good, folder));
    }

    std::vector<quint8> image(kImageSize, 0);
    hexlib::LoadNotes notes;
    QCOMPARE(hexlib::decodeHexFile(hexFile_, image.data(), {folder}, &notes), 1);
    QCOMPARE(image[2], quint8(0x3A));
    QCOMPARE(notes.embedded, !trusted);
    if (trusted) {
        QCOMPARE(notes.loadedFrom, lib);
        QVERIFY(notes.skipped.isEmpty());
        QVERIFY(notes.statusText().isEmpty());
    } else {
        QCOMPARE(notes.skipped.size(), 1);
        QVERIFY2(notes.skipped[0].startsWith(folder + "/" + hexlib::libraryFileName() + ": "),
                 qPrintable(notes.skipped[0]));
        QVERIFY(notes.statusText().contains(notes.skipped[0]));
    }
}

// The folders are 0700 and the file 0644 even with umask 000, where another user could
// otherwise replace the library.
void TestHexLib::installModesIgnoreUmask()
{
    const mode_t old = ::umask(0);
    const QString error = hexlib::installLibrary();
    ::umask(old);
    QCOMPARE(error, QString());
    const auto mode = [](const QString &path) {
        struct stat st = {};
        return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777)
                                                                      : -1;
    };
    QCOMPARE(mode(home_->filePath(".local")), 0700);
    QCOMPARE(mode(home_->filePath(".local/lib")), 0700);
    QCOMPARE(mode(hexlib::systemDirectory()), 0700);
    QCOMPARE(mode(hexlib::systemDirectory() + "/libiHexToBin.so"), 0644);
}

// Nothing is written under a HOME that is unset (it would land at the root) or that belongs
// to someone else (sudo -E): that user could replace what root later loads.
void TestHexLib::noInstallWithoutOwnHome_data()
{
    QTest::addColumn<bool>("unset");
    QTest::newRow("HOME unset") << true;
    QTest::newRow("HOME of another user") << false;
}

void TestHexLib::noInstallWithoutOwnHome()
{
    QFETCH(bool, unset);
    const QByteArray home = QFile::encodeName(home_->path());
    if (unset) {
        qunsetenv("HOME");
        QCOMPARE(hexlib::systemDirectory(), QString());
    } else {
        if (::geteuid() != 0) QSKIP("changing a folder's owner needs root");
        QVERIFY(::chown(home.constData(), 4242, gid_t(-1)) == 0);
    }
    const QString error = hexlib::installLibrary();
    qputenv("HOME", home);
    QVERIFY(!error.isEmpty());
    QVERIFY(!QFile::exists(home_->filePath(".local")));
    QVERIFY(!QFile::exists(QStringLiteral("/.local/lib/Tramelo")));
    // The download still goes on with the carried copy.
    std::vector<quint8> image(kImageSize, 0);
    hexlib::LoadNotes notes;
    QCOMPARE(hexlib::decodeHexFile(hexFile_, image.data(), &notes), 1);
    QVERIFY(notes.embedded);
}

QTEST_GUILESS_MAIN(TestHexLib)
#include "tst_hexlib.moc"
