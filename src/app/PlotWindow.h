// The terminal's plot: a window of its own that draws the numbers of each received text line
// as curves over time (one curve per column or name), follows the last N seconds, can be
// paused, zoomed and scaled by hand, and exports the samples it shows to CSV.
#pragma once

#include "logic/Plot.h"

#include <QTimer>
#include <QWidget>

class QCheckBox;
class QPushButton;
class QSpinBox;
class QChart;
class QChartView;
class QLineSeries;
class QValueAxis;

class TPlotWindow : public QWidget
{
    Q_OBJECT

public:
    explicit TPlotWindow(QWidget *owner);

    // Received bytes, arrived at ms (since the epoch).
    void feed(QByteArrayView chunk, qint64 ms);
    // The seconds shown (the window of the last N seconds), as the settings keep them.
    int windowSeconds() const;
    void setWindowSeconds(int seconds);
    // What the plot holds and shows (for the tests and the export).
    const plot::PlotData &data() const { return data_; }
    std::pair<double, double> shownTimes() const;
    QByteArray shownCsv() const;
    void redraw();

    QPushButton *pause = nullptr, *zoomIn = nullptr, *zoomOut = nullptr, *exportCsv = nullptr,
                *clear = nullptr;
    QCheckBox *autoscale = nullptr;
    QSpinBox *seconds = nullptr;

private:
    void exportClicked();
    void zoom(double factor);

    plot::LineSplitter splitter_;
    plot::PlotData data_;
    qint64 startMs_ = -1;
    QChart *chart_ = nullptr;
    QChartView *view_ = nullptr;
    QValueAxis *x_ = nullptr, *y_ = nullptr;
    QList<QLineSeries *> series_;
    QTimer redraw_;
    bool changed_ = false;
};
