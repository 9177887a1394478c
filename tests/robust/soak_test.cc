// The whole stack under a misbehaving line: card commands on both slots, T=1 in slot 0 and T=0 in
// slot 1, while the reader corrupts, NAKs, cuts short or delays a share of its frames at random and
// now and then loses its power. The test keeps its own copy of the file the commands read and write
// and compares every answer with it. A command either comes back with exactly the card's answer or
// fails with a status a client can act on, and the next one goes on without a reset in between:
// nothing comes back wrong or stale, no write that was reported done is lost, nothing hangs,
// nothing leaks. The plan is short; QKR_SOAK_APDUS makes the run as long as wanted.
#include "tests/robust/robust_support.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>

namespace qkr::robust {
namespace {

constexpr int kStuck = 10; // failures in a row on one slot that no fault share here explains
constexpr std::size_t kFileSize = 512;
constexpr int kUnknown = -1;
const Data kOk = {0x90, 0x00};

constexpr unsigned kFaultPercent = 20; // of the reader's frames
constexpr int kPowerLossEvery = 400;   // APDUs between losses of the reader's power

Data apdu(std::uint8_t ins, std::size_t offset, std::size_t length) {
    return {0x00, ins, std::uint8_t(offset >> 8), std::uint8_t(offset), std::uint8_t(length)};
}

class Soak {
  public:
    Soak(int apdus, host::Reader& reader, kern::FileHandle& handle)
        : apdus_(apdus), reader_(reader), clients_{{reader, handle, 0}, {reader, handle, 1}} {
        for (auto& file : files_)
            for (std::size_t i = 0; i < kFileSize; ++i)
                file[i] = int(i % 256);
    }

    void run() {
        if (!repower(0) || !repower(1))
            return;
        faults(true);
        while (sent < apdus_ && !stop_) {
            step(int(rng_() % 2));
            if (sent % kPowerLossEvery == 0 && sent < apdus_)
                power_loss();
        }
        // With the line quiet again, both files are read whole and every byte must be known.
        faults(false);
        for (int slot : {0, 1})
            for (std::size_t offset = 0; offset < kFileSize && !stop_; offset += 128) {
                while (!selected_[slot] && !stop_)
                    step(slot);
                read(slot, offset, 128, true);
            }
    }
    int sent = 0, ok = 0, failed = 0, restarts = 0;

  private:
    void step(int slot) {
        if (!selected_[slot]) {
            const auto response = send(slot, kSelectFile);
            selected_[slot] = response && check(slot, kSelectFile, *response == kOk, *response);
            return;
        }
        const std::size_t length = 1 + rng_() % 255;
        const std::size_t offset = rng_() % (kFileSize - length + 1);
        if (rng_() % 2)
            return read(slot, offset, length, false);
        Data update = apdu(0xD6, offset, length);
        for (std::size_t i = 0; i < length; ++i) {
            update.push_back(std::uint8_t(rng_()));
            files_[slot][offset + i] = kUnknown;
        }
        const auto response = send(slot, update);
        if (response && check(slot, update, *response == kOk, *response))
            std::copy(update.begin() + 5, update.end(), files_[slot].begin() + offset);
    }

    void read(int slot, std::size_t offset, std::size_t length, bool all_known) {
        const Data read = apdu(0xB0, offset, length);
        const auto response = send(slot, read);
        if (!response)
            return;
        auto& bytes = files_[slot];
        bool same =
            response->size() == length + 2 && Data(response->end() - 2, response->end()) == kOk;
        for (std::size_t i = 0; i < length && same; ++i)
            same = bytes[offset + i] == kUnknown ? !all_known : bytes[offset + i] == (*response)[i];
        if (check(slot, read, same, *response))
            std::copy(response->begin(), response->end() - 2, bytes.begin() + offset);
    }

    bool check(int slot, const Data& apdu, bool as_the_card_answers, const Data& response) {
        ok += as_the_card_answers;
        if (!as_the_card_answers) {
            ADD_FAILURE() << "APDU " << sent << " on slot " << slot << " "
                          << ::testing::PrintToString(apdu) << " came back with wrong data "
                          << ::testing::PrintToString(response);
            stop_ = true;
        }
        return as_the_card_answers;
    }

    // The response, or nothing when the APDU failed; it may fail only with a defined status,
    // and only while the reader is told to misbehave.
    std::optional<Data> send(int slot, const Data& apdu) {
        Data response;
        const NTSTATUS status = clients_[slot].transmit(protocol_of(slot), apdu, &response);
        ++sent;
        if (status == STATUS_SUCCESS) {
            failures_[slot] = 0;
            return response;
        }
        ++failed;
        EXPECT_TRUE(faulty_ && is_defined_failure(status))
            << "APDU " << sent << " on slot " << slot << " failed with 0x" << std::hex << status
            << (faulty_ ? "" : " on a quiet line");
        if (++failures_[slot] >= kStuck) {
            ADD_FAILURE() << "slot " << slot << " failed " << kStuck << " APDUs in a row";
            stop_ = true;
        }
        return std::nullopt;
    }

    bool repower(int slot) {
        selected_[slot] = false;
        const bool back = clients_[slot].power(SCARD_COLD_RESET) == STATUS_SUCCESS &&
                          clients_[slot].set_protocol(protocol_of(slot)) == STATUS_SUCCESS;
        EXPECT_TRUE(back) << "slot " << slot << " not back after a cold reset";
        stop_ = stop_ || !back;
        return back;
    }

    // The reader loses its power for a moment; the driver closes the port, and the device is
    // restarted and both cards powered again, as the system would after the reader came back.
    void power_loss() {
        faults(false);
        reader_.act_on_sim([](sim::ReaderSim& s) { s.drop_dsr(kern::milliseconds(100)); });
        reader_.kernel().sleep_for(kern::milliseconds(500));
        EXPECT_EQ(reader_.query_stop(), STATUS_SUCCESS);
        EXPECT_EQ(reader_.stop(), STATUS_SUCCESS);
        restarts += reader_.start() == STATUS_SUCCESS;
        if (repower(0) && repower(1))
            faults(true);
    }

    void faults(bool on) {
        const std::uint64_t seed = rng_();
        reader_.act_on_sim([&](sim::ReaderSim& s) {
            s.faults().clear();
            if (on)
                s.faults().random(seed, kFaultPercent);
        });
        faulty_ = on;
    }

    int apdus_;
    host::Reader& reader_;
    std::mt19937_64 rng_{8};
    Client clients_[2];
    // What the test knows of each card's file: its bytes where known. A failed UPDATE leaves its
    // range unknown until a read shows whether the card carried it out.
    std::array<int, kFileSize> files_[2];
    bool selected_[2] = {};
    int failures_[2] = {};
    bool faulty_ = false, stop_ = false;
};

// So many faults that three attempts often are not enough: the failures must be defined ones, and
// the command after each must get its own answer, with no reset in between.
TEST(FaultSoak, FaultyFramesAndPowerLossesFailApdusCleanlyAndNeverGiveWrongData) {
    const char* length = std::getenv("QKR_SOAK_APDUS");
    const int apdus = length != nullptr ? std::atoi(length) : 1000;
    SoakHost host;
    kern::FileHandle handle = host.reader.open();
    Soak soak(apdus, host.reader, handle);
    soak.run();
    handle.close();
    EXPECT_EQ(host.reader.remove(), STATUS_SUCCESS);
    host.kernel().sleep_for(kern::seconds(1));
    EXPECT_EQ(host.kernel().irps_live(), 0u);
    std::printf("soak: %d APDUs, %d ok, %d failed with defined statuses, %d restarts\n", soak.sent,
                soak.ok, soak.failed, soak.restarts);
    EXPECT_GT(soak.sent, apdus) << "the run ended early on a fault reported above";
    EXPECT_EQ(soak.restarts, (apdus - 1) / kPowerLossEvery);
    EXPECT_GT(soak.failed, 2) << "the faults did not reach the driver";
    EXPECT_GT(soak.ok, soak.sent * 3 / 4);
}

} // namespace
} // namespace qkr::robust
