#!/usr/bin/env bash
# Card events through pcscd: from the line change (the simulator's control socket) to
# SCardGetStatusChange seeing it. Starts a pcscd of its own; none may be running. A change not
# seen within 10 s ends the run, and pcscd's log is kept in /tmp/qkr-bench-pcscd.log (with
# QKR_BENCH_PCSCD_DEBUG=1, pcscd logs at debug level).
set -euo pipefail
lib=$1
work=$(mktemp -d /tmp/qkr-bench-pcsc-XXXXXX)
pid=""
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
if pgrep -x pcscd >/dev/null; then echo "| through pcscd | (another pcscd runs: not measured) | |"; exit 0; fi
mkdir -p "$work/conf"
failed=0
# pcscd powers the card and reads its ATR before it reports an insertion, so insertion is
# measured at the reader's default link speed and at its fastest.
for speed in 19200 38400; do
  cat >"$work/conf/qkr" <<CONF
FRIENDLYNAME "QKR Reader"
DEVICENAME "sim:card=t1,speed=$speed,socket=$work/control.sock"
LIBPATH $lib
CONF
  rm -f "$work/control.sock"
  pcscd -f ${QKR_BENCH_PCSCD_DEBUG:+-d} -c "$work/conf" >"$work/pcscd.log" 2>&1 &
  pid=$!
  for _ in $(seq 1 100); do [ -S "$work/control.sock" ] && break; sleep 0.1; done
  sleep 1 # pcscd's first look at both slots
  status=0
  /usr/bin/python3 - "$work/control.sock" "$speed" <<'PY' || status=$?
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
    s.sendall((cmd + "\n").encode()); answer = s.makefile().readline().strip(); s.close()
    if answer != "ok":
        sys.exit("bench: the simulator answered %r to %r" % (answer, cmd))
    while not current & flag:
        if time.monotonic() - start > 10:
            s = socket.socket(socket.AF_UNIX); s.connect(path); s.sendall(b"status\n")
            sys.exit("bench: %r not seen in 10 s; pcscd says %#x, the simulator %s"
                     % (cmd, current, s.makefile().readline().strip()))
        rv, st = SCardGetStatusChange(ctx, 1000, [(reader, current)])
        current = st[0][1]
    return (time.monotonic() - start) * 1000
ins, rem = [], []
for _ in range(20):
    rem.append(change("remove", SCARD_STATE_EMPTY)); time.sleep(0.2)
    ins.append(change("insert t1", SCARD_STATE_PRESENT)); time.sleep(0.2)
def p99(v): return sorted(v)[min(len(v) - 1, int(0.99 * (len(v) - 1) + 0.5))]
speed = sys.argv[2]
print("| insertion through pcscd, %s bit/s | %.1f | %.1f |" % (speed, statistics.median(ins), p99(ins)))
print("| removal through pcscd, %s bit/s | %.1f | %.1f |" % (speed, statistics.median(rem), p99(rem)))
PY
  [ "$status" -eq 0 ] || { cp "$work/pcscd.log" /tmp/qkr-bench-pcscd.log; failed=1; }
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  pid=""
done
exit "$failed"
