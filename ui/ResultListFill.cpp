#include "ui/ResultListFill.h"

#include "search/RunControl.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

namespace {
// Rows handed to the list at once: few enough events, small enough to keep the window lively.
constexpr std::size_t kRowBatch = 4096;
// Batches handed over but not yet in the list. The window takes every waiting change in one go,
// so a worker that ran ahead would hold its event loop for all of them at once; with at most
// two waiting, the loop answers between batches.
constexpr int kBatchesAhead = 2;
} // namespace

RowBatches::RowBatches(ResultListWindow& window, RunControl& control, std::size_t total)
    : m_window(window), m_control(control), m_waiting(std::make_shared<std::atomic<int>>(0)) {
    window.postChange([&window, total] { window.reserveResultRows(total); });
}

RowBatches::~RowBatches() {
    flush();
}

void RowBatches::add(ResultRow row, std::string newEntry) {
    m_rows.push_back(std::move(row));
    if (!newEntry.empty())
        m_newEntries.push_back(std::move(newEntry));
    if (m_rows.size() >= kRowBatch)
        flush();
}

void RowBatches::flush() {
    if (m_rows.empty() && m_newEntries.empty())
        return;
    // A run asked to end does not wait: the window may be waiting for it to end.
    while (m_waiting->load() >= kBatchesAhead && !m_control.terminated())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ++*m_waiting;
    m_window.postChange([window = &m_window, waiting = m_waiting, rows = std::move(m_rows),
                         entries = std::move(m_newEntries)]() mutable {
        window->appendResultRows(std::move(rows), entries);
        --*waiting;
    });
    m_rows = {};
    m_newEntries = {};
}

bool fillResultList(ResultListWindow& window, const std::vector<TFiles>& files, RunControl& control,
                    const std::function<void(std::size_t)>& atRow) {
    RowBuilder builder;
    FilterEntryList filters;
    RowBatches batches(window, control, files.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (atRow)
            atRow(i);
        batches.add(builder.add(files[i], i), filters.addFor(files[i].fName));
        if (control.checkpoint()) {
            batches.flush();
            return false;
        }
    }
    return true;
}
