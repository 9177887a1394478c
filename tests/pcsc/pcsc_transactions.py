# One of two processes that run transactions at the same time on every slot of two readers, each
# answer checked: a selection and a read of the card's first file, under whichever protocol the
# card takes.
import sys

from smartcard.scard import *  # noqa: F403 (pyscard's names are its constants)

rounds = int(sys.argv[1])
rv, ctx = SCardEstablishContext(SCARD_SCOPE_USER)
readers = sorted(r for r in SCardListReaders(ctx, [])[1] if r.startswith("QKR "))
assert len(readers) == 4, readers
cards = []
for reader in readers:
    rv, card, active = SCardConnect(ctx, reader, SCARD_SHARE_SHARED,
                                    SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)
    assert rv == SCARD_S_SUCCESS, "connect %s: %x" % (reader, rv)
    cards.append((reader, card, SCARD_PCI_T1 if active == SCARD_PROTOCOL_T1 else SCARD_PCI_T0))
for _ in range(rounds):
    for reader, card, pci in cards:
        assert SCardBeginTransaction(card) == SCARD_S_SUCCESS, reader
        for apdu, answer in (([0x00, 0xA4, 0x00, 0x0C, 0x02, 0x2F, 0x00], [0x90, 0x00]),
                             ([0x00, 0xB0, 0x00, 0x00, 0x04], [0x51, 0x4B, 0x52, 0x20, 0x90, 0x00])):
            rv, response = SCardTransmit(card, pci, apdu)
            assert rv == SCARD_S_SUCCESS and response == answer, (reader, apdu, rv, response)
        assert SCardEndTransaction(card, SCARD_LEAVE_CARD) == SCARD_S_SUCCESS, reader
for reader, card, pci in cards:
    SCardDisconnect(card, SCARD_LEAVE_CARD)
print("%d rounds on %d slots ok" % (rounds, len(cards)))
