# A PC/SC application's view of the reader through pcscd: both slots, both protocols, card
# insertion and removal as SCardGetStatusChange reports them, a memory card through the control
# code, a reader that loses power and gets it back, and pcscd idle after a disconnect.
import os
import socket
import sys
import time

from smartcard.scard import *  # noqa: F403 (pyscard's names are its constants)

control_path, pcscd = sys.argv[1], sys.argv[2]
FILE = [0x51, 0x4B, 0x52, 0x20, 0x90, 0x00]  # READ BINARY of 4 bytes of EF 2F00, and 90 00


def expect(cond, what):
    if not cond:
        print("FAILED:", what)
        sys.exit(1)


def ask(command):
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(control_path)
        s.sendall((command + "\n").encode())
        return s.makefile().readline().strip()


def control(command):
    expect(ask(command) == "ok", command)


def pcscd_cpu_ms():  # user and system time, fields 14 and 15 of /proc/PID/stat
    fields = open("/proc/%s/stat" % pcscd).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) * 1000 // os.sysconf("SC_CLK_TCK")


rv, ctx = SCardEstablishContext(SCARD_SCOPE_USER)
readers = [r for r in SCardListReaders(ctx, [])[1] if r.startswith("QKR Reader ")]
expect(readers == ["QKR Reader 00 00", "QKR Reader 00 01"], readers)
slot0, slot1 = readers


# SELECT of EF 2F00 and a READ BINARY; under T=0 the case-4 SELECT answers 61xx (no automatic
# GET RESPONSE). `attributes` are checked on the way.
def session(reader, protocol, attributes=()):
    rv, card, active = SCardConnect(ctx, reader, SCARD_SHARE_SHARED, protocol)
    expect(rv == SCARD_S_SUCCESS and active == protocol, "connect %s: %x" % (reader, rv))
    for attribute, value in attributes:
        expect(SCardGetAttrib(card, attribute) == [SCARD_S_SUCCESS, value], hex(attribute))
    pci = SCARD_PCI_T1 if protocol == SCARD_PROTOCOL_T1 else SCARD_PCI_T0
    out = [SCardTransmit(card, pci, apdu) for apdu in
           ([0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00], [0x00, 0xB0, 0x00, 0x00, 0x04])]
    SCardDisconnect(card, SCARD_LEAVE_CARD)
    expect(out[1] == [SCARD_S_SUCCESS, FILE], out)
    expect(out[0][1][0] == (0x90 if protocol == SCARD_PROTOCOL_T1 else 0x61), out)


def wait_for(reader, flag, what):
    current, deadline = SCARD_STATE_UNAWARE, time.time() + 20
    while not current & flag:
        expect(time.time() < deadline, "%s (state 0x%x)" % (what, current))
        rv, states = SCardGetStatusChange(ctx, 5000, [(reader, current)])
        current = states[0][1]


# The IFD version is the firmware's (0016), the highest data rate the link's 19200 bit/s, the
# longest command 1040; the reader has no features to list.
session(slot0, SCARD_PROTOCOL_T1, [(SCARD_ATTR_VENDOR_IFD_VERSION, [0, 0, 0x16, 0]),
                                   (SCARD_ATTR_MAX_DATA_RATE, [0x00, 0x4B, 0, 0]),
                                   (0x7A007, [0x10, 0x04, 0, 0])])
session(slot1, SCARD_PROTOCOL_T0)

control("remove")
wait_for(slot0, SCARD_STATE_EMPTY, "removal not seen")
control("insert memory2")
wait_for(slot0, SCARD_STATE_PRESENT, "insertion not seen")
rv, card, active = SCardConnect(ctx, slot0, SCARD_SHARE_SHARED,
                                SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
expect(rv != SCARD_S_SUCCESS, "a T=0/T=1 connection to a memory card")
rv, card, active = SCardConnect(ctx, slot0, SCARD_SHARE_DIRECT, 0)
expect(rv == SCARD_S_SUCCESS, "direct connection to a memory card: %x" % rv)
r = SCardControl(card, SCARD_CTL_CODE(2048), [0x01, 0x02])
expect(list(r) == [SCARD_S_SUCCESS, [0x01]], "memory card exchange: %s" % (r,))
expect(SCardControl(card, SCARD_CTL_CODE(3400), []) == [SCARD_S_SUCCESS, []], "features")
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
session(slot0, SCARD_PROTOCOL_T1)

# After a disconnect pcscd leaves the card powered through its grace time, and idles.
commands, cpu = ask("status").split("commands=")[1], pcscd_cpu_ms()
time.sleep(2)
expect(ask("status").split("commands=")[1] == commands, "reader commands within 2 s of a disconnect")
time.sleep(3)
expect(pcscd_cpu_ms() - cpu < 50, "pcscd used %d ms of CPU in 5 s idle" % (pcscd_cpu_ms() - cpu))
SCardReleaseContext(ctx)
print("pyscard session ok")
