#include "search/RunControl.h"

void RunControl::requestTerminate() {
    {
        std::lock_guard lock(m_mutex);
        m_terminated.store(true);
    }
    // A paused worker must be able to see the request and end.
    m_resumed.notify_all();
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
