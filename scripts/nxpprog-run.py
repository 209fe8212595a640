#!/usr/bin/env python3
"""Runs an unmodified nxpprog checkout (its nxpprog.py) with today's pyserial on a port that
may be a pseudo-terminal:
  nxpprog-run.py CHECKOUT [nxpprog's arguments...]
nxpprog was written for pyserial 2, whose Serial had setTimeout/getTimeout/setXonXoff; pyserial
3 dropped them, so they are put back here as the properties they became. A pseudo-terminal
refuses the modem-line calls (ENOTTY, EINVAL): setting RTS/DTR there is skipped, as on a
cable without those lines. Nothing else of nxpprog is touched."""
import errno
import os
import runpy
import sys

import serial

Serial = serial.Serial
if not hasattr(Serial, "setTimeout"):
    Serial.setTimeout = lambda self, t: setattr(self, "timeout", t)
    Serial.getTimeout = lambda self: self.timeout
if not hasattr(Serial, "setXonXoff"):
    Serial.setXonXoff = lambda self, on: setattr(self, "xonxoff", bool(on))


def tolerant(update):
    def call(self, *args):
        try:
            update(self, *args)
        except OSError as e:
            if e.errno not in (errno.ENOTTY, errno.EINVAL):
                raise
    return call


for name in ("_update_rts_state", "_update_dtr_state", "_update_break_state"):
    if hasattr(Serial, name):
        setattr(Serial, name, tolerant(getattr(Serial, name)))

if len(sys.argv) < 2:
    sys.exit("usage: nxpprog-run.py CHECKOUT [nxpprog arguments...]")
checkout = os.path.abspath(sys.argv[1])
sys.path.insert(0, checkout)  # its own ihex module
sys.argv = [os.path.join(checkout, "nxpprog.py")] + sys.argv[2:]
runpy.run_path(sys.argv[0], run_name="__main__")
