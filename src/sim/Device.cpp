#include "sim/Device.h"

#include <algorithm>
#include <utility>

namespace sim {

namespace {
// Bytes that no boot loader here would send as an answer: no ACK, no CR LF, no frame end.
const QByteArray kDefaultJunk = QByteArray::fromHex("55AA00E5");
} // namespace

BootLoaderSim::BootLoaderSim() : junk_(kDefaultJunk) {}

QByteArray BootLoaderSim::feed(QByteArrayView bytesFromHost)
{
    auto guard = lock();
    answerDelay_ = std::chrono::microseconds(0);
    if (silent_) {
        hostBytes_ += bytesFromHost.size();
        return {};
    }
    QByteArrayView taken = bytesFromHost;
    bool limitReached = false;
    if (silentAfter_ >= 0) {
        const qint64 room = std::max<qint64>(0, silentAfter_ - hostBytes_);
        if (taken.size() >= room) {
            taken = taken.first(room);
            limitReached = true;
        }
    }
    hostBytes_ += bytesFromHost.size();
    QByteArray answer = taken.isEmpty() ? QByteArray() : process(taken);
    if (limitReached) silent_ = true;
    return answer;
}

std::chrono::microseconds BootLoaderSim::answerDelay() const
{
    auto guard = lock();
    return answerDelay_;
}

void BootLoaderSim::setSilentAfter(qint64 hostBytes)
{
    auto guard = lock();
    silentAfter_ = hostBytes;
    if (silentAfter_ >= 0 && hostBytes_ >= silentAfter_) silent_ = true;
}

void BootLoaderSim::setJunk(QByteArray junk)
{
    auto guard = lock();
    junk_ = std::move(junk);
}

void BootLoaderSim::clearFaults()
{
    auto guard = lock();
    plans_.clear();
    silentAfter_ = -1;
    silent_ = false;
}

void BootLoaderSim::reset()
{
    auto guard = lock();
    stepCounts_.clear();
    hostBytes_ = 0;
    silent_ = silentAfter_ == 0;
    resetState();
}

qint64 BootLoaderSim::hostBytesTaken() const
{
    auto guard = lock();
    return hostBytes_;
}

QStringList BootLoaderSim::protocolErrors() const
{
    auto guard = lock();
    return errors_;
}

void BootLoaderSim::forgetProtocolErrors()
{
    auto guard = lock();
    errors_.clear();
}

QStringList BootLoaderSim::takeNotes()
{
    auto guard = lock();
    return std::exchange(notes_, {});
}

void BootLoaderSim::planFault(int step, Fault fault, int occurrence)
{
    auto guard = lock();
    plans_.emplace(step, Plan{fault, std::max(0, occurrence)});
}

std::optional<Fault> BootLoaderSim::faultAt(int step)
{
    const int count = ++stepCounts_[step];
    const auto [first, last] = plans_.equal_range(step);
    for (auto it = first; it != last; ++it) {
        if (it->second.occurrence == 0 || it->second.occurrence == count) {
            if (it->second.fault == Fault::Silent) silent_ = true;
            return it->second.fault;
        }
    }
    return std::nullopt;
}

QByteArray BootLoaderSim::faultAnswer(Fault fault, QByteArrayView refusal) const
{
    switch (fault) {
    case Fault::Silent:
        return {};
    case Fault::Junk:
        return junk_;
    case Fault::Refuse:
        return refusal.toByteArray();
    }
    return {};
}

void BootLoaderSim::protocolError(const QString &what)
{
    // Bounded: a host that floods the line with garbage must not grow the log without end.
    constexpr qsizetype kMaxErrors = 1000;
    if (errors_.size() < kMaxErrors) errors_.append(what);
}

void BootLoaderSim::note(const QString &what)
{
    constexpr qsizetype kMaxNotes = 1000; // bounded like the errors
    if (notes_.size() < kMaxNotes) notes_.append(what);
}

} // namespace sim
