#include "search/OrderedCrew.h"
#include "search/RunControl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

namespace {

class Crew : public ::testing::TestWithParam<unsigned> {};

TEST_P(Crew, UsesEachResultInOrderOnceItsTaskIsDone) {
    RunControl control;
    OrderedCrew crew(GetParam(), control);
    for (std::size_t count : {0u, 1u, 7u, 3000u, 5u}) {
        std::vector<std::atomic<int>> results(count);
        std::vector<std::size_t> used;
        const bool ran = crew.run(
            count, [&](std::size_t k) { results[k] = static_cast<int>(k) + 1; },
            [&](std::size_t k) {
                if (results[k] != static_cast<int>(k) + 1)
                    ADD_FAILURE() << "result " << k << " used before its task was done";
                used.push_back(k);
                return true;
            });
        EXPECT_TRUE(ran);
        ASSERT_EQ(used.size(), count);
        for (std::size_t k = 0; k < count; ++k)
            EXPECT_EQ(used[k], k);
    }
}

TEST_P(Crew, UseThatAnswersNoEndsTheBatch) {
    RunControl control;
    OrderedCrew crew(GetParam(), control);
    std::size_t used = 0;
    EXPECT_TRUE(crew.run(
        100, [](std::size_t) {}, [&](std::size_t k) { return ++used, k < 9; }));
    EXPECT_EQ(used, 10u);
    // The next batch starts afresh.
    EXPECT_TRUE(crew.run(
        3, [](std::size_t) {}, [&](std::size_t) { return ++used, true; }));
    EXPECT_EQ(used, 13u);
}

TEST_P(Crew, RunAskedToEndUsesNothingFurtherAndSaysSo) {
    // Whether the helpers ran few tasks or all of them before the end was asked, no use follows
    // it and the run reports that it was stopped.
    for (std::size_t count : {12u, 100000u}) {
        RunControl control;
        OrderedCrew crew(GetParam(), control);
        std::size_t used = 0;
        const bool ran = crew.run(
            count, [](std::size_t) {},
            [&](std::size_t k) {
                ++used;
                if (k == 10)
                    control.requestTerminate();
                return true;
            });
        EXPECT_FALSE(ran) << count;
        EXPECT_EQ(used, 11u) << count;
    }
}

TEST_P(Crew, RunAskedToEndWhileTheCallerWaitsForAHelper) {
    // The caller runs what it can and then waits for a task a helper holds until the run has
    // been asked to end from another thread; that task is never used.
    if (GetParam() == 0)
        GTEST_SKIP() << "no helper to wait for";
    RunControl control;
    OrderedCrew crew(GetParam(), control);
    const std::thread::id caller = std::this_thread::get_id();
    constexpr std::size_t count = 8;
    std::vector<std::atomic<bool>> done(count);
    std::atomic<bool> helperAtWork{false};
    std::atomic<bool> released{false};
    std::thread ender([&] {
        helperAtWork.wait(false);
        control.requestTerminate();
        released = true;
        released.notify_all();
    });
    std::vector<std::size_t> used;
    const bool ran = crew.run(
        count,
        [&](std::size_t k) {
            if (std::this_thread::get_id() == caller) {
                helperAtWork.wait(false); // leaves a task for a helper
            } else {
                helperAtWork = true;
                helperAtWork.notify_all();
                released.wait(false);
            }
            done[k] = true;
        },
        [&](std::size_t k) {
            if (!done[k])
                ADD_FAILURE() << "result " << k << " used before its task was done";
            used.push_back(k);
            return true;
        });
    ender.join();
    EXPECT_FALSE(ran);
    EXPECT_LT(used.size(), count);
    for (std::size_t i = 0; i < used.size(); ++i)
        EXPECT_EQ(used[i], i);
}

TEST_P(Crew, PausedRunWaitsAtTheGate) {
    RunControl control;
    OrderedCrew crew(GetParam(), control);
    control.pause();
    std::atomic<std::size_t> tasks{0};
    std::thread caller([&] {
        crew.run(
            50, [&](std::size_t) { ++tasks; }, [](std::size_t) { return true; });
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!control.holding() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_TRUE(control.holding());
    EXPECT_EQ(tasks.load(), 0u);
    control.resume();
    caller.join();
    EXPECT_EQ(tasks.load(), 50u);
}

INSTANTIATE_TEST_SUITE_P(Helpers, Crew, ::testing::Values(0u, 1u, 3u));

} // namespace
