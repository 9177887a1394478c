#!/usr/bin/env bash
# Card events through pcscd: from the line change (the simulator's control socket) to
# SCardGetStatusChange seeing it. Starts a pcscd of its own; none may be running.
set -euo pipefail
lib=$1
work=$(mktemp -d /tmp/qkr-bench-pcsc-XXXXXX)
pid=""
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
if pgrep -x pcscd >/dev/null; then echo "| through pcscd | (another pcscd runs: not measured) | |"; exit 0; fi
mkdir -p "$work/conf"
cat >"$work/conf/qkr" <<CONF
FRIENDLYNAME "QKR Reader"
DEVICENAME "sim:card=t1,socket=$work/control.sock"
LIBPATH $lib
CONF
pcscd -f -c "$work/conf" >"$work/pcscd.log" 2>&1 &
pid=$!
for _ in $(seq 1 100); do [ -S "$work/control.sock" ] && break; sleep 0.1; done
sleep 1
/usr/bin/python3 - "$work/control.sock" <<'PY'
import socket, statistics, sys, time
from smartcard.scard import (SCARD_SCOPE_USER, SCARD_STATE_EMPTY, SCARD_STATE_PRESENT,
                             SCARD_STATE_UNAWARE, SCardEstablishContext, SCardGetStatusChange,
                             SCardListReaders)
path = sys.argv[1]
rv, ctx = SCardEstablishContext(SCARD_SCOPE_USER)
reader = SCardListReaders(ctx, [])[1][0]
def state():
    return SCardGetStatusChange(ctx, 0, [(reader, SCARD_STATE_UNAWARE)])[1][0][1]
def change(cmd, flag):
    current = state()
    s = socket.socket(socket.AF_UNIX); s.connect(path)
    start = time.monotonic()
    s.sendall((cmd + "\n").encode()); s.makefile().readline(); s.close()
    while not current & flag:
        rv, st = SCardGetStatusChange(ctx, 5000, [(reader, current)])
        current = st[0][1]
    return (time.monotonic() - start) * 1000
ins, rem = [], []
for _ in range(20):
    rem.append(change("remove", SCARD_STATE_EMPTY)); time.sleep(0.2)
    ins.append(change("insert t1", SCARD_STATE_PRESENT)); time.sleep(0.2)
def p99(v): return sorted(v)[min(len(v) - 1, int(0.99 * (len(v) - 1) + 0.5))]
print("| insertion through pcscd | %.1f | %.1f |" % (statistics.median(ins), p99(ins)))
print("| removal through pcscd | %.1f | %.1f |" % (statistics.median(rem), p99(rem)))
PY
