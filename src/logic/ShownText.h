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

// The step a boot loader left without an answer, as the line before a time-out ends the
// attempt ("无应答: Get ID (0x02)", "无应答: U 23130"): one text for every family.
inline QString noAnswerLine(QStringView step)
{
    return QCoreApplication::translate("engines", "无应答: %1").arg(step);
}
