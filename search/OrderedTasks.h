#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

class RunControl;

// Runs task(0), task(1), ... on several threads, taking the tasks in order, while the caller
// consumes the results in that same order with waitFor() (and runs tasks itself while it
// waits). The run's pause gate is passed before each task; a run asked to end takes no further
// task.
class OrderedTasks {
public:
    OrderedTasks(std::size_t count, std::function<void(std::size_t)> task, RunControl& control,
                 unsigned threads);
    ~OrderedTasks();
    OrderedTasks(const OrderedTasks&) = delete;
    OrderedTasks& operator=(const OrderedTasks&) = delete;

    // Waits until task `index` is done; false when the run ended before it was.
    bool waitFor(std::size_t index);

    // The number of threads to use on this machine.
    static unsigned defaultThreads();

private:
    bool runNext();
    void work();

    std::size_t m_count;
    std::function<void(std::size_t)> m_task;
    RunControl& m_control;
    std::unique_ptr<std::atomic<bool>[]> m_done;
    std::atomic<std::size_t> m_next{0};
    std::atomic<unsigned> m_running{0};
    static constexpr std::size_t kNobody = static_cast<std::size_t>(-1);
    std::atomic<std::size_t> m_waitingFor{kNobody};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::thread> m_threads;
};
