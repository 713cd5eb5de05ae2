#include "ui/ResultListFill.h"

#include "search/RunControl.h"

#include <condition_variable>
#include <memory>
#include <mutex>

namespace {
// Rows handed to the list at once: few enough events, small enough to keep the window lively.
constexpr std::size_t kRowBatch = 4096;
// Batches handed over but not yet in the list. The window takes every waiting change in one go,
// so a worker that ran ahead would hold its event loop for all of them at once; with at most
// two waiting, the loop answers between batches.
constexpr int kBatchesAhead = 2;
} // namespace

struct RowBatches::Handover {
    std::mutex mutex;
    std::condition_variable taken; // a batch is in the list, or the run is to end
    int waiting = 0;               // batches handed over but not yet in the list
};

RowBatches::RowBatches(ResultListWindow& window, RunControl& control, std::size_t total)
    : m_window(window), m_control(control), m_handover(std::make_shared<Handover>()) {
    m_control.addEndWaiter(m_handover->mutex, m_handover->taken);
    window.postChange([&window, total] { window.reserveResultRows(total); });
}

RowBatches::~RowBatches() {
    flush();
    m_control.removeEndWaiter(m_handover->taken);
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
    {
        // A run asked to end does not wait: the window may be waiting for it to end.
        std::unique_lock lock(m_handover->mutex);
        m_handover->taken.wait(
            lock, [&] { return m_handover->waiting < kBatchesAhead || m_control.terminated(); });
        ++m_handover->waiting;
    }
    m_window.postChange([window = &m_window, handover = m_handover, rows = std::move(m_rows),
                         entries = std::move(m_newEntries)]() mutable {
        window->appendResultRows(std::move(rows), entries);
        {
            std::lock_guard lock(handover->mutex);
            --handover->waiting;
        }
        handover->taken.notify_all();
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
