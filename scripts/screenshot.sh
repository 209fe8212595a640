#!/usr/bin/env bash
# Starts the program under a virtual X server and saves a PNG of the screen.
#   scripts/screenshot.sh [build-dir] [output.png] [seconds-to-wait]
set -euo pipefail
build=${1:-build}
out=${2:-screenshot.png}
wait=${3:-3}
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
HOME="$home" XDG_CONFIG_HOME="$home/config" xvfb-run -a -s "-screen 0 800x600x24" \
    bash -c "\"$build/src/tramelo\" & pid=\$!; sleep $wait; import -window root \"$out\"; kill \$pid; wait \$pid 2>/dev/null || true"
echo "saved $out"
