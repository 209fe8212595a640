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
    void installFailure_data();
    void installFailure();
    void decodeThroughInstalledLibrary();
    void programFolderFirst();
    void unloadableCopySkipped();
    void noLibraryAnywhere();
    void missingExport();

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

void TestHexLib::noLibraryAnywhere()
{
    std::vector<quint8> image(kImageSize, 0);
    try {
        hexlib::decodeHexFile(hexFile_, image.data());
        QFAIL("no exception");
    } catch (const hexlib::EDLLLoadError &e) {
        QCOMPARE(QString::fromUtf8(e.what()), QStringLiteral("Unable to Load iHexToBin"));
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
    }
    QVERIFY(!isLoaded(installed));
}

QTEST_GUILESS_MAIN(TestHexLib)
#include "tst_hexlib.moc"
