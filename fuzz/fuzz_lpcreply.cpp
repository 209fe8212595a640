// LPC reply handling: random answers gathered by the driver, evaluated in a random step.
// Input: one byte choosing the step, then chunks (a length byte and that many bytes), each put
// into the driver's gathered buffer and handed to the reply poll.
#include "FuzzApp.h"
#include "app/LPC.h"
#include "app/Main.h"

#include "app/Ui.h"

#include <QPlainTextEdit>
#include <algorithm>
#include <cstring>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzapp::init();
    ui::setMessageHandler([](const ui::MessageRequest &) {});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static ApplicationWindows w = CreateApplicationWindows(false);
    TMainForm &m = *w.main;
    TLPCFrm &lpc = *w.lpc;
    if (size == 0) return 0;
    m.Memo1->clear(); // the message area is emptied at every download start
    lpc.LpcState = 1 + data[0] % 10;
    m.Edit3->setText(QStringLiteral("0"));
    size_t at = 1;
    while (at < size) {
        const size_t length = data[at];
        ++at;
        const size_t n = std::min<size_t>(length, size - at);
        const size_t room = std::min<size_t>(n, TVokCommDriver::kReceiveBufferSize);
        std::memcpy(m.ComDriver->ReceiveBuffer, data + at, room);
        m.ComDriver->BufferedCount = quint16(room);
        at += n;
        lpc.Timer5Timer();
        if (lpc.LpcState < 1 || lpc.LpcState > 10) std::abort();
    }
    return 0;
}
