#include "operations/FileFilter.h"

#include "search/ResultRows.h"
#include "search/SharedState.h"

#include <optional>
#include <unordered_map>

FileFilter::FileFilter(RunWindow& window, std::vector<std::pair<std::string, bool>> entries)
    : RunWorker(window, RunKind::Filter, "Twinscope File Filter"), m_entries(std::move(entries)) {
}

void FileFilter::Execute() {
    post([](RunWindow& window) { window.filterStarted(); });

    std::unordered_map<std::string, bool> ticked;
    for (const auto& [caption, checked] : m_entries)
        ticked.emplace(filterCaptionKey(caption), checked);
    auto shown = [&](const std::string& caption) {
        auto entry = ticked.find(filterCaptionKey(caption));
        return entry != ticked.end() ? std::optional<bool>(entry->second) : std::nullopt;
    };

    // No other worker runs while the list is in view, so the table is not written meanwhile.
    const std::vector<TFiles>& files = m_window.sharedState().aDuplicatedFiles;
    {
        RowBuilder builder;
        RowBatches batches(m_window, m_control, files.size());
        for (std::size_t i = 0; i < files.size(); ++i) {
            const std::string extension = fileExtension(files[i].fName);
            std::optional<bool> entry = shown("*" + extension);
            if (!entry)
                entry = shown("Unknown");
            if (entry.value_or(false))
                batches.add(builder.add(files[i], i));
        }
    }

    post([](RunWindow& window) { window.filterEnded(); });
}
