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

bool fillResultList(ResultListWindow& window, const std::vector<TFiles>& files, RunControl& control,
                    const std::function<void(std::size_t)>& atRow) {
    RowBuilder builder;
    FilterEntryList filters;
    std::vector<ResultRow> rows;
    std::vector<std::string> newEntries;
    auto waiting = std::make_shared<std::atomic<int>>(0);
    auto flush = [&] {
        // A run asked to end does not wait: the window may be waiting for it to end.
        while (waiting->load() >= kBatchesAhead && !control.terminated())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ++*waiting;
        window.postChange(
            [&window, waiting, rows = std::move(rows), entries = std::move(newEntries)]() mutable {
                window.appendResultRows(std::move(rows), entries);
                --*waiting;
            });
        rows = {};
        newEntries = {};
    };
    window.postChange([&window, count = files.size()] { window.reserveResultRows(count); });
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (atRow)
            atRow(i);
        rows.push_back(builder.add(files[i], i));
        std::string entry = filters.addFor(files[i].fName);
        if (!entry.empty())
            newEntries.push_back(std::move(entry));
        const bool stop = control.checkpoint();
        if (rows.size() >= kRowBatch || stop)
            flush();
        if (stop)
            return false;
    }
    if (!rows.empty())
        flush();
    return true;
}
