#!/usr/bin/env bash
# Starts a pcscd of its own with the qkr handler on a simulated reader, then checks what
# opensc-tool, opensc-explorer and pyscard programs see through it (APDUs through opensc-tool
# after pcscd's restart).
set -uo pipefail
lib=$(realpath "$1")
here=$2
work=$(mktemp -d /tmp/qkr-pcsc-XXXXXX)
sock=$work/control.sock
pid=""
failures=0
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null; rm -rf "$work"' EXIT

check() { # name, command...
  local name=$1; shift
  if "$@" >"$work/out" 2>&1; then echo "PASS $name"
  else failures=$((failures + 1)); echo "FAIL $name"; sed 's/^/    /' "$work/out"; fi
}
expect_output() { # pattern... (!pattern: must not appear), --, command...
  local patterns=(); while [ "$1" != -- ]; do patterns+=("$1"); shift; done; shift
  "$@" >"$work/cmd" 2>&1
  for p in "${patterns[@]}"; do
    if [ "${p:0:1}" = '!' ]; then ! grep -q -- "${p:1}" "$work/cmd"; else grep -q -- "$p" "$work/cmd"; fi ||
      { echo "expected '$p' in:"; cat "$work/cmd"; return 1; }
  done
}
log_has() { grep -qF -- "$1" "$work/pcscd.log" || { echo "not in pcscd's log: $1"; return 1; }; }

# pcscd's socket path is fixed: one run at a time on this machine, whichever build it is from,
# and none beside a pcscd that is still going away.
exec 9>/tmp/qkr-pcscd-test.lock
flock -w 120 9 || { echo "another run of this test held the pcscd lock for 2 minutes"; exit 1; }
for _ in $(seq 1 1200); do pgrep -x pcscd >/dev/null || break; sleep 0.1; done
if pgrep -x pcscd >/dev/null; then echo "another pcscd ran for 2 minutes: $(pgrep -ax pcscd)"; exit 1; fi
mkdir -p "$work/conf"
printf 'FRIENDLYNAME "%s"\nDEVICENAME "%s"\nLIBPATH %s\n\n' >"$work/conf/qkr" \
  "QKR Reader" "sim:card=t1,socket=$sock,trace=1,wire=1" "$lib" \
  "QKR Second" "sim:card=t0,speed=38400" "$lib" "Malformed" "sim:card=nosuch" "$lib"

start_pcscd() {
  local t0=$(date +%s%N)
  pcscd -f -d -c "$work/conf" >"$work/pcscd.log" 2>&1 &
  pid=$!
  # pcscd serves its clients while the reader's start (with its 3 s serial set-up pause) goes on;
  # the card shows once it is over.
  /usr/bin/python3 -c '
import time
from smartcard.scard import SCARD_SCOPE_USER as user, SCardEstablishContext, SCardListReaders
for _ in range(500):
    rv, ctx = SCardEstablishContext(user)
    if rv == 0 and "QKR Reader 00 01" in SCardListReaders(ctx, [])[1]:
        break
    time.sleep(0.02)'
  listed_ms=$(( ($(date +%s%N) - t0) / 1000000 ))
  for _ in $(seq 1 100); do opensc-tool -r 0 -a >/dev/null 2>&1 && return 0; sleep 0.1; done
  echo "pcscd did not show the reader and its card"; cat "$work/pcscd.log"; return 1
}
stop_pcscd() { kill "$pid"; wait "$pid" 2>/dev/null; pid=""; }

start_pcscd || exit 1
check "pcscd lists the reader before its start is over (${listed_ms} ms)" test "$listed_ms" -lt 2900
check "opensc-tool reads both slots' ATRs (T=1 card, T=0 card)" eval \
  'expect_output "3b:96:13:81:71:20:45:00:51:4b:52:20:54:31:1d" -- opensc-tool -r 0 -a &&
   expect_output "3b:96:11:40:0a:51:4b:52:20:54:30" -- opensc-tool -r 1 -a'
# `ls` with OpenSC's tcos driver, whose listing command the card answers; `cd` by path and `cat`,
# which select by path from the MF and read at growing offsets.
printf 'ls\ncd 5000\nls\ncat 5001\ncd ..\ncat 2F00\n' >"$work/explore"
check "opensc-explorer lists, enters and reads the card's files" \
  expect_output '\[5000\][[:space:]]*DF' '2F00 .*wEF *32' '5003 .*wEF *128' 'OpenSC \[3F00/5000\]>' \
  '^000001F0: F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF' \
  '^00000010: 31 20 45 46 32 46 30 30 20 43 4F 4E 54 45 4E 54' '!Unable' '!rror' -- \
  eval 'timeout 60 opensc-explorer -r 0 -c tcos <"$work/explore"'
check "pyscard: sessions, card events, idle after a disconnect, reader power loss and return" \
  /usr/bin/python3 "$here/pcsc_session.py" "$sock" "$pid"
check "two processes, transactions on both slots of two readers, every answer right" eval \
  '/usr/bin/python3 "$here/pcsc_transactions.py" 5 & other=$!
   /usr/bin/python3 "$here/pcsc_transactions.py" 5 && wait $other'
check "a malformed DEVICENAME fails its own reader only, saying why" \
  log_has 'qkr-ifd: channel "sim:card=nosuch": unknown or malformed option card=nosuch'
check "pcscd's debug log has the driver's trace, the line's bytes and the APDUs" eval \
  'log_has "qkr-ifd: [Qkr_StartDevice] Enter" && log_has "qkr-ifd: reader 0 wire -> 10 02 60" &&
   log_has "qkr-ifd: reader 0 slot 0 APDU > 00 A4 00 00 02 2F 00" &&
   log_has "qkr-ifd: reader 0 slot 0 APDU < 51 4B 52 20 90 00"'
check "a T=0/T=1 connection to a memory card is refused, pointing to the control code" \
  log_has "the card is a memory card, which has neither T=0 nor T=1: exchange with it through"

stop_pcscd
start_pcscd || exit 1
check "the handler works again after pcscd restarted" \
  expect_output "51 4B 52 20 QKR" -- opensc-tool -r 0 -s 00A40000022F00 -s 00B0000004
stop_pcscd
echo "$failures failed"
[ "$failures" -eq 0 ]
