// The program's side of the Intel HEX decoding library iHexToBin: the built library travels
// inside the program as the resource ":/FILE1/SRC1", is written to the per-user library folder
// at start and is loaded afresh for each STC image, from the program's own library folder if a
// copy lies there, otherwise from the per-user folder.
//
// Loading a shared object runs its code with the program's rights, so a copy is loaded only
// when nobody but the running user (or root) can have placed or changed it: a regular file
// owned by the user or root, writable by neither group nor others, in a folder (not a
// symbolic link) with the same properties. The checks are made on the opened descriptors and
// the library is loaded through that same descriptor, so the file checked is the file loaded.
// A copy that fails is passed over with a note. When no copy on disk is usable, the carried
// bytes are loaded from an anonymous memory file, so a damaged or planted copy never stops a
// download; the installed copy itself is never replaced.
#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>
#include <stdexcept>

namespace hexlib {

// The per-user library folder that the library is installed into: ~/.local/lib/Tramelo;
// empty when HOME is not set.
QString systemDirectory();
// "libiHexToBin.so"
QString libraryFileName();
// The program's own library folder: <prefix>/lib/tramelo beside an installed program's bin/
// folder when it exists, otherwise the program's folder itself (the build tree).
QString programFolder();
// The folders searched for the library, in order: the program's own folder, the system
// directory.
QStringList searchFolders();

// Writes the carried library into the system directory (folder 0700, file 0644, whatever the
// umask) unless a file of that name is already there; an existing file is never replaced.
// Nothing is written when the copy in ownFolder (the program's own folder, searched first)
// loads and has DecodeHex, when HOME is unset or not owned by the running user, or when the
// folder is not one the loader would trust. Returns "" on success, when the file was already
// there or when the own copy serves, otherwise a one-line text saying what failed. The program
// goes on either way.
QString installLibrary(const QString &ownFolder = programFolder());

// The library could not be loaded: not from any folder and not from the carried copy. The
// text names every path tried and why it was passed over.
class EDLLLoadError : public std::runtime_error
{
public:
    explicit EDLLLoadError(const QString &detail = {});
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

// What one load did, for the status bar: a note per copy passed over, and whether the carried
// copy was loaded from memory.
struct LoadNotes
{
    QStringList skipped;
    bool embedded = false;
    QString loadedFrom; // the path loaded, or "" for the carried copy
    // One status text of the notes ("" when the first copy loaded).
    QString statusText() const;
};

enum class Fallback { Embedded, None };

// Loads the library (the first of folders that holds a trusted, loadable copy, else the
// carried copy unless fallback is None), calls its DecodeHex with fileName and image,
// releases the library and returns DecodeHex's result (0, 1 or 2). image must hold 65,536
// bytes. Throws EDLLLoadError when nothing loads and EExportError (with the loader's text)
// when the loaded library has no DecodeHex.
int decodeHexFile(const QString &fileName, quint8 *image65536, const QStringList &folders,
                  LoadNotes *notes = nullptr, Fallback fallback = Fallback::Embedded);
// The same with searchFolders().
int decodeHexFile(const QString &fileName, quint8 *image65536, LoadNotes *notes = nullptr);

} // namespace hexlib
