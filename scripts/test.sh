#!/usr/bin/env bash
# Installs what is needed, builds and runs all the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup-debian.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j2
# The programs of pure logic (label "unit") first: they finish within seconds, and a fault
# in the logic shows before the slow programs have started (which still run, so that one run
# reports every failure).
unit=0
QT_QPA_PLATFORM=offscreen ctest --test-dir build --output-on-failure -L unit -j "${TRAMELO_TEST_JOBS:-6}" || unit=$?
# The other test programs spend most of their time waiting for the boards' real time-outs, and
# each has its own pseudo-terminals, settings folder and port names, so they run side by side.
QT_QPA_PLATFORM=offscreen ctest --test-dir build --output-on-failure -LE unit -j "${TRAMELO_TEST_JOBS:-6}"
exit "$unit"
