// Engine: one family's programmer, apart from any window.
//
// An engine is given the download choices and a port, speaks the family's boot-loader
// protocol and reports what happens through its signals: message lines, status texts,
// progress, the port's state, notices (what a window shows as a message box) and, exactly
// once per start, how the attempt ended. It is driven by the chip's answers: each step goes on
// when the port reports that the answer it waits for is complete; its timers only bound the
// waits. It uses Qt Core only, so the window, the command line (several engines at once, each
// on its own thread) and the tests run the same code.
#pragma once

#include "engines/Download.h"

#include <QObject>
#include <QString>

class Engine : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Starts a download with these choices. The STM32 and LPC engines expect their port open
    // and return at once; the STC engine opens its own port and returns when it has ended.
    // finished() comes exactly once for every start, also when it fails at once.
    virtual void start(const DownloadChoices &choices) = 0;
    // Ends a running download now (the window closing, a signal to the command line): the
    // port is left with nothing queued for it, and finished() reports Failed.
    virtual void cancel() = 0;
    virtual bool running() const = 0;
    // The chip the last attempt identified from its answers ("" when none answered).
    QString chipFound() const { return chip_; }
    // The chip's unique id as its boot loader gave it, in hexadecimal ("" when the family or
    // the chip gives none, or the attempt did not get that far): the 7-byte UID of the STC15
    // and STC8 in their erase answer, the 96-bit unique id of an STM32 (12 bytes in address
    // order) read after Get ID.
    QString uniqueId() const { return uniqueId_; }

signals:
    void line(const QString &text);
    // The message area starts again with this one line.
    void firstLine(const QString &text);
    void status(const QString &text);
    void progress(int value, int maximum);
    // The port is held open by the engine (true) or let go (false).
    void portHeld(bool open);
    // Something the user must acknowledge (a window shows it as a message box).
    void notice(const QString &text);
    // The size of the prepared image ("" when none).
    void imageSize(const QString &text);
    // A failure after which an automatic download must not keep the window on top.
    void releaseWindow();
    void finished(DownloadResult result);
    // Advice about the board beside the message lines: what the user must do by hand when
    // nothing resets it, or that the port could not set its modem lines (a pseudo-terminal).
    void hint(const QString &text);

protected:
    QString chip_;
    QString uniqueId_;
};
