#!/usr/bin/python3
"""Runs stm32loader, as it is, from a checkout against a virtual board's pseudo-terminal.

    STM32LOADER_DIR=/path/to/stm32loader scripts/run-stm32loader.py -p /dev/pts/N -f F4 ...

The arguments are stm32loader's own. stm32loader is not a Debian package; the checkout's
`src` folder is put first on the module path and its `main` is run unchanged.

A pseudo-terminal is no UART: it has no modem lines, so the ioctls that set RTS and DTR
(TIOCMBIS/TIOCMBIC) fail with ENOTTY or EINVAL, and stm32loader ends before it sends its
first byte. Those two line changes, and only they, are made to do nothing here; everything
stm32loader says on the line goes to the board as it wrote it. A board answers at once, so
the reset pulse stm32loader would give a real chip has nothing to do. A pseudo-terminal takes
no parity either (Linux answers EINVAL to even parity once the line was set up), so callers
pass stm32loader's own `-P none`, as stm32flash is given `-m 8n1`; the board sees no bits.
"""
import errno
import os
import sys

checkout = os.environ.get("STM32LOADER_DIR")
if not checkout or not os.path.isdir(os.path.join(checkout, "src", "stm32loader")):
    sys.exit("run-stm32loader: STM32LOADER_DIR must name a checkout of stm32loader")
sys.path.insert(0, os.path.join(checkout, "src"))

from serial import serialposix  # noqa: E402  (python3-serial)


def _no_modem_lines(update):
    def tolerant(self, *args):
        try:
            return update(self, *args)
        except OSError as error:
            if error.errno not in (errno.ENOTTY, errno.EINVAL):
                raise
            return None

    return tolerant


serialposix.Serial._update_rts_state = _no_modem_lines(serialposix.Serial._update_rts_state)
serialposix.Serial._update_dtr_state = _no_modem_lines(serialposix.Serial._update_dtr_state)

from stm32loader.main import main  # noqa: E402

if __name__ == "__main__":
    main(*sys.argv[1:])
