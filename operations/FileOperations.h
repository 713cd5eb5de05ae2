#pragma once

#include "operations/FileOperationEngine.h"
#include "search/ResultRows.h"
#include "ui/RunWorker.h"

#include <QString>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

// Runs a file operation on the ticked rows of the result list for the window: the window's
// changes at the start, the questions in its boxes, the refill of the list and the closing
// report of the files left alone. The work itself is the core's FileOperationEngine.
class FileOperations : public RunWorker {
public:
    // The list's rows and check marks as they stand when the run starts (the list is parked
    // while it runs, so they cannot change).
    FileOperations(RunWindow& window, std::vector<ResultRow> rows, std::vector<char> checked,
                   OperationRequest request);
    ~FileOperations() override;

    // Progress for the window's timers.
    int opStatus() const;
    int globalPosition() const;
    int fileNumber() const;
    int tickedCount() const;
    int refillIndex() const { return m_refillIndex.load(); }

    // At most this many failures are named in the closing message.
    static constexpr int kFailuresNamed = 20;

protected:
    void Execute() override;

private:
    class WindowHost;
    void finish(int operation, const std::vector<OperationFailure>& failures);

    std::vector<ResultRow> m_rows;
    std::vector<char> m_checked;
    OperationRequest m_request;
    std::unique_ptr<WindowHost> m_host;
    std::unique_ptr<FileOperationEngine> m_engine;
    std::atomic<int> m_refillIndex{-1};
};

// The message that names the files an operation left alone, the first twenty and a count.
QString failureMessage(int operation, const std::vector<OperationFailure>& failures);
