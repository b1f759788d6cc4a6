// The progress weights against a recording report: per mille and its limits, steps in weight
// order, a total of 0, spread weights and withdrawals.
#include "update/progress.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<int> reports;

void record(int done, int total) {
    EXPECT_EQ(total, 1000);
    reports.push_back(done);
}

void start(oza_progress &p, std::vector<uint32_t> weights) {
    std::unique_ptr<uint32_t[]> list(new uint32_t[weights.size() + 1]);
    std::copy(weights.begin(), weights.end(), list.get());
    progress_start(p, std::move(list), uint32_t(weights.size()), record);
    reports.clear();
}

TEST(Progress, Permille) {
    const struct {
        uint64_t done, total;
        int permille;
    } cases[] = {
        {0, 3, 0},
        {1, 3, 333},
        {2, 3, 666},
        {3, 3, 1000},
        {4, 3, 1000}, // never above 1000
        {0, 0, 1000}, // no division by zero
        {UINT64_MAX / 2, UINT64_MAX, 500},
        {UINT64_MAX - 1, UINT64_MAX, 1000},
        {uint64_t(1) << 62, uint64_t(1) << 63, 500},
    };
    for (const auto &c : cases)
        EXPECT_EQ(progress_permille(c.done, c.total), c.permille) << c.done << "/" << c.total;
}

TEST(Progress, StepsTakeTheWeightsInOrderAndStopAtTheListsEnd) {
    oza_progress p;
    start(p, {1, 2, 1});
    progress_step(p);
    progress_step(p);
    progress_step(p);
    progress_step(p); // the list has run out: nothing is read past it
    EXPECT_EQ(reports, (std::vector<int>{250, 750, 1000, 1000}));
    EXPECT_EQ(progress_take(p), 0u);
}

TEST(Progress, ATotalOfZeroReportsNothing) {
    oza_progress p;
    start(p, {0, 0});
    EXPECT_FALSE(p.active);
    progress_step(p);
    weight_spread w(p);
    w.step(5);
    w.finish();
    EXPECT_TRUE(reports.empty());
    start(p, {});
    progress_step(p);
    EXPECT_TRUE(reports.empty());
}

TEST(Progress, ASpreadWeightNeverHandsOutMoreThanItself) {
    oza_progress p;
    start(p, {10, 10});
    weight_spread w(p);
    EXPECT_EQ(w.weight, 10u);
    w.step(4);
    w.step(4);
    w.step(4); // only 2 are left
    w.step(4);
    w.finish();
    EXPECT_EQ(reports, (std::vector<int>{200, 400, 500, 500, 500}));
    progress_step(p);
    EXPECT_EQ(reports.back(), 1000);
}

TEST(Progress, WithdrawTakesBackWithoutReporting) {
    oza_progress p;
    start(p, {100});
    progress_advance(p, 30);
    progress_withdraw(p, 30);
    progress_advance(p, 60);
    progress_withdraw(p, 1000); // never below 0
    EXPECT_EQ(p.done, 0u);
    EXPECT_EQ(reports, (std::vector<int>{300, 600}));
}

} // namespace
