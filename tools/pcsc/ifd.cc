// The pcsc-lite side of the handler: the IFD handler interface (version 3) over the bridge. Only
// pcsc-lite's constants are seen here; the bridge speaks the platform's.
extern "C" {
#include <debuglog.h>
#include <ifdhandler.h>
#include <reader.h>
}

#include "tools/pcsc/bridge.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <string>
#include <vector>

#define QKR_IFD_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using qkr::pcsc::Bridge;
using qkr::pcsc::ChannelId;
using qkr::pcsc::LogLevel;
using qkr::pcsc::PowerAction;
using qkr::pcsc::Result;

// pcscd exports its logger to the handlers it loads; looked up at run time, so that the handler
// also loads where there is no pcscd (a test), and then writes to standard error.
using LogMsg = void (*)(int priority, const char* format, ...);

void to_pcscd(LogLevel level, const char* line) {
    static const auto pcscd_log = reinterpret_cast<LogMsg>(::dlsym(RTLD_DEFAULT, "log_msg"));
    const int priority = level == LogLevel::Debug  ? PCSC_LOG_DEBUG
                         : level == LogLevel::Info ? PCSC_LOG_INFO
                                                   : PCSC_LOG_ERROR;
    if (pcscd_log != nullptr)
        pcscd_log(priority, "%s", line);
    else if (level != LogLevel::Debug)
        std::fprintf(stderr, "%s\n", line);
}

// Before pcscd's first call into the handler.
[[maybe_unused]] const bool log_to_pcscd = (qkr::pcsc::set_log_sink(to_pcscd), true);

ChannelId channel(DWORD lun) {
    return {static_cast<unsigned>((lun >> 16) & 0xFFFF), static_cast<unsigned>(lun & 0xFFFF)};
}

RESPONSECODE to_ifd(Result r) {
    switch (r) {
    case Result::Ok:
        return IFD_SUCCESS;
    case Result::NoCard:
        return IFD_ICC_NOT_PRESENT;
    case Result::Timeout:
        return IFD_RESPONSE_TIMEOUT;
    case Result::NotSupported:
        return IFD_NOT_SUPPORTED;
    case Result::InsufficientBuffer:
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    case Result::NoDevice:
        return IFD_NO_SUCH_DEVICE;
    case Result::NotPowered:
        return IFD_ERROR_POWER_ACTION;
    case Result::MemoryCard:
        return IFD_NOT_SUPPORTED;
    case Result::BadParameter:
    case Result::CommunicationError:
        return IFD_COMMUNICATION_ERROR;
    }
    return IFD_COMMUNICATION_ERROR;
}

RESPONSECODE put(const void* data, std::size_t size, PDWORD length, PUCHAR value) {
    if (length == nullptr || value == nullptr)
        return IFD_COMMUNICATION_ERROR;
    if (*length < size) {
        *length = static_cast<DWORD>(size);
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(value, data, size);
    *length = static_cast<DWORD>(size);
    return IFD_SUCCESS;
}

RESPONSECODE put_byte(UCHAR byte, PDWORD length, PUCHAR value) {
    return put(&byte, 1, length, value);
}

RESPONSECODE wait_for_event(DWORD lun, int timeout) {
    Result r = Bridge::instance().wait_for_change(channel(lun), timeout);
    return r == Result::NoDevice ? IFD_NO_SUCH_DEVICE : IFD_SUCCESS;
}

RESPONSECODE stop_waiting(DWORD lun) {
    return to_ifd(Bridge::instance().stop_wait(channel(lun)));
}

} // namespace

QKR_IFD_EXPORT RESPONSECODE IFDHCreateChannelByName(DWORD Lun, LPSTR DeviceName) {
    return to_ifd(Bridge::instance().open(channel(Lun), DeviceName ? DeviceName : "sim"));
}

QKR_IFD_EXPORT RESPONSECODE IFDHCreateChannel(DWORD Lun, DWORD Channel) {
    // Channel numbers name serial ports: 1 is the first (/dev/ttyS0); 0 is the simulator.
    std::string name = Channel == 0 ? "sim" : "/dev/ttyS" + std::to_string(Channel - 1);
    return to_ifd(Bridge::instance().open(channel(Lun), name));
}

QKR_IFD_EXPORT RESPONSECODE IFDHCloseChannel(DWORD Lun) {
    return to_ifd(Bridge::instance().close(channel(Lun)));
}

QKR_IFD_EXPORT RESPONSECODE IFDHGetCapabilities(DWORD Lun, DWORD Tag, PDWORD Length, PUCHAR Value) {
    Bridge& b = Bridge::instance();
    switch (Tag) {
    case TAG_IFD_ATR:
    case SCARD_ATTR_ATR_STRING: {
        std::vector<std::uint8_t> atr;
        Result r = b.atr(channel(Lun), &atr);
        if (r != Result::Ok)
            return to_ifd(r);
        return put(atr.data(), atr.size(), Length, Value);
    }
    case TAG_IFD_SLOTS_NUMBER:
        return put_byte(2, Length, Value);
    case TAG_IFD_SIMULTANEOUS_ACCESS:
        return put_byte(4, Length, Value);
    case TAG_IFD_THREAD_SAFE:
        return put_byte(1, Length, Value);
    case TAG_IFD_SLOT_THREAD_SAFE:
        return put_byte(1, Length, Value);
    case TAG_IFD_POLLING_THREAD_KILLABLE:
        return put_byte(0, Length, Value);
    case TAG_IFD_POLLING_THREAD_WITH_TIMEOUT: {
        RESPONSECODE (*fn)(DWORD, int) = wait_for_event;
        return put(&fn, sizeof fn, Length, Value);
    }
    case TAG_IFD_STOP_POLLING_THREAD: {
        RESPONSECODE (*fn)(DWORD) = stop_waiting;
        return put(&fn, sizeof fn, Length, Value);
    }
    case SCARD_ATTR_MAXINPUT: {
        const std::uint32_t max = qkr::pcsc::kMaxCommand;
        return put(&max, sizeof max, Length, Value);
    }
    default: {
        std::vector<std::uint8_t> value;
        Result r = b.attribute(channel(Lun), static_cast<std::uint32_t>(Tag), &value);
        if (r == Result::NotSupported || r == Result::BadParameter)
            return IFD_ERROR_TAG;
        if (r != Result::Ok)
            return to_ifd(r);
        return put(value.data(), value.size(), Length, Value);
    }
    }
}

QKR_IFD_EXPORT RESPONSECODE IFDHSetCapabilities(DWORD Lun, DWORD Tag, DWORD Length, PUCHAR Value) {
    (void)Lun;
    (void)Tag;
    (void)Length;
    (void)Value;
    return IFD_NOT_SUPPORTED;
}

QKR_IFD_EXPORT RESPONSECODE IFDHSetProtocolParameters(DWORD Lun, DWORD Protocol, UCHAR Flags,
                                                      UCHAR PTS1, UCHAR PTS2, UCHAR PTS3) {
    (void)Flags;
    (void)PTS1;
    (void)PTS2;
    (void)PTS3;
    unsigned t;
    if (Protocol == SCARD_PROTOCOL_T0)
        t = 0;
    else if (Protocol == SCARD_PROTOCOL_T1)
        t = 1;
    else
        return IFD_PROTOCOL_NOT_SUPPORTED;
    unsigned asked = t;
    Result r = Bridge::instance().set_protocol(channel(Lun), &t);
    // pcscd goes on with the card's default protocol when it is told a protocol is not
    // supported; a memory card has none, so the connection must fail.
    if (r == Result::MemoryCard)
        return IFD_ERROR_PTS_FAILURE;
    if (r == Result::NotSupported || r == Result::BadParameter || (r == Result::Ok && t != asked))
        return IFD_PROTOCOL_NOT_SUPPORTED;
    return r == Result::Ok ? IFD_SUCCESS : IFD_ERROR_PTS_FAILURE;
}

QKR_IFD_EXPORT RESPONSECODE IFDHPowerICC(DWORD Lun, DWORD Action, PUCHAR Atr, PDWORD AtrLength) {
    PowerAction action;
    if (Action == IFD_POWER_UP)
        action = PowerAction::Up;
    else if (Action == IFD_POWER_DOWN)
        action = PowerAction::Down;
    else if (Action == IFD_RESET)
        action = PowerAction::Reset;
    else
        return IFD_NOT_SUPPORTED;
    std::vector<std::uint8_t> atr;
    Result r = Bridge::instance().power(channel(Lun), action, &atr);
    if (AtrLength != nullptr && (action == PowerAction::Down || r != Result::Ok))
        *AtrLength = 0;
    if (r != Result::Ok)
        return r == Result::NoDevice ? IFD_NO_SUCH_DEVICE : IFD_ERROR_POWER_ACTION;
    if (action == PowerAction::Down)
        return IFD_SUCCESS;
    if (AtrLength == nullptr || Atr == nullptr)
        return IFD_COMMUNICATION_ERROR;
    std::size_t n = std::min<std::size_t>(atr.size(), std::min<DWORD>(*AtrLength, MAX_ATR_SIZE));
    std::memcpy(Atr, atr.data(), n);
    *AtrLength = static_cast<DWORD>(n);
    return IFD_SUCCESS;
}

QKR_IFD_EXPORT RESPONSECODE IFDHTransmitToICC(DWORD Lun, SCARD_IO_HEADER SendPci, PUCHAR TxBuffer,
                                              DWORD TxLength, PUCHAR RxBuffer, PDWORD RxLength,
                                              PSCARD_IO_HEADER RecvPci) {
    if (RxLength == nullptr || RxBuffer == nullptr || (TxBuffer == nullptr && TxLength != 0))
        return IFD_COMMUNICATION_ERROR;
    std::vector<std::uint8_t> response;
    Result r = Bridge::instance().transmit(channel(Lun), static_cast<unsigned>(SendPci.Protocol),
                                           {TxBuffer, TxLength}, &response, *RxLength);
    if (r != Result::Ok) {
        *RxLength = 0;
        return to_ifd(r);
    }
    std::memcpy(RxBuffer, response.data(), response.size());
    *RxLength = static_cast<DWORD>(response.size());
    if (RecvPci != nullptr) {
        RecvPci->Protocol = SendPci.Protocol;
        RecvPci->Length = sizeof(SCARD_IO_HEADER);
    }
    return IFD_SUCCESS;
}

QKR_IFD_EXPORT RESPONSECODE IFDHControl(DWORD Lun, DWORD dwControlCode, PUCHAR TxBuffer,
                                        DWORD TxLength, PUCHAR RxBuffer, DWORD RxLength,
                                        LPDWORD pdwBytesReturned) {
    if (pdwBytesReturned != nullptr)
        *pdwBytesReturned = 0;
    // The reader has none of the features pcsc-lite lists (PIN pads and the like): an empty
    // list, which is what clients that ask before every session expect.
    if (dwControlCode == CM_IOCTL_GET_FEATURE_REQUEST)
        return IFD_SUCCESS;
    // The reader's own codes, as pcsc-lite numbers them (SCARD_CTL_CODE(n)), or in the platform's
    // form (device type 0x31, function n, buffered).
    unsigned function = 0;
    if (dwControlCode >= SCARD_CTL_CODE(0) && dwControlCode <= SCARD_CTL_CODE(0xFFFF))
        function = static_cast<unsigned>(dwControlCode - SCARD_CTL_CODE(0));
    else if ((dwControlCode >> 16) == 0x31)
        function = static_cast<unsigned>((dwControlCode >> 2) & 0xFFF);
    if (function < 2048 || function > 2050)
        return IFD_ERROR_NOT_SUPPORTED;
    if ((TxBuffer == nullptr && TxLength != 0) || (RxBuffer == nullptr && RxLength != 0))
        return IFD_COMMUNICATION_ERROR;
    std::vector<std::uint8_t> out;
    Result r =
        Bridge::instance().control(channel(Lun), function, {TxBuffer, TxLength}, &out, RxLength);
    if (r != Result::Ok)
        return to_ifd(r);
    if (out.size() > RxLength)
        return IFD_ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(RxBuffer, out.data(), out.size());
    if (pdwBytesReturned != nullptr)
        *pdwBytesReturned = static_cast<DWORD>(out.size());
    return IFD_SUCCESS;
}

QKR_IFD_EXPORT RESPONSECODE IFDHICCPresence(DWORD Lun) {
    bool present = false;
    Result r = Bridge::instance().present(channel(Lun), &present);
    if (r != Result::Ok)
        return r == Result::NoDevice ? IFD_NO_SUCH_DEVICE : IFD_COMMUNICATION_ERROR;
    return present ? IFD_ICC_PRESENT : IFD_ICC_NOT_PRESENT;
}
