// Command exchanges against the simulated reader: its real replies, and the faults of a real line.
#include "host/host.h"
#include "tests/link/support.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>

namespace {

using qkr::host::Host;
using qkr::host::Reader;
using qkr::host::ReaderOptions;
using qkr::kern::milliseconds;
using qkr::kern::seconds;
using qkr::testing::Bytes;
using qkr::testing::count_lines;

class SimExchange : public ::testing::Test {
  protected:
    void SetUp() override {
        host = std::make_unique<Host>();
        ReaderOptions options;
        options.sim.firmware = "0011";
        reader = &host->add_reader(std::move(options));
        ASSERT_EQ(reader->add(), STATUS_SUCCESS);
        ASSERT_EQ(reader->open_port(), STATUS_SUCCESS);
        slot = qkr::host::DriverRecords::slot(*reader, 0);
        host->clear_log();
    }
    void TearDown() override {
        reader->close_port();
        host.reset();
    }
    NTSTATUS exchange(const Bytes& payload, ULONG mode) {
        std::copy(payload.begin(), payload.end(), slot->SmartcardRequest.Buffer);
        slot->SmartcardRequest.BufferLength = static_cast<ULONG>(payload.size());
        return qkr::testing::exchange_in_conversation(mode, slot);
    }
    Bytes reply() const {
        return Bytes(slot->SmartcardReply.Buffer,
                     slot->SmartcardReply.Buffer + slot->SmartcardReply.BufferLength);
    }
    NTSTATUS get_type() { return exchange({RDCMD_GET_TYPE, 0x00, 0x00}, QKR_MODE_START); }
    void expect_type_reply() {
        Bytes r = reply();
        ASSERT_EQ(r.size(), 21u) << "reply code, second byte, length, 16 bytes, check byte";
        EXPECT_EQ(r[0], RDRSP_TYPE);
        EXPECT_EQ(r[1], 0x00);
        EXPECT_EQ(r[2], 0x00);
        EXPECT_EQ(r[3], 16);
        EXPECT_EQ(std::string(r.begin() + 16, r.begin() + 20), "0011");
        UCHAR x = 0;
        for (auto b : r)
            x ^= b;
        EXPECT_EQ(x, 0);
    }

    std::unique_ptr<Host> host;
    Reader* reader = nullptr;
    SMARTCARD_EXTENSION* slot = nullptr;
};

TEST_F(SimExchange, ReaderTypeQueryIsAnswered) {
    ASSERT_EQ(get_type(), STATUS_SUCCESS);
    expect_type_reply();
    EXPECT_EQ(reader->sim().commands_received(), 1u);
}

// One fault of a real line at a time: a bad check byte, a NAK and a stray frame end cost one
// attempt; noise, doubled DLEs before the frame and tiny chunks cost none. (Faults that last
// through all three attempts are played by the scripted reader in exchange_test.)
TEST_F(SimExchange, SingleLineFaultsAreRecoveredFrom) {
    struct Case {
        const char* name;
        std::function<void(qkr::sim::Faults&)> inject;
        const char* failed_attempt; // the line the failed attempt logs; nullptr: no retry
    };
    const Case cases[] = {
        {"bad check byte", [](auto& f) { f.corrupt_next(1); }, "[Qkr_ReadWrite] RDDERR_DUE!\n"},
        {"NAK", [](auto& f) { f.nak_next(1); }, "[Qkr_ReadWrite] RDDERR_NAK!\n"},
        {"stray DLE ETX", [](auto& f) { f.stray_etx_next(1); },
         "[Qkr_ReadWrite] Invalid datablock received!\n"},
        {"noise", [](auto& f) { f.noise_next(1); }, nullptr},
        {"DLE pairs", [](auto& f) { f.dle_pairs_next(1); }, nullptr},
        {"one-byte chunks", [](auto& f) { f.chunk_next(1, milliseconds(300)); }, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host->clear_log();
        c.inject(reader->sim().faults());
        ASSERT_EQ(get_type(), STATUS_SUCCESS);
        expect_type_reply();
        EXPECT_EQ(count_lines(host->log(), "[Qkr_ReadWrite] Enter :\n"),
                  c.failed_attempt ? 2u : 1u);
        if (c.failed_attempt != nullptr) {
            EXPECT_EQ(count_lines(host->log(), c.failed_attempt), 1u);
        }
    }
}

TEST_F(SimExchange, SlowReplyWithinTheFirstByteTimeIsWaitedFor) {
    // A card command under T=0 may take minutes to start answering.
    reader->sim().faults().delay_next(seconds(200));
    ASSERT_EQ(exchange({RDCMD_GET_STATUS, 0x00, 0x00}, QKR_MODE_EXCHANGE), STATUS_SUCCESS);
    EXPECT_EQ(reply()[0], RDRSP_STATUS);
    EXPECT_EQ(count_lines(host->log(), "[Qkr_ReadWrite] Enter :\n"), 1u);
}

// A USB serial adapter reports its transmit queue empty late, often after a quick reader's whole
// reply has come in: that reply must still be taken, at once.
TEST_F(SimExchange, ReplyThatArrivesBeforeTheTransmitEmptyReportIsTaken) {
    reader->line().set_tx_empty_lag(milliseconds(40));
    const auto started = host->kernel().now();
    ASSERT_EQ(exchange({RDCMD_GET_STATUS, 0x00, 0x00}, QKR_MODE_EXCHANGE), STATUS_SUCCESS);
    EXPECT_EQ(reply()[0], RDRSP_STATUS);
    EXPECT_LT(host->kernel().now() - started, milliseconds(100));
}

} // namespace
