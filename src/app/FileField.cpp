#include "app/FileField.h"

#include "app/Ui.h"

#include <QAction>
#include <QCoreApplication>
#include <QFile>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>

namespace filefield {

namespace {

constexpr char kRecentProperty[] = "tramelo_recent_files";

} // namespace

QStringList remember(QStringList recent, const QString &path)
{
    if (path.isEmpty()) return recent;
    recent.removeAll(path);
    recent.prepend(path);
    while (recent.size() > kRecentFiles)
        recent.removeLast();
    return recent;
}

QStringList recent(const QLineEdit *field)
{
    return field->property(kRecentProperty).toStringList();
}

void setRecent(QLineEdit *field, const QStringList &files)
{
    QStringList kept;
    for (auto it = files.crbegin(); it != files.crend(); ++it)
        kept = remember(kept, *it);
    field->setProperty(kRecentProperty, kept);
}

QString saveLog(const QPlainTextEdit *messages, const QString &path)
{
    QFile f(path);
    const QByteArray text = messages->toPlainText().toUtf8() + '\n';
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size() ||
        !f.flush())
        return f.errorString();
    return {};
}

void attach(QWidget *window, QLineEdit *field, QPlainTextEdit *messages)
{
    setRecent(field, {field->text()});
    // A file chosen by the dialog, dropped or read back is remembered at once; a typed path
    // once the typing ends (Enter or the focus leaving), not every part of it on the way.
    QObject::connect(field, &QLineEdit::textChanged, field, [field](const QString &text) {
        if (!field->isModified())
            field->setProperty(kRecentProperty, remember(recent(field), text));
    });
    QObject::connect(field, &QLineEdit::editingFinished, field, [field] {
        if (!field->isModified()) return;
        field->setModified(false);
        field->setProperty(kRecentProperty, remember(recent(field), field->text()));
    });
    QAction *history = field->addAction(QIcon::fromTheme(QStringLiteral("document-open-recent")),
                                        QLineEdit::TrailingPosition);
    history->setObjectName(QStringLiteral("RecentFiles"));
    history->setToolTip(QCoreApplication::translate("TMainForm", "最近使用的文件"));
    QObject::connect(history, &QAction::triggered, field, [field] {
        QMenu menu(field);
        for (const QString &path : recent(field))
            menu.addAction(path, field, [field, path] { field->setText(path); });
        menu.exec(field->mapToGlobal(field->rect().bottomLeft()));
    });

    messages->setContextMenuPolicy(Qt::CustomContextMenu);
    QObject::connect(
        messages, &QWidget::customContextMenuRequested, messages, [messages](const QPoint &at) {
            std::unique_ptr<QMenu> menu(messages->createStandardContextMenu());
            menu->addSeparator();
            menu->addAction(
                QCoreApplication::translate("TMainForm", "保存为日志..."), messages, [messages] {
                    const QString path = ui::chooseFile(
                        {messages->window(), QStringLiteral("tramelo.log"),
                         QStringLiteral("log (*.log *.txt)"), QStringLiteral("log"), true});
                    if (path.isEmpty()) return;
                    if (const QString why = saveLog(messages, path); !why.isEmpty())
                        ui::message(
                            {messages->window(), QStringLiteral("Tramelo"),
                             QCoreApplication::translate("TMainForm", "日志无法保存: %1").arg(why),
                             ui::Icon::Exclamation, false});
                });
            menu->exec(messages->mapToGlobal(at));
        });
}

} // namespace filefield
