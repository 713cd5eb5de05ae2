#pragma once

#include "search/ResultRows.h"
#include "search/TFiles.h"

#include <functional>
#include <string>
#include <vector>

class RunControl;

// The window's result list as the workers fill it.
class ResultListWindow {
public:
    virtual ~ResultListWindow() = default;
    // Hands a change to the window's thread; changes posted from one thread are made in the
    // order they were posted.
    virtual void postChange(std::function<void()> change) = 0;
    // On the window's thread: room for this many rows in all, so that the list never moves its
    // rows to grow while it fills.
    virtual void reserveResultRows(std::size_t count) = 0;
    // On the window's thread: rows at the end of the list, and the filter entries they call for.
    virtual void appendResultRows(std::vector<ResultRow> rows,
                                  const std::vector<std::string>& filterEntries) = 0;
};

// Sends the rows of `files` to the window's list in batches, with the filter entries they call
// for, as the search and the file operations fill the list. `atRow` runs for each row index
// before it is added. Stops after the row at which the run is asked to end; returns whether it
// went through.
bool fillResultList(ResultListWindow& window, const std::vector<TFiles>& files, RunControl& control,
                    const std::function<void(std::size_t)>& atRow);
