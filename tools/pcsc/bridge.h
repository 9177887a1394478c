// The reader stack as the PC/SC handler sees it, in neutral terms: neither pcsc-lite's constants
// nor the platform's appear here, so each side translates to and from its own.
//
// One Bridge serves the whole process (pcscd loads the handler once): it owns the kernel with the
// driver loaded and one driver device per reader, up to four. Both slots of a reader share its
// device; the device is added and started with the reader's first channel and stopped and removed
// with its last.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace qkr::pcsc {

enum class Result {
    Ok,
    NoCard,             // no card in the slot
    Timeout,            // the card or the reader did not answer in time
    CommunicationError, // anything else that went wrong on the way
    NotSupported,       // the request makes no sense for this reader or slot
    InsufficientBuffer, // the caller's buffer cannot take the answer
    NoDevice,           // the reader is not there (never opened, unplugged, stopped)
    BadParameter,       // a malformed request
    NotPowered,         // the card must be powered first (a memory card's exchange)
    MemoryCard,         // no T=0 or T=1 with this card: the reader's control code 2048 only
};

// The largest command APDU the handler passes on.
constexpr std::size_t kMaxCommand = 1040;

enum class LogLevel { Debug, Info, Error };
// Where the handler's lines go (each begins "qkr-ifd: "). Until one is set: standard error, Debug
// lines left out.
using LogSink = void (*)(LogLevel level, const char* line);
void set_log_sink(LogSink sink);

enum class PowerAction { Up, Down, Reset };

// What `IFDHGetCapabilities` may ask beyond the attributes.
struct ChannelId {
    unsigned reader = 0; // the high 16 bits of the LUN
    unsigned slot = 0;   // the low 16 bits
};

class Bridge {
  public:
    static Bridge& instance();

    // `name`: "sim[:key=value,...]" (card, firmware, seed, socket, speed, bridge, trace, wire), a
    // serial port path, or "tty:PATH[,key=value...]".
    // A reader's first channel adds its device and starts it in the background: until the start
    // is over its slots hold no card, the end of the start ends the waits, and commands wait for
    // it. A name that cannot work is refused at once.
    Result open(ChannelId id, const std::string& name);
    // Waits for the reader's start; Ok when it started.
    Result ready(ChannelId id);
    Result close(ChannelId id);

    Result power(ChannelId id, PowerAction action, std::vector<std::uint8_t>* atr);
    // The ATR of the last reset of that slot.
    Result atr(ChannelId id, std::vector<std::uint8_t>* atr);
    // `t` is the T number (0 or 1); on success `*t` is the selected one.
    Result set_protocol(ChannelId id, unsigned* t);
    Result transmit(ChannelId id, unsigned t, std::span<const std::uint8_t> command,
                    std::vector<std::uint8_t>* response, std::size_t max_response);
    Result present(ChannelId id, bool* present);
    Result attribute(ChannelId id, std::uint32_t attribute, std::vector<std::uint8_t>* value);
    // The reader's own control codes: n is the function number (2048 to 2050).
    Result control(ChannelId id, unsigned function, std::span<const std::uint8_t> input,
                   std::vector<std::uint8_t>* output, std::size_t max_output);

    // Waits up to `timeout_ms` (forever when negative) for the slot's card to come or go, or for
    // stop_wait(); returns early on a change found by a card command.
    Result wait_for_change(ChannelId id, int timeout_ms);
    Result stop_wait(ChannelId id);

    struct Impl;

  private:
    friend union Holder;
    Bridge();
    ~Bridge();
    std::unique_ptr<Impl> impl_;
};

} // namespace qkr::pcsc
