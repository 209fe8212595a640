// The terminal's plot: numbers found in received text lines, kept as samples over time, drawn
// thinned to the pixels there are and exported whole. Plain logic (Qt Core).
//
// A line is read as a board's serial plotter output is usually printed: values separated by
// blanks, tabs or commas, each either a number ("12.5") or a name and a number ("temp:21.5",
// also "temp: 21.5"). A line with anything else in it (a greeting, a cut-off number, text)
// gives no sample at all, so garbage never makes a curve.
#pragma once

#include <QByteArray>
#include <QList>
#include <QPointF>
#include <QString>
#include <QStringList>
#include <optional>

namespace plot {

// The values of one line, in column order; a name is empty for an unnamed column.
struct Values
{
    QStringList names;
    QList<double> values;
};
inline constexpr int kMaxColumns = 32;
// nullopt when the line holds no value or anything that is not one.
std::optional<Values> parseLine(QByteArrayView line);

// Cuts a byte stream into lines at CR, LF or CR LF. A line longer than kMaxLine bytes is not a
// plotter line: it is dropped up to its end.
class LineSplitter
{
public:
    static constexpr qsizetype kMaxLine = 1024;
    QList<QByteArray> feed(QByteArrayView bytes);

private:
    QByteArray partial_;
    bool pendingCr_ = false;
    bool overlong_ = false;
};

// The samples of every curve, by time (seconds since the first sample). Curves are made by
// the first line that names them (or, unnamed, by their column: "1", "2" ...), at most
// kMaxCurves; each line is one row of the export.
class PlotData
{
public:
    static constexpr int kMaxCurves = 16;

    void add(const Values &v, double t);
    int curveCount() const { return int(names_.size()); }
    QString curveName(int curve) const { return names_.at(curve); }
    double lastTime() const { return rows_.isEmpty() ? 0.0 : rows_.last().t; }
    qsizetype rowCount() const { return rows_.size(); }
    // Forgets the rows before time t.
    void dropBefore(double t);
    void clear();

    // The curve's samples in [from, to], thinned for drawing: for each of `buckets` equal
    // spans of time the first, lowest, highest and last sample (in time order), so every
    // peak stays visible. All samples when they are fewer.
    QList<QPointF> drawn(int curve, double from, double to, int buckets) const;
    // The lowest and highest value of all curves in [from, to]; nullopt without samples.
    std::optional<std::pair<double, double>> valueRange(double from, double to) const;
    // Every row in [from, to] as CSV: a header "time_s,<curve names>", then one line per row
    // with the time and each curve's value (empty where the line had none). Values are
    // written in their shortest exact form; names are quoted where CSV needs it.
    QByteArray csv(double from, double to) const;

private:
    struct Row
    {
        double t;
        qsizetype first; // index in values_
        int count;
    };
    struct Value
    {
        int curve;
        double v;
    };
    qsizetype firstRowAt(double t) const;
    int curveFor(const QString &name);

    QStringList names_;
    QList<Row> rows_;
    QList<Value> values_;
    qsizetype dropped_ = 0; // values_ before this index belong to dropped rows
};

} // namespace plot
