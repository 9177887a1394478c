// Command exchanges against the simulated reader: its real replies, and the faults of a real line.
#include "tests/link/support.h"
#include "tools/host/host.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using qkr::host::Host;
using qkr::host::Reader;
using qkr::host::ReaderOptions;
using qkr::kern::milliseconds;
using qkr::kern::seconds;
using qkr::kern::Ticks;
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
        slot = reader->slot(0);
        host->clear_log();
    }
    void TearDown() override {
        reader->close_port();
        host.reset();
    }
    NTSTATUS exchange(const Bytes& payload, ULONG mode) {
        std::copy(payload.begin(), payload.end(), slot->SmartcardRequest.Buffer);
        slot->SmartcardRequest.BufferLength = static_cast<ULONG>(payload.size());
        return Qkr_ExchangeCommand(mode, slot);
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

TEST_F(SimExchange, RecoversFromOneBadCheckByteOneNakOrOneStrayEnd) {
    reader->sim().faults().corrupt_next(1);
    ASSERT_EQ(get_type(), STATUS_SUCCESS);
    expect_type_reply();
    EXPECT_EQ(count_lines(host->log(), "[Qkr_ReadWrite] RDDERR_DUE!\n"), 1u);

    host->clear_log();
    reader->sim().faults().nak_next(1);
    ASSERT_EQ(get_type(), STATUS_SUCCESS);
    expect_type_reply();
    EXPECT_EQ(count_lines(host->log(), "[Qkr_ReadWrite] RDDERR_NAK!\n"), 1u);

    // A DLE ETX before the reply ends the first attempt with nothing collected.
    host->clear_log();
    reader->sim().faults().stray_etx_next(1);
    ASSERT_EQ(get_type(), STATUS_SUCCESS);
    expect_type_reply();
    EXPECT_EQ(count_lines(host->log(), "[Qkr_ReadWrite] Invalid datablock received!\n"), 1u);
}

TEST_F(SimExchange, ToleratesNoiseDlePairsAndTinyChunks) {
    reader->sim().faults().noise_next(1);
    ASSERT_EQ(get_type(), STATUS_SUCCESS);
    expect_type_reply();
    reader->sim().faults().dle_pairs_next(1);
    ASSERT_EQ(get_type(), STATUS_SUCCESS);
    expect_type_reply();
    reader->sim().faults().chunk_next(1, milliseconds(300));
    ASSERT_EQ(get_type(), STATUS_SUCCESS);
    expect_type_reply();
    EXPECT_EQ(count_lines(host->log(), "[Qkr_ReadWrite] OK Exit!\n"), 3u);
    EXPECT_EQ(count_lines(host->log(), "[Qkr_ReadWrite] Enter :\n"), 3u) << "no retries";
}

TEST_F(SimExchange, PersistentFaultsExhaustTheThreeAttempts) {
    reader->sim().faults().nak_next(3);
    EXPECT_EQ(get_type(), QKR_STATUS_NAK);
    EXPECT_EQ(reader->sim().naks_sent(), 3u);

    reader->sim().faults().corrupt_next(3);
    EXPECT_EQ(get_type(), QKR_STATUS_BAD_FRAME);

    Ticks begin = host->kernel().now();
    reader->sim().faults().truncate_next(5, 3);
    EXPECT_EQ(get_type(), STATUS_IO_TIMEOUT);
    Ticks truncated = host->kernel().now() - begin;
    EXPECT_GE(truncated, 3 * seconds(2));
    EXPECT_LT(truncated, 3 * seconds(3));

    // The start-up queries wait 3 s for a silent reader, not minutes.
    begin = host->kernel().now();
    reader->sim().faults().silent_next(3);
    EXPECT_EQ(get_type(), STATUS_IO_TIMEOUT);
    Ticks silent = host->kernel().now() - begin;
    EXPECT_GE(silent, 3 * seconds(3));
    EXPECT_LT(silent, 3 * seconds(3) + seconds(1));

    // And the reader is still fine afterwards.
    ASSERT_EQ(get_type(), STATUS_SUCCESS);
    expect_type_reply();
}

TEST_F(SimExchange, SlowReplyWithinTheFirstByteTimeIsWaitedFor) {
    // A card command under T=0 may take minutes to start answering.
    reader->sim().faults().delay_next(seconds(200));
    ASSERT_EQ(exchange({RDCMD_GET_STATUS, 0x00, 0x00}, QKR_MODE_EXCHANGE), STATUS_SUCCESS);
    EXPECT_EQ(reply()[0], RDRSP_STATUS);
    EXPECT_EQ(count_lines(host->log(), "[Qkr_ReadWrite] Enter :\n"), 1u);
}

} // namespace
