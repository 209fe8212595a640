#include "app/FileField.h"

#include "app/Ui.h"

#include <QAction>
#include <QCoreApplication>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QUrl>

namespace filefield {

namespace {

constexpr char kRecentProperty[] = "tramelo_recent_files";

// Takes drags and drops of one local file on the window and its children that take none.
class DropFilter : public QObject
{
public:
    DropFilter(QObject *parent, QLineEdit *field) : QObject(parent), field_(field) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::DragEnter || event->type() == QEvent::DragMove) {
            auto *e = static_cast<QDropEvent *>(event);
            if (droppedFile(e->mimeData()).isEmpty()) return false;
            e->acceptProposedAction();
            return true;
        }
        if (event->type() == QEvent::Drop) {
            auto *e = static_cast<QDropEvent *>(event);
            const QString path = droppedFile(e->mimeData());
            if (path.isEmpty()) return false;
            field_->setText(path);
            e->acceptProposedAction();
            return true;
        }
        return QObject::eventFilter(watched, event);
    }

private:
    QLineEdit *field_;
};

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

QString droppedFile(const QMimeData *mime)
{
    if (!mime || !mime->hasUrls() || mime->urls().size() != 1) return {};
    const QUrl url = mime->urls().front();
    if (!url.isLocalFile()) return {};
    const QString path = url.toLocalFile();
    return QFileInfo(path).isFile() ? path : QString();
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
    window->setAcceptDrops(true);
    window->installEventFilter(new DropFilter(window, field));

    setRecent(field, {field->text()});
    QObject::connect(field, &QLineEdit::textChanged, field, [field](const QString &text) {
        field->setProperty(kRecentProperty, remember(recent(field), text));
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
