#!/usr/bin/env bash
# Pictures of the program under a virtual X server.
#
#   scripts/screenshot.sh [build-dir] [output.png] [seconds-to-wait]
#       the screen with the window as it starts
#   scripts/screenshot.sh --readme [build-dir]
#       the README's pictures, made from the demonstration's virtual boards (`tramelo --demo`),
#       so they can be made again after every change of the window:
#         docs/download-LANG.png      a download under way (progress bar, message lines)
#         docs/terminal-LANG.png      the terminal page talking to a boot loader, as text
#         docs/terminal-hex-LANG.png  the same conversation shown as HEX
#       LANG is TRAMELO_LANG (the window's language) or zh when it is not set.
set -euo pipefail
cd "$(dirname "$0")/.."

home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME="$home" XDG_CONFIG_HOME="$home/config"

if [ "${1:-}" != "--readme" ]; then
    build=${1:-build}
    out=${2:-screenshot.png}
    wait=${3:-3}
    xvfb-run -a -s "-screen 0 800x600x24" \
        bash -c "\"$build/src/tramelo\" & pid=\$!; sleep $wait; import -window root \"$out\"; kill \$pid; wait \$pid 2>/dev/null || true"
    echo "saved $out"
    exit 0
fi

build=${2:-build}
lang=${TRAMELO_LANG:-zh}
mkdir -p docs

# shot SHOW SECONDS OUTPUT: starts the demonstration with TRAMELO_DEMO_SHOW=SHOW and saves
# its window after SECONDS.
shot() {
    TRAMELO_DEMO_SHOW="$1" TRAMELO_DEMO_BAUD="$4" xvfb-run -a -s "-screen 0 800x600x24" bash -c '
        "$0" --demo & pid=$!
        sleep "$1"
        window=$(xwininfo -root -children | awk "/\\(\"[Tt]ramelo\"/ && /\": \\(/ {print \$1; exit}")
        import -window "${window:-root}" "$2"
        kill $pid; wait $pid 2>/dev/null || true' "$build/src/tramelo" "$2" "$3"
    echo "saved $3"
}

# At 9600 baud the 8 KB example takes about ten seconds: the picture catches it midway.
shot download 4 "docs/download-$lang.png" 9600
shot terminal 4 "docs/terminal-$lang.png" 115200
shot terminal-hex 4 "docs/terminal-hex-$lang.png" 115200
