#include "search/OrderedTasks.h"

#include "search/RunControl.h"

OrderedTasks::OrderedTasks(std::size_t count, std::function<void(std::size_t)> task,
                           RunControl& control, unsigned threads)
    : m_count(count), m_task(std::move(task)), m_control(control),
      m_done(new std::atomic<bool>[count]) {
    for (std::size_t i = 0; i < count; ++i)
        m_done[i].store(false, std::memory_order_relaxed);
    threads = std::max(1u, threads);
    m_running = threads;
    for (unsigned t = 0; t < threads; ++t)
        m_threads.emplace_back([this] { work(); });
}

OrderedTasks::~OrderedTasks() {
    m_next.store(m_count); // no further task
    for (std::thread& thread : m_threads)
        thread.join();
}

unsigned OrderedTasks::defaultThreads() {
    // The consumer works too, so one thread fewer than there are cores.
    return std::max(1u, std::thread::hardware_concurrency() - 1);
}

bool OrderedTasks::runNext() {
    if (m_control.checkpoint())
        return false;
    const std::size_t index = m_next.fetch_add(1);
    if (index >= m_count)
        return false;
    m_task(index);
    m_done[index].store(true);
    // Wake the consumer only when it waits for this very task: most finish before it asks.
    if (m_waitingFor.load() == index) {
        std::lock_guard lock(m_mutex);
        m_changed.notify_all();
    }
    return true;
}

void OrderedTasks::work() {
    while (runNext()) {
    }
    std::lock_guard lock(m_mutex);
    --m_running;
    m_changed.notify_all();
}

bool OrderedTasks::waitFor(std::size_t index) {
    // The consumer lends a hand while its task is not done, rather than sleep.
    while (!m_done[index].load()) {
        if (!runNext())
            break;
    }
    if (m_done[index].load())
        return true;
    std::unique_lock lock(m_mutex);
    m_waitingFor.store(index);
    m_changed.wait(lock, [&] { return m_done[index].load() || m_running.load() == 0; });
    m_waitingFor.store(kNobody);
    return m_done[index].load();
}
