// The explorer over the real driver: seeded plans hold every invariant and replay identically,
// and each plan an earlier campaign found failing (kept in findings/) stays fixed.
#include "tools/explore/explore.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace qkr::explore {
namespace {

TEST(Explorer, SeededPlansHoldEveryInvariant) {
    std::set<std::uint64_t> interleavings;
    for (std::uint64_t seed = 1; seed <= 60; ++seed) {
        const Result result = run(generate(seed, 60));
        EXPECT_EQ(result.ops_done, 60u) << "seed " << seed;
        for (const auto& p : result.problems)
            ADD_FAILURE() << "seed " << seed << ": " << p;
        interleavings.insert(result.fingerprint);
    }
    EXPECT_GT(interleavings.size(), 50u) << "different seeds should choose different schedules";
}

TEST(Explorer, ASeedReplaysTheSameInterleavingAndTheSameDriverLines) {
    for (kern::Schedule schedule : {kern::Schedule::Random, kern::Schedule::Pct}) {
        const Plan plan = generate(7, 60, schedule);
        const Result first = run(plan);
        const Result second = run(plan);
        EXPECT_GT(first.switch_points, 1000u);
        EXPECT_GT(first.apdus_ok, 0u);
        EXPECT_EQ(first.fingerprint, second.fingerprint);
        EXPECT_EQ(first.switch_points, second.switch_points);
        EXPECT_EQ(first.log_lines, second.log_lines);
        EXPECT_EQ(first.log_hash, second.log_hash);
        EXPECT_EQ(first.virtual_time, second.virtual_time);
    }
}

TEST(Explorer, FindingsOfEarlierCampaignsStayFixed) {
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(QKR_FINDINGS_DIR)) {
        std::ifstream in(entry.path());
        std::string error;
        const std::optional<Plan> plan = read_plan(in, &error);
        ASSERT_TRUE(plan) << entry.path() << ": " << error;
        for (const auto& p : run(*plan).problems)
            ADD_FAILURE() << entry.path().filename() << ": " << p;
        ++replayed;
    }
    EXPECT_GE(replayed, 5);
}

TEST(Explorer, APlanSurvivesItsTextForm) {
    const Plan plan = generate(11, 40, kern::Schedule::Pct);
    std::stringstream text;
    write_plan(plan, text);
    std::string error;
    const std::optional<Plan> back = read_plan(text, &error);
    ASSERT_TRUE(back) << error;
    std::stringstream again;
    write_plan(*back, again);
    EXPECT_EQ(text.str(), again.str());
    std::istringstream bad("seed 1\nreaders 2\n1 +0 r3 s0 read 0 1\n");
    EXPECT_FALSE(read_plan(bad, &error));
    EXPECT_NE(error.find("line 3"), std::string::npos);
}

} // namespace
} // namespace qkr::explore
