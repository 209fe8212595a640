// STM32 reply handling: random bytes gathered by the driver, evaluated in a random state.
// Input: one byte choosing the state, the part, the erase command and verify, then chunks (a
// length byte and that many bytes), each put into the driver's gathered buffer and handed to
// the engine as an arrival.
#include "FuzzApp.h"
#include "engines/Stm32Engine.h"
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
    static Stm32Engine m(&driver);
    if (size == 0) return 0;
    DownloadChoices choices;
    choices.reset = false;
    choices.verify = data[0] & 0x80;
    m.start(choices);
    // Any state with the context a real attempt has built by then: the commands the Get reply
    // listed, a part of the table, its flash size, the erase plan for the image, its spans and
    // checksum ranges, and where the unique id is read.
    const int states = stm32::kStateCount;
    m.StmState = 1 + data[0] % states;
    m.StmImage = QByteArray(int(data[0]) * 7 + 4, '\x5A');
    m.StmCommands = QByteArray::fromHex("0001021131434463738292");
    if (data[0] & 0x40) m.StmCommands.remove(5, 1); // no Erase: the extended one is used
    m.StmPart = &stm32::partFor(data[0] & 0x20 ? 0x413 : 0x410);
    m.StmFlashKib = 1024;
    m.StmErase = stm32::erasePlan(*m.StmPart, (data[0] & 0x40) != 0, m.StmImage.size());
    m.StmEraseNext = 0;
    m.StmErasing = m.StmState == int(stm32::State::EraseAck);
    m.StmAddress = stm32::kFlashStart;
    m.StmOffset = 0;
    m.StmBlockLength = 0;
    m.StmRewrites = 0;
    m.StmRemaining = qint32(m.StmImage.size());
    m.StmSpans = {stm32::Span{0, m.StmImage.size()}};
    m.StmCrcRanges = stm32::checksumRanges(m.StmSpans);
    m.StmCrcNext = 0;
    m.StmSizeRead = stm32::sizeReadPlan(*m.StmPart);
    m.StmUid = stm32::uniqueIdPlan(*m.StmPart, m.StmSizeRead);
    size_t at = 1;
    while (at < size) {
        const size_t length = data[at];
        ++at;
        const size_t n = std::min<size_t>(length, size - at);
        const size_t room = std::min<size_t>(n, TVokCommDriver::kReceiveBufferSize);
        std::memcpy(driver.ReceiveBuffer, data + at, room);
        driver.BufferedCount = quint16(room);
        at += n;
        m.ComDriverGathered();
        if (m.StmState < 1 || m.StmState > states) std::abort();
    }
    m.cancel();
    return 0;
}
