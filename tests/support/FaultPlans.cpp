#include "support/FaultPlans.h"

#include "engines/Texts.h"

#include "sim/LpcSim.h"
#include "sim/StcSim.h"
#include "sim/Stm32Sim.h"
#include "support/Firmware.h"

#include <algorithm>

namespace faultplans {

using sim::Fault;

bool pulled(Trouble t)
{
    return t == Trouble::Vanish || t == Trouble::VanishUnanswered;
}

QString troubleName(Trouble t)
{
    switch (t) {
    case Trouble::Silent:
        return QStringLiteral("silent while writing");
    case Trouble::Junk:
        return QStringLiteral("junk answer");
    case Trouble::Refuse:
        return QStringLiteral("refused block");
    case Trouble::Vanish:
        return QStringLiteral("adapter pulled while writing");
    case Trouble::VanishUnanswered:
        return QStringLiteral("adapter pulled before a switched-off board answered");
    case Trouble::PortTaken:
        return QStringLiteral("port held by another program");
    }
    return {};
}

namespace {
constexpr int kVanishBitsPerByte = 11;
constexpr int kVanishBaud = 115200;
} // namespace

BoardPlan stm32Plan(quint32 seed)
{
    BoardPlan f;
    f.fileName = QStringLiteral("fw.bin");
    f.image = firmware::patternWithoutZero(2000, seed);
    f.fileBytes = f.image;
    f.makeSim = [] { return std::make_unique<sim::Stm32Sim>(); };
    f.plan = [](sim::BootLoaderSim &b, Trouble t) {
        auto &s = static_cast<sim::Stm32Sim &>(b);
        using Step = sim::Stm32Sim::Step;
        if (t == Trouble::Silent) s.failAt(Step::WriteData, Fault::Silent, 3);
        if (t == Trouble::VanishUnanswered) s.setSilentAfter(0);
        if (t == Trouble::Junk) s.failAt(Step::WriteData, Fault::Junk, 3);
        if (t == Trouble::Refuse) s.failAt(Step::WriteData, Fault::Refuse, 3);
        return kStmFailed;
    };
    f.writing = [](const sim::BootLoaderSim &b) {
        const auto commands = static_cast<const sim::Stm32Sim &>(b).commands();
        return std::count_if(commands.begin(), commands.end(),
                             [](const sim::Stm32Sim::Command &c) { return c.code == 0x31; }) >= 3;
    };
    f.flash = [](const sim::BootLoaderSim &b, qsizetype n) {
        return static_cast<const sim::Stm32Sim &>(b).flash(sim::Stm32Sim::kFlashBase, n);
    };
    f.vanishLine = kStmFailed;
    f.doneLine = kStmDone;
    f.maxAttemptMs = 7000 + 3000;
    return f;
}

BoardPlan lpcPlan(quint32 seed)
{
    BoardPlan f;
    f.fileName = QStringLiteral("fw.hex");
    f.image = firmware::patternWithoutZero(5000, seed);
    f.fileBytes = firmware::intelHex(f.image);
    f.makeSim = [] { return std::make_unique<sim::LpcSim>(); };
    f.plan = [](sim::BootLoaderSim &b, Trouble t) {
        auto &s = static_cast<sim::LpcSim &>(b);
        using Step = sim::LpcSim::Step;
        if (t == Trouble::Silent) s.failAt(Step::DataChecksum, Fault::Silent, 2);
        if (t == Trouble::VanishUnanswered) s.setSilentAfter(0);
        // Noise without a line end (a board at another rate): no answer is ever complete.
        if (t == Trouble::Junk) {
            s.setJunk(QByteArray::fromHex("55AA00E5"));
            s.failAt(Step::DataChecksum, Fault::Junk, 2);
        }
        // Every checksum answered RESEND: the item goes twenty times, then the attempt fails.
        if (t == Trouble::Refuse) s.failAt(Step::DataChecksum, Fault::Refuse, 0);
        return t == Trouble::Refuse ? kLpcFailed : kLpcTimedOut;
    };
    f.writing = [](const sim::BootLoaderSim &b) {
        return static_cast<const sim::LpcSim &>(b).checksumsAccepted() >= 2;
    };
    // The programmer sets the reserved vector (word 0x14) so that the board starts the code;
    // the rest of the flash is the image.
    f.flash = [image = f.image](const sim::BootLoaderSim &b, qsizetype n) {
        const auto &lpc = static_cast<const sim::LpcSim &>(b);
        QByteArray flash = lpc.flash(0, n);
        if (lpc.wouldStartUserCode() && flash.size() >= 0x18 && image.size() >= 0x18)
            flash.replace(0x14, 4, image.mid(0x14, 4));
        return flash;
    };
    f.vanishLine = kLpcTimedOut;
    f.doneLine = kLpcDone;
    f.maxAttemptMs = 8000 + 3000;
    return f;
}

BoardPlan stcPlan(quint32 seed)
{
    BoardPlan f;
    f.fileName = QStringLiteral("fw.hex");
    f.image = firmware::patternWithoutZero(700, seed);
    f.fileBytes = firmware::intelHex(f.image);
    f.makeSim = [] { return std::make_unique<sim::StcSim>(); };
    f.plan = [](sim::BootLoaderSim &b, Trouble t) {
        auto &s = static_cast<sim::StcSim &>(b);
        using Step = sim::StcSim::Step;
        if (t == Trouble::Silent) s.failAt(Step::Data, Fault::Silent, 3);
        if (t == Trouble::VanishUnanswered) s.setSilentAfter(0);
        // The junk has no final 0x16, so no reception completes.
        if (t == Trouble::Junk) s.failAt(Step::Control, Fault::Junk, 2);
        // The chip has no negative answer: a refused frame is ignored.
        if (t == Trouble::Refuse) s.failAt(Step::Data, Fault::Refuse, 3);
        // The port's failure ends the wait for the answer at once, saying so.
        if (t == Trouble::VanishUnanswered) return texts::portVanished();
        return t == Trouble::Junk ? kStcControlTimeout : kStcUploadTimeout;
    };
    f.writing = [](const sim::BootLoaderSim &b) {
        return static_cast<const sim::StcSim &>(b).dataAddresses().size() >= 3;
    };
    f.flash = [](const sim::BootLoaderSim &b, qsizetype n) {
        return static_cast<const sim::StcSim &>(b).flash(0, n);
    };
    // The port's failure ends the wait at once, saying so.
    f.vanishLine = texts::portVanished();
    f.doneLine = kStcDone;
    f.maxAttemptMs = 10000 + 4000;
    return f;
}

void FaultLane::prepare(const BoardPlan &plan, Trouble t)
{
    trouble = t;
    name = troubleName(t);
    board = plan.makeSim();
    peer = std::make_unique<sim::PtyPeer>();
    peer->attach(board.get());
    // The adapter is pulled a moment after writing has begun: the board answers at a real
    // UART's pace, so the programmer is still writing then (unpaced, it would already be done).
    if (t == Trouble::Vanish) peer->setPacing(kVanishBitsPerByte, kVanishBaud);
    if (t == Trouble::Vanish)
        expectedLine = plan.vanishLine;
    else if (t != Trouble::PortTaken)
        expectedLine = plan.plan(*board, t);
}

bool FaultLane::takePort()
{
    holder = std::make_unique<platform::SerialPort>();
    return holder->open(peer->slavePath()) == platform::OpenResult::Ok;
}

void FaultLane::armPull(const BoardPlan &plan)
{
    pullTimer = std::make_unique<QTimer>();
    QObject::connect(pullTimer.get(), &QTimer::timeout, [this, &plan] {
        if (trouble == Trouble::Vanish ? !plan.writing(*board) : peer->receivedCount() == 0) return;
        pullTimer->stop();
        peer->closeMaster();
    });
    pullTimer->start(5);
}

void FaultLane::renew(const BoardPlan &plan)
{
    holder.reset();
    pullTimer.reset();
    if (pulled(trouble)) {
        peer.reset();
        peer = std::make_unique<sim::PtyPeer>();
    } else {
        peer->attach(nullptr);
    }
    board = plan.makeSim();
    peer->attach(board.get());
}

} // namespace faultplans
