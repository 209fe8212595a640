#pragma once

#include <QCoreApplication>
#include <QString>

// A text shown to the user, kept as its Chinese source and translated each time it is turned
// into a QString, so a constant at file scope follows the translator installed at start.
// Declare it as ShownText{"<context>", QT_TRANSLATE_NOOP("<context>", "...")} so lupdate
// finds the source.
struct ShownText
{
    const char *context;
    const char *source;

    QString text() const { return QCoreApplication::translate(context, source); }
    operator QString() const { return text(); }
};

// The line before a time-out's end that names the step a silent boot loader left without an
// answer ("无应答: Get ID (0x02)"): one text for every family, each naming its own steps.
inline QString noAnswerLine(const QString &step)
{
    return QCoreApplication::translate("texts", "无应答: %1").arg(step);
}
