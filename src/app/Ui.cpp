#include "app/Ui.h"

#include <QDesktopServices>
#include <QFileDialog>
#include <QMessageBox>
#include <QUrl>

namespace ui {

namespace {
MessageHandler &messageHandler()
{
    static MessageHandler h;
    return h;
}
FileHandler &fileHandler()
{
    static FileHandler h;
    return h;
}
QuestionHandler &questionHandler()
{
    static QuestionHandler h;
    return h;
}
UrlHandler &urlHandler()
{
    static UrlHandler h;
    return h;
}
} // namespace

void setUrlHandler(UrlHandler handler)
{
    urlHandler() = std::move(handler);
}

void openUrl(const QString &url)
{
    if (urlHandler()) {
        urlHandler()(url);
        return;
    }
    QDesktopServices::openUrl(QUrl(url));
}

void setMessageHandler(MessageHandler handler)
{
    messageHandler() = std::move(handler);
}

void message(const MessageRequest &r)
{
    if (messageHandler()) {
        messageHandler()(r);
        return;
    }
    QMessageBox box(r.icon == Icon::Information   ? QMessageBox::Information
                    : r.icon == Icon::Exclamation ? QMessageBox::Warning
                                                  : QMessageBox::Critical,
                    r.caption, shownLineBreaks(r.text), QMessageBox::Ok, r.owner);
    if (r.topmost) box.setWindowFlag(Qt::WindowStaysOnTopHint, true);
    box.exec();
}

void setQuestionHandler(QuestionHandler handler)
{
    questionHandler() = std::move(handler);
}

void ask(const MessageRequest &r, const std::function<void(bool yes)> &answered)
{
    if (questionHandler()) {
        answered(questionHandler()(r));
        return;
    }
    auto *box = new QMessageBox(r.icon == Icon::Information   ? QMessageBox::Question
                                : r.icon == Icon::Exclamation ? QMessageBox::Warning
                                                              : QMessageBox::Critical,
                                r.caption, shownLineBreaks(r.text),
                                QMessageBox::Yes | QMessageBox::No, r.owner);
    box->setDefaultButton(QMessageBox::No);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (r.topmost) box->setWindowFlag(Qt::WindowStaysOnTopHint, true);
    QObject::connect(box, &QMessageBox::finished, box,
                     [answered](int result) { answered(result == QMessageBox::Yes); });
    box->open();
}

QString shownLineBreaks(const QString &text)
{
    QString out = text;
    out.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    out.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    return out;
}

void setFileHandler(FileHandler handler)
{
    fileHandler() = std::move(handler);
}

QString chooseFile(const FileRequest &r)
{
    if (fileHandler()) return fileHandler()(r);
    QFileDialog dialog(r.owner);
    dialog.setAcceptMode(r.save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    dialog.setFileMode(r.save ? QFileDialog::AnyFile : QFileDialog::ExistingFile);
    dialog.setNameFilter(r.filter);
    dialog.setDefaultSuffix(r.defaultSuffix);
    if (!r.preset.isEmpty()) dialog.selectFile(r.preset);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
    return dialog.selectedFiles().first();
}

void reportException(const std::exception &e)
{
    message({nullptr, QStringLiteral("Tramelo"), fromStd(e.what()), Icon::Error, false});
}

Application::Application(int &argc, char **argv) : QApplication(argc, argv) {}

bool Application::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &e) {
        reportException(e);
    } catch (...) {
        reportException(std::runtime_error("Unknown error"));
    }
    return false;
}

std::string toStd(const QString &s)
{
    return s.toStdString();
}
QString fromStd(const char *s)
{
    return QString::fromUtf8(s);
}

} // namespace ui
