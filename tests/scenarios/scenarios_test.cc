// Whole-device scenarios: what a client and the system see of a reader from its arrival to its
// removal, through Plug and Play and power requests, opens, device control (slot 0), internal
// device control (slot 1) and closes only. The simulated reader and its cards sit at the far end
// of the line; everything runs on the kernel's virtual clock, and every scenario ends with the
// device removed and not one allocation of the driver left.
#include "host/host.h"

#include "sim/card.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace qkr::scenarios {
namespace {

using Data = std::vector<std::uint8_t>;
using kern::milliseconds;
using kern::seconds;

// ---------------------------------------------------------------------------------------------
// What the card application answers
// ---------------------------------------------------------------------------------------------
const Data kOk = {0x90, 0x00};
const Data kAtrT1 = {0x3B, 0x96, 0x13, 0x81, 0x71, 0x20, 0x45, 0x00,
                     0x51, 0x4B, 0x52, 0x20, 0x54, 0x31, 0x1D};
const Data kAtrT0 = {0x3B, 0x96, 0x11, 0x40, 0x0A, 0x51, 0x4B, 0x52, 0x20, 0x54, 0x30};
const Data kSelectApplication = {0x00, 0xA4, 0x04, 0x0C, 0x08, 0xA0, 0x00,
                                 0x00, 0x00, 0x51, 0x4B, 0x52, 0x01};
const std::string kEf2F00 = "QKR SIM CARD 0001 EF2F00 CONTENT";

Data select_file(std::uint16_t fid) {
    return {0x00, 0xA4, 0x00, 0x0C, 0x02, std::uint8_t(fid >> 8), std::uint8_t(fid)};
}
Data read_binary(std::size_t offset, std::uint8_t length) {
    return {0x00, 0xB0, std::uint8_t(offset >> 8), std::uint8_t(offset), length};
}
Data with_ok(Data d) {
    d.insert(d.end(), kOk.begin(), kOk.end());
    return d;
}
// EF 5001 holds byte i = i mod 256.
Data counting(std::size_t offset, std::size_t length) {
    Data d;
    for (std::size_t i = 0; i < length; ++i)
        d.push_back(std::uint8_t(offset + i));
    return d;
}

// Statuses a card request may end with when the reader or the card went away under it.
bool is_defined_failure(NTSTATUS s) {
    switch (s) {
    case STATUS_IO_TIMEOUT:
    case STATUS_NO_MEDIA:
    case STATUS_DEVICE_DATA_ERROR:
    case STATUS_UNRECOGNIZED_MEDIA:
    case STATUS_INVALID_DEVICE_STATE:
    case STATUS_INVALID_DEVICE_REQUEST:
    case STATUS_DEVICE_NOT_CONNECTED:
    case STATUS_DEVICE_NOT_READY:
    case STATUS_DEVICE_REMOVED:
    case STATUS_DEVICE_BUSY:
    case STATUS_DELETE_PENDING:
    case STATUS_CANCELLED:
    case STATUS_UNSUCCESSFUL:
        return true;
    default:
        return false;
    }
}

// ---------------------------------------------------------------------------------------------
// A client of one slot of an open handle
// ---------------------------------------------------------------------------------------------
class Client : public host::SlotClient {
  public:
    using SlotClient::SlotClient;

    // The response, or a text naming the failure, so that a mismatch reads well.
    Data apdu(ULONG protocol, const Data& command) {
        Data response;
        NTSTATUS status = transmit(protocol, command, &response);
        if (status != STATUS_SUCCESS) {
            char buf[40];
            std::snprintf(buf, sizeof buf, "failed 0x%08X", unsigned(status));
            return Data(buf, buf + std::strlen(buf));
        }
        return response;
    }
};

// Cold reset, protocol, and a session with the card application that checks every answer:
// the application, the counting file at an offset of the caller's, the text file, the PIN, and
// the PIN-protected file written and read back. No command of the session has a case-4 form, so
// the same session runs unchanged under T=0 and T=1.
void power_up(Client& client, ULONG protocol, const Data& atr) {
    Data got;
    ASSERT_EQ(client.power(SCARD_COLD_RESET, &got), STATUS_SUCCESS);
    EXPECT_EQ(got, atr);
    ULONG selected = 0;
    ASSERT_EQ(client.set_protocol(protocol, &selected), STATUS_SUCCESS);
    EXPECT_EQ(selected, protocol);
    EXPECT_EQ(client.state(), ULONG(SCARD_SPECIFIC));
}

void session(Client& client, ULONG protocol, std::size_t offset, std::uint8_t mark) {
    EXPECT_EQ(client.apdu(protocol, kSelectApplication), kOk);
    EXPECT_EQ(client.apdu(protocol, select_file(0x5001)), kOk);
    // Within the file: under T=0 a read past its end is answered 6Cxx instead.
    offset %= 500;
    const std::uint8_t length = std::uint8_t(std::min<std::size_t>(1 + offset % 200, 512 - offset));
    EXPECT_EQ(client.apdu(protocol, read_binary(offset, length)), with_ok(counting(offset, length)))
        << "offset " << offset;
    EXPECT_EQ(client.apdu(protocol, select_file(0x2F00)), kOk);
    EXPECT_EQ(client.apdu(protocol, read_binary(0, 0x20)),
              with_ok(Data(kEf2F00.begin(), kEf2F00.end())));
    EXPECT_EQ(client.apdu(protocol, {0x00, 0x20, 0x00, 0x01, 0x04, '1', '2', '3', '4'}), kOk);
    EXPECT_EQ(client.apdu(protocol, select_file(0x5002)), kOk);
    const Data marks = {mark, std::uint8_t(mark ^ 0xFF), mark, 0x5A};
    Data update = {0x00, 0xD6, 0x00, 0x08, 0x04};
    update.insert(update.end(), marks.begin(), marks.end());
    EXPECT_EQ(client.apdu(protocol, update), kOk);
    EXPECT_EQ(client.apdu(protocol, read_binary(0x08, 4)), with_ok(marks));
}

// ---------------------------------------------------------------------------------------------
// The host: verifier reports become failures, and the end is checked for leftovers
// ---------------------------------------------------------------------------------------------
class Scenario : public ::testing::Test {
  protected:
    host::Host host;

    void SetUp() override {
        kernel().set_verifier_handler(
            [](const std::string& message) { ADD_FAILURE() << "verifier: " << message; });
    }

    kern::Kernel& kernel() { return host.kernel(); }
    void settle(kern::Ticks span = milliseconds(500)) { kernel().sleep_for(span); }

    host::Reader& plug(const char* slot0_card, const char* slot1_card = "t0") {
        host::ReaderOptions options;
        options.sim.slot0_card = slot0_card;
        options.sim.slot1_card = slot1_card;
        options.tap = false;
        plugged.push_back(&host.add_reader(options));
        return *plugged.back();
    }

    // Acts on the simulated reader and lets the line carry the change to the driver.
    void at_reader(host::Reader& r, const std::function<void(sim::ReaderSim&)>& fn) {
        r.act_on_sim(fn);
        settle();
    }
    void insert(host::Reader& r, const char* card) {
        at_reader(r, [card](sim::ReaderSim& s) { s.insert(sim::make_card(card)); });
    }
    void take_out(host::Reader& r) {
        at_reader(r, [](sim::ReaderSim& s) { s.remove(); });
    }
    void set_reader_power(host::Reader& r, bool on) {
        at_reader(r, [on](sim::ReaderSim& s) { s.set_powered(on); });
    }

    NTSTATUS system_power(UCHAR minor, int state) {
        POWER_STATE p;
        p.SystemState = static_cast<SYSTEM_POWER_STATE>(state);
        return kernel().send_power(reader_pdo, minor, SystemPowerState, p);
    }
    PDEVICE_OBJECT reader_pdo = nullptr;

    // The device goes (if still there), the line goes quiet, and nothing of the driver is left.
    void end_with_removal(host::Reader& r) {
        if (r.added()) {
            EXPECT_EQ(r.remove(), STATUS_SUCCESS);
        }
        settle(seconds(1));
        expect_nothing_left();
    }
    // The driver's records first; then, with the ports and lines released too, nothing at all.
    void expect_nothing_left() {
        EXPECT_EQ(kernel().pool_allocations(QKR_POOL_TAG), 0u);
        EXPECT_EQ(kernel().irps_live(), 0u);
        while (host.readers() > 0)
            host.release_reader(*last_reader());
        EXPECT_EQ(kernel().pool_allocations_total(), 0u);
    }
    std::vector<host::Reader*> plugged;
    host::Reader* last_reader() {
        host::Reader* r = plugged.back();
        plugged.pop_back();
        return r;
    }
};

// ---------------------------------------------------------------------------------------------
// 1. The life of one reader
// ---------------------------------------------------------------------------------------------
TEST_F(Scenario, OneReaderServesTwoCardsOneAfterTheOtherAndARestart) {
    host::Reader& reader = plug("");
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    {
        kern::FileHandle handle = reader.open();
        ASSERT_TRUE(handle.is_open());
        Client slot0(reader, handle, 0);
        EXPECT_EQ(slot0.state(), ULONG(SCARD_ABSENT));

        // The resource manager waits for a card; the insertion wakes it.
        kern::PendingIo present = slot0.park(IOCTL_SMARTCARD_IS_PRESENT);
        settle();
        EXPECT_FALSE(present.done());
        insert(reader, "t1");
        ASSERT_TRUE(present.wait_for(seconds(1)));
        EXPECT_EQ(present.status(), STATUS_SUCCESS);
        EXPECT_GE(slot0.state(), ULONG(SCARD_PRESENT));

        power_up(slot0, SCARD_PROTOCOL_T1, kAtrT1);
        session(slot0, SCARD_PROTOCOL_T1, 0x1F0, 0x11);

        // Out goes the card: the waiting request completes and card requests are refused.
        kern::PendingIo absent = slot0.park(IOCTL_SMARTCARD_IS_ABSENT);
        settle();
        EXPECT_FALSE(absent.done());
        take_out(reader);
        ASSERT_TRUE(absent.wait_for(seconds(1)));
        EXPECT_EQ(absent.status(), STATUS_SUCCESS);
        EXPECT_EQ(slot0.state(), ULONG(SCARD_ABSENT));
        Data response;
        const NTSTATUS refused = slot0.transmit(SCARD_PROTOCOL_T1, kSelectApplication, &response);
        EXPECT_NE(refused, STATUS_SUCCESS);
        EXPECT_TRUE(is_defined_failure(refused)) << std::hex << refused;

        // A T=0 card in its place, woken by a warm reset after the cold one.
        insert(reader, "t0");
        EXPECT_GE(slot0.state(), ULONG(SCARD_PRESENT));
        Data atr;
        ASSERT_EQ(slot0.power(SCARD_COLD_RESET, &atr), STATUS_SUCCESS);
        EXPECT_EQ(atr, kAtrT0);
        ASSERT_EQ(slot0.power(SCARD_WARM_RESET, &atr), STATUS_SUCCESS);
        EXPECT_EQ(atr, kAtrT0);
        ULONG selected = 0;
        ASSERT_EQ(slot0.set_protocol(SCARD_PROTOCOL_T0, &selected), STATUS_SUCCESS);
        EXPECT_EQ(selected, ULONG(SCARD_PROTOCOL_T0));
        session(slot0, SCARD_PROTOCOL_T0, 0x23, 0x22);
        // A T=0 card does not speak T=1.
        EXPECT_NE(slot0.set_protocol(SCARD_PROTOCOL_T1), STATUS_SUCCESS);
    }

    // Stop and start again, as after a resource rebalance: the card is still there and works
    // after a new reset.
    ASSERT_EQ(reader.query_stop(), STATUS_SUCCESS);
    ASSERT_EQ(reader.stop(), STATUS_SUCCESS);
    EXPECT_FALSE(reader.port().snapshot().open);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    EXPECT_TRUE(reader.port().snapshot().open);
    {
        kern::FileHandle handle = reader.open();
        Client slot0(reader, handle, 0);
        Client slot1(reader, handle, 1);
        EXPECT_GE(slot0.state(), ULONG(SCARD_PRESENT));
        power_up(slot0, SCARD_PROTOCOL_T0, kAtrT0);
        session(slot0, SCARD_PROTOCOL_T0, 0x100, 0x33);
        power_up(slot1, SCARD_PROTOCOL_T0, kAtrT0);
        session(slot1, SCARD_PROTOCOL_T0, 0x42, 0x44);
    }
    end_with_removal(reader);
}

// ---------------------------------------------------------------------------------------------
// 2. Both slots at once
// ---------------------------------------------------------------------------------------------
TEST_F(Scenario, BothSlotsServeTheirOwnSessionsFromTwoThreadsWithoutInterference) {
    host::Reader& reader = plug("t1", "t0");
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    {
        kern::FileHandle handle = reader.open();
        ASSERT_TRUE(handle.is_open());
        constexpr int kRounds = 40;
        std::atomic<int> rounds[2] = {0, 0};
        auto run = [&](int slot) {
            Client client(reader, handle, slot);
            const ULONG protocol = slot == 0 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
            power_up(client, protocol, slot == 0 ? kAtrT1 : kAtrT0);
            for (int i = 0; i < kRounds; ++i) {
                // Each slot reads its own part of the file and writes its own marks.
                session(client, protocol, std::size_t(slot * 256 + i * 5),
                        std::uint8_t(slot * 0x80 + i));
                ++rounds[slot];
            }
        };
        kern::Thread t0 = kernel().spawn("slot 0 client", [&] { run(0); });
        kern::Thread t1 = kernel().spawn("slot 1 client", [&] { run(1); });
        t0.join();
        t1.join();
        EXPECT_EQ(rounds[0], kRounds);
        EXPECT_EQ(rounds[1], kRounds);
    }
    end_with_removal(reader);
}

// ---------------------------------------------------------------------------------------------
// 3. Four readers busy at once, and a fifth refused
// ---------------------------------------------------------------------------------------------
TEST_F(Scenario, FourBusyReadersWorkSideBySideAndAFifthIsRefusedWithoutATrace) {
    const char* cards[4] = {"t1", "t0", "t1-crc", "t1"};
    const Data* atrs[4] = {&kAtrT1, &kAtrT0, nullptr, &kAtrT1};
    std::vector<host::Reader*> readers;
    for (int i = 0; i < 4; ++i) {
        readers.push_back(&plug(cards[i]));
        ASSERT_EQ(readers.back()->add(), STATUS_SUCCESS) << i;
        ASSERT_EQ(readers.back()->start(), STATUS_SUCCESS) << i;
    }

    {
        std::vector<kern::FileHandle> handles(4);
        for (int i = 0; i < 4; ++i) {
            handles[i] = readers[i]->open();
            ASSERT_TRUE(handles[i].is_open()) << i;
        }
        constexpr int kRounds = 8;
        std::vector<kern::Thread> threads;
        std::atomic<int> finished{0};
        for (int i = 0; i < 4; ++i) {
            for (int slot = 0; slot < 2; ++slot) {
                threads.push_back(kernel().spawn(
                    "reader " + std::to_string(i) + " slot " + std::to_string(slot), [&, i, slot] {
                        Client client(*readers[i], handles[i], slot);
                        const bool t0 = slot == 1 || i == 1;
                        const ULONG protocol = t0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
                        Data atr;
                        ASSERT_EQ(client.power(SCARD_COLD_RESET, &atr), STATUS_SUCCESS);
                        if (slot == 1) {
                            EXPECT_EQ(atr, kAtrT0);
                        } else if (atrs[i] != nullptr) {
                            EXPECT_EQ(atr, *atrs[i]);
                        }
                        ASSERT_EQ(client.set_protocol(protocol), STATUS_SUCCESS);
                        for (int round = 0; round < kRounds; ++round)
                            session(client, protocol, std::size_t(i * 100 + slot * 50 + round),
                                    std::uint8_t(i * 16 + slot * 8 + round));
                        ++finished;
                    }));
            }
        }
        // Meanwhile a fifth reader turns up on another serial port: no instance number is left
        // for it. What the refused add leaves behind, the empty pool at the end shows.
        PDEVICE_OBJECT fifth = kernel().create_pdo("reader-five");
        EXPECT_EQ(kernel().add_device(host.driver(), fifth), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(fifth->AttachedDevice, nullptr) << "no device of the driver on the fifth port";
        kernel().delete_pdo(fifth);
        for (kern::Thread& t : threads)
            t.join();
        EXPECT_EQ(finished, 8);
    }

    // A reader gone frees its number for the next one.
    EXPECT_EQ(readers[2]->remove(), STATUS_SUCCESS);
    PDEVICE_OBJECT next = kernel().create_pdo("reader-next");
    EXPECT_EQ(kernel().add_device(host.driver(), next), STATUS_SUCCESS);
    EXPECT_EQ(kernel().send_pnp(next, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    kernel().delete_pdo(next);

    for (host::Reader* r : readers) {
        if (r->added()) {
            EXPECT_EQ(r->remove(), STATUS_SUCCESS);
        }
    }
    settle(seconds(1));
    expect_nothing_left();
}

// ---------------------------------------------------------------------------------------------
// 4. Sleep and wake
// ---------------------------------------------------------------------------------------------
class SleepAndWake : public Scenario {
  protected:
    host::Reader* reader = nullptr;

    void bring_up(const char* card) {
        reader = &plug(card);
        reader_pdo = reader->pdo();
        ASSERT_EQ(reader->add(), STATUS_SUCCESS);
        ASSERT_EQ(reader->start(), STATUS_SUCCESS);
    }
    void sleep() {
        ASSERT_EQ(system_power(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
        ASSERT_EQ(system_power(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    }
    void wake() { ASSERT_EQ(system_power(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS); }
};

TEST_F(SleepAndWake, WithACardInsideTheParkedRequestCompletesOnWakeAndTheCardGoesOnWorking) {
    bring_up("t1");
    {
        kern::FileHandle handle = reader->open();
        Client slot0(*reader, handle, 0);
        power_up(slot0, SCARD_PROTOCOL_T1, kAtrT1);
        session(slot0, SCARD_PROTOCOL_T1, 0, 0x01);
        kern::PendingIo absent = slot0.park(IOCTL_SMARTCARD_IS_ABSENT);
        settle();
        ASSERT_FALSE(absent.done());

        sleep();
        settle();
        EXPECT_FALSE(absent.done()) << "nothing completes while the reader sleeps";
        // A request sent while asleep waits for the wake.
        std::atomic<ULONG> state_seen{0};
        kern::Thread early = kernel().spawn("early client", [&] {
            Client c(*reader, handle, 0);
            state_seen = c.state();
        });
        settle(seconds(5));
        EXPECT_EQ(state_seen, 0u) << "a request got through while the reader slept";

        wake();
        early.join();
        EXPECT_EQ(state_seen, ULONG(SCARD_SPECIFIC));
        ASSERT_TRUE(absent.wait_for(seconds(1)));
        EXPECT_EQ(absent.status(), STATUS_SUCCESS) << "the resource manager must look again";

        // The card kept its power and its protocol through the sleep.
        session(slot0, SCARD_PROTOCOL_T1, 0x80, 0x02);
        Client slot1(*reader, handle, 1);
        power_up(slot1, SCARD_PROTOCOL_T0, kAtrT0);
        session(slot1, SCARD_PROTOCOL_T0, 0x90, 0x03);
    }
    end_with_removal(*reader);
}

TEST_F(SleepAndWake, WithoutACardTheParkedRequestStaysParkedUntilACardArrives) {
    bring_up("");
    {
        kern::FileHandle handle = reader->open();
        Client slot0(*reader, handle, 0);
        kern::PendingIo present = slot0.park(IOCTL_SMARTCARD_IS_PRESENT);
        settle();
        ASSERT_FALSE(present.done());

        sleep();
        settle();
        wake();
        settle(seconds(2));
        EXPECT_FALSE(present.done()) << "no card was or is there";
        EXPECT_EQ(slot0.state(), ULONG(SCARD_ABSENT));

        insert(*reader, "t1");
        ASSERT_TRUE(present.wait_for(seconds(1)));
        EXPECT_EQ(present.status(), STATUS_SUCCESS);
        power_up(slot0, SCARD_PROTOCOL_T1, kAtrT1);
        session(slot0, SCARD_PROTOCOL_T1, 0x33, 0x04);
    }
    end_with_removal(*reader);
}

TEST_F(SleepAndWake, ACardTakenOutDuringTheSleepIsReportedOnWakeAndItsSuccessorNeedsAReset) {
    bring_up("t1");
    {
        kern::FileHandle handle = reader->open();
        Client slot0(*reader, handle, 0);
        power_up(slot0, SCARD_PROTOCOL_T1, kAtrT1);
        kern::PendingIo absent = slot0.park(IOCTL_SMARTCARD_IS_ABSENT);
        settle();
        ASSERT_FALSE(absent.done());

        sleep();
        take_out(*reader);
        EXPECT_FALSE(absent.done()) << "nothing completes while the reader sleeps";
        wake();
        ASSERT_TRUE(absent.wait_for(seconds(1)));
        EXPECT_EQ(absent.status(), STATUS_SUCCESS);
        EXPECT_EQ(slot0.state(), ULONG(SCARD_ABSENT));

        // A card put in after the wake is not the one that was powered: it needs a reset.
        kern::PendingIo present = slot0.park(IOCTL_SMARTCARD_IS_PRESENT);
        insert(*reader, "t0");
        ASSERT_TRUE(present.wait_for(seconds(1)));
        EXPECT_EQ(present.status(), STATUS_SUCCESS);
        Data response;
        const NTSTATUS stale = slot0.transmit(SCARD_PROTOCOL_T1, kSelectApplication, &response);
        EXPECT_NE(stale, STATUS_SUCCESS);
        EXPECT_TRUE(is_defined_failure(stale)) << std::hex << stale;
        power_up(slot0, SCARD_PROTOCOL_T0, kAtrT0);
        session(slot0, SCARD_PROTOCOL_T0, 0x1A0, 0x05);
    }
    end_with_removal(*reader);
}

TEST_F(SleepAndWake, ACardPutInDuringTheSleepIsReportedOnWake) {
    bring_up("");
    {
        kern::FileHandle handle = reader->open();
        Client slot0(*reader, handle, 0);
        kern::PendingIo present = slot0.park(IOCTL_SMARTCARD_IS_PRESENT);
        settle();
        ASSERT_FALSE(present.done());

        sleep();
        insert(*reader, "t0");
        EXPECT_FALSE(present.done()) << "nothing completes while the reader sleeps";
        wake();
        ASSERT_TRUE(present.wait_for(seconds(1)));
        EXPECT_EQ(present.status(), STATUS_SUCCESS);
        power_up(slot0, SCARD_PROTOCOL_T0, kAtrT0);
        session(slot0, SCARD_PROTOCOL_T0, 0x77, 0x0A);
    }
    end_with_removal(*reader);
}

TEST_F(SleepAndWake, TheSystemTriesToSleepWhileBothSlotsAreBusyAndNoAnswerSuffers) {
    bring_up("t1");
    {
        kern::FileHandle handle = reader->open();
        constexpr int kRounds = 12;
        std::atomic<int> running{2};
        auto run = [&](int slot) {
            Client client(*reader, handle, slot);
            const ULONG protocol = slot == 0 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
            power_up(client, protocol, slot == 0 ? kAtrT1 : kAtrT0);
            for (int i = 0; i < kRounds; ++i) {
                session(client, protocol, std::size_t(slot * 200 + i * 7),
                        std::uint8_t(slot * 0x40 + i));
                // The user thinks a while: now and then both slots are idle at once.
                kernel().sleep_for(milliseconds(400 + 130 * slot));
            }
            --running;
        };
        kern::Thread t0 = kernel().spawn("slot 0 client", [&] { run(0); });
        kern::Thread t1 = kernel().spawn("slot 1 client", [&] { run(1); });
        int slept = 0;
        int refused = 0;
        while (running > 0) {
            const NTSTATUS query = system_power(IRP_MN_QUERY_POWER, PowerSystemSleeping3);
            if (query == STATUS_SUCCESS) {
                ++slept;
                EXPECT_EQ(system_power(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
                settle(seconds(1));
                EXPECT_EQ(system_power(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
            } else {
                ++refused;
                EXPECT_EQ(query, STATUS_DEVICE_BUSY);
            }
            settle(milliseconds(37));
        }
        t0.join();
        t1.join();
        EXPECT_GT(slept, 0);
        EXPECT_GT(refused, 0);
    }
    end_with_removal(*reader);
}

TEST_F(SleepAndWake, AReaderPulledOutWhileAsleepIsRemovedWithoutWakingAndLeavesNothing) {
    bring_up("t1");
    kern::FileHandle handle = reader->open();
    Client slot0(*reader, handle, 0);
    power_up(slot0, SCARD_PROTOCOL_T1, kAtrT1);
    kern::PendingIo absent = slot0.park(IOCTL_SMARTCARD_IS_ABSENT);
    settle();
    ASSERT_FALSE(absent.done());
    sleep();

    // Unplugged during the sleep; the system finds it gone and removes it.
    set_reader_power(*reader, false);
    EXPECT_EQ(reader->surprise_removal(), STATUS_SUCCESS);
    std::atomic<bool> removed{false};
    kern::Thread removal = kernel().spawn("removal", [&] {
        EXPECT_EQ(reader->remove(), STATUS_SUCCESS);
        removed = true;
    });
    settle(seconds(2));
    EXPECT_FALSE(removed) << "the device went while a handle was still open";
    EXPECT_FALSE(absent.done()) << "nothing completes while the reader sleeps";
    EXPECT_EQ(handle.close(), STATUS_SUCCESS);
    removal.join();
    ASSERT_TRUE(absent.wait_for(seconds(1)));
    EXPECT_TRUE(absent.status() == STATUS_SUCCESS || absent.status() == STATUS_CANCELLED)
        << std::hex << absent.status();
    absent = {};
    end_with_removal(*reader);
}

// ---------------------------------------------------------------------------------------------
// 5. The reader loses its power mid-session
// ---------------------------------------------------------------------------------------------
class Unplugged : public Scenario {
  protected:
    host::Reader* reader = nullptr;

    void bring_up() {
        reader = &plug("t1");
        ASSERT_EQ(reader->add(), STATUS_SUCCESS);
        ASSERT_EQ(reader->start(), STATUS_SUCCESS);
    }
    // A slow command (one second in the card) with the plug pulled half-way through it.
    NTSTATUS slow_command_cut_short(Client& slot0) {
        host::Reader* r = reader;
        kernel().schedule_after(
            milliseconds(500), [r] { r->sim().set_powered(false); }, "unplug");
        Data response;
        return slot0.transmit(SCARD_PROTOCOL_T1, {0x80, 0x10, 0x0A, 0x00, 0x02, 0xAB, 0xCD},
                              &response);
    }
    void expect_both_slots_fail(Client& slot0, Client& slot1) {
        Data response;
        for (Client* c : {&slot0, &slot1}) {
            const NTSTATUS s = c->transmit(c == &slot0 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0,
                                           kSelectApplication, &response);
            EXPECT_NE(s, STATUS_SUCCESS);
            EXPECT_TRUE(is_defined_failure(s)) << std::hex << s;
        }
    }
    // Powered again, the reader is stopped and started by the system, and a new session works.
    void restart_and_work() {
        set_reader_power(*reader, true);
        ASSERT_EQ(reader->query_stop(), STATUS_SUCCESS);
        ASSERT_EQ(reader->stop(), STATUS_SUCCESS);
        EXPECT_FALSE(reader->port().snapshot().open);
        ASSERT_EQ(reader->start(), STATUS_SUCCESS);
        EXPECT_TRUE(reader->port().snapshot().open);
        kern::FileHandle handle = reader->open();
        Client slot0(*reader, handle, 0);
        Client slot1(*reader, handle, 1);
        power_up(slot0, SCARD_PROTOCOL_T1, kAtrT1);
        session(slot0, SCARD_PROTOCOL_T1, 0x11, 0x07);
        power_up(slot1, SCARD_PROTOCOL_T0, kAtrT0);
        session(slot1, SCARD_PROTOCOL_T0, 0x12, 0x08);
    }
};

TEST_F(Unplugged, BetweenCommandsTheRequestsFailThePortClosesAndARestartBringsItBack) {
    bring_up();
    {
        kern::FileHandle handle = reader->open();
        Client slot0(*reader, handle, 0);
        Client slot1(*reader, handle, 1);
        power_up(slot0, SCARD_PROTOCOL_T1, kAtrT1);
        power_up(slot1, SCARD_PROTOCOL_T0, kAtrT0);
        session(slot0, SCARD_PROTOCOL_T1, 0x10, 0x06);

        set_reader_power(*reader, false);
        EXPECT_FALSE(reader->port().snapshot().open) << "the port stays open to a dead reader";
        expect_both_slots_fail(slot0, slot1);
    }
    restart_and_work();
    end_with_removal(*reader);
}

TEST_F(Unplugged, MidCommandTheRequestsFailAndARestartBringsItBack) {
    bring_up();
    {
        kern::FileHandle handle = reader->open();
        Client slot0(*reader, handle, 0);
        Client slot1(*reader, handle, 1);
        power_up(slot0, SCARD_PROTOCOL_T1, kAtrT1);
        power_up(slot1, SCARD_PROTOCOL_T0, kAtrT0);
        const NTSTATUS cut = slow_command_cut_short(slot0);
        EXPECT_NE(cut, STATUS_SUCCESS);
        EXPECT_TRUE(is_defined_failure(cut)) << std::hex << cut;
        settle(seconds(2));
        expect_both_slots_fail(slot0, slot1);
    }
    restart_and_work();
    end_with_removal(*reader);
}

// ---------------------------------------------------------------------------------------------
// 6. A tracking request parked across stop, restart and removal
// ---------------------------------------------------------------------------------------------
TEST_F(Scenario, ParkedTrackingRequestsEndWithADefinedStatusByTheRemovalAtTheLatest) {
    host::Reader& reader = plug("t1");
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    kern::FileHandle handle = reader.open();
    Client slot0(reader, handle, 0);
    Client slot1(reader, handle, 1);
    // The card stays in all along; slot 1 always holds one. Neither request has a reason to end.
    kern::PendingIo absent0 = slot0.park(IOCTL_SMARTCARD_IS_ABSENT);
    kern::PendingIo absent1 = slot1.park(IOCTL_SMARTCARD_IS_ABSENT);
    settle();
    ASSERT_FALSE(absent0.done());
    ASSERT_FALSE(absent1.done());

    ASSERT_EQ(reader.query_stop(), STATUS_SUCCESS) << "parked requests do not hold a stop up";
    ASSERT_EQ(reader.stop(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    settle();
    for (kern::PendingIo* p : {&absent0, &absent1}) {
        if (p->done()) {
            EXPECT_TRUE(p->status() == STATUS_SUCCESS || p->status() == STATUS_CANCELLED)
                << std::hex << p->status();
        }
    }
    // The restarted reader serves the same handle.
    power_up(slot0, SCARD_PROTOCOL_T1, kAtrT1);
    session(slot0, SCARD_PROTOCOL_T1, 0x20, 0x09);

    // The system asks to remove the device; the client gives up its waits and its handle.
    ASSERT_EQ(reader.query_remove(), STATUS_SUCCESS);
    for (kern::PendingIo* p : {&absent0, &absent1}) {
        if (!p->done())
            p->cancel();
        ASSERT_TRUE(p->wait_for(seconds(1))) << "a cancelled tracking request stays pending";
        EXPECT_TRUE(p->status() == STATUS_SUCCESS || p->status() == STATUS_CANCELLED)
            << std::hex << p->status();
    }
    absent0 = {};
    absent1 = {};
    EXPECT_EQ(handle.close(), STATUS_SUCCESS);
    end_with_removal(reader);
}

TEST_F(Scenario, SlotZerosParkedRequestOutlivesAStopEndsOnTheRestartAndAtTheLatestAtTheClose) {
    host::Reader& reader = plug("t1");
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    kern::PendingIo before_stop;
    kern::PendingIo after_restart;
    {
        kern::FileHandle handle = reader.open();
        Client slot0(reader, handle, 0);
        before_stop = slot0.park(IOCTL_SMARTCARD_IS_ABSENT);
        settle();
        ASSERT_FALSE(before_stop.done());
        ASSERT_EQ(reader.query_stop(), STATUS_SUCCESS);
        ASSERT_EQ(reader.stop(), STATUS_SUCCESS);
        settle();
        EXPECT_FALSE(before_stop.done()) << "the card did not go anywhere";
        // The restarted reader looks at its lines afresh, and the waiting client is told to look
        // at the card again.
        ASSERT_EQ(reader.start(), STATUS_SUCCESS);
        ASSERT_TRUE(before_stop.wait_for(seconds(1)));
        EXPECT_EQ(before_stop.status(), STATUS_SUCCESS);

        after_restart = slot0.park(IOCTL_SMARTCARD_IS_ABSENT);
        settle();
        ASSERT_FALSE(after_restart.done());
        ASSERT_EQ(reader.query_remove(), STATUS_SUCCESS);
    } // the client closes its handle without cancelling anything
    ASSERT_TRUE(after_restart.wait_for(seconds(1))) << "the request outlived its handle";
    EXPECT_EQ(after_restart.status(), STATUS_SUCCESS);
    before_stop = {};
    after_restart = {};
    EXPECT_EQ(reader.remove(), STATUS_SUCCESS);
    end_with_removal(reader);
}

TEST_F(Scenario, AClientWatchingBothSlotsCancelsOneWaitWithoutDisturbingTheOther) {
    host::Reader& reader = plug("");
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    {
        kern::FileHandle handle = reader.open();
        kern::PendingIo present0 = Client(reader, handle, 0).park(IOCTL_SMARTCARD_IS_PRESENT);
        kern::PendingIo absent1 = Client(reader, handle, 1).park(IOCTL_SMARTCARD_IS_ABSENT);
        settle();
        ASSERT_FALSE(present0.done());
        ASSERT_FALSE(absent1.done());

        absent1.cancel();
        ASSERT_TRUE(absent1.wait_for(seconds(1))) << "slot 1's cancelled wait stays pending";
        EXPECT_EQ(absent1.status(), STATUS_CANCELLED);
        settle();
        EXPECT_FALSE(present0.done()) << "slot 0's wait ended without a card";

        insert(reader, "t1");
        ASSERT_TRUE(present0.wait_for(seconds(1)));
        EXPECT_EQ(present0.status(), STATUS_SUCCESS);

        // And the other way round: slot 0's wait cancelled, slot 1's left alone.
        kern::PendingIo absent0 = Client(reader, handle, 0).park(IOCTL_SMARTCARD_IS_ABSENT);
        absent1 = Client(reader, handle, 1).park(IOCTL_SMARTCARD_IS_ABSENT);
        settle();
        ASSERT_FALSE(absent0.done());
        ASSERT_FALSE(absent1.done());
        absent0.cancel();
        ASSERT_TRUE(absent0.wait_for(seconds(1)));
        EXPECT_EQ(absent0.status(), STATUS_CANCELLED);
        settle();
        EXPECT_FALSE(absent1.done()) << "slot 1's wait ended with its card still in";
        absent1.cancel();
        ASSERT_TRUE(absent1.wait_for(seconds(1)));
        EXPECT_EQ(absent1.status(), STATUS_CANCELLED);
    }
    end_with_removal(reader);
}

// The cleanup of a handle ends both slots' parked tracking requests: slot 1 has no line that could
// ever end its own, and the handle's close waits for it.
TEST_F(Scenario, TheCleanupEndsASlot1RequestThatWouldOutliveItsHandle) {
    host::Reader& reader = plug("t1");
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    kern::PendingIo absent0;
    kern::PendingIo absent1;
    {
        kern::FileHandle handle = reader.open();
        absent0 = Client(reader, handle, 0).park(IOCTL_SMARTCARD_IS_ABSENT);
        absent1 = Client(reader, handle, 1).park(IOCTL_SMARTCARD_IS_ABSENT);
        settle();
        ASSERT_FALSE(absent0.done());
        ASSERT_FALSE(absent1.done());
        ASSERT_EQ(reader.query_remove(), STATUS_SUCCESS);
    } // the client closes its handle without cancelling anything
    settle();
    EXPECT_TRUE(absent0.done()) << "slot 0's request outlived its handle";
    EXPECT_EQ(absent0.status(), STATUS_SUCCESS);
    EXPECT_TRUE(absent1.done()) << "slot 1's request outlived its handle";
    EXPECT_EQ(absent1.status(), STATUS_CANCELLED);
    EXPECT_EQ(reader.remove(), STATUS_SUCCESS);
    absent0 = {};
    absent1 = {};
    end_with_removal(reader);
}

TEST_F(Scenario, ARequestWaitingForAStoppedReaderEndsWhenTheReaderIsRemovedInstead) {
    host::Reader& reader = plug("t1");
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    kern::FileHandle handle = reader.open();
    ASSERT_EQ(reader.query_stop(), STATUS_SUCCESS);
    ASSERT_EQ(reader.stop(), STATUS_SUCCESS);

    // A client asks while the reader is stopped: its request waits for the next start.
    std::atomic<bool> answered{false};
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    kern::Thread client = kernel().spawn("waiting client", [&] {
        Data out;
        status = reader.ioctl(handle, IOCTL_SMARTCARD_GET_STATE, {}, &out, 4);
        answered = true;
    });
    settle(seconds(2));
    EXPECT_FALSE(answered);

    // No start comes: the reader is taken away for good.
    ASSERT_EQ(reader.query_remove(), STATUS_SUCCESS);
    kern::Thread removal =
        kernel().spawn("removal", [&] { EXPECT_EQ(reader.remove(), STATUS_SUCCESS); });
    settle(seconds(2));
    EXPECT_TRUE(answered) << "the removal left a request waiting for a start that never comes";
    EXPECT_EQ(handle.close(), STATUS_SUCCESS);
    removal.join();
    client.join();
    EXPECT_EQ(status, STATUS_DEVICE_REMOVED);
    end_with_removal(reader);
}

// ---------------------------------------------------------------------------------------------
// 7. Surprise removal
// ---------------------------------------------------------------------------------------------
TEST_F(Scenario, ASurpriseRemovalWithAnOpenHandleAndAParkedRequestEndsCleanly) {
    host::Reader& reader = plug("t1");
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    kern::FileHandle handle = reader.open();
    Client slot0(reader, handle, 0);
    power_up(slot0, SCARD_PROTOCOL_T1, kAtrT1);
    kern::PendingIo absent = slot0.park(IOCTL_SMARTCARD_IS_ABSENT);
    settle();
    ASSERT_FALSE(absent.done());

    // The reader is pulled off the port: its lines drop, then the system learns of it.
    set_reader_power(reader, false);
    EXPECT_EQ(reader.surprise_removal(), STATUS_SUCCESS);
    settle();
    // The client's requests fail, none hangs.
    Data response;
    const NTSTATUS s = slot0.transmit(SCARD_PROTOCOL_T1, kSelectApplication, &response);
    EXPECT_NE(s, STATUS_SUCCESS);
    EXPECT_TRUE(is_defined_failure(s)) << std::hex << s;

    // The removal waits for the handle; the client lets go while the removal is under way.
    std::atomic<bool> removed{false};
    kern::Thread removal = kernel().spawn("removal", [&] {
        EXPECT_EQ(reader.remove(), STATUS_SUCCESS);
        removed = true;
    });
    settle(seconds(2));
    EXPECT_FALSE(removed) << "the device went while a handle was still open";
    kern::FileHandle second;
    EXPECT_NE(reader.open(&second), STATUS_SUCCESS) << "a new open during the removal";
    EXPECT_EQ(handle.close(), STATUS_SUCCESS);
    removal.join();
    EXPECT_TRUE(removed);
    ASSERT_TRUE(absent.wait_for(seconds(1)));
    EXPECT_TRUE(absent.status() == STATUS_SUCCESS || absent.status() == STATUS_CANCELLED)
        << std::hex << absent.status();
    absent = {};
    end_with_removal(reader);
}

TEST_F(Scenario, ASurpriseRemovalDuringACardCommandFailsItAndTheRemovalWaitsForTheClient) {
    host::Reader& reader = plug("t1");
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.start(), STATUS_SUCCESS);
    kern::FileHandle handle = reader.open();
    Client slot0(reader, handle, 0);
    power_up(slot0, SCARD_PROTOCOL_T1, kAtrT1);

    // The client is inside a slow command (one second in the card) when the reader is pulled.
    std::atomic<NTSTATUS> status{STATUS_PENDING};
    std::atomic<bool> closed{false};
    kern::Thread client = kernel().spawn("client", [&] {
        Data response;
        status = slot0.transmit(SCARD_PROTOCOL_T1, {0x80, 0x10, 0x0A, 0x00, 0x01, 0x42}, &response);
        // The client notices and lets go of the reader.
        EXPECT_EQ(handle.close(), STATUS_SUCCESS);
        closed = true;
    });
    settle(milliseconds(500));
    ASSERT_EQ(status, STATUS_PENDING);
    set_reader_power(reader, false);
    EXPECT_EQ(reader.surprise_removal(), STATUS_SUCCESS);
    EXPECT_EQ(reader.remove(), STATUS_SUCCESS);
    EXPECT_TRUE(closed) << "the device went while its client still held it";
    client.join();
    EXPECT_NE(status, STATUS_SUCCESS);
    EXPECT_TRUE(is_defined_failure(status)) << std::hex << status;
    end_with_removal(reader);
}

} // namespace
} // namespace qkr::scenarios
