#!/usr/bin/env python3
"""Writes the hand-made seed inputs of each fuzz target into corpus/<target>/seed-*.

Each seed is laid out the way the target reads its input (see the target's source); findings of
fuzz runs sit beside them as regression inputs and are kept as they are."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "seed-" + name), "wb") as f:
        f.write(bytes(data))


def frame(payload, corrupt=False):
    check = 0
    body = []
    for b in payload:
        check ^= b
        body += [b, b] if b == 0x10 else [b]
    if corrupt:
        check ^= 1
    body += [check, check] if check == 0x10 else [check]
    return [0x10, 0x02] + body + [0x10, 0x03]


def chunks(data, size):
    out = []
    for i in range(0, len(data), size):
        c = data[i:i + size]
        out += [len(c) - 1] + c
    return out


# frame: max chunk, past-end flag, then (length - 1, chunk) pairs
type_reply = [0x60, 0x00, 0x10] + list(b"BRIMVEL QK410016")
data_reply = [0x67, 0x00, 0x00, 0x05, 0x10, 0x90, 0x00, 0x10, 0x03]
write("frame", "type-reply-whole", [255, 0] + chunks(frame(type_reply), 256))
write("frame", "data-reply-bytewise", [0, 0] + chunks(frame(data_reply), 1))
write("frame", "nak", [255, 0] + chunks([0x10, 0x02, 0x15, 0x15, 0x10, 0x03], 6))
write("frame", "bad-check", [255, 0] + chunks(frame(type_reply, corrupt=True), 7))
write("frame", "noise-then-frame", [255, 1] + chunks([0x55, 0xAA, 0x10, 0x10, 0x02] + frame(data_reply) + [0x10, 0x03], 5))
write("frame", "empty-frame", [255, 0] + chunks([0x10, 0x02, 0x10, 0x03], 4))
long_payload = [0x67, 0x00, 0x00, 0x04, 0x02] + [0x10] * 600
write("frame", "overlong", [255, 1] + chunks(frame(long_payload), 200))
write("frame", "stray-etx", [255, 0] + chunks([0x10, 0x03] + frame(type_reply), 3))


# atr: clock (u16), max IFSD, rate count, rates (u32 each), state, stated length, bytes
def atr_input(atr, clock=3571, rates=(9600, 19200, 38400, 115200), stated=None):
    out = list(struct.pack("<H", clock)) + [254, len(rates)]
    for r in rates:
        out += list(struct.pack("<I", r))
    out += [2, len(atr) if stated is None else stated]
    return out + list(atr)


def tck(atr):
    x = 0
    for b in atr[1:]:
        x ^= b
    return atr + [x]


write("atr", "t0", atr_input([0x3B, 0x95, 0x13, 0x81, 0x01, 0x80, 0x73, 0xFF, 0x01, 0x00, 0x0B]))
write("atr", "t1-crc", atr_input(tck([0x3B, 0xDA, 0x18, 0xFF, 0x81, 0xB1, 0xFE, 0x75, 0x1F, 0x03] + list(b"QKRSIMT1C0"))))
write("atr", "dual", atr_input(tck([0x3B, 0x9F, 0x96, 0x80, 0x1F, 0xC7, 0x80, 0x31, 0xE0, 0x73, 0xFE, 0x21, 0x1B, 0x63, 0x3A, 0x20, 0x4E, 0x83, 0x00, 0x90, 0x00])))
write("atr", "specific-ta2", atr_input(tck([0x3B, 0xD5, 0x18, 0xFF, 0x81, 0x91, 0xFE, 0x1F, 0xC3] + list(b"QKRSP"))))
write("atr", "inverse", atr_input([0x3F, 0x65, 0x25, 0x00, 0x2C, 0x09, 0x69, 0x90, 0x00]))
write("atr", "truncated", atr_input([0x3B, 0xF0, 0x11]))
write("atr", "stated-too-long", atr_input([0x3B, 0x00] + [0] * 62, stated=200))
write("atr", "no-clock-no-rates", atr_input([0x3B, 0x02, 0x14, 0x50], clock=0, rates=()))


# t1: max IFSD, IFSC, crc flag, APDU count - 1, then per APDU: length (u16), room (u16), and
# per block: a kind byte (0 silence, 1 raw, 2 good check) and the kind's bytes
def t1_block(nad, pcb, inf):
    return [2, nad, pcb, len(inf)] + list(inf)


def apdu(length, room):
    return list(struct.pack("<HH", length, room))


i_block_answer = t1_block(0, 0x00, [0x90, 0x00])
ifs_answer = t1_block(0, 0xE1, [254])
write("t1", "one-apdu", [254, 32, 0, 0] + apdu(5, 600) + ifs_answer + i_block_answer)
write("t1", "chained-answer", [254, 32, 1, 0] + apdu(5, 600) + ifs_answer
      + t1_block(0, 0x20, list(range(32))) + t1_block(0, 0x40, list(range(32)) + [0x90, 0x00]))
write("t1", "wtx-then-answer", [254, 32, 0, 0] + apdu(5, 600) + ifs_answer
      + t1_block(0, 0xC3, [5]) + i_block_answer)
write("t1", "silent-card", [254, 32, 0, 0] + apdu(5, 600) + [0, 0, 0, 0, 0, 0])
write("t1", "long-command", [254, 16, 0, 1] + apdu(300, 600) + ifs_answer
      + t1_block(0, 0x80, []) * 18 + i_block_answer + apdu(4, 2) + i_block_answer)
write("t1", "raw-garbage", [254, 32, 0, 0] + apdu(5, 600) + [1, 7, 0] + [0xFF] * 7 + [1, 0, 0])
write("t1", "resynch", [254, 32, 0, 0] + apdu(5, 600) + [0, 0, 0] + t1_block(0, 0xE0, [])
      + ifs_answer + i_block_answer)
write("t1", "abort", [254, 32, 0, 0] + apdu(5, 600) + ifs_answer + t1_block(0, 0xC2, []) + [0])

# ioctl: callback flags (7), tracking flag, vendor name length, protocols (u32), state, selected
# (u32), ATR length; then per request: code index, input length (u16), input, output length (u16),
# and what the callbacks read
def ioctl_head(state, selected):
    return [1] * 7 + [1, 7] + list(struct.pack("<I", 3)) + [state] + list(struct.pack("<I", selected)) + [11]


def req(code, data, out):
    return [code] + list(struct.pack("<H", len(data))) + list(data) + list(struct.pack("<H", out))


transmit_in = list(struct.pack("<II", 2, 8)) + [0x00, 0xB0, 0x00, 0x00, 0x10]
write("ioctl", "session", ioctl_head(4, 0)
      + req(0, struct.pack("<I", 1), 64) + [0x10, 0x00] + list(range(16)) + [1, 6, 0, 0]
      + req(9, struct.pack("<I", 2), 4) + [4, 0, 2, 0, 0, 0] + [1, 2, 0, 0, 0, 0]
      + req(4, transmit_in, 600) + [26, 0] + [0] * 26 + [0, 0, 0]
      + req(10, b"", 4) + req(1, struct.pack("<I", 0x00090303), 64) + req(7, b"", 0) + [1]
      + req(8, b"", 0) + [0])
write("ioctl", "short-buffers", ioctl_head(6, 2)
      + req(4, transmit_in[:6], 3) + req(1, b"\x03", 1) + req(0, b"", 0) + req(9, b"\x02\x00", 1)
      + req(15, b"\x00" * 4, 2) + req(13, b"\x01\x00", 64) + [2, 0, 0xAA, 0xBB, 0, 0, 0])
write("ioctl", "unknown-codes", ioctl_head(0, 0) + [0xFF] + list(struct.pack("<I", 0x00220000))
      + [0, 0, 0, 0] + req(200, b"", 0) + [0xFF] + list(struct.pack("<I", 0x00313FFC)) + [4, 0, 1, 2, 3, 4, 8, 0])
write("ioctl", "tracking", ioctl_head(1, 0) + req(7, b"", 0) + [1] + req(8, b"", 0) + [0]
      + req(7, b"", 0) + [1] + req(11, b"", 4))
