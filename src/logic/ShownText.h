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
