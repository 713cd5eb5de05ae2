#include "ui/ResultListFill.h"

#include "search/RunControl.h"

namespace {
// Rows handed to the list at once: few enough events, small enough to keep the window lively.
constexpr std::size_t kRowBatch = 4096;
} // namespace

bool fillResultList(ResultListWindow& window, const std::vector<TFiles>& files, RunControl& control,
                    const std::function<void(std::size_t)>& atRow) {
    RowBuilder builder;
    FilterEntryList filters;
    std::vector<ResultRow> rows;
    std::vector<std::string> newEntries;
    auto flush = [&] {
        window.postChange(
            [&window, rows = std::move(rows), entries = std::move(newEntries)]() mutable {
                window.appendResultRows(std::move(rows), entries);
            });
        rows = {};
        newEntries = {};
    };
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
