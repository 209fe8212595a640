// The download page's firmware file, as a user hands it over: a file dropped onto the window
// is taken into the file field, the field offers the last eight files it held, and the message
// area can be saved as a log. Attached to the window's own widgets; nothing else needs to know.
#pragma once

#include <QString>
#include <QStringList>

class QLineEdit;
class QMimeData;
class QPlainTextEdit;
class QWidget;

namespace filefield {

constexpr int kRecentFiles = 8;

// The list with path in front, once, at most kRecentFiles long.
QStringList remember(QStringList recent, const QString &path);

// Makes window take dropped files into field, gives field its menu of recent files (kept as
// the field changes) and messages a context menu entry that saves its text.
void attach(QWidget *window, QLineEdit *field, QPlainTextEdit *messages);
// The recent files of an attached field, newest first, and setting them (read from settings).
QStringList recent(const QLineEdit *field);
void setRecent(QLineEdit *field, const QStringList &files);
// Writes the message area's text to path as UTF-8; "" or why it failed.
QString saveLog(const QPlainTextEdit *messages, const QString &path);
// The local file a drop carries: exactly one URL naming a local file; "" otherwise.
QString droppedFile(const QMimeData *mime);

} // namespace filefield
