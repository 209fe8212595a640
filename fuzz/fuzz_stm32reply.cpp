// STM32 reply handling: random bytes gathered by the driver, evaluated in a random state.
// Input: one byte choosing the state, then chunks (a length byte and that many bytes), each
// put into the driver's gathered buffer and handed to the state machine's tick.
#include "FuzzApp.h"
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
    if (size == 0) return 0;
    m.Memo1->clear(); // the message area is emptied at every download start
    m.StmState = 1 + data[0] % 11;
    m.StmImage = QByteArray(int(data[0]) * 7, '\x5A');
    m.StmOffset = 0;
    m.StmRemaining = qint32(m.StmImage.size());
    size_t at = 1;
    while (at < size) {
        const size_t length = data[at];
        ++at;
        const size_t n = std::min<size_t>(length, size - at);
        const size_t room = std::min<size_t>(n, TVokCommDriver::kReceiveBufferSize);
        std::memcpy(m.ComDriver->ReceiveBuffer, data + at, room);
        m.ComDriver->BufferedCount = quint16(room);
        at += n;
        m.Timer5Timer();
        if (m.StmState < 1 || m.StmState > 11) std::abort();
    }
    m.OvertimeT->stop();
    m.Timer5->stop();
    return 0;
}
