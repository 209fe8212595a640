#include "engines/BoardEntry.h"

#include "engines/Engine.h"
#include "engines/StcTexts.h"
#include "logic/ShownText.h"
#include "platform/PortNames.h"
#include "platform/SerialPort.h"
#include "serial/SPComm.h"
#include "serial/Vok_ComDrv.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QMetaObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QThread>
#include <QTimer>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

namespace boardentry {

namespace {

const ShownText kLinesRefused{
    "entry", QT_TRANSLATE_NOOP("entry", "串口不能设置 RTS/DTR（虚拟串口没有这些线），复位序列没有作用，继续下载")};
const ShownText kByHandStm32{"entry",
                             QT_TRANSLATE_NOOP("entry", "请把 BOOT0 接高电平，然后按目标板的复位键")};
const ShownText kByHandLpc{"entry",
                           QT_TRANSLATE_NOOP("entry", "请把 ISP 引脚 (P0.14) 接低电平，然后按目标板的复位键")};
const ShownText kByHandStc{"entry", QT_TRANSLATE_NOOP("entry", "请现在关闭目标板的电源，再打开")};
const ShownText kRunning{"entry", QT_TRANSLATE_NOOP("entry", "运行电源命令: %1")};
const ShownText kFailed{"entry", QT_TRANSLATE_NOOP("entry", "电源命令失败，退出码 %1")};
const ShownText kCrashed{"entry", QT_TRANSLATE_NOOP("entry", "电源命令被信号终止")};
const ShownText kTimedOut{"entry", QT_TRANSLATE_NOOP("entry", "电源命令超时（%1 秒），已终止")};
const ShownText kNotStarted{"entry", QT_TRANSLATE_NOOP("entry", "电源命令无法启动: %1")};
const ShownText kMoreOutput{"entry", QT_TRANSLATE_NOOP("entry", "（电源命令的其余输出从略）")};

constexpr int kStartWaitMs = 5000;
constexpr int kKillWaitMs = 2000;

void sleepMs(int ms)
{
    if (ms <= 0) return;
    // Each wait is measured from its own start, so a wake-up a little late is not carried on.
    QElapsedTimer t;
    t.start();
    qint64 left = ms;
    while (left > 0) {
        QThread::usleep(static_cast<unsigned long>(left * 1000));
        left = ms - t.elapsed();
    }
}

} // namespace

LineOps linesOf(TVokCommDriver &port)
{
    return {[&port](bool on) { return port.SetRTS(on); }, [&port](bool on) { return port.SetDTR(on); },
            [&port](bool on) { return port.SetBreak(on); }};
}

LineOps linesOf(TComm &port)
{
    return {[&port](bool on) { return port.SetRTS(on); }, [&port](bool on) { return port.SetDTR(on); },
            [&port](bool on) { return port.SetBreak(on); }};
}

LineOps linesOf(platform::SerialPort &port)
{
    return {[&port](bool on) { return port.setRts(on); }, [&port](bool on) { return port.setDtr(on); },
            [&port](bool on) { return port.setBreak(on); }};
}

bool run(const resetseq::Sequence &steps, const LineOps &lines)
{
    using resetseq::Line;
    using resetseq::Step;
    bool allTaken = true;
    for (const Step &s : steps) {
        if (s.kind == Step::Wait) {
            sleepMs(s.ms);
            continue;
        }
        const auto &set = s.line == Line::Rts ? lines.rts : s.line == Line::Dtr ? lines.dtr : lines.brk;
        if (!set || !set(s.on)) allTaken = false;
    }
    return allTaken;
}

resetseq::Sequence entrySteps(const DownloadChoices &c, const resetseq::Sequence &familyDefault)
{
    if (!c.reset) return {};
    return resetseq::applyWiring(c.entrySequence.value_or(familyDefault), c.wiring);
}

resetseq::Sequence exitSteps(const DownloadChoices &c, const resetseq::Sequence &familyDefault)
{
    if (!c.restartWhenDone) return {};
    return resetseq::applyWiring(c.exitSequence.value_or(familyDefault), c.wiring);
}

QString commandLine(const QString &command)
{
    return kRunning.text().arg(command);
}

QStringList resultLines(const CommandResult &r, int timeoutMs)
{
    QStringList lines = r.output;
    switch (r.end) {
    case CommandResult::Succeeded: break;
    case CommandResult::Failed: lines << kFailed.text().arg(r.exitCode); break;
    case CommandResult::Crashed: lines << kCrashed; break;
    case CommandResult::TimedOut: lines << kTimedOut.text().arg(timeoutMs / 1000.0); break;
    case CommandResult::NotStarted: lines << kNotStarted.text().arg(QStringLiteral("/bin/sh")); break;
    case CommandResult::Abandoned: break; // the run was stopped, which says so itself
    }
    return lines;
}

QString byHandHint(Family family)
{
    return family == Family::Stm32 ? kByHandStm32.text()
           : family == Family::Lpc ? kByHandLpc.text()
                                   : kByHandStc.text();
}

QString linesRefusedHint()
{
    return kLinesRefused;
}

Entered enter(Engine &engine, Family family, const DownloadChoices &c,
              const resetseq::Sequence &familyDefault, const LineOps &lines)
{
    const bool command = !c.powerCycle.isEmpty();
    if (command && family != Family::Stc) {
        emit engine.line(commandLine(c.powerCycle));
        PowerCommand p;
        const CommandResult r =
            c.sharedPower ? c.sharedPower->arriveAndWait(c.powerTicket, portOf(c))
                          : p.runToEnd(c.powerCycle, c.powerCycleTimeoutMs, {portOf(c)});
        for (const QString &l : resultLines(r, c.powerCycleTimeoutMs))
            emit engine.line(l);
        if (!r.ok()) return Entered::Failed;
    }
    const resetseq::Sequence steps = entrySteps(c, familyDefault);
    if (!steps.isEmpty()) {
        if (!run(steps, lines)) {
            emit engine.hint(kLinesRefused);
            return Entered::LinesRefused;
        }
    } else if (!command) {
        emit engine.hint(byHandHint(family));
    }
    return Entered::Ok;
}

std::optional<Entered> enterStc(Engine &engine, const DownloadChoices &c, TComm &port)
{
    resetseq::Sequence byDefault;
    if (c.reset && !c.entrySequence) {
        bool isNumber = false;
        const int resetMs = c.resetMs.toInt(&isNumber);
        if (!isNumber || resetMs < 0 || resetMs > stctexts::kMaxResetMs) return std::nullopt;
        byDefault = resetseq::stcEntry(resetMs);
    }
    if (entrySteps(c, byDefault).isEmpty()) return enter(engine, Family::Stc, c, {}, {});
    QThread::msleep(stctexts::kSettleMs);
    const Entered entered = enter(engine, Family::Stc, c, byDefault, linesOf(port));
    // What came while the board was reset is noise (some adapters send a 0x00 then).
    port.PurgeReceive();
    return entered;
}

void leave(Engine &engine, const resetseq::Sequence &steps, const LineOps &lines, bool noted)
{
    if (!steps.isEmpty() && !run(steps, lines) && !noted) emit engine.hint(kLinesRefused);
}

// ---- PowerCommand -----------------------------------------------------------------------

PowerCommand::PowerCommand(QObject *parent) : QObject(parent) {}

PowerCommand::~PowerCommand()
{
    stop();
}

void PowerCommand::setUp(const QString &command, const QStringList &ports)
{
    stop();
    delete process_;
    process_ = new QProcess(this);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("TRAMELO_PORTS"), ports.join(u' '));
    process_->setProcessEnvironment(env);
    process_->setProcessChannelMode(QProcess::MergedChannels);
    process_->setInputChannelMode(QProcess::ManagedInputChannel);
    // A group of its own, so that the time-out ends what the shell started as well.
    process_->setChildProcessModifier([] { ::setpgid(0, 0); });
    process_->setProgram(QStringLiteral("/bin/sh"));
    process_->setArguments({QStringLiteral("-c"), command});
}

bool PowerCommand::busy() const
{
    return (shared_ && !reported_) || (process_ && process_->state() != QProcess::NotRunning);
}

void PowerCommand::killNow()
{
    const qint64 pid = pid_.load();
    if (pid > 0) ::kill(-pid_t(pid), SIGKILL);
}

void PowerCommand::killGroup()
{
    if (!busy()) return;
    const qint64 pid = process_->processId();
    if (pid > 0) ::kill(-pid_t(pid), SIGKILL);
    process_->kill();
    process_->waitForFinished(kKillWaitMs);
}

void PowerCommand::stop()
{
    if (shared_) std::exchange(shared_, nullptr)->withdraw(ticket_);
    reported_ = true;
    if (timer_) timer_->stop();
    if (process_) process_->disconnect(this);
    killGroup();
}

CommandResult PowerCommand::collect(CommandResult::End end)
{
    CommandResult r;
    r.end = end;
    if (end == CommandResult::Failed || end == CommandResult::Succeeded) {
        r.exitCode = process_->exitCode();
        r.end = r.exitCode == 0 ? CommandResult::Succeeded : CommandResult::Failed;
    }
    const QString text = QString::fromLocal8Bit(process_->readAll());
    const QStringList all = text.split(u'\n');
    for (const QString &l : all) {
        const QString shown = l.trimmed();
        if (shown.isEmpty()) continue;
        if (r.output.size() == CommandResult::kMaxLines) {
            r.output << kMoreOutput;
            break;
        }
        r.output << shown;
    }
    return r;
}

void PowerCommand::startFor(const DownloadChoices &c)
{
    if (!c.sharedPower) {
        start(c.powerCycle, c.powerCycleTimeoutMs, {portOf(c)});
        return;
    }
    stop();
    shared_ = c.sharedPower;
    ticket_ = c.powerTicket;
    reported_ = false;
    shared_->arrive(ticket_, portOf(c), this, [this](const CommandResult &r) {
        if (reported_) return;
        reported_ = true;
        shared_.reset();
        emit ended(r);
        // A wait that blocks for the next event goes on now: this call came as a posted event,
        // after which the dispatcher would block again.
        if (QAbstractEventDispatcher *d = QAbstractEventDispatcher::instance()) d->interrupt();
    });
}

void PowerCommand::start(const QString &command, int timeoutMs, const QStringList &ports)
{
    setUp(command, ports);
    reported_ = false;
    if (!timer_) {
        timer_ = new QTimer(this);
        timer_->setSingleShot(true);
    }
    timer_->disconnect(this);
    const auto report = [this](CommandResult::End end) {
        if (reported_) return;
        reported_ = true;
        timer_->stop();
        const CommandResult r = collect(end);
        emit ended(r);
    };
    connect(process_, &QProcess::finished, this, [report](int, QProcess::ExitStatus status) {
        report(status == QProcess::CrashExit ? CommandResult::Crashed : CommandResult::Failed);
    });
    connect(process_, &QProcess::errorOccurred, this, [report](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart) report(CommandResult::NotStarted);
    });
    connect(timer_, &QTimer::timeout, this, [this, report] {
        if (reported_) return;
        process_->disconnect(this);
        killGroup();
        report(CommandResult::TimedOut);
    });
    timer_->start(timeoutMs);
    process_->start();
    process_->closeWriteChannel();
}

CommandResult PowerCommand::runToEnd(const QString &command, int timeoutMs, const QStringList &ports)
{
    setUp(command, ports);
    QElapsedTimer t;
    t.start();
    process_->start();
    if (!process_->waitForStarted(kStartWaitMs)) return collect(CommandResult::NotStarted);
    pid_ = process_->processId();
    process_->closeWriteChannel();
    const int left = std::max(0, timeoutMs - int(t.elapsed()));
    if (!process_->waitForFinished(left)) {
        killGroup();
        return collect(CommandResult::TimedOut);
    }
    pid_ = 0;
    return collect(process_->exitStatus() == QProcess::CrashExit ? CommandResult::Crashed
                                                                 : CommandResult::Failed);
}

QString portOf(const DownloadChoices &c)
{
    const QString name = c.portName.isEmpty() ? QStringLiteral("COM%1").arg(c.port + 1) : c.portName;
    const QString path = platform::resolvePortName(name);
    return path.isEmpty() ? name : path;
}

// ---- SharedPower ------------------------------------------------------------------------

SharedPower::SharedPower(QString command, int timeoutMs, int boards)
    : command_(std::move(command)), timeoutMs_(timeoutMs), boards_(size_t(std::max(boards, 0)), Board::Coming),
      ports_(boards_.size())
{
}

SharedPower::~SharedPower()
{
    abandon();
    if (runner_) runner_->wait();
}

CommandResult SharedPower::arriveAndWait(int ticket, const QString &port)
{
    std::unique_lock lock(mutex_);
    if (ticket < 0 || size_t(ticket) >= boards_.size()) return {};
    boards_[size_t(ticket)] = Board::Arrived;
    ports_[size_t(ticket)] = port;
    startIfReady();
    changed_.wait(lock, [this] { return result_.has_value(); });
    return *result_;
}

void SharedPower::arrive(int ticket, const QString &port, QObject *context,
                         std::function<void(const CommandResult &)> ended)
{
    const std::lock_guard lock(mutex_);
    if (ticket < 0 || size_t(ticket) >= boards_.size()) return;
    boards_[size_t(ticket)] = Board::Arrived;
    ports_[size_t(ticket)] = port;
    waiters_[ticket] = {context, std::move(ended)};
    if (result_) {
        deliver(*result_);
        return;
    }
    startIfReady();
}

void SharedPower::withdraw(int ticket)
{
    const std::lock_guard lock(mutex_);
    waiters_.erase(ticket);
}

void SharedPower::leave(int ticket)
{
    const std::lock_guard lock(mutex_);
    waiters_.erase(ticket);
    if (ticket < 0 || size_t(ticket) >= boards_.size() || boards_[size_t(ticket)] != Board::Coming) return;
    boards_[size_t(ticket)] = Board::Left;
    startIfReady();
}

void SharedPower::abandon()
{
    const std::lock_guard lock(mutex_);
    if (running_) running_->killNow();
    if (result_) return;
    CommandResult r;
    r.end = CommandResult::Abandoned;
    result_ = r;
    deliver(r);
    changed_.notify_all();
}

// With the lock held.
void SharedPower::startIfReady()
{
    if (started_ || result_) return;
    bool anyArrived = false;
    for (const Board b : boards_) {
        if (b == Board::Coming) return;
        anyArrived = anyArrived || b == Board::Arrived;
    }
    if (!anyArrived) return;
    started_ = true;
    QStringList ports;
    for (size_t i = 0; i < boards_.size(); ++i)
        if (boards_[i] == Board::Arrived) ports << ports_[i];
    runner_.reset(QThread::create([this, ports] {
        PowerCommand command;
        {
            const std::lock_guard lock(mutex_);
            if (result_) return; // abandoned before it could start
            running_ = &command;
        }
        const CommandResult r = command.runToEnd(command_, timeoutMs_, ports);
        const std::lock_guard lock(mutex_);
        running_ = nullptr;
        if (result_) return;
        result_ = r;
        deliver(r);
        changed_.notify_all();
    }));
    runner_->start();
}

// With the lock held: every board waiting without blocking gets the result on its thread.
void SharedPower::deliver(const CommandResult &r)
{
    for (auto &[ticket, w] : waiters_)
        if (w.context)
            QMetaObject::invokeMethod(w.context, [f = w.ended, r] { f(r); }, Qt::QueuedConnection);
    waiters_.clear();
}

} // namespace boardentry
