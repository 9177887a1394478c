// The fixture shared by the callback tests: one device with both slots over the scripted reader,
// and the checks every callback must pass whatever it was asked.
#pragma once

#include "tests/card/fake_reader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace qkr::cardtest {

class CallbackTest : public ::testing::Test {
  protected:
    FakeWorld w;

    void TearDown() override {
        EXPECT_THAT(w.violations, ::testing::IsEmpty());
        EXPECT_EQ(w.lock_depth, 0) << "conversation lock left held";
        EXPECT_FALSE(w.reader[0].ReaderBusy) << "busy mark left set";
        EXPECT_FALSE(w.reader[1].ReaderBusy) << "slot 1's busy mark is never used";
    }

    std::vector<Bytes> payloads() const {
        std::vector<Bytes> out;
        for (const auto& c : w.sent) {
            out.push_back(c.payload);
        }
        return out;
    }
    std::vector<ULONG> modes() const {
        std::vector<ULONG> out;
        for (const auto& c : w.sent) {
            out.push_back(c.mode);
        }
        return out;
    }
    Bytes client_reply(std::size_t n) const {
        return Bytes(w.client_reply.begin(), w.client_reply.begin() + n);
    }
    Bytes atr(int slot) {
        const auto& a = w.slot(slot)->CardCapabilities.ATR;
        return Bytes(a.Buffer, a.Buffer + a.Length);
    }
    // Every conversation ends with tracking re-armed exactly once per lock taken.
    void expect_one_conversation() {
        EXPECT_EQ(w.lock_acquisitions, 1);
        EXPECT_EQ(w.tracking_arms, 1);
    }
    void expect_no_conversation() {
        EXPECT_EQ(w.lock_acquisitions, 0);
        EXPECT_EQ(w.tracking_arms, 0);
        EXPECT_TRUE(w.sent.empty());
    }
};

} // namespace qkr::cardtest
