#include "support/WindowRig.h"

#include "support/Window.h"

#include <QCheckBox>
#include <QLabel>

#include <QComboBox>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>

namespace testsupport {

WindowRig::WindowRig(const Prepare &prepare)
{
    // A settings file written by prepare replaces the whole store, the port map included.
    if (prepare) prepare(env);
    env.mapPort(1, peer.slavePath());
    windows = CreateApplicationWindows();
    TMainForm &m = main();
    m.OnLine = [this](const QString &line) {
        lines << line;
        if (onLine) onLine(line);
    };
    m.OnStatusText = [this](const QString &text) { statuses << text; };
    m.OnDownloadEnded = [this](DownloadResult result) {
        results << result;
        endedAfterMs = clock.isValid() ? clock.elapsed() : -1;
        if (onEnd) onEnd(result);
    };
}

WindowRig::~WindowRig()
{
    peer.attach(nullptr);
}

void WindowRig::select(int entry, int baudIndex)
{
    TMainForm &m = main();
    m.MCUType->setCurrentIndex(entry);
    m.ComboBox1->setCurrentIndex(0);
    if (baudIndex < 0) return;
    m.ComboBox2->setCurrentIndex(baudIndex);
    m.ComboBox7->setCurrentIndex(baudIndex);
}

void WindowRig::setAutomaticReset(bool on)
{
    main().CheckBox2->setChecked(on);
    main().CheckBox2Click();
}

void WindowRig::start(const QString &file)
{
    lines.clear();
    statuses.clear();
    main().Edit2->setText(file);
    clock.start();
    main().BitBtn1->click();
}

bool WindowRig::waitForEnds(qsizetype count, int timeoutMs)
{
    return waitUntil([&] { return results.size() >= count; }, timeoutMs);
}

QString keptProgressProblem(const TMainForm &m, bool written)
{
    const QProgressBar *bar = m.ProgressBar1;
    const QString figures = m.ProgressText->text();
    const int percent = int(qint64(bar->value()) * 100 / std::max(bar->maximum(), 1));
    const QString shown = QStringLiteral("bar %1/%2, figures \"%3\"")
                              .arg(bar->value())
                              .arg(bar->maximum())
                              .arg(figures);
    if (written && bar->value() != bar->maximum()) return QStringLiteral("not full: ") + shown;
    if (figures.isEmpty() ? bar->value() != 0
                          : !figures.startsWith(QStringLiteral("%1%").arg(percent)))
        return QStringLiteral("bar and figures differ: ") + shown;
    return {};
}

} // namespace testsupport
