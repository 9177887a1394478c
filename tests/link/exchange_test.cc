// One command and its reply through the real port stand-in and line, with a scripted reader at the
// far end: the requests the port sees, the bytes on the line, the log and the status, including
// every way an attempt can fail and the retries.
#include "host/host.h"
#include "tests/link/scripted_reader.h"
#include "tests/link/support.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

namespace {

using qkr::host::Host;
using qkr::host::Reader;
using qkr::host::ReaderOptions;
using qkr::kern::milliseconds;
using qkr::kern::seconds;
using qkr::kern::Ticks;
using qkr::serial::Direction;
using qkr::serial::RequestKind;
using qkr::serial::TapRequest;
using qkr::testing::Bytes;
using qkr::testing::count_lines;
using qkr::testing::has_in_order;
using qkr::testing::lines_starting;
using qkr::testing::ScriptedReader;
using qkr::testing::ScriptedReply;

const Bytes kGetType = {0x60, 0x00, 0x00};
const Bytes kGetTypeFrame = {0x10, 0x02, 0x60, 0x00, 0x00, 0x60, 0x10, 0x03};
const Bytes kNak = {0x10, 0x02, 0x15, 0x15, 0x10, 0x03};
// A reader status reply: 61 00 00 01 08, check byte 68.
const Bytes kStatusReply = {0x10, 0x02, 0x61, 0x00, 0x00, 0x01, 0x08, 0x68, 0x10, 0x03};
const Bytes kStatusDecoded = {0x61, 0x00, 0x00, 0x01, 0x08, 0x68};

std::string hex(const std::vector<std::uint8_t>& bytes) {
    std::string s;
    char buf[4];
    for (auto b : bytes) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        s += buf;
    }
    return s;
}

// One request at the port in a few words, so sequences read like the driver's steps.
std::string describe(const TapRequest& q) {
    static const std::map<ULONG, std::string> names = {{IOCTL_SERIAL_PURGE, "purge "},
                                                       {IOCTL_SERIAL_SET_WAIT_MASK, "mask "},
                                                       {IOCTL_SERIAL_WAIT_ON_MASK, "wait"},
                                                       {IOCTL_SERIAL_GET_COMMSTATUS, "status"},
                                                       {IOCTL_SERIAL_GET_MODEMSTATUS, "modem"}};
    if (q.major == IRP_MJ_WRITE)
        return "write " + hex(q.input);
    if (q.major == IRP_MJ_READ)
        return "read " + std::to_string(q.output_length);
    const auto name = names.find(q.code);
    if (q.major != IRP_MJ_DEVICE_CONTROL || name == names.end())
        return "other " + std::to_string(q.major) + "/" + std::to_string(q.code);
    return name->second.back() == ' ' ? name->second + hex(q.input) : name->second;
}

class Exchange : public ::testing::Test {
  protected:
    void SetUp() override {
        host = std::make_unique<Host>();
        device = std::make_unique<ScriptedReader>(host->kernel());
        ReaderOptions options;
        options.device = device.get();
        reader = &host->add_reader(std::move(options));
        ASSERT_EQ(reader->add(), STATUS_SUCCESS);
        ASSERT_EQ(reader->open_port(), STATUS_SUCCESS);
        slot = qkr::host::DriverRecords::slot(*reader, 0);
        x = slot->ReaderExtension;
        reader->tap().clear();
        host->clear_log();
    }
    void TearDown() override {
        if (reader != nullptr) {
            reader->close_port();
            host->release_reader(*reader);
        }
        device.reset();
        host.reset();
    }

    NTSTATUS exchange(const Bytes& payload, ULONG mode = QKR_MODE_POWER_OFF) {
        std::copy(payload.begin(), payload.end(), slot->SmartcardRequest.Buffer);
        slot->SmartcardRequest.BufferLength = static_cast<ULONG>(payload.size());
        return qkr::testing::exchange_in_conversation(mode, slot);
    }
    Bytes reply() const {
        return Bytes(slot->SmartcardReply.Buffer,
                     slot->SmartcardReply.Buffer + slot->SmartcardReply.BufferLength);
    }
    std::vector<std::string> steps() const {
        std::vector<std::string> out;
        for (const auto& q : reader->tap().requests())
            out.push_back(describe(q));
        return out;
    }
    std::vector<TapRequest> requests_of(UCHAR major, ULONG code = 0) const {
        std::vector<TapRequest> out;
        for (const auto& q : reader->tap().requests())
            if (q.major == major && (major != IRP_MJ_DEVICE_CONTROL || q.code == code))
                out.push_back(q);
        return out;
    }
    Ticks now() const { return host->kernel().now(); }
    void expect_port_idle() {
        auto snap = reader->port().snapshot();
        EXPECT_FALSE(snap.wait_pending) << "a wait was left at the port";
        EXPECT_EQ(snap.reads_pending, 0u);
        EXPECT_EQ(snap.held_pending, 0u);
        EXPECT_FALSE(x->WriteTimer.Inserted);
        EXPECT_FALSE(x->ReadTimer.Inserted);
    }

    std::unique_ptr<Host> host;
    std::unique_ptr<ScriptedReader> device;
    Reader* reader = nullptr;
    SMARTCARD_EXTENSION* slot = nullptr;
    READER_EXTENSION* x = nullptr;
};

TEST_F(Exchange, SendsThePurgedFrameAndHandsBackTheDecodedReply) {
    device->reply(kStatusReply);
    ASSERT_EQ(exchange(kGetType), STATUS_SUCCESS);

    EXPECT_EQ(reader->tap().data(Direction::ToDevice), kGetTypeFrame);
    EXPECT_EQ(reply(), kStatusDecoded) << "the check byte is the last byte of the reply";
    EXPECT_EQ(slot->SmartcardReply.BufferLength, 6u);
    EXPECT_EQ(slot->SmartcardRequest.BufferLength, 3u) << "the request is left as it was";

    auto s = steps();
    ASSERT_GE(s.size(), 11u);
    std::vector<std::string> start(s.begin(), s.begin() + 10);
    // The first looks at the queue and at DSR come before any wait: a reply may be in, or the
    // reader's power gone, before the mask is set.
    EXPECT_EQ(start, (std::vector<std::string>{
                         "purge 0c000000", "mask 04000000", "write " + hex(kGetTypeFrame), "wait",
                         "mask 11000000", "status", "modem", "wait", "status", "read 1"}));
    // The rest is the same three steps for every chunk that arrived.
    for (size_t i = 7; i < s.size(); i += 3) {
        EXPECT_EQ(s[i], "wait");
        EXPECT_EQ(s[i + 1], "status");
        EXPECT_EQ(s[i + 2].rfind("read ", 0), 0u);
    }

    EXPECT_TRUE(has_in_order(host->log(), {"[Qkr_ReadWrite] Enter :\n", "uTransmitBuffer : \n",
                                           "10 2 60 0 0 60 10 3 \n", "After receive all data\n",
                                           "10 2 61 0 0 1 8 68 10 3 \n", "after verified\n",
                                           "61 0 0 1 8 68 \n", "[Qkr_ReadWrite] OK Exit!\n"}));
    EXPECT_EQ(count_lines(host->log(), "[Qkr_ReadWrite] Enter :\n"), 1u) << "no second attempt";
    expect_port_idle();
}

TEST_F(Exchange, CollectsAReplyArrivingOneByteAtATimeAndAfterNoise) {
    Bytes wire = {0x55, 0xAA, 0x10, 0x10, 0x02};
    wire.insert(wire.end(), kStatusReply.begin(), kStatusReply.end());
    device->reply_bytewise(wire, milliseconds(40));
    ASSERT_EQ(exchange(kGetType), STATUS_SUCCESS);
    EXPECT_EQ(reply(), kStatusDecoded);
    // 40 ms apart, every byte is a read of its own.
    auto reads = requests_of(IRP_MJ_READ);
    EXPECT_EQ(reads.size(), wire.size());
    for (const auto& r : reads)
        EXPECT_EQ(r.output_length, 1u);
}

TEST_F(Exchange, EmptyReplyFrameIsASuccessWithNoBytes) {
    slot->SmartcardReply.BufferLength = 77;
    device->reply({0x10, 0x02, 0x10, 0x03});
    ASSERT_EQ(exchange(kGetType), STATUS_SUCCESS);
    EXPECT_EQ(slot->SmartcardReply.BufferLength, 0u);
}

TEST_F(Exchange, NakIsRetriedUpToThreeTimes) {
    for (int i = 0; i < 3; ++i)
        device->reply(kNak);
    slot->SmartcardReply.Buffer[0] = 0xAB;
    slot->SmartcardReply.BufferLength = 1;
    EXPECT_EQ(exchange(kGetType), static_cast<NTSTATUS>(0xFFFFFFFD));

    EXPECT_EQ(device->frames(), (std::vector<Bytes>{kGetTypeFrame, kGetTypeFrame, kGetTypeFrame}));
    auto s = steps();
    std::vector<std::string> purges_and_writes;
    for (const auto& step : s)
        if (step.rfind("purge", 0) == 0 || step.rfind("write", 0) == 0)
            purges_and_writes.push_back(step);
    std::string w = "write " + hex(kGetTypeFrame);
    EXPECT_EQ(purges_and_writes, (std::vector<std::string>{"purge 0c000000", w, "purge 0c000000", w,
                                                           "purge 0c000000", w}));
    auto outcome = lines_starting(host->log(), {"[Qkr_ReadWrite] RDDERR", "[Qkr_ReadWrite] OK"});
    EXPECT_EQ(outcome, (std::vector<std::string>{
                           "[Qkr_ReadWrite] RDDERR_NAK!", "[Qkr_ReadWrite] RDDERR_DUE!",
                           "[Qkr_ReadWrite] RDDERR_NAK!", "[Qkr_ReadWrite] RDDERR_DUE!",
                           "[Qkr_ReadWrite] RDDERR_NAK!", "[Qkr_ReadWrite] RDDERR_DUE!"}));
    // A failed exchange leaves the previous reply alone.
    EXPECT_EQ(slot->SmartcardReply.BufferLength, 1u);
    EXPECT_EQ(slot->SmartcardReply.Buffer[0], 0xAB);
    expect_port_idle();
}

TEST_F(Exchange, NakThenGoodReplySucceedsAtTheSecondAttempt) {
    device->reply(kNak);
    device->reply(kStatusReply);
    device->reply(kStatusReply); // must not be asked for
    EXPECT_EQ(exchange(kGetType), STATUS_SUCCESS);
    EXPECT_EQ(device->frames().size(), 2u);
    EXPECT_EQ(reply(), kStatusDecoded);
    EXPECT_EQ(count_lines(host->log(), "[Qkr_ReadWrite] Enter :\n"), 2u);
}

TEST_F(Exchange, BadAndIncompleteRepliesEndEachAttempt) {
    // Check byte off by one bit, three times.
    Bytes bad = kStatusReply;
    bad[7] ^= 0x01;
    for (int i = 0; i < 3; ++i)
        device->reply(bad);
    EXPECT_EQ(exchange(kGetType), static_cast<NTSTATUS>(0xFFFFFFFE));
    EXPECT_EQ(count_lines(host->log(), "[Qkr_ReadWrite] RDDERR_DUE!\n"), 3u);
    EXPECT_EQ(count_lines(host->log(), "[Qkr_ReadWrite] RDDERR_NAK!\n"), 0u);

    // A lone DLE ETX ends the reception with nothing collected.
    host->clear_log();
    for (int i = 0; i < 3; ++i)
        device->reply({0x10, 0x03});
    EXPECT_EQ(exchange(kGetType), static_cast<NTSTATUS>(0x00000004));
    EXPECT_EQ(count_lines(host->log(), "[Qkr_ReadWrite] Invalid datablock received!\n"), 3u);
    expect_port_idle();
}

TEST_F(Exchange, OverlongReplyIsABadFrameNotAnOverrun) {
    // DLE STX and then more than the receive buffer holds, without an end.
    Bytes runaway = {0x10, 0x02};
    runaway.insert(runaway.end(), 1100, 0x41);
    ScriptedReply r;
    for (size_t at = 0; at < runaway.size(); at += 100)
        r.chunks.push_back(
            Bytes(runaway.begin() + at, runaway.begin() + std::min(runaway.size(), at + 100)));
    r.gap = milliseconds(100);
    device->script(r);
    device->reply(kStatusReply);
    EXPECT_EQ(exchange(kGetType), STATUS_SUCCESS);
    EXPECT_EQ(count_lines(host->log(), "[Qkr_ReadWrite] RDDERR_DUE!\n"), 1u);
    EXPECT_EQ(reply(), kStatusDecoded);
}

TEST_F(Exchange, PartialReplyThenSilenceTimesOutTwoSecondsAfterTheLastChunk) {
    for (int i = 0; i < 3; ++i)
        device->reply({0x10, 0x02, 0x61, 0x00});
    EXPECT_EQ(exchange(kGetType), STATUS_IO_TIMEOUT);
    EXPECT_EQ(count_lines(host->log(), "[Qkr_ReadWrite]Wait on mask TIMEOUT ! \n"), 3u);

    // Each later attempt starts (with its purge) exactly 2 s after the previous one's last read.
    auto all = reader->tap().requests();
    Ticks last_read = -1;
    int checked = 0;
    for (const auto& q : all) {
        if (q.major == IRP_MJ_READ)
            last_read = q.time;
        if (q.major == IRP_MJ_DEVICE_CONTROL && q.code == IOCTL_SERIAL_PURGE && last_read >= 0) {
            EXPECT_EQ(q.time - last_read, seconds(2));
            ++checked;
        }
    }
    EXPECT_EQ(checked, 2);
    expect_port_idle();
}

struct FirstByteCase {
    const char* name;
    ULONG protocol;
    ULONG bwt;
    UCHAR wtx;
    ULONG mode;
    Ticks expected;
};

class FirstByteTimeout : public Exchange, public ::testing::WithParamInterface<FirstByteCase> {};

TEST_P(FirstByteTimeout, SilentReaderIsGivenTheFirstByteTimeThreeTimes) {
    const FirstByteCase& c = GetParam();
    slot->CardCapabilities.Protocol.Selected = c.protocol;
    slot->CardCapabilities.T1.BWT = c.bwt;
    slot->T1.Wtx = c.wtx;
    Ticks begin = now();
    EXPECT_EQ(exchange(kGetType, c.mode), STATUS_IO_TIMEOUT);
    EXPECT_EQ(count_lines(host->log(), "[Qkr_ReadWrite]Wait on mask TIMEOUT ! \n"), 3u);

    // From the wait for the first byte (armed right after the receive mask) to the next purge.
    auto all = reader->tap().requests();
    std::vector<Ticks> armed, ended;
    for (const auto& q : all) {
        if (q.major == IRP_MJ_DEVICE_CONTROL && q.code == IOCTL_SERIAL_SET_WAIT_MASK &&
            q.input == Bytes{0x11, 0x00, 0x00, 0x00})
            armed.push_back(q.time);
        if (q.major == IRP_MJ_DEVICE_CONTROL && q.code == IOCTL_SERIAL_PURGE)
            ended.push_back(q.time);
    }
    ASSERT_EQ(armed.size(), 3u);
    ASSERT_EQ(ended.size(), 3u);
    EXPECT_EQ(ended[1] - armed[0], c.expected);
    EXPECT_EQ(ended[2] - armed[1], c.expected);
    EXPECT_GE(now() - begin, 3 * c.expected);
    EXPECT_LT(now() - begin, 3 * c.expected + seconds(1));
    expect_port_idle();
}

INSTANTIATE_TEST_SUITE_P(
    Protocols, FirstByteTimeout,
    ::testing::Values(FirstByteCase{"T1Minimum", SCARD_PROTOCOL_T1, 1'600'000, 0, 5, seconds(60)},
                      FirstByteCase{"T1LongBlockWaitWithExtension", SCARD_PROTOCOL_T1, 50'000'000,
                                    3, 5, seconds(150)},
                      FirstByteCase{"T1ShortBlockWaitWithExtension", SCARD_PROTOCOL_T1, 1'000'000,
                                    2, 5, seconds(60)},
                      FirstByteCase{"T0", SCARD_PROTOCOL_T0, 0, 0, 5, seconds(300)},
                      FirstByteCase{"NoProtocol", 0, 0, 0, 1, seconds(300)},
                      FirstByteCase{"StartUpQueries", SCARD_PROTOCOL_T1, 50'000'000, 3, 6,
                                    seconds(3)}),
    [](const ::testing::TestParamInfo<FirstByteCase>& info) { return info.param.name; });

TEST_F(Exchange, WriteFailureCancelsTheWriteTimerAndReturnsThePortsStatus) {
    reader->port().faults().fail_nth(RequestKind::write(), 1, STATUS_DEVICE_NOT_READY, 3);
    EXPECT_EQ(exchange(kGetType), STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(count_lines(host->log(), "[Qkr_ReadWrite]Write data fail ! \n"), 3u);
    EXPECT_TRUE(device->frames().empty());
    expect_port_idle();
    // Nothing went on waiting for the write timer.
    EXPECT_LT(now(), seconds(10));
}

TEST_F(Exchange, StuckWriteTimesOutAfterTenSecondsAndIsCancelled) {
    reader->port().faults().pend_nth(RequestKind::write(), 1, 3);
    Ticks begin = now();
    EXPECT_EQ(exchange(kGetType), STATUS_IO_TIMEOUT);
    EXPECT_EQ(count_lines(host->log(), "[Qkr_ReadWrite]Write data Timeout! \n"), 3u);
    EXPECT_EQ(now() - begin, seconds(30));
    auto writes = requests_of(IRP_MJ_WRITE);
    ASSERT_EQ(writes.size(), 3u);
    for (const auto& w : writes) {
        EXPECT_TRUE(w.completed);
        EXPECT_EQ(w.status, STATUS_CANCELLED);
    }
    expect_port_idle();
    EXPECT_EQ(host->kernel().irps_live(), 0u);

    // The port is usable again at once.
    host->clear_log();
    device->reply(kStatusReply);
    EXPECT_EQ(exchange(kGetType), STATUS_SUCCESS);
}

TEST_F(Exchange, UnencodablePayloadSendsNothing) {
    Bytes payload(1044, 0x41);
    EXPECT_EQ(exchange(payload), STATUS_DEVICE_DATA_ERROR);
    EXPECT_TRUE(reader->tap().requests().empty()) << "not even a purge";
    EXPECT_EQ(count_lines(host->log(), "[Qkr_ReadWrite] Enter :\n"), 3u);
    EXPECT_EQ(count_lines(host->log(), "uTransmitBuffer : \n"), 3u);
}

TEST_F(Exchange, GuardTimeSendsTheFrameOneByteAtATime) {
    slot->CardCapabilities.GT = 100;
    device->reply(kStatusReply);
    ASSERT_EQ(exchange(kGetType), STATUS_SUCCESS);
    auto writes = requests_of(IRP_MJ_WRITE);
    ASSERT_EQ(writes.size(), kGetTypeFrame.size());
    for (size_t i = 0; i < writes.size(); ++i) {
        EXPECT_EQ(writes[i].input_length, 1u);
        EXPECT_EQ(writes[i].input, Bytes{kGetTypeFrame[i]}) << "byte " << i;
    }
    // n - 1 stalls of the guard time, none after the last byte.
    EXPECT_EQ(writes.back().time - writes.front().time,
              static_cast<Ticks>(kGetTypeFrame.size() - 1) * qkr::kern::microseconds(100));
    EXPECT_EQ(reader->tap().data(Direction::ToDevice), kGetTypeFrame);
}

// Each slot's time-out routines wake that slot's exchange and no other.
TEST_F(Exchange, TimeOutRoutinesWakeOnlyTheirOwnSlot) {
    ASSERT_EQ(Qkr_SetupSecondSlot(reader->fdo()), STATUS_SUCCESS);
    READER_EXTENSION* x1 = qkr::host::DriverRecords::reader(*reader, 1);
    struct Case {
        PKDEFERRED_ROUTINE routine;
        READER_EXTENSION* woken;
        BOOLEAN read;
    };
    for (Case c :
         {Case{Qkr_ReadTimeoutDpcRoutine, x, TRUE}, Case{Qkr_WriteTimeoutDpcRoutine, x, FALSE},
          Case{Qkr_SecondSlotReadTimeoutDpcRoutine, x1, TRUE},
          Case{Qkr_SecondSlotWriteTimeoutDpcRoutine, x1, FALSE}}) {
        for (READER_EXTENSION* r : {x, x1}) {
            KeInitializeEvent(&r->SerialIoEvent, NotificationEvent, FALSE);
            r->ReadTimedOut = r->WriteTimedOut = FALSE;
        }
        c.routine(nullptr, reader->fdo(), nullptr, nullptr);
        READER_EXTENSION* other = c.woken == x ? x1 : x;
        EXPECT_EQ(c.woken->ReadTimedOut, c.read);
        EXPECT_EQ(c.woken->WriteTimedOut, !c.read);
        EXPECT_NE(KeReadStateEvent(&c.woken->SerialIoEvent), 0);
        EXPECT_FALSE(other->ReadTimedOut || other->WriteTimedOut);
        EXPECT_EQ(KeReadStateEvent(&other->SerialIoEvent), 0);
    }
}

// A USB serial adapter reports its transmit queue empty late, often after a quick reader's whole
// reply has come in: that reply must still be taken, at once.
TEST(SimulatedReaderExchange, ReplyThatArrivesBeforeTheTransmitEmptyReportIsTaken) {
    Host host;
    Reader& reader = host.add_reader();
    ASSERT_EQ(reader.add(), STATUS_SUCCESS);
    ASSERT_EQ(reader.open_port(), STATUS_SUCCESS);
    SMARTCARD_EXTENSION* slot = qkr::host::DriverRecords::slot(reader, 0);
    reader.line().set_tx_empty_lag(milliseconds(40));
    const Bytes status = {RDCMD_GET_STATUS, 0x00, 0x00};
    std::copy(status.begin(), status.end(), slot->SmartcardRequest.Buffer);
    slot->SmartcardRequest.BufferLength = 3;
    const auto started = host.kernel().now();
    ASSERT_EQ(qkr::testing::exchange_in_conversation(QKR_MODE_EXCHANGE, slot), STATUS_SUCCESS);
    EXPECT_EQ(slot->SmartcardReply.Buffer[0], RDRSP_STATUS);
    EXPECT_LT(host.kernel().now() - started, milliseconds(100));
    reader.close_port();
}

} // namespace
