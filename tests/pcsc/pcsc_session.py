# A PC/SC application's view of the reader through pcscd: both slots and protocols, card events,
# a memory card, a reader that loses power and gets it back, and pcscd idle after a disconnect.
import os
import socket
import sys
import time

from smartcard.scard import *  # noqa: F403 (pyscard's names are its constants)

control_path, pcscd = sys.argv[1], sys.argv[2]


def expect(cond, what):
    if not cond:
        sys.exit("FAILED: %s" % (what,))


def ask(command, want="ok"):
    with socket.socket(socket.AF_UNIX) as s:
        s.connect(control_path)
        s.sendall((command + "\n").encode())
        answer = s.makefile().readline().strip()
    expect(want is None or answer == want, command)
    return answer


def pcscd_cpu_ms():  # user and system time, fields 14 and 15 of /proc/PID/stat
    f = open("/proc/%s/stat" % pcscd).read().rsplit(")", 1)[1].split()
    return (int(f[11]) + int(f[12])) * 1000 // os.sysconf("SC_CLK_TCK")


ctx = SCardEstablishContext(SCARD_SCOPE_USER)[1]
readers = [r for r in SCardListReaders(ctx, [])[1] if r.startswith("QKR Reader ")]
expect(readers == ["QKR Reader 00 00", "QKR Reader 00 01"], readers)
slot0, slot1 = readers


# SELECT of EF 2F00 (under T=0 61xx: no automatic GET RESPONSE), a READ BINARY, and `attributes`.
def session(reader, protocol, attributes=()):
    rv, card, active = SCardConnect(ctx, reader, SCARD_SHARE_SHARED, protocol)
    expect(rv == SCARD_S_SUCCESS and active == protocol, "connect %s: %x" % (reader, rv))
    for attribute, value in attributes:
        expect(SCardGetAttrib(card, attribute) == [SCARD_S_SUCCESS, value], hex(attribute))
    pci = SCARD_PCI_T1 if protocol == SCARD_PROTOCOL_T1 else SCARD_PCI_T0
    out = [SCardTransmit(card, pci, apdu) for apdu in
           ([0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00], [0x00, 0xB0, 0x00, 0x00, 0x04])]
    SCardDisconnect(card, SCARD_LEAVE_CARD)
    expect(out[1] == [SCARD_S_SUCCESS, [0x51, 0x4B, 0x52, 0x20, 0x90, 0x00]], out)
    expect(out[0][1][0] == (0x90 if protocol == SCARD_PROTOCOL_T1 else 0x61), out)


def change(command, flag):  # told to the simulator, and waited for as slot 0's state
    ask(command)
    current, deadline = SCARD_STATE_UNAWARE, time.time() + 20
    while not current & flag:
        expect(time.time() < deadline, "%s not seen (state 0x%x)" % (command, current))
        current = SCardGetStatusChange(ctx, 5000, [(slot0, current)])[1][0][1]


# IFD version: the firmware's (0016); top data rate: the link's 19200 bit/s; longest command 1040.
session(slot0, SCARD_PROTOCOL_T1, [(SCARD_ATTR_VENDOR_IFD_VERSION, [0, 0, 0x16, 0]),
                                   (SCARD_ATTR_MAX_DATA_RATE, [0x00, 0x4B, 0, 0]),
                                   (0x7A007, [0x10, 0x04, 0, 0])])
session(slot1, SCARD_PROTOCOL_T0)
change("remove", SCARD_STATE_EMPTY)
change("insert memory2", SCARD_STATE_PRESENT)
rv = SCardConnect(ctx, slot0, SCARD_SHARE_SHARED, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)[0]
expect(rv != SCARD_S_SUCCESS, "a T=0/T=1 connection to a memory card")
rv, card, active = SCardConnect(ctx, slot0, SCARD_SHARE_DIRECT, 0)
expect(rv == SCARD_S_SUCCESS, "direct connection to a memory card: %x" % rv)
r = SCardControl(card, SCARD_CTL_CODE(2048), [0x01, 0x02])
expect(list(r) == [SCARD_S_SUCCESS, [0x01]], "memory card exchange: %s" % (r,))
expect(SCardControl(card, SCARD_CTL_CODE(3400), []) == [SCARD_S_SUCCESS, []], "no features")
SCardDisconnect(card, SCARD_LEAVE_CARD)
change("remove", SCARD_STATE_EMPTY)
change("insert t1", SCARD_STATE_PRESENT)
# A reader that loses power is unavailable (or shows no card) until it has power again, then works.
change("power off", SCARD_STATE_UNAVAILABLE | SCARD_STATE_EMPTY)
change("power on", SCARD_STATE_PRESENT)
session(slot0, SCARD_PROTOCOL_T1)

# After a disconnect pcscd leaves the card powered through its grace time, and idles.
commands, cpu = ask("status", None).split("commands=")[1], pcscd_cpu_ms()
time.sleep(2)
expect(ask("status", None).split("commands=")[1] == commands, "reader commands within 2 s")
time.sleep(3)
expect(pcscd_cpu_ms() - cpu < 50, "pcscd used %d ms of CPU in 5 s idle" % (pcscd_cpu_ms() - cpu))
SCardReleaseContext(ctx)
print("pyscard session ok")
