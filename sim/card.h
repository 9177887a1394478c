// Cards as the reader's firmware sees them: contacts that answer a reset with an ATR and then talk
// characters under T=0, blocks under T=1, or memory commands.
//
// A card never keeps time itself. Whatever it sends goes to its CardLink as a list of segments,
// each a silence (the card thinking, measured from the moment the reader finished sending to it)
// followed by characters; the firmware turns that into time on its card clock and checks it
// against its waiting times.
#pragma once

#include "platform/kernel/kernel.h"
#include "sim/atr.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qkr::sim {

struct Segment {
    kern::Ticks silence = 0;
    Bytes chars;
};

class CardLink {
  public:
    virtual ~CardLink() = default;
    // The card's answer to what it last received. May be called from inside a call to the card;
    // the firmware only records it there.
    virtual void card_emit(std::vector<Segment> segments) = 0;
};

enum class CardKind : std::uint8_t { Processor = 1, Memory2 = 2, Memory3 = 3 };

// How a card answers a PTS request.
enum class PtsBehaviour { Accept, Refuse, Wrong };

class Card {
  public:
    virtual ~Card() = default;
    virtual std::string name() const = 0;
    virtual CardKind kind() const { return CardKind::Processor; }
    void attach(CardLink* link) { link_ = link; }

    // Powers the card up (cold) or pulls its reset line (warm) and returns its ATR as decoded
    // values; empty when the card does not answer.
    virtual Bytes reset(bool cold) = 0;
    virtual void power_off() = 0;
    // A PTS request straight after the ATR. Returns the card's answer, empty when it stays mute.
    virtual Bytes pts(std::span<const std::uint8_t> request) {
        (void)request;
        return {};
    }
    // Characters from the reader under T=0: a five-byte header, or data after a procedure byte.
    virtual void t0_receive(std::span<const std::uint8_t> chars) { (void)chars; }
    // One block from the reader under T=1.
    virtual void t1_receive(std::span<const std::uint8_t> block) { (void)block; }
    // A memory-card command; the answer starts with a status byte (0 = done). See sim/README.md.
    virtual Bytes memory_command(std::span<const std::uint8_t> command) {
        (void)command;
        return {0x02};
    }

  protected:
    void emit(std::vector<Segment> segments) {
        if (link_ != nullptr)
            link_->card_emit(std::move(segments));
    }
    CardLink* link_ = nullptr;
};

// An APDU-level application. process() calls `done` exactly once, at once or later (an external
// card answers from another thread through the kernel's timer queue); `took` is the time the
// command kept the card busy.
class Application {
  public:
    using Done = std::function<void(Bytes response, kern::Ticks took)>;
    virtual ~Application() = default;
    // The card was reset (cold or warm) or powered off.
    virtual void reset() {}
    virtual void power_off() {}
    // What a T=0 command header means for the data: none either way (case 1), data from the
    // card (case 2), data for the card (case 3) or both (case 4).
    enum class T0Case { None, Out, In, InOut };
    virtual T0Case t0_case(std::span<const std::uint8_t> header) const = 0;
    virtual void process(Bytes command, Done done) = 0;
};

// Knobs of a processor card built from an ATR and an application.
struct ProcessorCardConfig {
    std::string name;
    AtrShape atr;
    // When not empty, the card answers with these bytes instead of `atr` (an external card's).
    Bytes atr_bytes;
    PtsBehaviour pts = PtsBehaviour::Accept;
    // Under T=0, data for the card acknowledged one byte at a time (procedure byte ~INS).
    bool t0_byte_by_byte = false;
    // Initial waiting time before the ATR ends, after a reset.
    kern::Ticks atr_delay = kern::milliseconds(5);
};

std::unique_ptr<Card> make_processor_card(ProcessorCardConfig config,
                                          std::unique_ptr<Application> app);

// The built-in cards: t0, t1, t1-crc, dual, specific, inverse, wtx, mute, memory2, memory3.
// Returns nullptr for an unknown name. `seed` makes GET CHALLENGE reproducible.
std::unique_ptr<Card> make_card(std::string_view name, std::uint64_t seed = 1);
std::vector<std::string> card_names();

} // namespace qkr::sim
