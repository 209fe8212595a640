// User-interface services that tests and the command line replace: message boxes, file
// dialogs and the application's default error handler. The windows call these instead of
// QMessageBox/QFileDialog directly, so a test records a message instead of blocking on it and
// the command line prints it instead of waiting for a click.
#pragma once

#include <QApplication>
#include <QString>
#include <functional>
#include <stdexcept>

class QWidget;

namespace ui {

enum class Icon { Information, Exclamation, Error };

struct MessageRequest
{
    QWidget *owner = nullptr;
    QString caption;
    QString text;
    Icon icon = Icon::Information;
    bool topmost = false;
};
using MessageHandler = std::function<void(const MessageRequest &)>;
// nullptr restores the default (a modal QMessageBox).
void setMessageHandler(MessageHandler handler);
void message(const MessageRequest &request);

// A question with the answers Yes and No (No is the default). The box is modal to its owner
// but runs no event loop of its own: ask() returns at once and answered(true) is called when
// the user answers Yes, answered(false) on No. Whatever runs (a download) goes on meanwhile.
// A handler (tests, the command line) answers at once: true for Yes.
using QuestionHandler = std::function<bool(const MessageRequest &)>;
// nullptr restores the default (a QMessageBox).
void setQuestionHandler(QuestionHandler handler);
void ask(const MessageRequest &request, const std::function<void(bool yes)> &answered);

struct FileRequest
{
    QWidget *owner = nullptr;
    QString preset;        // file name shown at first
    QString filter;        // Qt filter text
    QString defaultSuffix; // without the dot
    bool save = false;
};
using FileHandler = std::function<QString(const FileRequest &)>; // "" = cancelled
void setFileHandler(FileHandler handler);
QString chooseFile(const FileRequest &request);

// Opens a web address or a mail link in the user's default programs.
using UrlHandler = std::function<void(const QString &url)>;
void setUrlHandler(UrlHandler handler);
void openUrl(const QString &url);

// A text as Qt shows it. The program's texts break lines with a lone CR (and CR LF); Qt's
// plain-text labels, boxes and tooltips break only at LF, so each such break becomes one LF.
// The texts themselves keep their CRs: handlers and scripts see them as written.
QString shownLineBreaks(const QString &text);

// The application's default error handler: shows the error's text in a message box captioned
// with the application name and lets the program go on.
void reportException(const std::exception &e);

// Catches exceptions that leave an event handler and hands them to reportException.
class Application : public QApplication
{
public:
    Application(int &argc, char **argv);
    bool notify(QObject *receiver, QEvent *event) override;
};

// Qt text to an exception message (UTF-8) and back.
std::string toStd(const QString &s);
QString fromStd(const char *s);

} // namespace ui
