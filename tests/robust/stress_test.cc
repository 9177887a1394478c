// Stress on the parts that live across many requests: card-tracking requests parked and
// completed a thousand times while sessions on both slots re-arm tracking under them; readers
// added, started, stopped and removed two hundred times; four readers with both slots in use by
// eight clients at once. Everything must end as it began: every request completed, the pool back
// where it was.
#include "tests/robust/robust_support.h"

#include "sim/card.h"

#include <atomic>
#include <string>

namespace qkr::robust {
namespace {

const Data kSelectDf = {0x00, 0xA4, 0x04, 0x0C, 0x08, 0xA0, 0x00,
                        0x00, 0x00, 0x51, 0x4B, 0x52, 0x01};
const Data kSelectCounting = {0x00, 0xA4, 0x00, 0x0C, 0x02, 0x50, 0x01};
const Data kOk = {0x90, 0x00};

Data counting(std::size_t offset, std::size_t length) {
    Data d;
    for (std::size_t i = 0; i < length; ++i)
        d.push_back(std::uint8_t(offset + i));
    d.insert(d.end(), kOk.begin(), kOk.end());
    return d;
}

// One card session on a slot: reset, protocol, a read of `length` bytes of the counting file at
// `offset`, a challenge, power down. Returns the number of steps that did not come back as the
// card answers, each also reported.
int card_session(Client& client, ULONG protocol, std::size_t offset, std::size_t length) {
    int wrong = 0;
    auto check = [&](bool ok, const char* step) {
        if (!ok) {
            ++wrong;
            ADD_FAILURE() << "slot " << client.slot() << ": " << step;
        }
    };
    Data response;
    NTSTATUS s = client.power(SCARD_COLD_RESET);
    check(s == STATUS_SUCCESS, "cold reset");
    s = client.set_protocol(protocol);
    check(s == STATUS_SUCCESS, "set protocol");
    s = client.transmit(protocol, kSelectDf, &response);
    check(s == STATUS_SUCCESS && response == kOk, "SELECT DF");
    s = client.transmit(protocol, kSelectCounting, &response);
    check(s == STATUS_SUCCESS && response == kOk, "SELECT EF");
    const Data read = {0x00, 0xB0, std::uint8_t(offset >> 8), std::uint8_t(offset),
                       std::uint8_t(length)};
    s = client.transmit(protocol, read, &response);
    check(s == STATUS_SUCCESS && response == counting(offset, length), "READ BINARY");
    s = client.transmit(protocol, {0x00, 0x84, 0x00, 0x00, 0x08}, &response);
    check(s == STATUS_SUCCESS && response.size() == 10, "GET CHALLENGE");
    s = client.power(SCARD_POWER_DOWN);
    check(s == STATUS_SUCCESS, "power down");
    return wrong;
}

// ---------------------------------------------------------------------------------------------
// Card tracking
// ---------------------------------------------------------------------------------------------

// A thousand insertions and removals, each awaited by a parked request. Between parking and the
// change, a card session on slot 1 stands tracking down and re-arms it many times over: the parked
// request must survive every re-arming and still complete at the change. (A change that lands
// while a callback holds the reader is, by design, only reported at the next change; so slot 1 is
// idle when the card comes or goes.)
TEST(TrackingStress, AThousandInsertionsAndRemovalsEachCompleteTheParkedRequest) {
    constexpr int kCycles = 1000;
    SoakHost host;
    host::ReaderOptions options;
    options.tap = false;
    host::Reader& reader = host.add_reader(options); // slot 0 starts empty
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    kern::FileHandle handle = reader.open();
    ASSERT_TRUE(handle.is_open());
    Client slot0(reader, handle, 0);
    Client slot1(reader, handle, 1);

    int completed = 0, slot1_wrong = 0;
    for (int i = 0; i < kCycles; ++i) {
        kern::PendingIo present = handle.ioctl_async(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
        if (i % 4 == 0)
            slot1_wrong += card_session(slot1, SCARD_PROTOCOL_T0, (i * 37) % 256, 1 + i % 200);
        else
            host.kernel().sleep_for(kern::milliseconds(i % 50));
        ASSERT_FALSE(present.done()) << "cycle " << i << ": IS_PRESENT with no card";
        reader.act_on_sim(
            [&](sim::ReaderSim& s) { s.insert(sim::make_card(i % 2 ? "t1" : "t0")); });
        ASSERT_TRUE(present.wait_for(kern::seconds(30)))
            << "cycle " << i << ": the insertion did not complete IS_PRESENT";
        EXPECT_EQ(present.status(), STATUS_SUCCESS) << "cycle " << i;
        EXPECT_EQ(slot0.state(), ULONG{SCARD_SWALLOWED}) << "cycle " << i;

        kern::PendingIo absent = handle.ioctl_async(IOCTL_SMARTCARD_IS_ABSENT, {}, 0);
        if (i % 4 == 2)
            slot1_wrong += card_session(slot1, SCARD_PROTOCOL_T0, (i * 11) % 256, 1 + i % 100);
        else if (i % 4 == 3) // the card itself is used while the removal is awaited
            slot1_wrong += card_session(slot0, i % 2 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0,
                                        (i * 5) % 256, 1 + i % 64);
        ASSERT_FALSE(absent.done()) << "cycle " << i << ": IS_ABSENT with the card in";
        reader.act_on_sim([&](sim::ReaderSim& s) { s.remove(); });
        ASSERT_TRUE(absent.wait_for(kern::seconds(30)))
            << "cycle " << i << ": the removal did not complete IS_ABSENT";
        EXPECT_EQ(absent.status(), STATUS_SUCCESS) << "cycle " << i;
        EXPECT_EQ(slot0.state(), ULONG{SCARD_ABSENT}) << "cycle " << i;
        ++completed;
    }
    EXPECT_EQ(completed, kCycles);
    EXPECT_EQ(slot1_wrong, 0);

    {
        // Left parked at the end, the request goes when its client cancels it.
        kern::PendingIo last = handle.ioctl_async(IOCTL_SMARTCARD_IS_PRESENT, {}, 0);
        EXPECT_FALSE(last.done());
        EXPECT_TRUE(last.cancel());
        EXPECT_EQ(last.wait(), STATUS_CANCELLED);
    }
    handle.close();
    EXPECT_EQ(reader.remove(), STATUS_SUCCESS);
    host.kernel().sleep_for(kern::seconds(1));
    EXPECT_EQ(host.kernel().irps_live(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Plug and Play
// ---------------------------------------------------------------------------------------------

TEST(PnpStress, TwoHundredReadersAddedStartedStoppedAndRemovedLeaveNothingBehind) {
    constexpr int kCycles = 200;
    SoakHost host;
    const std::size_t pool_before = host.kernel().pool_allocations_total();
    for (int i = 0; i < kCycles; ++i) {
        host::ReaderOptions options;
        options.tap = false;
        options.sim.slot0_card = i % 2 ? "t1" : "";
        host::Reader& reader = host.add_reader(options);
        ASSERT_EQ(reader.add(), STATUS_SUCCESS) << "cycle " << i;
        ASSERT_EQ(reader.start(), STATUS_SUCCESS) << "cycle " << i;
        {
            kern::FileHandle handle = reader.open();
            ASSERT_TRUE(handle.is_open()) << "cycle " << i;
            Client slot0(reader, handle, 0);
            Client slot1(reader, handle, 1);
            if (i % 2) {
                EXPECT_EQ(slot0.power(SCARD_COLD_RESET), STATUS_SUCCESS) << "cycle " << i;
            } else {
                EXPECT_EQ(slot0.state(), ULONG{SCARD_ABSENT}) << "cycle " << i;
            }
            if (i % 4 == 1) {
                EXPECT_EQ(slot1.power(SCARD_COLD_RESET), STATUS_SUCCESS) << "cycle " << i;
            }
        }
        ASSERT_EQ(reader.query_stop(), STATUS_SUCCESS) << "cycle " << i;
        ASSERT_EQ(reader.stop(), STATUS_SUCCESS) << "cycle " << i;
        if (i % 3 == 0) { // back once more before it goes
            ASSERT_EQ(reader.start(), STATUS_SUCCESS) << "cycle " << i;
            ASSERT_EQ(reader.query_stop(), STATUS_SUCCESS) << "cycle " << i;
            ASSERT_EQ(reader.stop(), STATUS_SUCCESS) << "cycle " << i;
        }
        ASSERT_EQ(reader.remove(), STATUS_SUCCESS) << "cycle " << i;
        host.kernel().sleep_for(kern::milliseconds(200));
        host.release_reader(reader);
        ASSERT_EQ(host.kernel().irps_live(), 0u) << "cycle " << i;
        ASSERT_EQ(host.kernel().pool_allocations_total(), pool_before) << "cycle " << i;
    }
    EXPECT_EQ(host.readers(), 0u);
}

// ---------------------------------------------------------------------------------------------
// Busy readers
// ---------------------------------------------------------------------------------------------

TEST(BusyStress, FourReadersWithBothSlotsInUseAnswerEveryClientExactly) {
    constexpr int kSessions = 12; // per slot
    SoakHost host;
    std::vector<host::Reader*> readers;
    std::vector<kern::FileHandle> handles;
    for (int r = 0; r < host::Host::kMaxReaders; ++r) {
        host::ReaderOptions options;
        options.tap = false;
        options.sim.slot0_card = "t1";
        options.sim.slot1_card = "t0";
        host::Reader& reader = host.add_reader(options);
        ASSERT_EQ(reader.add(), STATUS_SUCCESS);
        ASSERT_EQ(reader.start(), STATUS_SUCCESS);
        readers.push_back(&reader);
        handles.push_back(reader.open());
        ASSERT_TRUE(handles.back().is_open());
    }

    std::atomic<int> sessions{0}, wrong{0};
    std::vector<kern::Thread> clients;
    for (int r = 0; r < host::Host::kMaxReaders; ++r) {
        for (int slot = 0; slot < 2; ++slot) {
            clients.push_back(host.kernel().spawn(
                "reader " + std::to_string(r) + " slot " + std::to_string(slot), [&, r, slot] {
                    Client client(*readers[r], handles[r], slot);
                    const ULONG protocol = slot == 0 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
                    for (int i = 0; i < kSessions; ++i) {
                        wrong += card_session(client, protocol, (r * 61 + i * 13) % 256,
                                              1 + (slot * 100 + i * 23) % 256);
                        ++sessions;
                    }
                }));
        }
    }
    for (kern::Thread& t : clients)
        t.join();
    EXPECT_EQ(sessions.load(), host::Host::kMaxReaders * 2 * kSessions);
    EXPECT_EQ(wrong.load(), 0);
    for (kern::FileHandle& h : handles)
        h.close();
}

} // namespace
} // namespace qkr::robust
