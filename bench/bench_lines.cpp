// Line sequences through the serial layer on a pseudo-terminal: every default and a user
// sequence, ten runs each. Prints whether every run issued its line changes in the order of
// its steps, and the deviation of each gap between two changes from the waits between them
// (ms; the target is within 2 ms on an idle machine).
#include "engines/BoardEntry.h"
#include "logic/ResetSequence.h"
#include "platform/SerialPort.h"
#include "support/RawPty.h"

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <mutex>
#include <vector>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    using Clock = std::chrono::steady_clock;
    constexpr int kRuns = 10;
    const std::vector<std::pair<const char *, resetseq::Sequence>> sequences = {
        {"stm32 entry", resetseq::stm32Entry()},
        {"stm32 exit", resetseq::stm32Exit()},
        {"lpc entry", resetseq::lpcEntry()},
        {"stc entry", resetseq::stcEntry(680)},
        {"user", resetseq::parse(u"dtr,-rts,100ms,-dtr,50ms,brk,2ms,-brk,1ms,rts").steps},
    };
    testsupport::RawPty pty;
    platform::SerialPort port;
    if (!pty.ok() || port.open(pty.path()) != platform::OpenResult::Ok) {
        std::fprintf(stderr, "no pseudo-terminal\n");
        return 1;
    }
    std::mutex m;
    std::vector<std::pair<platform::SerialTraceEvent::Kind, Clock::time_point>> seen;
    platform::setSerialTracer([&](const platform::SerialTraceEvent &e) {
        std::lock_guard lock(m);
        seen.emplace_back(e.kind, Clock::now());
    });
    bool inOrder = true;
    std::vector<double> errors; // |gap - waits| per gap, ms
    for (const auto &[name, steps] : sequences) {
        double worst = 0;
        for (int run = 0; run < kRuns; ++run) {
            {
                std::lock_guard lock(m);
                seen.clear();
            }
            boardentry::run(steps, boardentry::linesOf(port));
            std::lock_guard lock(m);
            std::size_t at = 0;
            int waited = 0;
            for (const resetseq::Step &s : steps) {
                if (s.kind == resetseq::Step::Wait) {
                    waited += s.ms;
                    continue;
                }
                using K = platform::SerialTraceEvent;
                const K::Kind want = s.line == resetseq::Line::Rts   ? K::Rts
                                     : s.line == resetseq::Line::Dtr ? K::Dtr
                                                                     : K::Break;
                if (at >= seen.size() || seen[at].first != want) inOrder = false;
                if (at > 0 && at < seen.size()) {
                    const double gap =
                        std::chrono::duration<double, std::milli>(seen[at].second - seen[at - 1].second)
                            .count();
                    const double error = std::abs(gap - waited);
                    errors.push_back(error);
                    worst = std::max(worst, error);
                }
                waited = 0;
                ++at;
            }
            if (at != seen.size()) inOrder = false;
        }
        std::printf("%-12s %-40s worst gap error %.3f ms\n", name,
                    qPrintable(resetseq::format(steps)), worst);
    }
    platform::setSerialTracer(nullptr);
    std::sort(errors.begin(), errors.end());
    const double median = errors.empty() ? 0 : errors[errors.size() / 2];
    const double max = errors.empty() ? 0 : errors.back();
    std::printf("RESULT lines_steps_in_order %d\n", inOrder ? 1 : 0);
    std::printf("RESULT lines_wait_error_median_ms %.3f\n", median);
    std::printf("RESULT lines_wait_error_max_ms %.3f\n", max);
    return inOrder ? 0 : 1;
}
