// Evaluation of an answer to reset: any bytes, any stated length, any reader clock and list of
// data rates. A malformed answer is refused with its one status and leaves the card only to be
// reset; a good one leaves a consistent record; nothing is read or written out of bounds.
#include "fuzz/fuzz_support.h"
#include "platform/smclib/smclib.h"

#include <vector>

// Input: clock (u16), maximum IFSD, number of rates, rates (u32 each), reader state, stated
// length, the answer's bytes.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    qkr::fuzz::Input in(data, size);
    SMARTCARD_EXTENSION ext;
    qkr::fuzz::zero(ext);
    ext.Version = SMCLIB_VERSION;

    // The reader: clock (0 means the default), maximum IFSD, and up to eight data rates.
    ext.ReaderCapabilities.CLKFrequency.Default = in.u16();
    ext.ReaderCapabilities.CLKFrequency.Max = ext.ReaderCapabilities.CLKFrequency.Default;
    ext.ReaderCapabilities.MaxIFSD = in.u8();
    std::vector<ULONG> rates(in.u8() % 9);
    for (ULONG& r : rates)
        r = in.u32() % 1000000;
    ext.ReaderCapabilities.DataRatesSupported.List = rates.empty() ? nullptr : rates.data();
    ext.ReaderCapabilities.DataRatesSupported.Entries = UCHAR(rates.size());
    ext.ReaderCapabilities.CurrentState = in.u8();
    // What an earlier card left behind must not survive.
    ext.CardCapabilities.Protocol.Selected = SCARD_PROTOCOL_T1;
    ext.CardCapabilities.HistoricalChars.Length = 15;

    // The stated length may claim more than the buffer holds; the bytes fill the buffer.
    const UCHAR stated = in.u8();
    auto bytes = in.take(sizeof ext.CardCapabilities.ATR.Buffer);
    std::memcpy(ext.CardCapabilities.ATR.Buffer, bytes.data(), bytes.size());
    ext.CardCapabilities.ATR.Length = stated;

    const NTSTATUS status = SmartcardUpdateCardCapabilities(&ext);
    const SCARD_CARD_CAPABILITIES& cc = ext.CardCapabilities;
    FUZZ_CHECK(cc.Protocol.Selected == SCARD_PROTOCOL_UNDEFINED);
    FUZZ_CHECK(cc.ATR.Length == stated);
    if (status == STATUS_UNRECOGNIZED_MEDIA) {
        FUZZ_CHECK(ext.ReaderCapabilities.CurrentState == SCARD_POWERED);
        FUZZ_CHECK(cc.Protocol.Supported == 0);
        FUZZ_CHECK(cc.HistoricalChars.Length == 0);
        return 0;
    }
    FUZZ_CHECK(status == STATUS_SUCCESS);
    FUZZ_CHECK(stated >= 2 && stated <= MAXIMUM_ATR_LENGTH);
    FUZZ_CHECK(
        qkr::fuzz::one_of(ext.ReaderCapabilities.CurrentState, {SCARD_NEGOTIABLE, SCARD_SPECIFIC}));
    FUZZ_CHECK(cc.HistoricalChars.Length <= 15 && cc.HistoricalChars.Length < stated);
    FUZZ_CHECK(cc.InversConvention == (cc.ATR.Buffer[0] == 0x3F));
    if (ext.ReaderCapabilities.CurrentState == SCARD_SPECIFIC)
        FUZZ_CHECK((cc.Protocol.Supported & ~ULONG(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1)) == 0);
    // The codes in force and proposed name real factors (ISO/IEC 7816-3 tables 7 and 8): Fi codes
    // 7, 8, 14 and 15 and Di codes 0 and 10 to 15 are reserved.
    for (unsigned fi : {unsigned(cc.Fl), unsigned(cc.PtsData.Fl)})
        FUZZ_CHECK(fi <= 13 && fi != 7 && fi != 8);
    for (unsigned di : {unsigned(cc.Dl), unsigned(cc.PtsData.Dl)})
        FUZZ_CHECK(di >= 1 && di <= 9);
    FUZZ_CHECK(cc.T1.BWI <= 15 && cc.T1.CWI <= 15);
    FUZZ_CHECK(ext.T1.IFSD == 0 || ext.T1.IFSD <= 254);
    return 0;
}
