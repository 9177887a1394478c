// The library's internal pieces shared between its translation units. Not for drivers.
#pragma once

#include "platform/smclib/smclib.h"

#include <cstdint>

namespace qkr::smclib {

// Lives behind OsData->LibraryPrivate, allocated from non-paged pool with SMCLIB_POOL_TAG.
struct LibraryPrivate {
    // Lets one request of the slot at a time into the reader driver's callbacks (a
    // synchronization event used as a mutex; the callbacks block for long, so no spin lock).
    KEVENT SlotMutex;
};

// Clock rate conversion factor F for a code of ISO/IEC 7816-3 table 7; 0 when reserved.
std::uint32_t fi_factor(unsigned code);
// Bit rate adjustment factor D for a code of ISO/IEC 7816-3 table 8; 0 when reserved.
std::uint32_t di_factor(unsigned code);

// Where the caller's data starts behind the SCARD_IO_REQUEST header of IoRequest.RequestBuffer;
// false when the header is missing or claims more bytes than there are.
bool request_data(const SMARTCARD_EXTENSION& ext, const UCHAR*& data, ULONG& length);

// Writes the SCARD_IO_REQUEST header and `length` bytes into IoRequest.ReplyBuffer and sets
// *Information; STATUS_BUFFER_TOO_SMALL when they do not fit.
NTSTATUS write_reply(SMARTCARD_EXTENSION& ext, const UCHAR* data, ULONG length);

// Puts the T=1 engine back to the start of a card session (after a new ATR).
void reset_t1(SMARTCARD_EXTENSION& ext);

// ISO/IEC 13239 frame check sequence as T=1 uses it, and the longitudinal redundancy check.
std::uint16_t t1_crc(const UCHAR* data, std::size_t length);
UCHAR t1_lrc(const UCHAR* data, std::size_t length);

} // namespace qkr::smclib
