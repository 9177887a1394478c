#!/usr/bin/env bash
# Packs the build's tools and PC/SC handler as `make deb` does, unpacks the package into a scratch
# root and checks what it holds: the tools (which run from there), the handler where pcscd looks,
# the reader.conf.d entry disabled and kept as a configuration file, and no test.
set -euo pipefail
build=$1
work=$(mktemp -d /tmp/qkr-deb-XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

cpack -G DEB -B "$work" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack"; }
deb=$(ls "$work"/*.deb)
dpkg-deb -x "$deb" "$work/root"
(cd "$work/root" && find . -type f -o -type l | sort) >"$work/files"
echo "$(basename "$deb"):"; sed 's/^/  /' "$work/files"
cat >"$work/expected" <<LIST
./etc/reader.conf.d/qkr
./usr/bin/qkr
./usr/bin/qkr-sim
./usr/lib/pcsc/drivers/serial/libqkr_ifd.so
LIST
[ -z "$(comm -23 "$work/expected" "$work/files")" ] || fail "files missing from the package"
grep -qi 'test\|bench\|fuzz' "$work/files" && fail "a test in the package"
grep -v '^#' "$work/root/etc/reader.conf.d/qkr" | grep -q . && fail "the reader.conf.d entry is enabled"
[ "$(dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./conffiles)" = /etc/reader.conf.d/qkr ] ||
  fail "the reader.conf.d entry is no configuration file"
dpkg-deb -f "$deb" Depends | grep -q libc6 || fail "no library dependencies"
"$work/root/usr/bin/qkr" --card t1 atr | grep -q "3B 96 13 81 71" || fail "the packaged qkr"
echo "package ok"
