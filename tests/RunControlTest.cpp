#include "search/RunControl.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

TEST(RunControl, RequestToEndWakesAnEndWaiter) {
    RunControl control;
    std::mutex mutex;
    std::condition_variable wake;
    std::condition_variable asleep;
    control.addEndWaiter(mutex, wake);
    bool waiting = false;
    std::thread waiter([&] {
        std::unique_lock lock(mutex);
        waiting = true;
        asleep.notify_one();
        wake.wait(lock, [&] { return control.terminated(); });
    });
    {
        // The lock comes back only once the waiter has let go of it to sleep.
        std::unique_lock lock(mutex);
        asleep.wait(lock, [&] { return waiting; });
    }
    control.requestTerminate();
    waiter.join(); // a waiter left asleep would hold the test here
    control.removeEndWaiter(wake);
}

} // namespace
