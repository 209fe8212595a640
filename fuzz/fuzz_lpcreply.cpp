// LPC reply handling: random answers gathered by the driver, evaluated in a random step.
// Input: one byte choosing the step, then chunks (a length byte and that many bytes), each put
// into the driver's gathered buffer and handed to the engine as an arrival.
#include "FuzzApp.h"
#include "engines/LpcEngine.h"
#include "serial/Vok_ComDrv.h"

#include <algorithm>
#include <cstring>

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzzapp::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // A driver that is not open: what the engine sends goes nowhere.
    static TVokCommDriver driver(nullptr);
    static LpcEngine lpc(&driver);
    if (size == 0) return 0;
    DownloadChoices choices;
    choices.reset = false;
    choices.timeout = QStringLiteral("0"); // no pause after data lines
    lpc.start(choices);
    lpc.LpcState = 1 + data[0] % 10;
    size_t at = 1;
    while (at < size) {
        const size_t length = data[at];
        ++at;
        const size_t n = std::min<size_t>(length, size - at);
        const size_t room = std::min<size_t>(n, TVokCommDriver::kReceiveBufferSize);
        std::memcpy(driver.ReceiveBuffer, data + at, room);
        driver.BufferedCount = quint16(room);
        at += n;
        lpc.ComDriverGathered();
        if (lpc.LpcState < 1 || lpc.LpcState > 10) std::abort();
    }
    lpc.cancel();
    return 0;
}
