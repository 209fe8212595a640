#include "logic/Plot.h"

#include <QLocale>
#include <algorithm>
#include <cmath>
#include <limits>

namespace plot {

namespace {

bool isSeparator(char c)
{
    return c == ' ' || c == '\t' || c == ',';
}

// A decimal number as printed by a board: sign, digits with at most one point, an exponent.
// No "nan", "inf", hex or thousands separators.
std::optional<double> number(QByteArrayView token)
{
    qsizetype i = 0;
    const qsizetype n = token.size();
    if (i < n && (token[i] == '+' || token[i] == '-')) ++i;
    int digits = 0;
    bool point = false;
    for (; i < n; ++i) {
        const char c = token[i];
        if (c >= '0' && c <= '9')
            ++digits;
        else if (c == '.' && !point)
            point = true;
        else
            break;
    }
    if (digits == 0) return std::nullopt;
    if (i < n && (token[i] == 'e' || token[i] == 'E')) {
        ++i;
        if (i < n && (token[i] == '+' || token[i] == '-')) ++i;
        const qsizetype expStart = i;
        while (i < n && token[i] >= '0' && token[i] <= '9')
            ++i;
        if (i == expStart) return std::nullopt;
    }
    if (i != n) return std::nullopt;
    bool ok = false;
    const double v = token.toByteArray().toDouble(&ok);
    if (!ok || !std::isfinite(v)) return std::nullopt;
    return v;
}

bool isName(QByteArrayView name)
{
    if (name.isEmpty() || name.size() > 64) return false;
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return uchar(c) > ' ' && c != ':' && c != 0x7F; });
}

QByteArray csvField(const QString &text)
{
    QByteArray utf8 = text.toUtf8();
    if (!utf8.contains(',') && !utf8.contains('"') && !utf8.contains('\n')) return utf8;
    return '"' + utf8.replace("\"", "\"\"") + '"';
}

} // namespace

std::optional<Values> parseLine(QByteArrayView line)
{
    QList<QByteArrayView> tokens;
    qsizetype i = 0;
    while (i < line.size()) {
        while (i < line.size() && isSeparator(line[i]))
            ++i;
        const qsizetype start = i;
        while (i < line.size() && !isSeparator(line[i]))
            ++i;
        if (i > start) tokens.append(line.sliced(start, i - start));
    }
    Values out;
    for (qsizetype k = 0; k < tokens.size(); ++k) {
        QByteArrayView t = tokens[k];
        QString name;
        const qsizetype colon = t.indexOf(':');
        if (colon >= 0) {
            const QByteArrayView n = t.first(colon);
            if (!isName(n)) return std::nullopt;
            name = QString::fromUtf8(n);
            t = t.sliced(colon + 1);
            // "name: 12" - the value is the next token.
            if (t.isEmpty()) {
                if (++k == tokens.size()) return std::nullopt;
                t = tokens[k];
            }
        }
        const auto v = number(t);
        if (!v || out.values.size() == kMaxColumns) return std::nullopt;
        out.names.append(name);
        out.values.append(*v);
    }
    if (out.values.isEmpty()) return std::nullopt;
    return out;
}

QList<QByteArray> LineSplitter::feed(QByteArrayView bytes)
{
    QList<QByteArray> lines;
    for (char c : bytes) {
        if (c == '\n' && pendingCr_) {
            pendingCr_ = false;
            continue;
        }
        pendingCr_ = c == '\r';
        if (c == '\r' || c == '\n') {
            if (!overlong_) lines.append(partial_);
            partial_.clear();
            overlong_ = false;
            continue;
        }
        if (overlong_) continue;
        if (partial_.size() == kMaxLine) {
            overlong_ = true;
            partial_.clear();
            continue;
        }
        partial_.append(c);
    }
    return lines;
}

int PlotData::curveFor(const QString &name)
{
    const qsizetype at = names_.indexOf(name);
    if (at >= 0) return int(at);
    if (names_.size() == kMaxCurves) return -1;
    names_.append(name);
    return int(names_.size() - 1);
}

void PlotData::add(const Values &v, double t)
{
    Row row{t, dropped_ + values_.size(), 0};
    for (qsizetype i = 0; i < v.values.size(); ++i) {
        const QString name = v.names.value(i).isEmpty() ? QString::number(i + 1) : v.names[i];
        const int curve = curveFor(name);
        if (curve < 0) continue;
        values_.append({curve, v.values[i]});
        ++row.count;
    }
    if (row.count > 0) rows_.append(row);
}

qsizetype PlotData::firstRowAt(double t) const
{
    return std::lower_bound(rows_.begin(), rows_.end(), t,
                            [](const Row &r, double x) { return r.t < x; }) -
           rows_.begin();
}

void PlotData::dropBefore(double t)
{
    const qsizetype n = firstRowAt(t);
    if (n == 0) return;
    const qsizetype firstKept = n < rows_.size() ? rows_[n].first : dropped_ + values_.size();
    values_.remove(0, firstKept - dropped_);
    dropped_ = firstKept;
    rows_.remove(0, n);
}

void PlotData::clear()
{
    names_.clear();
    rows_.clear();
    values_.clear();
    dropped_ = 0;
}

QList<QPointF> PlotData::drawn(int curve, double from, double to, int buckets) const
{
    QList<QPointF> out;
    const qsizetype begin = firstRowAt(from);
    const qsizetype end = firstRowAt(std::nextafter(to, std::numeric_limits<double>::max()));
    const double span = to - from;
    buckets = std::max(buckets, 1);
    // Per bucket: first, lowest, highest and last sample.
    int bucket = -1;
    QPointF first, low, high, last;
    const auto flush = [&] {
        if (bucket < 0) return;
        QList<QPointF> four{first, low, high, last};
        std::sort(four.begin(), four.end(),
                  [](const QPointF &a, const QPointF &b) { return a.x() < b.x(); });
        for (const QPointF &p : four)
            if (out.isEmpty() || out.last() != p) out.append(p);
    };
    for (qsizetype r = begin; r < end; ++r) {
        const Row &row = rows_[r];
        for (int k = 0; k < row.count; ++k) {
            const Value &v = values_[row.first - dropped_ + k];
            if (v.curve != curve) continue;
            const QPointF p(row.t, v.v);
            const int b = span > 0 ? std::min(int((row.t - from) / span * buckets), buckets - 1)
                                   : 0;
            if (b != bucket) {
                flush();
                bucket = b;
                first = low = high = last = p;
            } else {
                if (p.y() < low.y()) low = p;
                if (p.y() > high.y()) high = p;
                last = p;
            }
        }
    }
    flush();
    return out;
}

std::optional<std::pair<double, double>> PlotData::valueRange(double from, double to) const
{
    std::optional<std::pair<double, double>> range;
    const qsizetype end = firstRowAt(std::nextafter(to, std::numeric_limits<double>::max()));
    for (qsizetype r = firstRowAt(from); r < end; ++r) {
        const Row &row = rows_[r];
        for (int k = 0; k < row.count; ++k) {
            const double v = values_[row.first - dropped_ + k].v;
            if (!range)
                range = std::pair{v, v};
            else
                range = std::pair{std::min(range->first, v), std::max(range->second, v)};
        }
    }
    return range;
}

QByteArray PlotData::csv(double from, double to) const
{
    QByteArray out("time_s");
    for (const QString &name : names_)
        out += ',' + csvField(name);
    out += "\r\n";
    const auto shortest = [](double v) {
        return QByteArray::number(v, 'g', QLocale::FloatingPointShortest);
    };
    const qsizetype end = firstRowAt(std::nextafter(to, std::numeric_limits<double>::max()));
    QList<std::optional<double>> cells(names_.size());
    for (qsizetype r = firstRowAt(from); r < end; ++r) {
        const Row &row = rows_[r];
        std::fill(cells.begin(), cells.end(), std::nullopt);
        for (int k = 0; k < row.count; ++k) {
            const Value &v = values_[row.first - dropped_ + k];
            cells[v.curve] = v.v;
        }
        out += QByteArray::number(row.t, 'f', 3);
        for (const auto &c : cells) {
            out += ',';
            if (c) out += shortest(*c);
        }
        out += "\r\n";
    }
    return out;
}

} // namespace plot
