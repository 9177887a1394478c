// The external card bridge: slot 0's card can be an APDU-level virtual card in another process,
// reached over TCP on the loopback interface. The simulator listens; a virtual card that connects
// counts as inserted, one that hangs up as removed.
//
// Every message either way is a two-byte big-endian length and that many bytes. A one-byte
// message from the simulator is a control: 0x00 power off, 0x01 power on, 0x02 reset, 0x04 get
// ATR (the card answers with its ATR). Any longer message is a command APDU, which the card
// answers with a response APDU. The firmware turns T=0 TPDUs and T=1 blocks into APDUs with the
// card engines every built-in card uses.
//
// The bridge has a thread of its own for the socket; everything it does to the simulator goes
// through ReaderSim::post, so the simulator's state stays on the kernel's timer context. Run it
// on the kernel's real clock: on a virtual one, time would race ahead while the socket waits.
#pragma once

#include "platform/serial/fd.h"
#include "sim/listener.h"
#include "sim/reader.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace qkr::sim {

constexpr std::uint16_t kDefaultBridgePort = 35963;

class CardBridge {
  public:
    struct Config {
        std::uint16_t port = kDefaultBridgePort; // 0: any free port (see port())
        // How long a connecting card may take to answer the ATR request.
        int atr_timeout_ms = 5000;
    };
    CardBridge(ReaderSim& reader, Config config);
    ~CardBridge(); // hangs up, stops the thread; a bridged card still in the slot goes mute
    CardBridge(const CardBridge&) = delete;
    CardBridge& operator=(const CardBridge&) = delete;

    // Binds 127.0.0.1:port and starts listening; false (with errno's text in error()) when it
    // cannot.
    bool start();
    std::uint16_t port() const { return listen_.port(); }
    const std::string& error() const { return error_; }
    bool connected() const { return connected_; }

    struct Connection;

  private:
    void run();
    void serve(int fd);
    // Asks the connected card for its ATR and waits for it; what came after it stays in `buffer`.
    std::optional<Bytes> read_atr(int fd, Bytes& buffer);
    // Carries commands out and answers back until either end stops.
    void relay(int fd, Connection& conn, Bytes& buffer);
    void answer(Connection& conn, Bytes response);

    ReaderSim& reader_;
    Config config_;
    Listener listen_;
    serial::WakePipe wake_;
    std::string error_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> connected_{false};
    std::thread thread_;
};

} // namespace qkr::sim
