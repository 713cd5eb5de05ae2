#include "ui/RunWorker.h"

#include "platform/ThreadName.h"

RunWorker::RunWorker(RunWindow& window, RunKind kind, std::string threadName)
    : m_window(window), m_kind(kind), m_threadName(std::move(threadName)) {
}

RunWorker::~RunWorker() {
    join();
}

void RunWorker::join() {
    wait();
    std::lock_guard lock(m_endMutex);
}

void RunWorker::SetName() {
    setThreadName(m_threadName);
}

void RunWorker::run() {
    std::lock_guard lock(m_endMutex);
    SetName();
    Execute();
}

void RunWorker::post(std::function<void(RunWindow&)> change) {
    RunWindow* window = &m_window;
    window->postChange([window, change = std::move(change)] { change(*window); });
}
