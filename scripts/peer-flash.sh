#!/usr/bin/env bash
# Established flashers from Debian program Tramelo's virtual boards (`tramelo simulate`), and
# each board's flash must then hold the image: stm32flash speaks ST's USART boot-loader
# protocol (and verifies by reading back), lpc21isp NXP's UART ISP protocol. A failure here
# means a board does not behave as the boot loader's published protocol says.
# nxpprog is no Debian package: with NXPPROG_DIR set to a checkout of it, it programs the LPC
# boards it knows too (through scripts/nxpprog-run.py, which only fits it to today's pyserial
# and a pseudo-terminal); without, a note says it was skipped.
#   [NXPPROG_DIR=/path/to/nxpprog] scripts/peer-flash.sh [build-dir]
set -euo pipefail
build=${1:-build}
tramelo=$(realpath "$build/src/tramelo")
work=$(mktemp -d)
board_pid=
cleanup() {
    [ -n "$board_pid" ] && kill "$board_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT

# Starts a board of the device in the background (further arguments go to the board); its
# path is in $tty.
start_board() {
    "$tramelo" simulate --device "$1" "${@:2}" --dump "$work/$1.dump" >"$work/$1.log" &
    board_pid=$!
    tty=
    for _ in $(seq 100); do
        tty=$(head -n 1 "$work/$1.log" 2>/dev/null || true)
        [ -n "$tty" ] && return 0
        sleep 0.1
    done
    echo "peer-flash: the $1 board did not start" >&2
    return 1
}

# Ends the board (it writes its flash on SIGTERM) and compares the flash with the image.
check_board() {
    kill -TERM "$board_pid"
    wait "$board_pid"
    board_pid=
    if ! cmp -n "$(stat -c %s "$2")" "$2" "$work/$1.dump"; then
        echo "peer-flash: the $1 board does not hold the image; it received:" >&2
        cat "$work/$1.log" >&2
        return 1
    fi
    echo "peer-flash: $1: $(($(wc -l <"$work/$1.log") - 1)) commands, flash holds the image"
}

# STM32: the board of every line (--id: F10x high and medium density, F0, F3, F4 with its
# sectors, G0 with its double words), each with the option bytes at its own address. On each:
# 20 KB of random bytes written and verified, the option bytes read (4 bytes), and a Go to
# RAM, last, since the chip then runs the code and ignores the line until it is reset. A
# pseudo-terminal takes no parity setting (stm32flash's default 8e1 fails to open it), hence
# 8n1; the board does not see bits.
head -c 20480 /dev/urandom >"$work/stm32.bin"
for line in 414:0x1FFFF800 410:0x1FFFF800 440:0x1FFFF800 422:0x1FFFF800 413:0x1FFFC000 \
    460:0x1FFF7800; do
    id=${line%%:*}
    options=${line#*:}
    rm -f "$work/stm32.log" # so the path read is the new board's, not the last one's
    start_board stm32 --id "$id"
    stm32flash -m 8n1 -b 115200 -w "$work/stm32.bin" -v "$tty" | tr '\r' '\n' | tail -n 3
    rm -f "$work/options.bin"
    stm32flash -m 8n1 -b 115200 -r "$work/options.bin" -S "$options:4" "$tty" >/dev/null
    if [ "$(stat -c %s "$work/options.bin" 2>/dev/null)" != 4 ]; then
        echo "peer-flash: the $id board gave no option bytes at $options" >&2
        exit 1
    fi
    # stm32flash ends with status 0 even when Go fails; its message tells.
    go=$(stm32flash -m 8n1 -b 115200 -g 0x20001000 "$tty" 2>&1)
    if [[ "$go" != *"execution at address 0x20001000... done."* ]]; then
        echo "peer-flash: the $id board refused Go to RAM:" >&2
        echo "$go" >&2
        exit 1
    fi
    echo "peer-flash: stm32 $id: option bytes at $options: $(od -An -tx1 "$work/options.bin")"
    check_board stm32 "$work/stm32.bin"
done

# STM32 lines added later, written and verified by stm32flash: L0 and L1 (small pages
# erased to 0x00, no mass erase: stm32flash erases their pages one by one), H7 (128 KiB
# sectors, 32-byte flash words) and G0B (two banks). 12 KiB fit the smallest (L01x, 16 KiB).
# stm32flash 0.7 does not know C0, WB, WL, L5 and U5 (its device table ends before them);
# tramelo itself writes, verifies and reads those boards in tst_stm32 and tst_cli.
head -c 12288 /dev/urandom >"$work/stm32-new.bin"
for id in 457 425 417 447 416 429 427 436 437 450 467; do
    rm -f "$work/stm32.log"
    start_board stm32 --id "$id"
    stm32flash -m 8n1 -b 115200 -w "$work/stm32-new.bin" -v "$tty" | tr '\r' '\n' | tail -n 2
    echo "peer-flash: stm32 $id"
    check_board stm32 "$work/stm32-new.bin"
done

# A fast rate: stm32flash at 921600 against an H7 board paced like a UART at that rate (a
# pseudo-terminal takes any rate setting; the pacing makes the line that fast, no faster).
rm -f "$work/stm32.log"
start_board stm32 --id 450 --baud 921600
stm32flash -m 8n1 -b 921600 -w "$work/stm32-new.bin" -v "$tty" | tr '\r' '\n' | tail -n 2
echo "peer-flash: stm32 450 at 921600"
check_board stm32 "$work/stm32-new.bin"

# Get Checksum (0xA1, `simulate --get-checksum`): stm32flash -C asks a board that lists it for
# the CRC and computes it itself from a read-back where the board does not; both must agree.
crc_of() { # board options...
    rm -f "$work/stm32.log"
    start_board stm32 --id 450 "$@"
    stm32flash -m 8n1 -b 115200 -w "$work/stm32-new.bin" "$tty" >/dev/null
    stm32flash -m 8n1 -b 115200 -C -S 0x08000000:12288 "$tty" 2>&1 | grep -o 'CRC(.*'
    check_board stm32 "$work/stm32-new.bin" >/dev/null
}
from_board=$(crc_of --get-checksum)
if ! grep -q '^A1 Get Checksum' "$work/stm32.log"; then
    echo "peer-flash: stm32flash did not ask the board for its CRC" >&2
    exit 1
fi
from_host=$(crc_of)
if [ -z "$from_board" ] || [ "$from_board" != "$from_host" ]; then
    echo "peer-flash: Get Checksum gave '$from_board', stm32flash's own CRC '$from_host'" >&2
    exit 1
fi
echo "peer-flash: stm32 450 Get Checksum: $from_board, as stm32flash computes it"

# stm32loader (not a Debian package: a checkout named by STM32LOADER_DIR, run as it is by
# scripts/run-stm32loader.py, which only lets a pseudo-terminal refuse RTS and DTR; no
# parity, as for stm32flash), its family found from the chip as a user runs it: on every STM32
# board it reads the ids (and the unique id and flash size where its tables know them); on the
# boards of lines its tables carry a transfer size for, it also erases, writes and verifies
# 12 KiB. Its tables have no transfer size for F2, L1, C0, WB, L5 and U5 (it stops with a
# TypeError after the ids there), and it would erase L1 with a mass erase that L1 loaders do
# not have. On the H7A3 board (480) it asks for the unique id and flash size at the H74x's
# addresses (0x1FF1E800), which that chip does not have (RM0455 §65: 0x08FFF800), and goes on.
# stm32flash 0.7 does not know 480.
if [ -n "${STM32LOADER_DIR:-}" ]; then
    loader=("$(dirname "$0")/run-stm32loader.py" -b 115200 -P none -n)
    for line in 414:w 410:w 420:w 428:w 440:w 422:w 413:w 460:w 467:w 457:w 425:w 417:w \
        447:w 450:w 483:w 480:w 497:w 411:i 416:i 429:i 427:i 436:i 437:i 443:i 453:i 494:i 495:i \
        472:i 482:i; do
        id=${line%%:*}
        rm -f "$work/stm32.log"
        start_board stm32 --id "$id"
        out=$("${loader[@]}" -p "$tty" 2>&1 || true)
        if [[ "$out" != *"Chip ID: 0x$id"* ]]; then
            echo "$out" >&2
            echo "peer-flash: stm32loader did not identify the $id board" >&2
            exit 1
        fi
        echo "peer-flash: stm32loader $id: $(grep -E 'Chip ID|UID|Flash size' <<<"$out" |
            tr '\n' ' ')"
        if [ "${line#*:}" = w ]; then
            "${loader[@]}" -p "$tty" -q -e -w -v "$work/stm32-new.bin"
            check_board stm32 "$work/stm32-new.bin"
        else
            kill -TERM "$board_pid"
            wait "$board_pid" || true
            board_pid=
        fi
    done
else
    echo "peer-flash: stm32loader skipped (STM32LOADER_DIR names no checkout)"
fi

# LPC2000: random bytes whose vector table carries the checksum the boot loader requires of a
# valid user program (the eight vectors sum to 0), so lpc21isp writes the image as it is; as
# Intel HEX. lpc21isp copies whole sectors of up to 8 KiB on the LPC22xx (8 KiB sectors, copies
# of 512..8192 bytes) and 4 KiB on the LPC213x, and rounds a partial tail up to 512, 1024, 4096
# or 8192 bytes; the sizes give each board whole copies and a partial one.
# The balancing word is vector 5 (0x14) on ARM7 parts and vector 7 (0x1C) on Cortex-M parts.
lpc_image() { # device bytes [vector that balances: 5 or 7]
    local bin="$work/$1.bin" balance=${3:-5}
    head -c "$2" /dev/urandom >"$bin"
    read -r -a vectors <<<"$(od -An -tu4 -N32 -v "$bin" | tr '\n' ' ')"
    local sum=0 i
    for i in 0 1 2 3 4 5 6 7; do
        [ "$i" = "$balance" ] || sum=$(((sum + vectors[i]) & 0xFFFFFFFF))
    done
    local check=$(((0x100000000 - sum) & 0xFFFFFFFF))
    printf "$(printf '\\x%02x\\x%02x\\x%02x\\x%02x' $((check & 255)) $((check >> 8 & 255)) \
        $((check >> 16 & 255)) $((check >> 24 & 255)))" |
        dd of="$bin" bs=1 seek=$((balance * 4)) conv=notrunc status=none
    objcopy -I binary -O ihex "$bin" "$work/$1.hex"
}
lpc_flash() { # device bytes [vector that balances: 5 or 7]
    local bin="$work/$1.bin"
    lpc_image "$@"
    start_board "$1"
    lpc21isp -hex -verify -donotstart "$work/$1.hex" "$tty" 38400 12000
    check_board "$1" "$bin"
}
# LPC2214: sector 1 takes a tail of 100 bytes (copied as 512), then sector 0 a whole 8 KiB.
lpc_flash lpc2214 $((8192 + 100))
# LPC2292: sectors 0 and 1 whole, a tail of 1500 bytes in sector 2 (copied as 4096).
lpc_flash lpc2292 $((16384 + 1500))
# LPC2136: 4 KiB sectors 0..2 whole and a tail of 200 bytes in sector 3.
lpc_flash lpc2136 $((12288 + 200))
# The boards of the other families, each with whole sectors and a partial one: ARM7 LPC2378
# and LPC2148 (4 KiB and 32 KiB sectors), Cortex-M LPC1768 (4 KiB then 32 KiB sectors, the
# image reaching into the first 32 KiB one), LPC1114, LPC11U24, LPC1343 (4 KiB sectors) and
# LPC812 (1 KiB sectors, raw binary data that lpc21isp reads back from the echo).
lpc_flash lpc2378 $((36864 + 300))
lpc_flash lpc2148 $((8192 + 44))
lpc_flash lpc1768 $((65536 + 5000)) 7
lpc_flash lpc1114 $((8192 + 1000)) 7
lpc_flash lpc11u24 $((4096 + 64)) 7
lpc_flash lpc1343 $((12288 + 4)) 7
lpc_flash lpc812 $((3072 + 200)) 7
# lpc21isp 1.97 has no row for the LPC84x parts: the lpc845 board is programmed by Tramelo
# itself in the tests, not by a peer here.

# nxpprog finds the part by its identification ("J"; its --cpu option fails on Python 3) and
# writes whole 4 KiB RAM blocks, padding the image with 0xFF, then starts it (G 0 T / A). It
# knows the LPC1768 and LPC2378 and, under the LPC214x names its table gives their numbers,
# the LPC2131/2132/2136/2138 boards; its table has no LPC2214, LPC2148 (it lists 0x0002FF25,
# the LPC2138's number), LPC11xx/11Uxx/13xx or LPC8xx identification.
if [ -z "${NXPPROG_DIR:-}" ]; then
    echo "peer-flash: nxpprog skipped (set NXPPROG_DIR to a checkout of it to run it)"
    exit 0
fi
runner=$(dirname "$(realpath "$0")")/nxpprog-run.py
# Debian's interpreter, which has pyserial (python3-serial), before any other on the path.
python=$(command -v /usr/bin/python3 || command -v python3)
nxpprog_flash() { # device bytes [vector that balances: 5 or 7]
    lpc_image "$@"
    start_board "$1"
    "$python" "$runner" "$NXPPROG_DIR" --oscfreq=12000 --baud=115200 --filetype=bin "$tty" \
        "$work/$1.bin" 2>&1 | tail -n 1
    echo "peer-flash: nxpprog $1"
    check_board "$1" "$work/$1.bin"
}
nxpprog_flash lpc1768 $((65536 + 5000)) 7
nxpprog_flash lpc2378 $((36864 + 300))
nxpprog_flash lpc2292 $((16384 + 1500))
nxpprog_flash lpc2131 $((8192 + 100))
nxpprog_flash lpc2132 $((12288 + 10))
nxpprog_flash lpc2136 $((12288 + 200))
nxpprog_flash lpc2138 $((40960 + 4))
# Its serial-number command on the LPC1768 board: four words in decimal.
start_board lpc1768
serial=$("$python" "$runner" "$NXPPROG_DIR" --oscfreq=12000 --serialnumber "$tty" 2>/dev/null)
if ! [[ "$serial" =~ ^[0-9]+\ [0-9]+\ [0-9]+\ [0-9]+$ ]]; then
    echo "peer-flash: nxpprog read no serial number from the lpc1768 board: '$serial'" >&2
    exit 1
fi
echo "peer-flash: nxpprog lpc1768 serial number: $serial"
kill -TERM "$board_pid"
wait "$board_pid"
board_pid=
