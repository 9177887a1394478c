# A PC/SC application's view of the reader through pcscd: both slots, both protocols, card
# insertion and removal as SCardGetStatusChange reports them, pcscd idle after a disconnect, and
# a reader that loses power and gets it back.
import os
import socket
import sys
import time

from smartcard.scard import (SCARD_ATTR_MAX_DATA_RATE, SCARD_ATTR_VENDOR_IFD_VERSION,
                             SCARD_CTL_CODE, SCARD_LEAVE_CARD, SCARD_PCI_T0, SCARD_PCI_T1,
                             SCARD_PROTOCOL_T0, SCARD_PROTOCOL_T1, SCARD_S_SUCCESS,
                             SCARD_SCOPE_USER, SCARD_SHARE_DIRECT, SCARD_SHARE_SHARED,
                             SCARD_STATE_EMPTY, SCARD_STATE_PRESENT, SCARD_STATE_UNAVAILABLE,
                             SCARD_STATE_UNAWARE, SCardConnect, SCardControl, SCardDisconnect,
                             SCardEstablishContext, SCardGetAttrib, SCardGetStatusChange,
                             SCardListReaders, SCardReleaseContext, SCardTransmit)

control_path, pcscd = sys.argv[1], sys.argv[2]


def ask(command):
    s = socket.socket(socket.AF_UNIX)
    s.connect(control_path)
    s.sendall((command + "\n").encode())
    answer = s.makefile().readline().strip()
    s.close()
    return answer


def control(command):
    answer = ask(command)
    assert answer == "ok", (command, answer)


def reader_commands():
    return ask("status").split("commands=")[1]


def pcscd_cpu_ms():  # user and system time, fields 14 and 15 of /proc/PID/stat
    fields = open("/proc/%s/stat" % pcscd).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1000 // os.sysconf("SC_CLK_TCK")


def expect(cond, what):
    if not cond:
        print("FAILED:", what)
        sys.exit(1)


rv, ctx = SCardEstablishContext(SCARD_SCOPE_USER)
expect(rv == SCARD_S_SUCCESS, "context")
rv, readers = SCardListReaders(ctx, [])
readers = [r for r in readers if r.startswith("QKR Reader ")]
expect(readers == ["QKR Reader 00 00", "QKR Reader 00 01"], readers)
slot0, slot1 = readers


def session(reader, protocol, pci, questions=()):
    rv, card, active = SCardConnect(ctx, reader, SCARD_SHARE_SHARED, protocol)
    expect(rv == SCARD_S_SUCCESS, "connect %s: %x" % (reader, rv))
    expect(active == protocol, "protocol %s" % active)
    for ask_reader, answer in questions:
        got = list(ask_reader(card))
        expect(got == answer, "%s: %s, not %s" % (ask_reader.__name__, got, answer))
    out = []
    for apdu in ([0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00], [0x00, 0xB0, 0x00, 0x00, 0x04]):
        rv, response = SCardTransmit(card, pci, apdu)
        expect(rv == SCARD_S_SUCCESS, "transmit: %x" % rv)
        out.append(response)
    SCardDisconnect(card, SCARD_LEAVE_CARD)
    return out


def wait_for(reader, flag, what):
    rv, states = SCardGetStatusChange(ctx, 0, [(reader, SCARD_STATE_UNAWARE)])
    current = states[0][1]
    deadline = time.time() + 20
    while not current & flag:
        rv, states = SCardGetStatusChange(ctx, 5000, [(reader, current)])
        current = states[0][1]
        expect(time.time() < deadline, "%s (state 0x%x)" % (what, current))
    return current


def feature_list(card):  # what opensc-tool and others ask first; the reader has no features
    return SCardControl(card, SCARD_CTL_CODE(3400), [])


def attribute(attr):
    def ask_attr(card):
        return SCardGetAttrib(card, attr)
    ask_attr.__name__ = "attribute 0x%x" % attr
    return ask_attr


# T=1 on slot 0: SELECT answers 90 00, READ BINARY the file's first bytes. The IFD version is
# the firmware's (0016), the highest data rate the link's 19200 bit/s, the longest command 1040.
r = session(slot0, SCARD_PROTOCOL_T1, SCARD_PCI_T1,
            [(feature_list, [SCARD_S_SUCCESS, []]),
             (attribute(SCARD_ATTR_VENDOR_IFD_VERSION), [SCARD_S_SUCCESS, [0, 0, 0x16, 0]]),
             (attribute(SCARD_ATTR_MAX_DATA_RATE), [SCARD_S_SUCCESS, [0x00, 0x4B, 0, 0]]),
             (attribute(0x7A007), [SCARD_S_SUCCESS, [0x10, 0x04, 0, 0]])])
expect(r == [[0x90, 0x00], [0x51, 0x4B, 0x52, 0x20, 0x90, 0x00]], r)
# T=0 on slot 1: the case-4 SELECT answers 61xx (no automatic GET RESPONSE).
r = session(slot1, SCARD_PROTOCOL_T0, SCARD_PCI_T0)
expect(r[0][0] == 0x61 and r[1] == [0x51, 0x4B, 0x52, 0x20, 0x90, 0x00], r)

# Removal and insertion through the simulator reach SCardGetStatusChange.
control("remove")
wait_for(slot0, SCARD_STATE_EMPTY, "removal not seen")
control("insert t0")
wait_for(slot0, SCARD_STATE_PRESENT, "insertion not seen")
r = session(slot0, SCARD_PROTOCOL_T0, SCARD_PCI_T0)
expect(r[0][0] == 0x61 and r[1] == [0x51, 0x4B, 0x52, 0x20, 0x90, 0x00], r)
expect(ask("insert t1").startswith("error"), "an insertion over a card was taken")
control("remove")
wait_for(slot0, SCARD_STATE_EMPTY, "second removal not seen")

# A memory card: no T=0 or T=1 session, but its exchange through the control code.
control("insert memory2")
wait_for(slot0, SCARD_STATE_PRESENT, "memory card not seen")
rv, card, active = SCardConnect(ctx, slot0, SCARD_SHARE_SHARED,
                                SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
expect(rv != SCARD_S_SUCCESS, "a T=0/T=1 connection to a memory card")
rv, card, active = SCardConnect(ctx, slot0, SCARD_SHARE_DIRECT, 0)
expect(rv == SCARD_S_SUCCESS, "direct connection to a memory card: %x" % rv)
r = SCardControl(card, SCARD_CTL_CODE(2048), [0x01, 0x02])
expect(list(r) == [SCARD_S_SUCCESS, [0x01]], "memory card exchange: %s" % (r,))
SCardDisconnect(card, SCARD_LEAVE_CARD)
control("remove")
wait_for(slot0, SCARD_STATE_EMPTY, "memory card removal not seen")
control("insert t1")
wait_for(slot0, SCARD_STATE_PRESENT, "second insertion not seen")

# A reader that loses power is unavailable (or shows no card) until it has power again, then works.
control("power off")
wait_for(slot0, SCARD_STATE_UNAVAILABLE | SCARD_STATE_EMPTY, "power loss not seen")
control("power on")
wait_for(slot0, SCARD_STATE_PRESENT, "reader not back with its power")
r = session(slot0, SCARD_PROTOCOL_T1, SCARD_PCI_T1)
expect(r == [[0x90, 0x00], [0x51, 0x4B, 0x52, 0x20, 0x90, 0x00]], r)

# After a disconnect pcscd leaves the card powered through its grace time, and idles.
commands, cpu = reader_commands(), pcscd_cpu_ms()
time.sleep(2)
expect(reader_commands() == commands, "reader commands within 2 s of the disconnect")
time.sleep(3)
expect(pcscd_cpu_ms() - cpu < 50, "pcscd used %d ms of CPU in 5 s idle" % (pcscd_cpu_ms() - cpu))

SCardReleaseContext(ctx)
print("pyscard session ok")
