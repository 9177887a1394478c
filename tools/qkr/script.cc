#include "tools/qkr/script.h"

#include "platform/smclib/smclib.h"
#include "tools/qkr/text.h"

#include <charconv>
#include <cstdlib>
#include <sstream>
#include <utility>
#include <vector>

namespace qkr::tool {

namespace {

struct AttributeName {
    std::string_view name;
    ULONG id;
};

constexpr AttributeName kAttributes[] = {
    {"vendor-name", SCARD_ATTR_VENDOR_NAME},
    {"ifd-type", SCARD_ATTR_VENDOR_IFD_TYPE},
    {"ifd-version", SCARD_ATTR_VENDOR_IFD_VERSION},
    {"channel-id", SCARD_ATTR_CHANNEL_ID},
    {"protocol-types", SCARD_ATTR_PROTOCOL_TYPES},
    {"default-clk", SCARD_ATTR_DEFAULT_CLK},
    {"max-clk", SCARD_ATTR_MAX_CLK},
    {"default-data-rate", SCARD_ATTR_DEFAULT_DATA_RATE},
    {"max-data-rate", SCARD_ATTR_MAX_DATA_RATE},
    {"max-ifsd", SCARD_ATTR_MAX_IFSD},
    {"characteristics", SCARD_ATTR_CHARACTERISTICS},
    {"current-protocol", SCARD_ATTR_CURRENT_PROTOCOL_TYPE},
    {"current-clk", SCARD_ATTR_CURRENT_CLK},
    {"current-f", SCARD_ATTR_CURRENT_F},
    {"current-d", SCARD_ATTR_CURRENT_D},
    {"current-n", SCARD_ATTR_CURRENT_N},
    {"current-w", SCARD_ATTR_CURRENT_W},
    {"current-ifsc", SCARD_ATTR_CURRENT_IFSC},
    {"current-ifsd", SCARD_ATTR_CURRENT_IFSD},
    {"current-bwt", SCARD_ATTR_CURRENT_BWT},
    {"current-cwt", SCARD_ATTR_CURRENT_CWT},
    {"ebc-encoding", SCARD_ATTR_CURRENT_EBC_ENCODING},
    {"icc-presence", SCARD_ATTR_ICC_PRESENCE},
    {"icc-interface-status", SCARD_ATTR_ICC_INTERFACE_STATUS},
    {"atr", SCARD_ATTR_ATR_STRING},
    {"device-unit", SCARD_ATTR_DEVICE_UNIT},
};

std::vector<std::string> split(std::string_view line) {
    std::vector<std::string> words;
    std::istringstream in{std::string(line)};
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

// A trailing lone "0" or "1" names the slot when the command has more words than its own
// `needed` ones; hex bytes are always two digits.
int take_slot(std::vector<std::string>& args, std::size_t needed) {
    if (args.size() > needed && (args.back() == "0" || args.back() == "1")) {
        int slot = args.back()[0] - '0';
        args.pop_back();
        return slot;
    }
    return 0;
}

std::optional<NTSTATUS> parse_status(const std::string& word) {
    if (word.rfind("0x", 0) == 0 || word.rfind("0X", 0) == 0) {
        unsigned long v = 0;
        auto [p, ec] = std::from_chars(word.data() + 2, word.data() + word.size(), v, 16);
        if (ec != std::errc() || p != word.data() + word.size() || v > 0xFFFFFFFFul)
            return std::nullopt;
        return static_cast<NTSTATUS>(v);
    }
    for (ULONG s : {0xC0000178u, 0xC00000B5u, 0xC000009Cu, 0xC000009Du, 0xC0000014u, 0xC0000010u,
                    0xC000000Du, 0xC0000023u, 0xC00000BBu, 0xC0000184u, 0xC0000001u, 0xC0000120u,
                    0xC00002B6u, 0x80000011u, 0xC00000A3u, 0xFFFFFFFDu, 0xFFFFFFFEu, 0x00000004u}) {
        if (status_name(static_cast<NTSTATUS>(s)) == word)
            return static_cast<NTSTATUS>(s);
    }
    return std::nullopt;
}

Outcome bad(std::ostream& err, const std::string& message) {
    err << "qkr: " << message << "\n";
    return {STATUS_INVALID_PARAMETER, {}};
}

// The commands about the device, the reader and time, which name no slot; nothing for others.
std::optional<Outcome> dispatch_device(Session& s, const std::string& cmd,
                                       const std::vector<std::string>& args, std::ostream& err) {
    const bool none = args.empty();
    if (cmd == "start" && none)
        return s.start();
    if (cmd == "stop" && none)
        return s.stop();
    if (cmd == "restart" && none)
        return s.restart();
    if (cmd == "remove-device" && none)
        return s.remove_device();
    if (cmd == "insert" && args.size() <= 1)
        return s.insert(none ? std::string("t1") : args[0]);
    if (cmd == "remove" && none)
        return s.remove_card();
    if (cmd == "sleep" && none)
        return s.sleep();
    if (cmd == "wake" && none)
        return s.wake();
    if (cmd == "advance" && args.size() == 1) {
        auto secs = parse_seconds(args[0]);
        if (!secs)
            return bad(err, "advance: not a number of seconds: " + excerpt(args[0]));
        return s.advance(*secs);
    }
    if (cmd == "fault") {
        if (none)
            return bad(err, "fault: which fault?");
        return s.fault(args);
    }
    if (cmd == "wait") {
        if (none || args.size() > 2 || (args[0] != "present" && args[0] != "absent"))
            return bad(err, "wait: expected `wait present|absent [SECONDS]`");
        double secs = 60;
        if (args.size() == 2) {
            auto v = parse_seconds(args[1]);
            if (!v)
                return bad(err, "wait: not a number of seconds: " + excerpt(args[1]));
            secs = *v;
        }
        return s.wait(args[0] == "present", secs);
    }
    return std::nullopt;
}

std::optional<Outcome> dispatch_card(Session& s, const std::string& cmd,
                                     const std::vector<std::string>& args, int slot,
                                     std::ostream& err) {
    if (cmd == "power" && args.size() == 1) {
        if (args[0] == "cold")
            return s.power(SCARD_COLD_RESET, slot);
        if (args[0] == "warm")
            return s.power(SCARD_WARM_RESET, slot);
        if (args[0] == "down")
            return s.power(SCARD_POWER_DOWN, slot);
        return bad(err, "power: expected cold, warm or down, not " + excerpt(args[0]));
    }
    if (cmd == "protocol" && args.size() == 1) {
        if (args[0] == "t0")
            return s.protocol(SCARD_PROTOCOL_T0, slot);
        if (args[0] == "t1")
            return s.protocol(SCARD_PROTOCOL_T1, slot);
        if (args[0] == "any")
            return s.protocol(SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, slot);
        return bad(err, "protocol: expected t0, t1 or any, not " + excerpt(args[0]));
    }
    if ((cmd == "apdu" || cmd == "mem") && !args.empty()) {
        std::string hex;
        for (auto& a : args)
            hex += a;
        auto bytes = parse_hex(hex);
        if (!bytes)
            return bad(err, cmd + ": malformed hex string: " + excerpt(hex));
        if (cmd == "apdu")
            return s.apdu(*bytes, slot);
        return s.memory(*bytes, slot);
    }
    return std::nullopt;
}

// The commands that ask the reader about a slot.
std::optional<Outcome> dispatch_query(Session& s, const std::string& cmd,
                                      const std::vector<std::string>& args, int slot,
                                      std::ostream& err) {
    if (cmd == "state" && args.empty())
        return s.state(slot);
    if (cmd == "info" && args.empty())
        return s.reader_info(slot);
    if (cmd == "attr" && args.size() == 1) {
        for (const auto& a : kAttributes)
            if (a.name == args[0])
                return s.attribute(a.id, slot);
        auto id = parse_status(args[0]); // the same 0x........ syntax
        if (args[0].rfind("0x", 0) == 0 && id)
            return s.attribute(static_cast<ULONG>(*id), slot);
        return bad(err, "attr: unknown attribute " + excerpt(args[0]) +
                            " (known: " + attribute_names() + ")");
    }
    if (cmd == "baud" && args.size() == 1) {
        unsigned code = 0;
        auto [p, ec] = std::from_chars(args[0].data(), args[0].data() + args[0].size(), code);
        if (ec != std::errc() || p != args[0].data() + args[0].size() || code > 255)
            return bad(err, "baud: expected a speed code, not " + excerpt(args[0]));
        return s.baud(code, slot);
    }
    return std::nullopt;
}

Outcome dispatch(Session& s, std::vector<std::string> words, std::ostream& err) {
    const std::string cmd = words.front();
    std::vector<std::string> args(words.begin() + 1, words.end());

    // The simulator's commands echo a card or fault name whole; none is this long.
    if ((cmd == "insert" || cmd == "fault") && !args.empty() && args[0].size() > 40)
        return bad(err, cmd + ": no such name: " + excerpt(args[0]));
    if (auto done = dispatch_device(s, cmd, args, err))
        return *done;

    const std::size_t needed = cmd == "state" || cmd == "info" ? 0 : 1;
    const int slot = take_slot(args, needed);
    if (auto done = dispatch_card(s, cmd, args, slot, err))
        return *done;
    if (auto done = dispatch_query(s, cmd, args, slot, err))
        return *done;
    return bad(err, "unknown or malformed command: " + excerpt(cmd) + " (see --help)");
}

} // namespace

std::optional<double> parse_seconds(const std::string& word) {
    char* end = nullptr;
    const double v = std::strtod(word.c_str(), &end);
    if (end == word.c_str() || *end != '\0' || !(v >= 0 && v <= 1e7))
        return std::nullopt;
    return v;
}

std::string attribute_names() {
    std::string out;
    for (const auto& a : kAttributes) {
        if (!out.empty())
            out += ", ";
        out += a.name;
    }
    return out;
}

bool run_command(Session& session, std::string_view line, std::ostream& out, std::ostream& err) {
    std::string_view text = line.substr(0, line.find('#'));
    std::vector<std::string> words = split(text);
    if (words.empty())
        return true;

    // `expect STATUS COMMAND...`: the command is meant to fail with that status.
    std::optional<NTSTATUS> expected;
    if (words[0] == "expect") {
        if (words.size() < 3) {
            bad(err, "expect: expected `expect STATUS COMMAND...`");
            out << "error " << describe_status(STATUS_INVALID_PARAMETER) << "\n";
            return false;
        }
        expected = parse_status(words[1]);
        if (!expected) {
            bad(err, "expect: unknown status " + excerpt(words[1]));
            out << "error " << describe_status(STATUS_INVALID_PARAMETER) << "\n";
            return false;
        }
        words.erase(words.begin(), words.begin() + 2);
    }

    Outcome result = dispatch(session, std::move(words), err);
    if (result.ok()) {
        out << "ok";
        if (!result.text.empty())
            out << " " << result.text;
        out << "\n";
    } else {
        out << "error " << describe_status(result.status) << "\n";
    }
    out.flush();
    if (expected)
        return result.status == *expected;
    return result.ok();
}

int run_script(Session& session, std::istream& in, std::ostream& out, std::ostream& err,
               ScriptOptions options) {
    int status = 0;
    std::string line;
    for (;;) {
        if (options.interactive)
            out << "qkr> " << std::flush;
        if (!std::getline(in, line))
            break;
        if (!run_command(session, line, out, err)) {
            status = 1;
            if (!options.keep_going && !options.interactive)
                break;
        }
    }
    return status;
}

} // namespace qkr::tool
