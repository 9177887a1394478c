#!/usr/bin/env bash
# Through pcscd, in one run: APDUs per second and their round trip (GET CHALLENGE under T=1, from
# SCardTransmit's call to its return) and card events (from the line change, on the simulator's
# control socket, to SCardGetStatusChange seeing it), for the simulated reader at 19200 and at
# 38400 bit/s, and the APDUs beside vpcd with vicc when both are installed (Debian
# vsmartcard-vpcd, vsmartcard-vpicc and python3-pycryptodome). Starts a pcscd of its own for each;
# none may be running. A change not seen within 10 s ends the run, and pcscd's log is kept in
# /tmp/qkr-bench-pcscd.log (with QKR_BENCH_PCSCD_DEBUG=1, pcscd logs at debug level).
set -euo pipefail
lib=$1
work=$(mktemp -d /tmp/qkr-bench-pcsc-XXXXXX)
pid=""
card=""
trap '[ -n "$card" ] && kill "$card" 2>/dev/null; [ -n "$pid" ] && kill "$pid" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
if pgrep -x pcscd >/dev/null; then echo "(another pcscd runs: nothing measured through pcscd)"; exit 0; fi
mkdir -p "$work/conf"
failed=0

cat >"$work/measure.py" <<'PY'
import socket, statistics, sys, time
from smartcard.scard import (SCARD_LEAVE_CARD, SCARD_PCI_T1, SCARD_PROTOCOL_T1, SCARD_SCOPE_USER,
                             SCARD_SHARE_SHARED, SCARD_STATE_EMPTY, SCARD_STATE_PRESENT,
                             SCARD_STATE_UNAWARE, SCardConnect, SCardDisconnect,
                             SCardEstablishContext, SCardGetStatusChange, SCardListReaders,
                             SCardTransmit)
column, path, out = sys.argv[1], sys.argv[2], sys.argv[3]
rv, ctx = SCardEstablishContext(SCARD_SCOPE_USER)
reader = SCardListReaders(ctx, [])[1][0]
def state():
    return SCardGetStatusChange(ctx, 0, [(reader, SCARD_STATE_UNAWARE)])[1][0][1]
def wait(flag, what):
    current, start = state(), time.monotonic()
    while not current & flag:
        if time.monotonic() - start > 10:
            sys.exit("bench %s: %s not seen in 10 s; pcscd says %#x" % (column, what, current))
        current = SCardGetStatusChange(ctx, 1000, [(reader, current)])[1][0][1]
def p99(v): return sorted(v)[min(len(v) - 1, int(0.99 * (len(v) - 1) + 0.5))]
def ms(v): return "%.1f / %.1f" % (statistics.median(v), p99(v))
wait(SCARD_STATE_PRESENT, "the card")
rv, card, active = SCardConnect(ctx, reader, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T1)
if rv != 0:
    sys.exit("bench %s: connect: %#x" % (column, rv))
trips = []
begin = time.monotonic()
for _ in range(200):
    start = time.monotonic()
    rv, response = SCardTransmit(card, SCARD_PCI_T1, [0x00, 0x84, 0x00, 0x00, 0x08])
    trips.append((time.monotonic() - start) * 1000)
    if rv != 0 or response[-2:] != [0x90, 0x00]:
        sys.exit("bench %s: GET CHALLENGE: %#x %s" % (column, rv, response))
rate = len(trips) / (time.monotonic() - begin)
SCardDisconnect(card, SCARD_LEAVE_CARD)
rows = ["%.1f" % rate, ms(trips)]
if path != "-":  # card events through the simulator's control socket
    def change(cmd, flag):
        current = state()
        s = socket.socket(socket.AF_UNIX); s.connect(path)
        start = time.monotonic()
        s.sendall((cmd + "\n").encode()); answer = s.makefile().readline().strip(); s.close()
        if answer != "ok":
            sys.exit("bench: the simulator answered %r to %r" % (answer, cmd))
        while not current & flag:
            if time.monotonic() - start > 10:
                sys.exit("bench %s: %r not seen in 10 s; pcscd says %#x" % (column, cmd, current))
            current = SCardGetStatusChange(ctx, 1000, [(reader, current)])[1][0][1]
        return (time.monotonic() - start) * 1000
    ins, rem = [], []
    for _ in range(20):
        rem.append(change("remove", SCARD_STATE_EMPTY)); time.sleep(0.2)
        ins.append(change("insert t1", SCARD_STATE_PRESENT)); time.sleep(0.2)
    rows += [ms(ins), ms(rem)]
else:
    rows += ["-", "-"]
open(out, "w").write("\n".join(rows) + "\n")
PY

run() { # column, conf text, control socket or -
  local column=$1
  printf '%s\n' "$2" >"$work/conf/reader"
  rm -f "$work/control.sock"
  pcscd -f ${QKR_BENCH_PCSCD_DEBUG:+-d} -c "$work/conf" >"$work/pcscd.log" 2>&1 &
  pid=$!
  # vicc connects to vpcd, which listens once pcscd has loaded it.
  if [ "$column" = vicc ]; then
    sleep 1
    PYTHONPATH="$work/shim:$vicc_path" /usr/bin/python3 /usr/bin/vicc -t iso7816 -P 35963 \
      >"$work/vicc.log" 2>&1 &
    card=$!
  fi
  local status=0
  /usr/bin/python3 "$work/measure.py" "$column" "$3" "$work/$column" || status=$?
  [ "$status" -eq 0 ] || { cp "$work/pcscd.log" /tmp/qkr-bench-pcscd.log; failed=1; }
  kill "$pid"
  wait "$pid" 2>/dev/null || true
  pid=""
}

columns=()
for speed in 19200 38400; do
  run "qkr-$speed" "FRIENDLYNAME \"QKR Reader\"
DEVICENAME \"sim:card=t1,speed=$speed,socket=$work/control.sock\"
LIBPATH $lib" "$work/control.sock"
  columns+=("qkr-$speed")
done

vpcd=/usr/lib/pcsc/drivers/serial/libifdvpcd.so
vicc_path=/usr/lib/python3/site-packages/virtualsmartcard
if [ -e "$vpcd" ] && [ -x /usr/bin/vicc ] && [ -d "$vicc_path" ] &&
   /usr/bin/python3 -c "import Cryptodome" 2>/dev/null; then
  # vicc imports Crypto, which Debian ships as Cryptodome.
  mkdir -p "$work/shim/Crypto"
  cat >"$work/shim/Crypto/__init__.py" <<'PY'
import importlib, sys
for _n in ("Cipher", "Hash", "Util", "Random", "PublicKey", "Signature"):
    sys.modules["Crypto." + _n] = importlib.import_module("Cryptodome." + _n)
PY
  : >"$work/shim/sha.py"
  run vicc "FRIENDLYNAME \"Virtual PCD\"
DEVICENAME /dev/null:0x8C7B
LIBPATH $vpcd" -
  kill "$card" 2>/dev/null; wait "$card" 2>/dev/null || true; card=""
  columns+=(vicc)
fi

header="| through pcscd | qkr sim, 19200 bit/s | qkr sim, 38400 bit/s |"
rule="|---|---|---|"
[ ${#columns[@]} -eq 3 ] && { header+=" vpcd + vicc |"; rule+="---|"; }
echo "$header"; echo "$rule"
labels=("GET CHALLENGE APDUs per second" "APDU round trip, median / 99th pct (ms)"
        "insertion to SCardGetStatusChange, median / 99th pct (ms)"
        "removal to SCardGetStatusChange, median / 99th pct (ms)")
for i in 0 1 2 3; do
  line="| ${labels[$i]} |"
  for c in "${columns[@]}"; do
    line+=" $( [ -f "$work/$c" ] && sed -n "$((i + 1))p" "$work/$c" || echo failed) |"
  done
  echo "$line"
done
exit "$failed"
