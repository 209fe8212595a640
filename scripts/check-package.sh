#!/usr/bin/env bash
# Checks Tramelo as a Linux desktop citizen, from an existing build folder: the menu entry and
# the AppStream metadata validate, the English translation has every text of the sources, the
# Debian package builds (with its copyright file and a description of every family), installs
# with apt, runs from its installed path (loading its own copy of the decoding library from
# there), and is removed again. Runs as root (CI).
#   scripts/check-package.sh [build-dir]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
as_root() { if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi; }

desktop-file-validate dist/example.orvel.Tramelo.desktop
appstreamcli validate --no-net dist/example.orvel.Tramelo.metainfo.xml

# Every translatable text of the sources has its English text: lupdate over a copy of the
# .ts file must leave nothing unfinished.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp translations/tramelo_en.ts "$work/check.ts"
/usr/lib/qt6/bin/lupdate -silent -no-obsolete -locations none -I src \
    src/app/*.cpp src/app/*.h src/logic/*.cpp src/logic/*.h src/hexlib/*.cpp \
    src/cli/*.cpp src/engines/*.cpp src/engines/*.h src/serial/*.cpp src/platform/*.cpp \
    -ts "$work/check.ts"
if grep -q 'type="unfinished"' "$work/check.ts"; then
    echo "untranslated texts (run the tramelo_language_lupdate target and translate them):" >&2
    grep -B2 'type="unfinished"' "$work/check.ts" | grep '<source>' >&2
    exit 1
fi

cmake --build "$build" -j2
(cd "$build" && cpack -G DEB)
version=$(sed -n 's/^project(Tramelo VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
deb=$(ls "$build"/tramelo_"${version}"_*.deb)
dpkg-deb --field "$deb" Depends Recommends
# The copyright file, and a description that names every family the program serves. The
# listings are taken whole first: grep -q stops reading at its match, and the writer it leaves
# behind a closed pipe fails the pipeline.
contents=$(dpkg-deb --contents "$deb")
description=$(dpkg-deb --field "$deb" Description)
grep -q ' ./usr/share/doc/tramelo/copyright$' <<<"$contents"
for family in STC89C5 STC12 STC15 STC8 LPC2 STM32; do
    grep -q "$family" <<<"$description"
    grep -q "$family" dist/example.orvel.Tramelo.metainfo.xml
done
as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "./$deb"
trap 'rm -rf "$work"; as_root env DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq tramelo' EXIT

test "$(command -v tramelo)" = /usr/bin/tramelo
/usr/bin/tramelo --version
/usr/bin/tramelo ports
# The command line loads no GUI library; without a command it hands over to the window
# program in the program's own folder (--demo with an argument ends there with status 2).
libs=$(ldd /usr/bin/tramelo)
if grep -q 'libQt6Widgets' <<<"$libs"; then
    echo "/usr/bin/tramelo links the widget library" >&2
    exit 1
fi
window=$(dpkg -L tramelo | grep '/tramelo/tramelo-window$')
test -x "$window"
# Neither program carries a library search path: Qt is found in the system's folders and the
# decoding library by its full path.
for program in /usr/bin/tramelo "$window"; do
    dynamic=$(readelf -d "$program")
    if grep -qE 'RPATH|RUNPATH' <<<"$dynamic"; then
        echo "$program carries a library search path" >&2
        exit 1
    fi
done
set +e
QT_QPA_PLATFORM=offscreen TRAMELO_LANG=en /usr/bin/tramelo --demo x 2>"$work/demo-err"
status=$?
set -e
test "$status" = 2
grep -q 'demo takes no arguments' "$work/demo-err"
test -f "$(dpkg -L tramelo | grep '/tramelo/libiHexToBin.so$')"
man -w tramelo >/dev/null

# The STC file check decodes through the library: with HOME unset nothing is installed per
# user, so a note about the carried copy would mean the installed copy was not found.
printf ':0300000002003AC1\n:00000001FF\n' >"$work/fw.hex"
set +e
env -u HOME /usr/bin/tramelo download --device stc89c52rc --port "$work/no-port" "$work/fw.hex" \
    >"$work/out" 2>"$work/err"
status=$?
set -e
cat "$work/err"
test "$status" = 3
if grep -q -e '解码库' -e 'decoding library' "$work/err"; then
    echo "the installed program did not load its own copy of the decoding library" >&2
    exit 1
fi
# With a home folder, the installed copy serves: no per-user copy is written.
mkdir "$work/home"
set +e
HOME="$work/home" /usr/bin/tramelo download --device stc89c52rc --port "$work/no-port" \
    "$work/fw.hex" >/dev/null 2>&1
set -e
if [ -e "$work/home/.local/lib/Tramelo" ]; then
    echo "the installed program wrote a per-user copy of the decoding library" >&2
    exit 1
fi
echo "package check passed: $deb"
