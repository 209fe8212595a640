#include "app/PlotWindow.h"

#include "app/Ui.h"

#include <QBoxLayout>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineSeries>
#include <QPushButton>
#include <QSpinBox>
#include <QValueAxis>

namespace {
constexpr int kRedrawMs = 200;     // five pictures a second follow a stream well enough
constexpr int kDefaultSeconds = 10;
constexpr int kMaxSeconds = 600;
// Rows kept at most while the view stands still (paused or zoomed), so memory stays bounded.
constexpr qsizetype kMaxRows = 2'000'000;
constexpr double kMargin = 0.05; // of the value range, above and below the curves
} // namespace

TPlotWindow::TPlotWindow(QWidget *owner) : QWidget(owner, Qt::Window)
{
    setObjectName(QStringLiteral("PlotWindow"));
    setWindowTitle(tr("曲线图 - Tramelo"));
    resize(720, 420);

    chart_ = new QChart;
    chart_->legend()->setAlignment(Qt::AlignBottom);
    x_ = new QValueAxis;
    x_->setTitleText(tr("时间 (s)"));
    y_ = new QValueAxis;
    chart_->addAxis(x_, Qt::AlignBottom);
    chart_->addAxis(y_, Qt::AlignLeft);
    x_->setRange(0, kDefaultSeconds);
    view_ = new QChartView(chart_, this);
    view_->setRubberBand(QChartView::RectangleRubberBand);
    view_->setAccessibleName(tr("曲线"));

    const auto button = [this](const QString &text, const char *name) {
        auto *b = new QPushButton(text, this);
        b->setObjectName(QLatin1String(name));
        b->setAccessibleName(b->text().remove(QLatin1Char('&')));
        return b;
    };
    pause = button(tr("暂停(&P)"), "PlotPause");
    pause->setCheckable(true);
    zoomIn = button(tr("放大(&+)"), "PlotZoomIn");
    zoomOut = button(tr("缩小(&-)"), "PlotZoomOut");
    autoscale = new QCheckBox(tr("自动缩放(&A)"), this);
    autoscale->setObjectName(QStringLiteral("PlotAutoscale"));
    autoscale->setChecked(true);
    autoscale->setAccessibleName(tr("自动缩放"));
    auto *secondsLabel = new QLabel(tr("显示最近(&W)"), this);
    seconds = new QSpinBox(this);
    seconds->setObjectName(QStringLiteral("PlotSeconds"));
    seconds->setRange(1, kMaxSeconds);
    seconds->setValue(kDefaultSeconds);
    seconds->setSuffix(tr(" 秒"));
    seconds->setAccessibleName(tr("显示最近的秒数"));
    secondsLabel->setBuddy(seconds);
    exportCsv = button(tr("导出CSV(&E)…"), "PlotExport");
    exportCsv->setToolTip(tr("把显示范围内的全部数据（未抽稀）保存为 CSV 文件"));
    clear = button(tr("清除(&C)"), "PlotClear");

    auto *bar = new QHBoxLayout;
    for (QWidget *w : std::initializer_list<QWidget *>{pause, zoomIn, zoomOut, autoscale,
                                                       secondsLabel, seconds, exportCsv, clear})
        bar->addWidget(w);
    bar->addStretch();
    auto *layout = new QVBoxLayout(this);
    layout->addLayout(bar);
    layout->addWidget(view_, 1);

    connect(pause, &QPushButton::toggled, this, [this](bool on) {
        if (!on) redraw();
    });
    connect(zoomIn, &QPushButton::clicked, this, [this] { zoom(0.5); });
    connect(zoomOut, &QPushButton::clicked, this, [this] { zoom(2.0); });
    connect(autoscale, &QCheckBox::toggled, this, [this] { redraw(); });
    connect(seconds, &QSpinBox::valueChanged, this, [this] { redraw(); });
    connect(exportCsv, &QPushButton::clicked, this, &TPlotWindow::exportClicked);
    connect(clear, &QPushButton::clicked, this, [this] {
        data_.clear();
        startMs_ = -1;
        for (QLineSeries *s : series_) {
            chart_->removeSeries(s);
            delete s;
        }
        series_.clear();
        redraw();
    });
    // A rectangle drawn with the mouse zooms in: the view then stands still (paused).
    connect(x_, &QValueAxis::rangeChanged, this, [this] {
        if (!redraw_.signalsBlocked() && view_->underMouse() && !pause->isChecked())
            pause->setChecked(true);
    });
    redraw_.setInterval(kRedrawMs);
    connect(&redraw_, &QTimer::timeout, this, [this] {
        if (changed_ && !pause->isChecked()) redraw();
    });
    redraw_.start();
}

int TPlotWindow::windowSeconds() const
{
    return seconds->value();
}

void TPlotWindow::setWindowSeconds(int s)
{
    seconds->setValue(std::clamp(s, 1, kMaxSeconds));
}

void TPlotWindow::feed(QByteArrayView chunk, qint64 ms)
{
    for (const QByteArray &line : splitter_.feed(chunk)) {
        const auto values = plot::parseLine(line);
        if (!values) continue;
        if (startMs_ < 0) startMs_ = ms;
        data_.add(*values, double(ms - startMs_) / 1000.0);
        changed_ = true;
    }
}

std::pair<double, double> TPlotWindow::shownTimes() const
{
    return {x_->min(), x_->max()};
}

QByteArray TPlotWindow::shownCsv() const
{
    const auto [from, to] = shownTimes();
    return data_.csv(from, to);
}

void TPlotWindow::redraw()
{
    changed_ = false;
    const double last = data_.lastTime();
    const double span = seconds->value();
    double from = x_->min(), to = x_->max();
    if (!pause->isChecked()) {
        to = std::max(last, span);
        from = to - span;
    }
    // Rows that can no longer be shown go, except those the standing view still shows.
    data_.dropBefore(std::min(from, last - span));
    if (data_.rowCount() > kMaxRows) data_.dropBefore(last - span);
    while (series_.size() < data_.curveCount()) {
        auto *s = new QLineSeries;
        s->setName(data_.curveName(int(series_.size())));
        s->setUseOpenGL(false);
        chart_->addSeries(s);
        s->attachAxis(x_);
        s->attachAxis(y_);
        series_.append(s);
    }
    // About one bucket (up to four points) per three pixels: more cannot be seen.
    const int buckets = std::max(view_->width() / 3, 16);
    for (int c = 0; c < int(series_.size()); ++c)
        series_[c]->replace(data_.drawn(c, from, to, buckets));
    {
        const QSignalBlocker quiet(&redraw_); // marks the range change as the program's
        x_->setRange(from, to);
        if (autoscale->isChecked())
            if (const auto range = data_.valueRange(from, to)) {
                const double pad = std::max((range->second - range->first) * kMargin, 1e-9);
                y_->setRange(range->first - pad, range->second + pad);
            }
    }
}

void TPlotWindow::zoom(double factor)
{
    const QSignalBlocker quiet(&redraw_);
    const double mid = (x_->min() + x_->max()) / 2;
    const double half = (x_->max() - x_->min()) / 2 * factor;
    pause->setChecked(true);
    x_->setRange(mid - half, mid + half);
    redraw();
}

void TPlotWindow::exportClicked()
{
    const QString path = ui::chooseFile(
        {this, QString(), QStringLiteral("CSV (*.csv)"), QStringLiteral("csv"), true});
    if (path.isEmpty()) return;
    const QByteArray csv = shownCsv();
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(csv) != csv.size() ||
        !f.flush())
        ui::reportException(std::runtime_error(
            ui::toStd(QStringLiteral("Cannot create file \"%1\". %2").arg(path, f.errorString()))));
}
