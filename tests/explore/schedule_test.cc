// The controlled schedule: one thread at a time, chosen by a seeded generator, so that a run of
// two clients on both slots replays byte for byte from its seed.
#include "host/host.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <vector>

namespace qkr {
namespace {

using Data = std::vector<std::uint8_t>;

struct Outcome {
    std::vector<std::string> log;
    std::string wire;
    std::uint64_t fingerprint = 0;
    std::uint64_t switches = 0;
    std::vector<Data> answers;
};

// Two clients, one per slot, each through a cold reset, a protocol and three APDUs, at the same
// time on one reader.
Outcome two_clients(kern::ScheduleOptions schedule) {
    Outcome run;
    host::Host host(kern::ClockMode::Virtual, {}, schedule);
    host::ReaderOptions options;
    options.sim.slot0_card = "t1";
    host::Reader& reader = host.add_reader(options);
    EXPECT_EQ(reader.add(), STATUS_SUCCESS);
    EXPECT_EQ(reader.start(), STATUS_SUCCESS);
    kern::FileHandle handle = reader.open();
    std::vector<Data> answers[2];
    auto session = [&](int slot) {
        host::SlotClient client(reader, handle, slot);
        const ULONG protocol = slot == 0 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0;
        EXPECT_EQ(client.power(SCARD_COLD_RESET), STATUS_SUCCESS);
        EXPECT_EQ(client.set_protocol(protocol), STATUS_SUCCESS);
        for (const Data& apdu : {Data{0x00, 0xA4, 0x00, 0x00, 0x02, 0x2F, 0x00},
                                 Data{0x00, 0xB0, 0x00, 0x00, 0x04}, Data{0x00, 0x84, 0, 0, 8}}) {
            Data response;
            EXPECT_EQ(client.transmit(protocol, apdu, &response), STATUS_SUCCESS);
            answers[slot].push_back(response);
        }
    };
    {
        kern::Thread a = host.kernel().spawn("client 0", [&] { session(0); });
        kern::Thread b = host.kernel().spawn("client 1", [&] { session(1); });
    }
    handle.close();
    run.log = host.log();
    for (const serial::TapByte& b : reader.tap().bytes())
        run.wire += std::to_string(b.time) +
                    (b.direction == serial::Direction::ToHost ? "<" : ">") +
                    std::to_string(b.byte) + " ";
    run.fingerprint = host.kernel().schedule_fingerprint();
    run.switches = host.kernel().switch_points();
    run.answers = answers[0];
    run.answers.insert(run.answers.end(), answers[1].begin(), answers[1].end());
    return run;
}

TEST(ControlledSchedule, TheSameSeedReplaysTheSameInterleavingByteForByte) {
    std::vector<std::uint64_t> fingerprints;
    for (kern::Schedule kind : {kern::Schedule::Random, kern::Schedule::Pct}) {
        for (std::uint64_t seed : {1u, 2u, 3u, 4u}) {
            const Outcome first = two_clients({kind, seed});
            const Outcome second = two_clients({kind, seed});
            EXPECT_GT(first.switches, 100u);
            EXPECT_EQ(first.fingerprint, second.fingerprint) << "seed " << seed;
            EXPECT_EQ(first.log, second.log) << "seed " << seed;
            EXPECT_EQ(first.wire, second.wire) << "seed " << seed;
            EXPECT_EQ(first.answers, second.answers) << "seed " << seed;
            fingerprints.push_back(first.fingerprint);
        }
    }
    std::sort(fingerprints.begin(), fingerprints.end());
    EXPECT_GT(std::unique(fingerprints.begin(), fingerprints.end()) - fingerprints.begin(), 3)
        << "different seeds should choose different interleavings";
}

// A thread that only spins, with the clock standing still, would never end: the verifier says so,
// once, and in time for the spinning to stop.
TEST(ControlledSchedule, SwitchingWithoutTheClockMovingIsReportedAsALivelock) {
    kern::Kernel kernel(kern::ClockMode::Virtual, {kern::Schedule::Random, 1});
    std::atomic<int> livelocks{0};
    kernel.set_verifier_handler([&](const std::string& message) {
        if (message.rfind("livelock", 0) == 0)
            ++livelocks;
    });
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    kern::Thread spinner = kernel.spawn("spinner", [&] {
        for (int i = 0; i < 2'000'000 && livelocks.load() == 0; ++i) {
            KIRQL irql;
            KeAcquireSpinLock(&lock, &irql);
            KeReleaseSpinLock(&lock, irql);
        }
    });
    spinner.join();
    EXPECT_EQ(livelocks.load(), 1);
}

} // namespace
} // namespace qkr
