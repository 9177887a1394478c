#include "tools/qkr/text.h"

#include <cstdio>
#include <string>

namespace qkr::tool {

std::string excerpt(std::string_view text, std::size_t max) {
    std::string out;
    for (char c : text.substr(0, max))
        out += c >= 0x20 && c < 0x7F ? c : '?';
    if (text.size() > max)
        out += "... (" + std::to_string(text.size()) + " characters)";
    return out;
}

std::string format_hex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 3);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i)
            out += ' ';
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string_view status_name(NTSTATUS status) {
    switch (static_cast<ULONG>(status)) {
    case 0x00000000:
        return "STATUS_SUCCESS";
    case 0x00000004:
        return "INCOMPLETE_FRAME";
    case 0x00000102:
        return "STATUS_TIMEOUT";
    case 0x00000103:
        return "STATUS_PENDING";
    case 0x80000005:
        return "STATUS_BUFFER_OVERFLOW";
    case 0x80000011:
        return "STATUS_DEVICE_BUSY";
    case 0xC0000001:
        return "STATUS_UNSUCCESSFUL";
    case 0xC0000002:
        return "STATUS_NOT_IMPLEMENTED";
    case 0xC000000D:
        return "STATUS_INVALID_PARAMETER";
    case 0xC000000E:
        return "STATUS_NO_SUCH_DEVICE";
    case 0xC0000010:
        return "STATUS_INVALID_DEVICE_REQUEST";
    case 0xC0000014:
        return "STATUS_UNRECOGNIZED_MEDIA";
    case 0xC0000016:
        return "STATUS_MORE_PROCESSING_REQUIRED";
    case 0xC0000017:
        return "STATUS_NO_MEMORY";
    case 0xC0000022:
        return "STATUS_ACCESS_DENIED";
    case 0xC0000023:
        return "STATUS_BUFFER_TOO_SMALL";
    case 0xC0000034:
        return "STATUS_OBJECT_NAME_NOT_FOUND";
    case 0xC0000043:
        return "STATUS_SHARING_VIOLATION";
    case 0xC0000056:
        return "STATUS_DELETE_PENDING";
    case 0xC000009A:
        return "STATUS_INSUFFICIENT_RESOURCES";
    case 0xC000009C:
        return "STATUS_DEVICE_DATA_ERROR";
    case 0xC000009D:
        return "STATUS_DEVICE_NOT_CONNECTED";
    case 0xC00000A3:
        return "STATUS_DEVICE_NOT_READY";
    case 0xC00000B5:
        return "STATUS_IO_TIMEOUT";
    case 0xC00000BB:
        return "STATUS_NOT_SUPPORTED";
    case 0xC0000120:
        return "STATUS_CANCELLED";
    case 0xC0000178:
        return "STATUS_NO_MEDIA";
    case 0xC0000184:
        return "STATUS_INVALID_DEVICE_STATE";
    case 0xC0000206:
        return "STATUS_INVALID_BUFFER_SIZE";
    case 0xC00002B6:
        return "STATUS_DEVICE_REMOVED";
    case 0xFFFFFFFD:
        return "READER_NAK";
    case 0xFFFFFFFE:
        return "BAD_REPLY_FRAME";
    default:
        return "";
    }
}

std::string describe_status(NTSTATUS status) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(status));
    std::string out = buf;
    std::string_view name = status_name(status);
    out += ' ';
    out += name.empty() ? std::string_view("UNKNOWN_STATUS") : name;
    return out;
}

} // namespace qkr::tool
