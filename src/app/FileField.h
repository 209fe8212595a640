// The download page's firmware file as a user comes back to it: the field offers the last eight
// files it held, and the message area can be saved as a log. Attached to the window's own
// widgets; nothing else needs to know.
#pragma once

#include <QString>
#include <QStringList>

class QLineEdit;
class QPlainTextEdit;
class QWidget;

namespace filefield {

constexpr int kRecentFiles = 8;

// The list with path in front, once, at most kRecentFiles long.
QStringList remember(QStringList recent, const QString &path);

// Gives field its menu of recent files (kept as the field changes) and messages a context
// menu entry that saves its text.
void attach(QLineEdit *field, QPlainTextEdit *messages);
// The recent files of an attached field, newest first, and setting them (read from settings).
QStringList recent(const QLineEdit *field);
void setRecent(QLineEdit *field, const QStringList &files);
// Writes the message area's text to path as UTF-8; "" or why it failed.
QString saveLog(const QPlainTextEdit *messages, const QString &path);

} // namespace filefield
