// TtyLine on the slave side of a pseudo-terminal, with the test playing the far end on the master
// side (and, for the modem lines, on a Unix-domain socket). Real clock: each waits for events,
// never for time, with a generous deadline only so that a fault fails instead of hanging.
#include "platform/kernel/kernel.h"
#include "platform/serial/tty/tty_line.h"
#include "tests/tty/far_end.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace qkr::serial {
namespace {

using namespace tty_testing;
using namespace std::chrono_literals;

// Records every callback; flags any made on the thread that called into the line.
class Sink : public LinePortSink {
  public:
    explicit Sink(std::thread::id caller) : caller_(caller) {}

    void on_receive(std::span<const std::uint8_t> bytes) override {
        std::lock_guard lock(mu_);
        note_thread();
        received_.insert(received_.end(), bytes.begin(), bytes.end());
        events_.push_back("rx");
        cv_.notify_all();
    }
    void on_tx_empty() override {
        std::lock_guard lock(mu_);
        note_thread();
        ++tx_empty_;
        queued_at_tx_empty_.push_back(line_ != nullptr ? line_->tx_queued() : 0);
        events_.push_back("txempty");
        cv_.notify_all();
    }
    void on_modem_change(ModemLines lines) override {
        std::lock_guard lock(mu_);
        note_thread();
        changes_.push_back(lines);
        events_.push_back(lines.dsr ? "dsr1" : "dsr0");
        cv_.notify_all();
    }
    void on_hangup() override {
        std::lock_guard lock(mu_);
        note_thread();
        ++hangups_;
        hangup_at_ = Clock::now();
        events_.push_back("hangup");
        cv_.notify_all();
    }

    template <typename Pred>
    bool wait(Pred pred) {
        std::unique_lock lock(mu_);
        return cv_.wait_for(lock, kDeadline, [&] { return pred(*this); });
    }
    template <typename Fn>
    auto with(Fn fn) {
        std::lock_guard lock(mu_);
        return fn(*this);
    }

    void watch_queue_of(TtyLine* line) { line_ = line; }

    // Read under with()/wait() only.
    std::vector<std::uint8_t> received_;
    int tx_empty_ = 0;
    std::vector<std::size_t> queued_at_tx_empty_;
    std::vector<ModemLines> changes_;
    int hangups_ = 0;
    Clock::time_point hangup_at_{};
    std::vector<std::string> events_;
    int inline_calls_ = 0;

  private:
    void note_thread() {
        if (std::this_thread::get_id() == caller_) {
            ++inline_calls_;
        }
    }
    std::thread::id caller_;
    TtyLine* line_ = nullptr;
    std::mutex mu_;
    std::condition_variable cv_;
};

int thread_count() {
    int n = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
        ++n;
    }
    return n;
}

class TtyLineTest : public ::testing::Test {
  protected:
    TtyOptions options() {
        TtyOptions o;
        o.path = pty_.path();
        o.log = log_.writer();
        return o;
    }
    // Opens a line on the pty with these options and attaches the sink.
    std::unique_ptr<TtyLine> open_line(TtyOptions o) {
        auto line = std::make_unique<TtyLine>(std::move(o));
        line->attach(&sink_);
        EXPECT_TRUE(line->open()) << line->last_error();
        return line;
    }
    void TearDown() override {
        sink_.with([](Sink& s) { EXPECT_EQ(s.inline_calls_, 0) << "a callback came inline"; });
    }

    Pty pty_;
    Log log_;
    Sink sink_{std::this_thread::get_id()};
};

TEST_F(TtyLineTest, EveryByteValueCrossesUnchangedBothWays) {
    auto line = open_line(options());
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i) {
        all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    }
    // Control characters (XON/XOFF, CR, LF, ^C, ^D, DEL) are data in raw mode.
    pty_.write(all);
    EXPECT_TRUE(sink_.wait([](Sink& s) { return s.received_.size() >= 256; }));
    sink_.with([&](Sink& s) { EXPECT_EQ(s.received_, all); });

    line->transmit(all);
    EXPECT_EQ(pty_.read(256), all);
    EXPECT_TRUE(sink_.wait([](Sink& s) { return s.tx_empty_ == 1; }));
}

TEST_F(TtyLineTest, OpensInRawModeAt19200EightNoneOneWithoutFlowControl) {
    auto line = open_line(options());
    const termios t = pty_.settings();
    EXPECT_EQ(cfgetospeed(&t), B19200);
    EXPECT_EQ(cfgetispeed(&t), B19200);
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(line->format(), (LineFormat{19200, 8, Parity::None, 1}));
}

TEST_F(TtyLineTest, SpeedsAndFormatsReachTheTty) {
    auto line = open_line(options());
    const std::pair<std::uint32_t, speed_t> speeds[] = {
        {1200, B1200},   {1800, B1800},   {2400, B2400},   {4800, B4800},     {9600, B9600},
        {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
    };
    for (auto [baud, code] : speeds) {
        EXPECT_TRUE(line->supports_baud(baud)) << baud;
        line->set_format({baud, 8, Parity::None, 1});
        const termios t = pty_.settings();
        EXPECT_EQ(cfgetospeed(&t), code) << baud;
        EXPECT_EQ(line->format().baud, baud);
    }
    for (std::uint32_t odd : {0u, 300u, 14400u, 28800u, 230400u, 19201u}) {
        EXPECT_FALSE(line->supports_baud(odd)) << odd;
    }

    // A pseudo-terminal keeps CS8 and clears PARENB whatever it is asked (it carries plain
    // bytes), so what can be seen there is the speed, the stop bits and the parity kind.
    line->set_format({9600, 7, Parity::Odd, 2});
    const termios t = pty_.settings();
    EXPECT_EQ(t.c_cflag & (PARODD | CMSPAR | CSTOPB), static_cast<tcflag_t>(PARODD | CSTOPB));
    line->set_format({9600, 7, Parity::Even, 1});
    line->set_format({14400, 8, Parity::None, 1}); // refused: the line stays as it was
    EXPECT_EQ(line->format(), (LineFormat{9600, 7, Parity::Even, 1}));
    EXPECT_EQ(log_.count_containing("cannot set"), 1);
    // The framing the pty could not take is said, not hidden.
    EXPECT_EQ(log_.count_containing("does not frame characters as 9600 7E1"), 1);
}

TEST_F(TtyLineTest, SideChannelCarriesModemLinesBothWays) {
    SideChannel far;
    TtyOptions o = options();
    o.modem_socket = far.path();
    auto line = open_line(o);
    far.accept();
    EXPECT_EQ(log_.count_containing("side channel at " + far.path()), 1);

    // The line announces its state on connecting.
    EXPECT_EQ(far.next_line(), "LINE 19200 8N1");
    EXPECT_EQ(far.next_line(), "DTR 1");
    EXPECT_EQ(far.next_line(), "RTS 1");

    far.send("CTS 1\nDSR 1\n");
    EXPECT_TRUE(sink_.wait([](Sink& s) { return s.changes_.size() == 2; }));
    EXPECT_EQ(line->modem_lines(), (ModemLines{true, true, false, false}));

    // A line split across writes; noise that must change nothing; then a real change.
    far.send("CT");
    far.send("S 0\n");
    far.send(std::string(100, 'X') + " 1\nCTS 1 \nFOO 1\nCTS 2\nCTS1\nDSR\n\nRI 1\r\n");
    far.send("DSR 0\n");
    EXPECT_TRUE(sink_.wait([](Sink& s) { return s.changes_.size() == 5; }));
    sink_.with([](Sink& s) {
        EXPECT_EQ(s.changes_[2], (ModemLines{false, true, false, false}));
        EXPECT_EQ(s.changes_[3], (ModemLines{false, true, true, false}));
        EXPECT_EQ(s.changes_[4], (ModemLines{false, false, true, false}));
    });
    // Repeating the current state is no change.
    far.send("DSR 0\nDCD 1\n");
    EXPECT_TRUE(sink_.wait([](Sink& s) { return s.changes_.size() == 6; }));
    sink_.with([](Sink& s) { EXPECT_TRUE(s.changes_[5].dcd); });

    line->set_dtr(false);
    EXPECT_EQ(far.next_line(), "DTR 0");
    line->set_rts(false);
    EXPECT_EQ(far.next_line(), "RTS 0");
    line->set_break(true);
    EXPECT_EQ(far.next_line(), "BRK 1");
    line->set_format({9600, 7, Parity::Even, 2});
    EXPECT_EQ(far.next_line(), "LINE 9600 7E2");
    line->set_format({14400, 8, Parity::None, 1}); // refused: nothing to announce
    line->set_dtr(true);
    EXPECT_EQ(far.next_line(), "DTR 1");

    // The far end going away is a hang-up.
    far.send("DSR 1\n");
    EXPECT_TRUE(sink_.wait([](Sink& s) { return s.changes_.size() == 7; }));
    far.hang_up();
    EXPECT_TRUE(sink_.wait([](Sink& s) { return s.hangups_ == 1; }));
    EXPECT_FALSE(line->modem_lines().dsr);
    sink_.with([](Sink& s) { EXPECT_FALSE(s.changes_.back().dsr); });
}

TEST_F(TtyLineTest, ClosingTheFarEndHangsUpAtOnceAfterTheLastBytes) {
    TtyOptions o = options();
    o.assume_dsr = true;
    auto line = open_line(o);
    pty_.write(bytes_of("last words"));
    EXPECT_TRUE(sink_.wait([](Sink& s) { return s.received_.size() == 10; }));
    const auto closed_at = Clock::now();
    pty_.close_master();
    EXPECT_TRUE(sink_.wait([](Sink& s) { return s.hangups_ >= 1; }));
    sink_.with([&](Sink& s) {
        EXPECT_LT(s.hangup_at_ - closed_at, 500ms);
        std::vector<std::string> events = s.events_;
        events.erase(std::unique(events.begin(), events.end()), events.end());
        EXPECT_EQ(events, (std::vector<std::string>{"rx", "dsr0", "hangup"}));
    });
    EXPECT_FALSE(line->modem_lines().dsr);
    EXPECT_EQ(log_.count_containing("hung up"), 1);

    // Afterwards the line stays quiet and usable until closed.
    line->transmit(bytes_of("into the void"));
    line->set_dtr(false);
    line->purge_tx();
    EXPECT_EQ(line->tx_queued(), 0u);
    line->close();
    sink_.with([](Sink& s) { EXPECT_EQ(s.hangups_, 1); });
}

TEST_F(TtyLineTest, OpenFailuresNameThePortAndTheReason) {
    {
        TtyLine line({.path = "/dev/qkr-no-such-tty", .log = log_.writer()});
        EXPECT_FALSE(line.open());
        EXPECT_NE(line.last_error().find("/dev/qkr-no-such-tty"), std::string::npos);
        EXPECT_NE(line.last_error().find(std::strerror(ENOENT)), std::string::npos);
        EXPECT_FALSE(line.is_open());
    }
    {
        // Busy: a second user of the same port is turned away, the first keeps it.
        auto first = open_line(options());
        TtyLine second(options());
        EXPECT_FALSE(second.open());
        EXPECT_NE(second.last_error().find(pty_.path()), std::string::npos);
        EXPECT_NE(second.last_error().find("busy"), std::string::npos);
        first->transmit(bytes_of("still mine"));
        EXPECT_EQ(pty_.read(10), bytes_of("still mine"));
    }
    {
        // Nobody on the side channel: the open fails and lets go of the tty.
        TtyOptions o = options();
        o.modem_socket = "/tmp/qkr-tty-nobody-listens-here";
        TtyLine line(o);
        EXPECT_FALSE(line.open());
        EXPECT_NE(line.last_error().find(o.modem_socket), std::string::npos);
        EXPECT_NE(line.last_error().find(pty_.path()), std::string::npos);
        auto again = open_line(options());
        EXPECT_TRUE(again->is_open());
    }
}

TEST_F(TtyLineTest, RefusesTheVirtualClock) {
    kern::Kernel kernel(kern::ClockMode::Virtual);
    TtyLine line(options());
    EXPECT_FALSE(line.open());
    EXPECT_NE(line.last_error().find(pty_.path()), std::string::npos);
    EXPECT_NE(line.last_error().find("real clock"), std::string::npos);
}

TEST_F(TtyLineTest, CloseJoinsEveryThreadAndEndsTheCallbacks) {
    const int before = thread_count();
    auto line = open_line(options());
    EXPECT_GT(thread_count(), before);
    EXPECT_TRUE(pty_.exclusive());

    // Close in the middle of traffic both ways.
    std::vector<std::uint8_t> data(100'000, 0x42);
    line->transmit(data);
    pty_.write(std::span(data).first(2000));
    line->close();
    EXPECT_FALSE(line->is_open());
    EXPECT_EQ(thread_count(), before);
    EXPECT_FALSE(pty_.exclusive()) << "other programs would find the port busy";
    const std::size_t got = sink_.with([](Sink& s) { return s.received_.size(); });

    // Closed means closed: nothing arrives, nothing leaves, calls are harmless.
    line->transmit(bytes_of("x"));
    line->set_dtr(true);
    line->set_format({9600, 8, Parity::None, 1});
    EXPECT_EQ(line->tx_queued(), 0u);
    line->close();

    // And it opens again, at the format set while closed, with fresh threads.
    ASSERT_TRUE(line->open()) << line->last_error();
    const termios t = pty_.settings();
    EXPECT_EQ(cfgetospeed(&t), B9600);
    pty_.write(bytes_of("fresh"));
    EXPECT_TRUE(sink_.wait([&](Sink& s) { return s.received_.size() >= got + 5; }));
    line.reset(); // the destructor closes too
    EXPECT_EQ(thread_count(), before);
    sink_.with([&](Sink& s) {
        EXPECT_EQ(s.received_.size(), got + 5) << "bytes from before the reopen leaked in";
    });
}

} // namespace
} // namespace qkr::serial
