#pragma once

#include "search/ResultRows.h"
#include "search/RunControl.h"

#include <QString>
#include <QThread>

#include <atomic>
#include <string>
#include <unordered_map>
#include <vector>

class TMainForm;

// Copies, moves or deletes the ticked files of the result list, records what it did in the
// result table, rebuilds the groups and refills the list. Nothing is lost that the user did
// not ask to remove: copies land whole or not at all, moves never replace, deletes are
// verified, and every refusal or failure is reported at the end.
class FileOperations : public QThread {
    Q_OBJECT
public:
    // The list's rows and check marks as they stand when the run starts (the list is parked
    // while it runs, so they cannot change).
    FileOperations(TMainForm* form, std::vector<ResultRow> rows, std::vector<char> checked);

    RunControl& control() { return m_control; }
    void SetName();

    // Progress for the window's timers.
    int opStatus() const { return m_opStatus.load(); }
    int globalPosition() const { return m_globalPosition.load(); }
    int fileNumber() const { return m_fileNumber.load(); }
    int tickedCount() const { return m_ticked.load(); }
    int refillIndex() const { return m_refillIndex.load(); }

    // At most this many failures are named in the closing message.
    static constexpr int kFailuresNamed = 20;

protected:
    void run() override;

private:
    void Execute();
    void copyFile(const ResultRow& row, TFiles& record);
    void moveFile(const ResultRow& row, TFiles& record);
    void deleteFile(const ResultRow& row, TFiles& record);
    enum class Box {
        YesNo,
        Ok, // a question box whose only answer is OK
    };
    // Asks on the window's thread and waits for the answer; a run asked to end answers No.
    bool ask(const QString& text, Box box);
    void fail(const std::string& path, const std::string& why);
    void finish();

    TMainForm* m_form;
    std::vector<ResultRow> m_rows;
    std::vector<char> m_checked;
    RunControl m_control;
    int m_operation = 0;
    std::string m_destination;
    std::string m_onCopy;
    std::string m_onMove;
    std::vector<char> m_recordTicked;
    std::vector<std::size_t> m_keeperOf; // per record: the unticked record of its group, or npos
    std::unordered_map<std::string, std::size_t> m_recordKeys; // folder, name, digest -> record
    std::vector<std::string> m_failures;

    std::atomic<int> m_opStatus{0};
    std::atomic<int> m_globalPosition{0};
    std::atomic<int> m_fileNumber{0};
    std::atomic<int> m_ticked{0};
    std::atomic<int> m_refillIndex{-1};
};

// The message that names the files an operation left alone, the first twenty and a count.
QString failureMessage(int operation, const std::vector<std::string>& failures);
