#!/usr/bin/env bash
# opensc-explorer browses the simulated card's file system through a pcscd of its own and the qkr
# handler: `ls` (with OpenSC's tcos driver, whose listing command the card answers), `cd` by path
# and `cat`, which select by path from the MF and read the file at growing offsets. Skipped (77)
# when pcscd or opensc-explorer is missing or another pcscd runs (its socket path is fixed).
set -uo pipefail
lib=$(realpath "$1")
for tool in pcscd opensc-explorer opensc-tool; do
  command -v "$tool" >/dev/null || { echo "SKIP: $tool is not installed"; exit 77; }
done
if pgrep -x pcscd >/dev/null; then
  echo "SKIP: another pcscd is running"; exit 77
fi
work=$(mktemp -d /tmp/qkr-explorer-XXXXXX)
pid=""
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/conf"
printf 'FRIENDLYNAME "QKR Reader"\nDEVICENAME "sim:card=t1"\nLIBPATH %s\n' "$lib" >"$work/conf/qkr"
pcscd -f -c "$work/conf" >"$work/pcscd.log" 2>&1 &
pid=$!
for i in $(seq 1 100); do # the reader's start includes its 3 s serial set-up pause
  opensc-tool -l 2>/dev/null | grep -q "QKR Reader 00 00" && break
  [ "$i" = 100 ] && { echo "FAIL: pcscd did not show the reader"; cat "$work/pcscd.log"; exit 1; }
  sleep 0.1
done

printf 'ls\ncd 5000\nls\ncat 5001\ncd ..\ncat 2F00\n' |
  timeout 60 opensc-explorer -r 0 -c tcos >"$work/out" 2>&1
failures=0
for want in '\[5000\][[:space:]]*DF' '2F00 .*wEF *32' '5003 .*wEF *128' \
            '^000001F0: F0 F1 F2 F3 F4 F5 F6 F7 F8 F9 FA FB FC FD FE FF' \
            'OpenSC \[3F00/5000\]>' '^00000010: 31 20 45 46 32 46 30 30 20 43 4F 4E 54 45 4E 54'; do
  grep -q -- "$want" "$work/out" || { echo "FAIL: no '$want'"; failures=$((failures + 1)); }
done
if grep -q -e 'Unable' -e 'rror' "$work/out" || [ "$failures" -gt 0 ]; then
  echo "--- opensc-explorer:"; cat "$work/out"; echo "--- pcscd:"; tail -20 "$work/pcscd.log"
  exit 1
fi
echo "PASS: opensc-explorer lists, enters and reads the card's files"
