#pragma once

#include "search/ResultRows.h"
#include "search/TFiles.h"

#include <functional>
#include <memory>
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

// Hands rows to the window's list in batches. The window takes every waiting change in one go,
// so at most two batches wait at a time: its event loop answers between them. Room for all the
// rows is asked for first, so the list never moves its rows to grow.
class RowBatches {
public:
    RowBatches(ResultListWindow& window, RunControl& control, std::size_t total);
    ~RowBatches();
    RowBatches(const RowBatches&) = delete;
    RowBatches& operator=(const RowBatches&) = delete;

    // A row, and the filter entry it calls for when it is the first of its kind.
    void add(ResultRow row, std::string newEntry = {});
    // Hands over what has been added; a run asked to end does not wait for the window.
    void flush();

private:
    struct Handover;

    ResultListWindow& m_window;
    RunControl& m_control;
    // Shared with the changes posted: they may be made after this object is gone.
    std::shared_ptr<Handover> m_handover;
    std::vector<ResultRow> m_rows;
    std::vector<std::string> m_newEntries;
};

// Sends the rows of `files` to the window's list in batches, with the filter entries they call
// for, as the search and the file operations fill the list. `atRow` runs for each row index
// before it is added. Stops after the row at which the run is asked to end; returns whether it
// went through.
bool fillResultList(ResultListWindow& window, const std::vector<TFiles>& files, RunControl& control,
                    const std::function<void(std::size_t)>& atRow);
