// The engines as the command line runs them, against simulated boards on pseudo-terminals
// paced like real UARTs, beside the established flashers on the same boards:
//
//   STM32  64 KiB at 115200 8E1: `tramelo download` and `stm32flash -w`, then both with
//          verify (`--verify`, `stm32flash -v`); each against the wire bound of its own run
//          (every byte it and the board exchanged, 11 bits per byte). The same at 921600,
//          where the host's turnaround per exchange becomes the cost, an L0 of 512 pages,
//          and an H7 of 2 MiB on a board that takes the chip's erase and programming times.
//   LPC    32 KiB at 57600 8N1, time-out field 1: `tramelo download` and `lpc21isp`.
//   Eight  three STM32, three LPC and two STC boards written by one `tramelo download`
//          process, each board's time against its time alone, and the process's peak
//          resident memory. A board's time is taken from its own line: first byte from the
//          host to the last byte either way.
//   CLI    one STM32 download: peak resident memory of the process, and the time from
//          starting the process to the first byte on the port (automatic reset off).
//   STC12, STC15, STC8  16 KiB at 115200 8E1 (the fastest rate of the rate list) with
//          `--device stc12|stc15|stc8` against boards answering as the recorded chips, paced
//          at 115200 throughout (a pseudo-terminal has one pace; the handshake bytes, sent at
//          2400 on a real line, are a few dozen); each against the wire bound of its own run.
//
// Every tool runs as a child process under GNU time, which gives its peak resident memory. A
// pseudo-terminal keeps no parity setting, which stm32flash checks, so it is told 8N1; the
// line is paced at 11 bits per byte for both programs all the same.
#include "sim/LpcSim.h"
#include "sim/PtyPeer.h"
#include "sim/StcSeriesSim.h"
#include "sim/StcSim.h"
#include "sim/Stm32Sim.h"
#include "support/Firmware.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <sys/wait.h>
#include <algorithm>
#include <numeric>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace {

using Clock = sim::PtyPeer::Clock;

constexpr int kStm32Baud = 115200;
constexpr int kStm32Bits = 11; // 8E1
constexpr int kLpcBaud = 57600;
constexpr int kLpcBits = 10;
constexpr int kStcBaud = 115200;
constexpr int kStcBits = 10;
constexpr int kCrystalKHz = 11059;

constexpr char kTime[] = "/usr/bin/time";

QTemporaryDir &workDir()
{
    static QTemporaryDir dir;
    return dir;
}

QString writeFile(const QString &name, const QByteArray &bytes)
{
    const QString path = workDir().filePath(name);
    QFile f(path);
    if (f.open(QIODevice::WriteOnly)) f.write(bytes);
    return path;
}

double msBetween(Clock::time_point a, Clock::time_point b)
{
    return std::chrono::duration<double, std::milli>(b - a).count();
}

struct ProcRun
{
    int code = -1;
    double seconds = 0;
    long maxRssKb = 0;
    Clock::time_point started;
    QByteArray out;
};

// Runs a program to its end with its output in a file. Its peak memory comes from GNU time,
// a small process of its own: a child forked from this benchmark would count the pages it
// shares with it until the exec.
// Without GNU time (measured) the program is started directly, for the time to its first
// byte.
ProcRun runTool(const QString &program, const QStringList &args, bool measured = true)
{
    ProcRun r;
    const QByteArray outPath = workDir().filePath(QStringLiteral("out.txt")).toLocal8Bit();
    const QString rssPath = workDir().filePath(QStringLiteral("rss.txt"));
    std::vector<QByteArray> store;
    if (measured) {
        store.push_back(kTime);
        store.push_back("-f");
        store.push_back("%M");
        store.push_back("-o");
        store.push_back(rssPath.toLocal8Bit());
    }
    store.push_back(program.toLocal8Bit());
    for (const QString &a : args)
        store.push_back(a.toLocal8Bit());
    std::vector<char *> argv;
    for (QByteArray &a : store)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    r.started = Clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(outPath.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(null, STDERR_FILENO);
        ::setenv("TRAMELO_LANG", "zh", 1);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    if (pid < 0) return r;
    int status = 0;
    ::waitpid(pid, &status, 0);
    r.seconds = std::chrono::duration<double>(Clock::now() - r.started).count();
    r.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    QFile rss(rssPath);
    if (measured && rss.open(QIODevice::ReadOnly)) r.maxRssKb = rss.readAll().trimmed().split('\n').last().toLong();
    QFile f(QString::fromLocal8Bit(outPath));
    if (f.open(QIODevice::ReadOnly)) r.out = f.readAll();
    return r;
}

// A simulated board on a paced pseudo-terminal.
struct Board
{
    Board(std::unique_ptr<sim::Device> device, int bits, int baud)
        : sim(std::move(device)), bits(bits), baud(baud)
    {
        peer.setPacing(bits, baud);
        peer.attach(sim.get());
    }
    ~Board() { peer.attach(nullptr); }
    QString path() const { return peer.slavePath(); }
    // Every byte of the log at the line's rate.
    double wireSeconds() const
    {
        qsizetype bytes = 0;
        for (const auto &rec : peer.log())
            bytes += rec.bytes.size();
        return double(bytes) * bits / baud;
    }
    // First byte from the host to the last byte either way.
    double busySeconds() const
    {
        const auto log = peer.log();
        const auto first = std::find_if(log.begin(), log.end(), [](const auto &rec) {
            return rec.direction == sim::PtyPeer::Direction::FromHost;
        });
        if (first == log.end()) return 0;
        return msBetween(first->time, log.back().time) / 1000.0;
    }
    // The host's part of the time: from each answer's arrival to the host's next bytes,
    // summed (the pty's own hand-over included).
    double hostTurnaroundSeconds() const
    {
        double sum = 0;
        for (const double us : hostTurnaroundsUs())
            sum += us;
        return sum / 1e6;
    }
    // The host's part of each exchange, in us, in the order of the log: from the answer's
    // last byte to the first byte of the host's next frame. A paced peer reads a fast line
    // several bytes at a time (PtyPeer's pacing step), so the first of a chunk came its other
    // bytes' time before the chunk was read.
    std::vector<double> hostTurnaroundsUs() const
    {
        const auto log = peer.log();
        std::vector<double> us;
        const double byteMs = 1000.0 * bits / baud;
        for (size_t i = 1; i < log.size(); ++i)
            if (log[i].direction == sim::PtyPeer::Direction::FromHost &&
                log[i - 1].direction == sim::PtyPeer::Direction::ToHost)
                us.push_back((msBetween(log[i - 1].time, log[i].time) -
                              double(log[i].bytes.size() - 1) * byteMs) *
                             1000.0);
        return us;
    }
    // The chip's part of each exchange, in us: from the host bytes' arrival (the chunk that
    // ended them) to the first byte of the answer.
    std::vector<double> chipTurnaroundsUs() const
    {
        const auto log = peer.log();
        std::vector<double> us;
        for (size_t i = 1; i < log.size(); ++i)
            if (log[i].direction == sim::PtyPeer::Direction::ToHost &&
                log[i - 1].direction == sim::PtyPeer::Direction::FromHost)
                us.push_back(msBetween(log[i - 1].time, log[i].time) * 1000.0);
        return us;
    }
    // From the start of a program to its first byte, and from the last byte either way to
    // the program's end, in ms.
    double startMs(const ProcRun &r) const
    {
        const auto first = firstFromHost();
        return first ? msBetween(r.started, *first) : 0;
    }
    double endMs(const ProcRun &r) const
    {
        const auto log = peer.log();
        if (log.empty()) return 0;
        return r.seconds * 1000.0 - msBetween(r.started, log.back().time);
    }
    std::optional<Clock::time_point> firstFromHost() const
    {
        for (const auto &rec : peer.log())
            if (rec.direction == sim::PtyPeer::Direction::FromHost) return rec.time;
        return std::nullopt;
    }

    std::unique_ptr<sim::Device> sim;
    sim::PtyPeer peer;
    int bits, baud;
};

std::unique_ptr<Board> stm32BoardOf(const sim::Stm32Sim::Config &config, int baud = kStm32Baud)
{
    return std::make_unique<Board>(std::make_unique<sim::Stm32Sim>(config), kStm32Bits, baud);
}
std::unique_ptr<Board> stm32Board()
{
    return stm32BoardOf({});
}
std::unique_ptr<Board> lpcBoard()
{
    return std::make_unique<Board>(std::make_unique<sim::LpcSim>(sim::LpcSim::Config{}), kLpcBits,
                                   kLpcBaud);
}
std::unique_ptr<Board> stcBoard()
{
    return std::make_unique<Board>(std::make_unique<sim::StcSim>(), kStcBits, kStcBaud);
}

void result(const char *name, double value, int decimals = 2)
{
    std::printf("RESULT %s %.*f\n", name, decimals, value);
}

const QString kTramelo = QStringLiteral(TRAMELO_BINARY);

ProcRun tramelo(const QStringList &args)
{
    return runTool(kTramelo, QStringList{"download", "--no-reset"} + args);
}

double median(std::vector<double> v)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Five runs of each program, alternating, so that both see the same load; medians.
// The L0 row (an STM32L05x, 0x417): 64 KiB are 512 pages of 128 bytes, erased page by page
// (its loader has no mass erase); the board answers at once (no flash times). The F1 row at
// 921600: the same board and image as the first row, at the fastest rate stm32flash and the
// command line share.
void stm32Rows(const QString &fw, bool verify, quint16 productId = 0x414, int baud = kStm32Baud)
{
    const bool l0 = productId == 0x417;
    const bool fast = baud != kStm32Baud;
    const QString rate = QString::number(baud);
    const auto config = sim::Stm32Sim::Config::profile(productId);
    constexpr int kRuns = 5;
    std::vector<double> ours, theirs, oursWire, theirsWire, oursTurn, theirsTurn, rss;
    std::vector<double> oursStart, theirsStart, oursEnd, theirsEnd, oursExchange, theirsExchange;
    std::vector<double> oursCount, theirsCount;
    int oursFailed = 0, theirsFailed = 0;
    for (int run = 0; run < kRuns; ++run) {
        auto a = stm32BoardOf(config, baud);
        const ProcRun o =
            tramelo(QStringList{"--device", "stm32", "--baud", rate, "--port", a->path(), fw} +
                    (verify ? QStringList{"--verify"} : QStringList{}));
        auto b = stm32BoardOf(config, baud);
        const ProcRun t = runTool(QStringLiteral("stm32flash"),
                                  QStringList{"-b", rate, "-m", "8n1", "-w", fw} +
                                      (verify ? QStringList{"-v"} : QStringList{}) +
                                      QStringList{b->path()});
        oursCount.push_back(double(a->hostTurnaroundsUs().size()));
        theirsCount.push_back(double(b->hostTurnaroundsUs().size()));
        oursFailed += o.code != 0;
        theirsFailed += t.code != 0;
        ours.push_back(o.seconds);
        theirs.push_back(t.seconds);
        oursWire.push_back(a->wireSeconds());
        theirsWire.push_back(b->wireSeconds());
        oursTurn.push_back(a->hostTurnaroundSeconds());
        theirsTurn.push_back(b->hostTurnaroundSeconds());
        oursExchange.push_back(median(a->hostTurnaroundsUs()));
        theirsExchange.push_back(median(b->hostTurnaroundsUs()));
        rss.push_back(o.maxRssKb / 1024.0);
        oursStart.push_back(a->startMs(o));
        theirsStart.push_back(b->startMs(t));
        oursEnd.push_back(a->endMs(o));
        theirsEnd.push_back(b->endMs(t));
    }
    const double o = median(ours), t = median(theirs), ow = median(oursWire), tw = median(theirsWire);
    std::printf("STM32%s 64 KiB at %d 8E1%s, median of %d runs each\n",
                l0 ? "L0 (0x417, 512 pages)" : "", baud, verify ? " with verify" : "", kRuns);
    // Host turnarounds: how many (an answer followed by host bytes), their sum, and the
    // median of one (answer in to next bytes out).
    std::printf("  %-18s failed %d  %6.2f s  wire %6.2f s  ratio %.3f  %4.0f host turnarounds "
                "%.3f s (%.0f us each)  start %.1f ms  end %.1f ms\n",
                "tramelo download", oursFailed, o, ow, o / ow, median(oursCount),
                median(oursTurn), median(oursExchange), median(oursStart), median(oursEnd));
    std::printf("  %-18s failed %d  %6.2f s  wire %6.2f s  ratio %.3f  %4.0f host turnarounds "
                "%.3f s (%.0f us each)  start %.1f ms  end %.1f ms\n",
                verify ? "stm32flash -v" : "stm32flash", theirsFailed, t, tw, t / tw,
                median(theirsCount), median(theirsTurn), median(theirsExchange),
                median(theirsStart), median(theirsEnd));
    if (fast) {
        const QByteArray name = "engines_stm32_64k_" + rate.toLatin1();
        result((name + "_s").constData(), o);
        result((name + "_wire_s").constData(), ow);
        result((name + "_vs_wire").constData(), o / ow, 3);
        result((name + "_turnaround_us").constData(), median(oursExchange), 0);
        result(("engines_stm32flash_64k_" + rate.toLatin1() + "_s").constData(), t);
        return;
    }
    if (l0) {
        result("engines_stm32_l0_64k_s", o);
        result("engines_stm32flash_l0_64k_s", t);
        result("engines_stm32_l0_vs_stm32flash", o / t, 3);
        return;
    }
    if (verify) {
        result("engines_stm32_64k_verify_s", o);
        result("engines_stm32_64k_verify_wire_s", ow);
        result("engines_stm32flash_v_64k_s", t);
        result("engines_stm32_verify_vs_stm32flash_v", o / t, 3);
        return;
    }
    result("engines_stm32_64k_s", o);
    result("engines_stm32_64k_wire_s", ow);
    result("engines_stm32_64k_vs_wire", o / ow, 3);
    result("engines_stm32flash_64k_s", t);
    result("engines_stm32_vs_stm32flash", o / t, 3);
    std::printf("  tramelo: peak RSS %.1f MB\n", median(rss));
    result("engines_cli_rss_mb", median(rss), 1);
}

// H7 (0x450) 2 MiB at 115200 on a board that takes the chip's flash times (the H7 profile:
// 1.1 s a 128 KiB sector, 130 us a 32-byte flash word, 6 s a mass or bank erase; x32
// parallelism, see the profile for which of them are checked), one run of each program. The bound: the run's bytes on the wire plus the
// erase time its commands asked of the chip; the programming time is printed beside it.
void stm32H7Row(int kib = 2048)
{
    const QString fw = writeFile(QStringLiteral("fw%1k.bin").arg(kib),
                                 firmware::pattern(qsizetype(kib) * 1024, 13));
    auto config = sim::Stm32Sim::Config::profile(0x450);
    config.realTimes = true;
    struct Flash
    {
        double eraseS = 0, programS = 0;
    };
    const auto chipTimes = [&](const Board &b) {
        Flash f;
        for (const auto &c : static_cast<const sim::Stm32Sim &>(*b.sim).commands()) {
            if (c.code == 0x44)
                f.eraseS += c.length < 0 ? config.massEraseUs / 1e6
                                         : double(c.units.size()) * config.sectorEraseUsEach / 1e6;
            if (c.code == 0x31 && c.address >= sim::Stm32Sim::kFlashBase)
                f.programS += double(c.length) * config.programNsPerByte / 1e9;
        }
        return f;
    };
    auto a = stm32BoardOf(config);
    const ProcRun o = tramelo({"--device", "stm32", "--baud", "115200", "--port", a->path(), fw});
    auto b = stm32BoardOf(config);
    const ProcRun t = runTool(QStringLiteral("stm32flash"),
                              {"-b", "115200", "-m", "8n1", "-w", fw, b->path()});
    const Flash of = chipTimes(*a), tf = chipTimes(*b);
    const double ow = a->wireSeconds(), tw = b->wireSeconds();
    std::printf("STM32H7 (0x450) %d KiB at 115200 8E1, board with the data sheet's flash times\n",
                kib);
    std::printf("  %-18s exit %d  %7.2f s  wire %7.2f s  erase %5.2f s  programming %5.2f s  "
                "ratio to wire+erase %.3f  (to wire+erase+programming %.3f)\n",
                "tramelo download", o.code, o.seconds, ow, of.eraseS, of.programS,
                o.seconds / (ow + of.eraseS), o.seconds / (ow + of.eraseS + of.programS));
    std::printf("  %-18s exit %d  %7.2f s  wire %7.2f s  erase %5.2f s  programming %5.2f s  "
                "ratio to wire+erase %.3f  (to wire+erase+programming %.3f)\n",
                "stm32flash", t.code, t.seconds, tw, tf.eraseS, tf.programS,
                t.seconds / (tw + tf.eraseS), t.seconds / (tw + tf.eraseS + tf.programS));
    // Where the time of the exchanges goes: the host's turnaround (answer in, next bytes out)
    // and the chip's (host bytes in, answer out; the flash times are in it), count, sum and
    // median of each.
    for (const auto &[name, board] : {std::pair{"tramelo download", a.get()},
                                      std::pair{"stm32flash", b.get()}}) {
        const auto host = board->hostTurnaroundsUs(), chip = board->chipTurnaroundsUs();
        const auto sum = [](const std::vector<double> &v) {
            return std::accumulate(v.begin(), v.end(), 0.0) / 1e6;
        };
        std::printf("  %-18s %zu host turnarounds %.3f s (%.0f us each)  %zu chip turnarounds "
                    "%.3f s (%.0f us each)\n",
                    name, host.size(), sum(host), median(host), chip.size(), sum(chip),
                    median(chip));
    }
    if (kib != 2048) return;
    result("engines_stm32_h7_2m_s", o.seconds);
    result("engines_stm32_h7_2m_wire_erase_s", ow + of.eraseS);
    result("engines_stm32_h7_2m_vs_wire_erase", o.seconds / (ow + of.eraseS), 3);
    result("engines_stm32flash_h7_2m_s", t.seconds);
}

// The first byte on the port after the start of the process (started directly), median.
void firstByteRow()
{
    constexpr int kRuns = 5;
    const QString fw = writeFile(QStringLiteral("fw4k.bin"), firmware::pattern(4096, 9));
    std::vector<double> ms;
    for (int run = 0; run < kRuns; ++run) {
        auto board = stm32Board();
        const ProcRun r = runTool(kTramelo,
                                  {"download", "--no-reset", "--device", "stm32", "--baud",
                                   "115200", "--port", board->path(), fw},
                                  false);
        if (const auto first = board->firstFromHost(); first && r.code == 0)
            ms.push_back(msBetween(r.started, *first));
    }
    std::printf("Command line: first byte on the port %.1f ms after the process started "
                "(median of %d)\n",
                median(ms), kRuns);
    result("engines_cli_first_byte_ms", median(ms), 1);
}

void lpcRows()
{
    const QByteArray image = firmware::patternWithoutZero(32 * 1024, 5);
    const QString hex = writeFile(QStringLiteral("lpc.hex"), firmware::intelHex(image));
    auto a = lpcBoard();
    const ProcRun ours =
        tramelo({"--device", "lpc2136", "--baud", "57600", "--timeout", "1", "--port", a->path(), hex});
    auto b = lpcBoard();
    const ProcRun theirs =
        runTool(QStringLiteral("lpc21isp"),
                {"-hex", hex, b->path(), QString::number(kLpcBaud), QString::number(kCrystalKHz)});
    std::printf("LPC2136 32 KiB at 57600 8N1, time-out field 1\n");
    std::printf("  %-26s exit %d  %6.2f s  wire %6.2f s\n", "tramelo download", ours.code,
                ours.seconds, a->wireSeconds());
    std::printf("  %-26s exit %d  %6.2f s  wire %6.2f s\n", "lpc21isp", theirs.code,
                theirs.seconds, b->wireSeconds());
    result("engines_lpc_32k_s", ours.seconds);
    result("engines_lpc21isp_32k_s", theirs.seconds);
    result("engines_lpc_vs_lpc21isp", ours.seconds / theirs.seconds, 3);
}

void eightRows()
{
    struct Kind
    {
        const char *device;
        QString file;
        std::unique_ptr<Board> (*make)();
    };
    const QString stm32Fw = writeFile(QStringLiteral("m-stm32.bin"), firmware::pattern(16 * 1024, 3));
    const QString lpcFw = writeFile(QStringLiteral("m-lpc.hex"),
                                    firmware::intelHex(firmware::patternWithoutZero(16 * 1024, 4)));
    const QString stcFw = writeFile(QStringLiteral("m-stc.hex"),
                                    firmware::intelHex(firmware::patternWithoutZero(8 * 1024, 6)));
    const std::vector<Kind> kinds = {
        {"stm32", stm32Fw, stm32Board},        {"stm32", stm32Fw, stm32Board},
        {"stm32", stm32Fw, stm32Board},        {"lpc2136", lpcFw, lpcBoard},
        {"lpc2136", lpcFw, lpcBoard},          {"lpc2136", lpcFw, lpcBoard},
        {"stc89c55rd+", stcFw, stcBoard},      {"stc89c55rd+", stcFw, stcBoard},
    };
    const QStringList common = {"--baud", "115200", "--timeout", "1"};
    std::vector<double> alone;
    long aloneRssKb = 0;
    for (const Kind &k : kinds) {
        auto board = k.make();
        const ProcRun r = tramelo(common + QStringList{"--board", QStringLiteral("%1,%2,%3")
                                                                  .arg(k.device, board->path(), k.file)});
        alone.push_back(r.code == 0 ? board->busySeconds() : -1);
        aloneRssKb = std::max(aloneRssKb, r.maxRssKb);
    }
    std::vector<std::unique_ptr<Board>> boards;
    QStringList args = common;
    for (const Kind &k : kinds) {
        boards.push_back(k.make());
        args << "--board" << QStringLiteral("%1,%2,%3").arg(k.device, boards.back()->path(), k.file);
    }
    const ProcRun all = tramelo(args);
    std::printf("Eight boards in one process (3 STM32 16 KiB at 115200, 3 LPC 16 KiB at 57600, "
                "2 STC 8 KiB at 115200): exit %d, %.2f s, peak RSS %.1f MB (one board alone: "
                "%.1f MB)\n",
                all.code, all.seconds, all.maxRssKb / 1024.0, aloneRssKb / 1024.0);
    double worst = 0;
    for (size_t i = 0; i < kinds.size(); ++i) {
        const double together = boards[i]->busySeconds();
        const double ratio = alone[i] > 0 ? together / alone[i] : 0;
        worst = std::max(worst, ratio);
        std::printf("  %-12s alone %6.2f s  together %6.2f s  ratio %.3f\n", kinds[i].device,
                    alone[i], together, ratio);
    }
    result("engines_eight_worst_vs_alone", worst, 3);
    result("engines_eight_rss_mb", all.maxRssKb / 1024.0, 1);
}

} // namespace

// The busy time (first host byte to the last byte) against every byte at the line's pace.
void stcSeriesRows()
{
    constexpr int kRuns = 3;
    const QString fw = writeFile(QStringLiteral("fw16k.bin"), firmware::pattern(16 * 1024, 11));
    std::printf("STC12/STC15/STC8 16 KiB at 115200 8E1, median of %d runs each\n", kRuns);
    for (const char *series : {"stc12", "stc15", "stc8"}) {
        std::vector<double> busy, wire;
        int failed = 0;
        for (int run = 0; run < kRuns; ++run) {
            Board b(std::make_unique<sim::StcSeriesSim>(
                        *sim::StcSeriesSim::Config::forSeries(QString::fromLatin1(series))),
                    11, 115200);
            // The STC15 board's recorded chip was never trimmed: it needs a clock.
            const QStringList clock = QByteArrayView(series) == "stc15"
                                          ? QStringList{"--clock", "11.0592"}
                                          : QStringList{};
            const ProcRun o = tramelo(QStringList{"--device", QString::fromLatin1(series),
                                                  "--baud", "115200", "--port", b.path(), fw} +
                                      clock);
            failed += o.code != 0;
            busy.push_back(b.busySeconds());
            wire.push_back(b.wireSeconds());
        }
        const double t = median(busy), w = median(wire);
        std::printf("  %-6s failed %d  %6.2f s  wire %6.2f s  ratio %.3f\n", series, failed, t, w,
                    t / w);
        const QByteArray name = QByteArray("engines_") + series + "_16k_";
        result((name + "s").constData(), t);
        result((name + "vs_wire").constData(), t / w, 3);
    }
}

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    qputenv("HOME", workDir().path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", workDir().filePath(QStringLiteral("config")).toLocal8Bit());
    if (!QFile::exists(QString::fromLatin1(kTime))) {
        std::printf("GNU time (%s, Debian package \"time\") is not installed: no rows\n", kTime);
        return 0;
    }
    // `bench_engines ROW...` runs only the rows named: first-byte, stm32, stm32-verify,
    // stm32-l0, stm32-921600, stm32-h7, lpc, eight, stc-series; stm32-h7-256k only by name.
    QStringList only;
    for (int i = 1; i < argc; ++i)
        only << QString::fromLocal8Bit(argv[i]);
    const auto wanted = [&](const char *row) {
        return only.isEmpty() || only.contains(QLatin1String(row));
    };
    const QString fw = writeFile(QStringLiteral("fw64k.bin"), firmware::pattern(64 * 1024, 7));
    const bool haveStm32flash = !QStandardPaths::findExecutable(QStringLiteral("stm32flash")).isEmpty();
    const bool haveLpc21isp = !QStandardPaths::findExecutable(QStringLiteral("lpc21isp")).isEmpty();
    if (wanted("first-byte")) firstByteRow();
    if (!haveStm32flash && (wanted("stm32") || wanted("stm32-verify")))
        std::printf("stm32flash is not installed: its rows are left out\n");
    if (haveStm32flash && wanted("stm32")) stm32Rows(fw, false);
    if (haveStm32flash && wanted("stm32-verify")) stm32Rows(fw, true);
    if (haveStm32flash && wanted("stm32-l0")) stm32Rows(fw, false, 0x417);
    if (haveStm32flash && wanted("stm32-921600")) stm32Rows(fw, false, 0x414, 921600);
    if (haveStm32flash && wanted("stm32-h7")) stm32H7Row();
    // The same on 256 KiB (two sectors), to look at the exchanges in less time; only when named.
    if (haveStm32flash && only.contains(QLatin1String("stm32-h7-256k"))) stm32H7Row(256);
    if (!haveLpc21isp && wanted("lpc"))
        std::printf("lpc21isp is not installed: its rows are left out\n");
    if (haveLpc21isp && wanted("lpc")) lpcRows();
    if (wanted("eight")) eightRows();
    if (wanted("stc-series")) stcSeriesRows();
    return 0;
}
