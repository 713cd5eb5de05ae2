#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

// Stop request and pause gate of one worker run. The worker calls checkpoint() between
// files, pairs, rows and chunks; the window pauses, resumes and cancels from its thread.
// The gate holds no lock while the worker waits, so the window never blocks on it.
class RunControl {
public:
    void requestTerminate();
    bool terminated() const { return m_terminated.load(std::memory_order_relaxed); }

    void pause();
    void resume();
    bool paused() const { return m_paused.load(std::memory_order_relaxed); }
    // Whether a worker has stopped at the gate, not merely been asked to.
    bool holding() const { return m_holding.load() > 0; }

    // Waits while paused. Returns true when the run has been asked to end.
    bool checkpoint();

    // Clears both flags for a new run.
    void reset();

    // A thread that waits on `wake` with terminated() in its condition is woken when the run is
    // asked to end: `wake` is notified with `mutex` taken, so the request is not missed between
    // the check and the wait. Removed before either dies.
    void addEndWaiter(std::mutex& mutex, std::condition_variable& wake);
    void removeEndWaiter(std::condition_variable& wake);

private:
    std::atomic<bool> m_terminated{false};
    std::atomic<bool> m_paused{false};
    std::atomic<int> m_holding{0}; // workers waiting at the gate
    std::mutex m_mutex;
    std::condition_variable m_resumed;
    std::vector<std::pair<std::mutex*, std::condition_variable*>> m_endWaiters;
};
