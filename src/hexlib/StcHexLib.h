// The program's side of the Intel HEX decoding library iHexToBin: the built library travels
// inside the program as the resource ":/FILE1/SRC1", is written to the per-user library folder
// at start and is loaded afresh for each STC image, from the program's folder if a copy lies
// there, otherwise from that library folder.
#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <stdexcept>

namespace hexlib {

// The system directory that the library is installed into: ~/.local/lib/Tramelo.
QString systemDirectory();
// "libiHexToBin.so"
QString libraryFileName();
// The folders searched for the library, in order: the program's folder, the system directory.
QStringList searchFolders();

// Writes the carried library into the system directory (creating it) unless a file of that
// name is already there; an existing file is never replaced. Returns "" on success or when the
// file was already there, otherwise a one-line text saying what failed. The program goes on
// either way: loading then finds the library in the program's folder if it can.
QString installLibrary();

// The library could not be loaded from any of the searched folders.
class EDLLLoadError : public std::runtime_error
{
public:
    EDLLLoadError();
};

// The loaded library lacks an export the program needs; the loader's own text and the
// error number it is reported with (ENOENT: no such entry).
class EExportError : public std::runtime_error
{
public:
    EExportError(int code, const QString &text);
    int code() const { return code_; }

private:
    int code_;
};

// Loads the library (first of folders that holds a loadable copy), calls its DecodeHex with
// fileName and image, releases the library and returns DecodeHex's result (0, 1 or 2). image
// must hold 65,536 bytes. Throws EDLLLoadError when no copy loads and EExportError (with the
// loader's text) when the loaded library has no DecodeHex.
int decodeHexFile(const QString &fileName, quint8 *image65536, const QStringList &folders);
// The same with searchFolders().
int decodeHexFile(const QString &fileName, quint8 *image65536);

} // namespace hexlib
