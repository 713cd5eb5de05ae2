#pragma once

#include "ui/RunWorker.h"

#include <string>
#include <utility>
#include <vector>

// Refills the result list with the records whose filter entry is ticked; the groups are
// renumbered over the rows shown. The result table itself is not changed.
class FileFilter : public RunWorker {
public:
    // The filter entries' captions and check marks, as they stand when the filter starts.
    FileFilter(RunWindow& window, std::vector<std::pair<std::string, bool>> entries);

protected:
    // The filter runs to its end, but a closing window asks it not to wait for the list.
    void Execute() override;

private:
    std::vector<std::pair<std::string, bool>> m_entries;
};
