// The whole stack under a misbehaving line for a long run: thousands of card commands on both
// slots, T=1 in slot 0 and T=0 in slot 1, while the reader corrupts, NAKs, cuts short or delays a
// share of its frames at random and now and then loses its power. Each command either comes back
// with exactly the card's answer or fails with a status a client can act on; nothing comes back
// wrong, nothing hangs, nothing leaks.
#include "tests/robust/robust_support.h"

#include "sim/card.h"

#include <algorithm>
#include <cstdio>
#include <iostream>
#include <map>
#include <random>
#include <string>

namespace qkr::robust {
namespace {

constexpr int kRecoveryTries = 20;

struct Plan {
    int apdus;
    unsigned fault_percent; // of the reader's frames
    int dsr_drop_every;     // APDUs between losses of the reader's power
    std::uint64_t seed;
};

const Data kSelectDf = {0x00, 0xA4, 0x04, 0x0C, 0x08, 0xA0, 0x00,
                        0x00, 0x00, 0x51, 0x4B, 0x52, 0x01};
const Data kOk = {0x90, 0x00};

Data select_ef(std::uint16_t fid) {
    return {0x00, 0xA4, 0x00, 0x0C, 0x02, std::uint8_t(fid >> 8), std::uint8_t(fid)};
}

// What an APDU must answer when it succeeds.
struct Step {
    Data apdu;
    Data expected;               // exact response, when `any_bytes` is 0
    std::size_t any_bytes = 0;   // so many unpredictable bytes, then 90 00 (GET CHALLENGE)
    bool needed_by_rest = false; // a failure leaves the card's selection unknown: end the group
};

struct Tally {
    int sent = 0;
    int ok = 0;
    int failed = 0;
    int wrong = 0;
    int repowers = 0;
    int restarts = 0;
    // Exchange attempts the driver saw fail, by the line it logged: what the faults cost.
    int naks = 0;
    int bad_frames = 0;
    int incomplete = 0;
    int timeouts = 0;
    std::map<NTSTATUS, int> statuses;
};

class Soak {
  public:
    Soak(Plan plan, SoakHost& host, host::Reader& reader, kern::FileHandle& handle)
        : plan_(plan), host_(host), reader_(reader), handle_(handle), rng_(plan.seed) {
        clients_.emplace_back(reader, handle, 0);
        clients_.emplace_back(reader, handle, 1);
    }

    Tally run() {
        for (int slot = 0; slot < 2; ++slot)
            if (!repower(slot))
                return tally_;
        faults_on();
        int next_drop = plan_.dsr_drop_every;
        while (tally_.sent < plan_.apdus) {
            const int slot = int(rng_() % 2);
            const bool going = run_group(slot, make_group());
            count_attempt_failures();
            if (!going)
                return tally_;
            if (tally_.sent >= next_drop && tally_.sent < plan_.apdus) {
                next_drop += plan_.dsr_drop_every;
                if (!power_loss())
                    return tally_;
            }
        }
        faults_off();
        return tally_;
    }

  private:
    static ULONG protocol(int slot) { return slot == 0 ? SCARD_PROTOCOL_T1 : SCARD_PROTOCOL_T0; }

    std::vector<Step> make_group() {
        std::vector<Step> steps;
        switch (rng_() % 3) {
        case 0: { // READ BINARY of the counting file, any offset and length inside it
            const std::size_t length = 1 + rng_() % 256;
            const std::size_t offset = rng_() % (512 - length + 1);
            steps.push_back({kSelectDf, kOk, 0, true});
            steps.push_back({select_ef(0x5001), kOk, 0, true});
            Data expected;
            for (std::size_t i = 0; i < length; ++i)
                expected.push_back(std::uint8_t(offset + i));
            expected.insert(expected.end(), kOk.begin(), kOk.end());
            steps.push_back({{0x00, 0xB0, std::uint8_t(offset >> 8), std::uint8_t(offset),
                              std::uint8_t(length)},
                             expected});
            break;
        }
        case 1: { // UPDATE BINARY of the scratch file, then the same bytes read back
            const std::size_t length = 1 + rng_() % 120;
            const std::size_t offset = rng_() % (128 - length + 1);
            Data update = {0x00, 0xD6, 0x00, std::uint8_t(offset), std::uint8_t(length)};
            Data body;
            for (std::size_t i = 0; i < length; ++i)
                body.push_back(std::uint8_t(rng_()));
            update.insert(update.end(), body.begin(), body.end());
            body.insert(body.end(), kOk.begin(), kOk.end());
            steps.push_back({select_ef(0x5003), kOk, 0, true});
            steps.push_back({update, kOk, 0, true});
            steps.push_back({{0x00, 0xB0, 0x00, std::uint8_t(offset), std::uint8_t(length)}, body});
            break;
        }
        default: { // GET CHALLENGE
            const std::size_t length = 1 + rng_() % 32;
            steps.push_back({{0x00, 0x84, 0x00, 0x00, std::uint8_t(length)}, {}, length});
            break;
        }
        }
        return steps;
    }

    // False when the stack could not be brought back: the run ends there.
    bool run_group(int slot, const std::vector<Step>& steps) {
        for (const Step& step : steps) {
            if (tally_.sent >= plan_.apdus)
                return true;
            Data response;
            const NTSTATUS status = clients_[slot].transmit(protocol(slot), step.apdu, &response);
            ++tally_.sent;
            if (status == STATUS_SUCCESS) {
                if (matches(step, response)) {
                    ++tally_.ok;
                    continue;
                }
                ++tally_.wrong;
                ADD_FAILURE() << "APDU " << tally_.sent << " on slot " << slot
                              << " came back with wrong data: " << hex(response) << " for "
                              << hex(step.apdu);
            } else {
                ++tally_.failed;
                ++tally_.statuses[status];
                if (!is_defined_failure(status))
                    ADD_FAILURE() << "APDU " << tally_.sent << " on slot " << slot
                                  << " failed with an undefined status 0x" << std::hex << status;
            }
            // Whatever half of an exchange the card saw, a fresh reset puts both ends back in step.
            return repower(slot);
        }
        return true;
    }

    // The driver's log would grow by some thirty lines an APDU; it is read and dropped per group.
    void count_attempt_failures() {
        for (const std::string& line : host_.log()) {
            if (line.find("RDDERR_NAK") != std::string::npos)
                ++tally_.naks;
            else if (line.find("RDDERR_DUE") != std::string::npos)
                ++tally_.bad_frames;
            else if (line.find("Invalid datablock received") != std::string::npos)
                ++tally_.incomplete;
            else if (line.find("TIMEOUT") != std::string::npos ||
                     line.find("timeout") != std::string::npos)
                ++tally_.timeouts;
        }
        host_.clear_log();
    }

    static bool matches(const Step& step, const Data& response) {
        if (step.any_bytes == 0)
            return response == step.expected;
        return response.size() == step.any_bytes + 2 &&
               std::equal(kOk.begin(), kOk.end(), response.end() - 2);
    }

    bool repower(int slot) {
        for (int i = 0; i < kRecoveryTries; ++i) {
            ++tally_.repowers;
            if (clients_[slot].power(SCARD_COLD_RESET) == STATUS_SUCCESS &&
                clients_[slot].set_protocol(protocol(slot)) == STATUS_SUCCESS)
                return true;
        }
        ADD_FAILURE() << "slot " << slot << " not back after " << kRecoveryTries << " resets";
        return false;
    }

    // The reader loses its power for a moment; the driver closes the port, and the device is
    // restarted and both cards powered again, as the system would after the reader came back.
    bool power_loss() {
        faults_off();
        in_timer(host_.kernel(), [this] { reader_.sim().drop_dsr(kern::milliseconds(100)); });
        host_.kernel().sleep_for(kern::milliseconds(500));
        ++tally_.restarts;
        EXPECT_EQ(reader_.query_stop(), STATUS_SUCCESS);
        EXPECT_EQ(reader_.stop(), STATUS_SUCCESS);
        if (reader_.start() != STATUS_SUCCESS) {
            ADD_FAILURE() << "no restart after a power loss";
            return false;
        }
        faults_on();
        return repower(0) && repower(1);
    }

    void faults_on() {
        const std::uint64_t seed = rng_();
        in_timer(host_.kernel(),
                 [this, seed] { reader_.sim().faults().random(seed, plan_.fault_percent); });
    }
    void faults_off() {
        in_timer(host_.kernel(), [this] { reader_.sim().faults().clear(); });
    }

    static std::string hex(const Data& d) {
        std::string s;
        char buf[4];
        for (std::uint8_t b : d) {
            std::snprintf(buf, sizeof buf, "%02X ", b);
            s += buf;
        }
        return s;
    }

    Plan plan_;
    SoakHost& host_;
    host::Reader& reader_;
    kern::FileHandle& handle_;
    std::vector<Client> clients_;
    std::mt19937_64 rng_;
    Tally tally_;
};

// One reader, the T=1 card in slot 0 and the T=0 card in slot 1, through a whole plan; prints the
// figures and returns them.
Tally soak(const Plan& plan) {
    Tally tally;
    {
        SoakHost host;
        host::ReaderOptions options;
        options.sim.slot0_card = "t1";
        options.sim.slot1_card = "t0";
        options.tap = false; // a long run: the record of every byte would only grow
        host::Reader& reader = host.add_reader(options);
        EXPECT_EQ(reader.add(), STATUS_SUCCESS);
        EXPECT_EQ(reader.start(), STATUS_SUCCESS);
        kern::FileHandle handle = reader.open();
        EXPECT_TRUE(handle.is_open());
        if (handle.is_open())
            tally = Soak(plan, host, reader, handle).run();
        handle.close();
        EXPECT_EQ(reader.remove(), STATUS_SUCCESS);
        host.kernel().sleep_for(kern::seconds(1));
        EXPECT_EQ(host.kernel().irps_live(), 0u);
    } // the kernel's end-of-life checks: pool, IRPs, devices

    const double recovered = tally.sent == 0 ? 0.0 : 100.0 * tally.ok / tally.sent;
    char line[160];
    std::snprintf(line, sizeof line,
                  "soak: %d APDUs, %d ok, %d failed with defined statuses (%.1f%% recovered)",
                  tally.sent, tally.ok, tally.failed, recovered);
    std::cout << line << "\n";
    std::cout << "soak: " << plan.fault_percent
              << "% faulty frames; exchange attempts spoiled: " << tally.naks << " NAKs, "
              << tally.bad_frames - tally.naks << " bad frames, " << tally.incomplete
              << " incomplete, " << tally.timeouts << " time-outs\n";
    std::cout << "soak: " << tally.repowers << " card resets, " << tally.restarts
              << " restarts after a power loss\n";
    for (const auto& [status, count] : tally.statuses) {
        std::snprintf(line, sizeof line, "soak:   failed with 0x%08X x %d", unsigned(status),
                      count);
        std::cout << line << "\n";
    }
    EXPECT_EQ(tally.sent, plan.apdus);
    EXPECT_EQ(tally.wrong, 0);
    EXPECT_EQ(tally.ok + tally.failed + tally.wrong, tally.sent);
    return tally;
}

TEST(FaultSoak, TwoPercentFaultyFramesCostNoApduAndNeverGiveWrongData) {
    const Tally tally = soak({10000, 2, 1000, 20261205});
    // Three attempts per exchange absorb nearly every lost frame.
    EXPECT_GT(tally.ok, tally.sent * 99 / 100);
    // The faults did reach the driver.
    EXPECT_GT(tally.naks, 20);
    EXPECT_GT(tally.bad_frames - tally.naks, 20);
    EXPECT_GT(tally.timeouts, 20);
    EXPECT_EQ(tally.restarts, 9);
}

// So many faults that three attempts often are not enough: the failures must still be defined
// ones, and a reset must always bring the card back.
TEST(FaultSoak, AQuarterOfFaultyFramesFailsApdusCleanlyAndNeverGivesWrongData) {
    const Tally tally = soak({1000, 25, 400, 7});
    EXPECT_GT(tally.failed, 0);
    EXPECT_GT(tally.ok, tally.sent / 2);
}

} // namespace
} // namespace qkr::robust
