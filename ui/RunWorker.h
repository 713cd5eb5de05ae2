#pragma once

#include "search/RunControl.h"
#include "search/SearchOptions.h"
#include "ui/ResultListFill.h"

#include <QString>
#include <QThread>

#include <functional>
#include <mutex>
#include <string>

class Dialogs;
class QWidget;
class SearchProgress;
struct SharedState;

// The kinds of run the window starts, one at a time.
enum class RunKind { None, Search, Operation, Filter };

// What the workers need of the window, and all they may do to it. The state and the progress
// are safe to use from a worker's thread; every other member runs on the window's thread, in
// changes a worker posts.
class RunWindow : public ResultListWindow {
public:
    virtual SharedState& sharedState() = 0;
    virtual SearchProgress& runProgress() = 0;
    virtual QWidget* dialogParent() = 0;
    virtual Dialogs& dialogs() const = 0;

    // The list comes back into view, filled.
    virtual void unparkList() = 0;

    // A search: its options are known, its walk and its matching have ended, its list is about
    // to be filled, it has ended; a folder it could not read.
    virtual void searchOptionsRead(SearchSpeed speed) = 0;
    virtual void searchWalkEnded(SearchSpeed speed) = 0;
    virtual void searchMatchEnded() = 0;
    virtual void searchFillStarted() = 0;
    virtual void searchEnded(bool terminated, int duplicated, int found) = 0;
    virtual void searchFolderProblem(const QString& text) = 0;
    // What the search left out, by reason ("3 hidden folders, ..."); empty when nothing.
    virtual void searchPassedOver(const QString& text) = 0;
    // Something the user should know about what the search covered (not an error).
    virtual void searchNote(const QString& text) = 0;

    // A file operation on `ticked` files: started; its list about to be refilled with `count`
    // records; ended, `failures` naming the files left alone (empty when none).
    virtual void operationStarted(int operation, int ticked) = 0;
    virtual void operationRefillStarted(int count) = 0;
    virtual void operationEnded(bool terminated, int count, const QString& failures) = 0;

    // A filter: the list emptied for the refill, and shown again.
    virtual void filterStarted() = 0;
    virtual void filterEnded() = 0;
};

// The shape every worker shares: a named thread that runs Execute() once, a run control the
// window pauses and cancels, and changes posted to the window in order.
class RunWorker : public QThread {
public:
    RunWorker(RunWindow& window, RunKind kind, std::string threadName);
    // Waits for the thread: a worker must not outlive the state it writes.
    ~RunWorker() override;

    RunKind kind() const { return m_kind; }
    RunControl& control() { return m_control; }
    void SetName();
    // Waits for the thread to end; afterwards everything it wrote may be read and destroyed.
    void join();

protected:
    void run() final;
    virtual void Execute() = 0;
    // Hands a change of the window to the window's thread, after those posted before it.
    void post(std::function<void(RunWindow&)> change);

    RunWindow& m_window;
    RunControl m_control;

private:
    RunKind m_kind;
    std::string m_threadName;
    // Taken by the thread as its last step and by join(): the thread's end happens before
    // what follows the join, in a way every tool can see (Qt's own wait uses futexes directly).
    std::mutex m_endMutex;
};
