#include "search/RunControl.h"

void RunControl::requestTerminate() {
    {
        std::lock_guard lock(m_mutex);
        m_terminated.store(true);
        // Still under the lock, so that no waiter leaves and dies meanwhile.
        for (auto [mutex, wake] : m_endWaiters) {
            std::lock_guard waiterLock(*mutex);
            wake->notify_all();
        }
    }
    // A paused worker must be able to see the request and end.
    m_resumed.notify_all();
}

void RunControl::addEndWaiter(std::mutex& mutex, std::condition_variable& wake) {
    std::lock_guard lock(m_mutex);
    m_endWaiters.emplace_back(&mutex, &wake);
}

void RunControl::removeEndWaiter(std::condition_variable& wake) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_endWaiters, [&](const auto& waiter) { return waiter.second == &wake; });
}

void RunControl::pause() {
    std::lock_guard lock(m_mutex);
    m_paused.store(true);
}

void RunControl::resume() {
    {
        std::lock_guard lock(m_mutex);
        m_paused.store(false);
    }
    m_resumed.notify_all();
}

bool RunControl::checkpoint() {
    if (m_paused.load(std::memory_order_relaxed)) {
        std::unique_lock lock(m_mutex);
        ++m_holding;
        m_resumed.wait(lock, [this] { return !m_paused.load() || m_terminated.load(); });
        --m_holding;
    }
    return m_terminated.load(std::memory_order_relaxed);
}

void RunControl::reset() {
    std::lock_guard lock(m_mutex);
    m_terminated.store(false);
    m_paused.store(false);
}
