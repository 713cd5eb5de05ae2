#pragma once

#include "operations/FileOperationEngine.h"
#include "search/ResultRows.h"
#include "search/RunControl.h"
#include "ui/ResultListFill.h"

#include <QString>
#include <QThread>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

class Dialogs;
class QWidget;
class SearchProgress;
struct SharedState;

// What the worker needs of its window. The state, the progress and the settings are safe to
// use from the worker's thread; the other members run on the window's thread, in changes the
// worker posts.
class FileOperationsWindow : public ResultListWindow {
public:
    virtual SharedState& sharedState() = 0;
    virtual SearchProgress& runProgress() = 0;
    virtual QWidget* dialogParent() = 0;
    virtual Dialogs& dialogs() const = 0;
    // The window locked for the run, its progress display for `ticked` files.
    virtual void operationStarted(int operation, int ticked) = 0;
    // The list is about to be refilled with `count` records.
    virtual void operationRefillStarted(int count) = 0;
    // The refilled list comes back into view.
    virtual void unparkList() = 0;
    // The window unlocked; `failures` names the files left alone (empty when none).
    virtual void operationEnded(bool terminated, int count, const QString& failures) = 0;
};

// Runs a file operation on the ticked rows of the result list for the window: the window's
// changes at the start, the questions in its boxes, the refill of the list and the closing
// report of the files left alone. The work itself is the core's FileOperationEngine.
class FileOperations : public QThread {
    Q_OBJECT
public:
    // The list's rows and check marks as they stand when the run starts (the list is parked
    // while it runs, so they cannot change).
    FileOperations(FileOperationsWindow& window, std::vector<ResultRow> rows,
                   std::vector<char> checked, OperationRequest request);
    ~FileOperations() override;

    RunControl& control() { return m_control; }
    void SetName();

    // Progress for the window's timers.
    int opStatus() const;
    int globalPosition() const;
    int fileNumber() const;
    int tickedCount() const;
    int refillIndex() const { return m_refillIndex.load(); }

    // At most this many failures are named in the closing message.
    static constexpr int kFailuresNamed = 20;

protected:
    void run() override;

private:
    class WindowHost;
    void Execute();
    void finish(int operation, const std::vector<OperationFailure>& failures);

    FileOperationsWindow& m_window;
    std::vector<ResultRow> m_rows;
    std::vector<char> m_checked;
    OperationRequest m_request;
    RunControl m_control;
    std::unique_ptr<WindowHost> m_host;
    std::unique_ptr<FileOperationEngine> m_engine;
    std::atomic<int> m_refillIndex{-1};
};

// The message that names the files an operation left alone, the first twenty and a count.
QString failureMessage(int operation, const std::vector<OperationFailure>& failures);
