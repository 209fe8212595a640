// The faults every programmer family is put through, through the window and through the
// command line alike: a board that falls silent while the image is written, one that answers
// with junk, one that refuses a block or item, an adapter pulled out (while writing, or
// before a switched-off board answered) and a port another program holds. For each family:
// the image, its file, the simulated board, where in its write stage each fault is planned
// and the line the program must end with.
#pragma once

#include "platform/SerialPort.h"
#include "sim/Device.h"
#include "sim/PtyPeer.h"

#include <QByteArray>
#include <QString>
#include <QTimer>
#include <functional>
#include <memory>

namespace faultplans {

enum class Trouble { Silent, Junk, Refuse, Vanish, VanishUnanswered, PortTaken };
inline constexpr Trouble kTroubles[] = {Trouble::Silent,           Trouble::Junk,
                                        Trouble::Refuse,           Trouble::Vanish,
                                        Trouble::VanishUnanswered, Trouble::PortTaken};

// The adapter is pulled out: its pseudo-terminal is gone afterwards.
bool pulled(Trouble t);
QString troubleName(Trouble t);

// The failure and success lines of each family.
inline const QString kStmFailed = QStringLiteral("连机失败 ！");
inline const QString kStmDone = QStringLiteral("上载完成！");
inline const QString kLpcTimedOut = QStringLiteral("LPC通信超时!");
inline const QString kLpcFailed = QStringLiteral("下载的过程中出错");
inline const QString kLpcDone = QStringLiteral("写入完成");
inline const QString kStcUploadTimeout = QStringLiteral("上载数据超时 ！");
inline const QString kStcControlTimeout = QStringLiteral("写控制信息超时 ！");
inline const QString kStcConnectTimeout = QStringLiteral("连接超时 ！");
inline const QString kStcDone = QStringLiteral("上载数据成功 ！");

struct BoardPlan
{
    QString fileName;
    QByteArray image;
    QByteArray fileBytes;
    std::function<std::unique_ptr<sim::BootLoaderSim>()> makeSim;
    // Plans the fault in the board (the write stage) and returns the expected failure line.
    std::function<QString(sim::BootLoaderSim &, Trouble)> plan;
    // True once the write is well under way: the moment the adapter is pulled.
    std::function<bool(const sim::BootLoaderSim &)> writing;
    // The first n bytes of the flash as the image should stand in it.
    std::function<QByteArray(const sim::BootLoaderSim &, qsizetype)> flash;
    QString vanishLine;
    QString doneLine;
    // The longest a failing attempt may take from its start: the family's time-out after the
    // last answer plus the time to get there.
    qint64 maxAttemptMs = 0;
};

// The image is reproducible from the seed and holds no 0x00 byte.
BoardPlan stm32Plan(quint32 seed); // eight blocks of 256 bytes, a binary file
BoardPlan lpcPlan(quint32 seed);   // one whole 4 KB block and a remainder: 15 items
BoardPlan stcPlan(quint32 seed);   // six data frames

// One attempt under one trouble: the board on a pseudo-terminal of its own, the line the
// attempt must end with, the other program's hold on the port and the timer that pulls the
// adapter out.
struct FaultLane
{
    // A fresh board with the fault planned; name and expected line set.
    void prepare(const BoardPlan &plan, Trouble t);
    // PortTaken: another program opens the port first. False when it could not.
    bool takePort();
    // Vanish and VanishUnanswered: the adapter is pulled out from the event loop (which the
    // blocking STC download pumps too) while the image is written, or once the first bytes
    // reached the silent board. The plan must outlive the lane.
    void armPull(const BoardPlan &plan);
    // For the next attempt: the port free again, a fresh board, and a new adapter where the
    // old one was pulled.
    void renew(const BoardPlan &plan);

    Trouble trouble = Trouble::Silent;
    QString name;
    QString expectedLine;
    std::unique_ptr<sim::BootLoaderSim> board;
    std::unique_ptr<sim::PtyPeer> peer;
    std::unique_ptr<platform::SerialPort> holder;
    std::unique_ptr<QTimer> pullTimer;
};

} // namespace faultplans
