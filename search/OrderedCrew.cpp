#include "search/OrderedCrew.h"

#include "search/RunControl.h"

#include <algorithm>

OrderedCrew::OrderedCrew(unsigned helpers, RunControl& control) : m_control(control) {
    m_control.addEndWaiter(m_mutex, m_finished);
    for (unsigned t = 0; t < helpers; ++t)
        m_threads.emplace_back([this] { help(); });
}

OrderedCrew::~OrderedCrew() {
    m_control.removeEndWaiter(m_finished);
    {
        std::lock_guard lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    for (std::thread& thread : m_threads)
        thread.join();
}

unsigned OrderedCrew::defaultHelpers() {
    // The caller works too, so one thread fewer than there are cores.
    return std::max(1u, std::thread::hardware_concurrency() - 1);
}

bool OrderedCrew::runNext() {
    if (m_control.checkpoint())
        return false;
    const std::size_t k = m_next.fetch_add(1);
    if (k >= m_count)
        return false;
    (*m_task)(k);
    // Both sequentially consistent, as is the caller's side: either it sees the task done, or
    // this sees it waiting for it.
    m_done[k].store(true);
    if (m_awaited.load() == k) {
        std::lock_guard lock(m_mutex);
        m_finished.notify_all();
    }
    return true;
}

void OrderedCrew::help() {
    unsigned seen = 0;
    for (;;) {
        {
            std::unique_lock lock(m_mutex);
            m_wake.wait(lock, [&] { return m_stop || (m_batch != seen && m_task != nullptr); });
            if (m_stop)
                return;
            seen = m_batch;
            ++m_inside;
        }
        while (runNext()) {
        }
        {
            std::lock_guard lock(m_mutex);
            --m_inside;
        }
        m_left.notify_all();
    }
}

bool OrderedCrew::awaitTask(std::size_t k) {
    while (!m_done[k].load()) {
        // The caller lends a hand while its next result is not there.
        if (runNext())
            continue;
        if (m_control.terminated())
            return false;
        // Every task is taken: a helper is at work on this one.
        std::unique_lock lock(m_mutex);
        m_awaited.store(k);
        m_finished.wait(lock, [&] { return m_done[k].load() || m_control.terminated(); });
        m_awaited.store(kNobody);
    }
    return true;
}

bool OrderedCrew::run(std::size_t count, const std::function<void(std::size_t)>& task,
                      const std::function<bool(std::size_t)>& use) {
    {
        std::lock_guard lock(m_mutex);
        if (count > m_capacity) {
            m_done.reset(new std::atomic<bool>[count]);
            m_capacity = count;
        }
        for (std::size_t k = 0; k < count; ++k)
            m_done[k].store(false, std::memory_order_relaxed);
        m_task = &task;
        m_count = count;
        m_next.store(0);
        ++m_batch;
    }
    m_wake.notify_all();
    bool ended = false;
    for (std::size_t k = 0; k < count; ++k) {
        // Asked before each use, not only while waiting: when the helpers have already run
        // every task, a run asked to end must still stop its uses and say so.
        if (m_control.terminated() || !awaitTask(k)) {
            ended = true;
            break;
        }
        if (!use(k))
            break;
    }
    // No helper may run a task of this batch once it is over.
    std::unique_lock lock(m_mutex);
    m_next.store(count);
    m_left.wait(lock, [&] { return m_inside == 0; });
    m_task = nullptr;
    return !ended;
}
