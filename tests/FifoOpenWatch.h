#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

// Counts the opens of a FIFO by others: each time someone has it open for reading (or waits in
// open for a writer), the watch opens it for writing and closes it again, which also releases a
// reader blocked in open, so that a test of code that should never open it fails instead of
// hanging.
class FifoOpenWatch {
public:
    explicit FifoOpenWatch(std::string path)
        : m_path(std::move(path)), m_thread([this] { run(); }) {}
    ~FifoOpenWatch() {
        m_stop = true;
        m_thread.join();
    }
    FifoOpenWatch(const FifoOpenWatch&) = delete;
    FifoOpenWatch& operator=(const FifoOpenWatch&) = delete;

    int opens() const { return m_opens; }

private:
    void run() {
        while (!m_stop) {
            // Without a reader this fails at once (ENXIO) instead of waiting.
            int fd = ::open(m_path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
            if (fd >= 0) {
                ++m_opens;
                ::close(fd);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    std::string m_path;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_opens{0};
    std::thread m_thread;
};
