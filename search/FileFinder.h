#pragma once

#include "search/SearchEngine.h"
#include "ui/RunWorker.h"

#include <string>

// The search worker: walks the folder, matches its files, fills the result list and restores
// the window.
class FileFinder : public RunWorker {
public:
    // The path box's text and the subfolder choice, as they stand when the search starts.
    FileFinder(RunWindow& window, std::string searchPath, bool subfolders, SearchOptions options);

protected:
    void Execute() override;

private:
    class Hooks;

    void fillList();

    std::string m_searchPath;
    bool m_subfolders;
    SearchOptions m_options;
};
