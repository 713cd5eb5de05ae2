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

// Threads kept for a whole run that help the caller with one batch of tasks after another: the
// tasks of a batch run on the crew and on the caller, and the caller takes their results in
// order. No thread is started per batch, so batches may be small. The run's pause gate is
// passed before each task; a run asked to end takes no further task.
class OrderedCrew {
public:
    OrderedCrew(unsigned helpers, RunControl& control);
    ~OrderedCrew();
    OrderedCrew(const OrderedCrew&) = delete;
    OrderedCrew& operator=(const OrderedCrew&) = delete;

    // Runs task(k) for each k < count, and use(k) on the calling thread in the order of k, each
    // once task(k) has returned. Stops when use() returns false; returns false when the run was
    // asked to end before every use(k) was called.
    bool run(std::size_t count, const std::function<void(std::size_t)>& task,
             const std::function<bool(std::size_t)>& use);

    // The number of helpers to use on this machine.
    static unsigned defaultHelpers();

private:
    void help();
    bool runNext();
    bool awaitTask(std::size_t k);

    static constexpr std::size_t kNobody = static_cast<std::size_t>(-1);

    RunControl& m_control;
    std::mutex m_mutex;
    std::condition_variable m_wake;     // a batch has begun, or the crew is to stop
    std::condition_variable m_left;     // a helper has left the batch
    std::condition_variable m_finished; // the awaited task is done, or the run is to end
    const std::function<void(std::size_t)>* m_task = nullptr;
    std::size_t m_count = 0;
    std::atomic<std::size_t> m_next{0};
    std::unique_ptr<std::atomic<bool>[]> m_done;
    std::size_t m_capacity = 0;
    std::atomic<std::size_t> m_awaited{kNobody}; // the task the caller sleeps on
    unsigned m_batch = 0;                        // counts the batches begun
    unsigned m_inside = 0;                       // helpers at work on the batch
    bool m_stop = false;
    std::vector<std::thread> m_threads;
};
