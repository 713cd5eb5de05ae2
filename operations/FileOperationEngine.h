#pragma once

#include "operations/CheckedFile.h"
#include "operations/LinkReplace.h"
#include "operations/OperationOptions.h"
#include "platform/OverlayMounts.h"
#include "platform/Trash.h"
#include "search/ReferenceFolders.h"
#include "search/ResultRows.h"
#include "search/TFiles.h"

#include <atomic>
#include <string>
#include <unordered_map>
#include <vector>

class RunControl;

// The operations on ticked result rows. The numbers are those the window's commands store.
enum class FileOperation {
    Copy = 1,
    Move = 2,
    Delete = 3,
    Trash = 4,
    HardLink = 5, // replaced by a hard link of the file its group keeps
    Reflink = 6,  // replaced by a reflink of it
};

// What an operation asks and reports on its way; the window answers with its boxes, the
// command line with its options.
class OperationHost {
public:
    virtual ~OperationHost() = default;
    // A file of the copy's name waits in the destination ("OnCopy" is "prompt"): true replaces
    // it, false gives the copy a numbered name.
    virtual bool askReplace() = 0;
    // A moved file takes a numbered name because its own is taken ("OnMove" is "no").
    virtual void warnRenamed() = 0;
    // A ticked file was copied, moved or removed.
    virtual void fileDone(const std::string& path) { (void)path; }
    // A ticked file is about to be handled (number from 1).
    virtual void fileStarted(int number, const std::string& name, const std::string& folder) {
        (void)number;
        (void)name;
        (void)folder;
    }
};

struct OperationRequest {
    FileOperation operation = FileOperation::Delete;
    std::string destination;       // copy and move: a folder text ending with "/"
    OnCopy onCopy = OnCopy::Prompt;
    bool warnOnMoveRename = true; // the host is told before a moved file is renamed
    TrashLocations trash = TrashLocations::forUser(); // where Trash sends files
    ReferenceFolders references{};                    // no copy or move lands in them
    RemovalSeam seam =
        nullptr; // tests only: changes the files between the steps of a move or removal
    FailureSeam failAt = nullptr; // tests only: makes a step of a replacement by a link fail
};

// A file left alone, with the reason a user can read.
struct OperationFailure {
    std::string path;
    std::string reason;
};

// Copies, moves, deletes or replaces by links the files of the ticked rows and keeps the result
// table in step: copies join their group as new records, moved records take their new place,
// deleted and trashed ones leave, as do hard links (one file is listed once), reflinks stay, and
// a file found changed since the search leaves its group; then the groups are rebuilt. Nothing is
// lost that was not asked for: copies land whole or not at all, a move never replaces a file, a
// delete or a move to the trash takes only a file unchanged since the search and, while its group
// keeps an unticked file, only when its bytes equal that file's. Each file is opened once and
// everything is done to the file opened (CheckedFile).
class FileOperationEngine {
public:
    FileOperationEngine(std::vector<TFiles>& table, OperationHost& host, RunControl& control);

    // Acts on the ticked rows, in list order, then rebuilds the table. A run asked to end stops
    // after the file under way (a copy under way is finished); the rebuild still runs in full.
    void run(const OperationRequest& request, const std::vector<ResultRow>& rows,
             const std::vector<char>& ticked);

    const std::vector<OperationFailure>& failures() const { return m_failures; }
    // Ticked files passed over without an attempt: in use, or gone since the search. The window
    // passes them over silently; the command line names them.
    const std::vector<OperationFailure>& passedOver() const { return m_passedOver; }
    // Per row of the last run: whether its file was copied, moved or removed.
    const std::vector<char>& doneRows() const { return m_done; }

    // Progress, readable from other threads while the run goes on.
    int tickedCount() const { return m_ticked.load(); }
    int fileNumber() const { return m_fileNumber.load(); }
    int opStatus() const { return m_opStatus.load(); } // the copy of the file under way, percent
    int globalPosition() const { return m_globalPosition.load(); } // 100 per finished file

private:
    bool copyFile(const ResultRow& row, TFiles& record, const CheckedFile& file);
    bool moveFile(const ResultRow& row, TFiles& record, CheckedFile& file);
    bool removeFile(const ResultRow& row, TFiles& record, CheckedFile& file);
    bool replaceFile(const ResultRow& row, TFiles& record, CheckedFile& file);
    // The file the group of `record` keeps: its first reference file still there when `reference
    // first`, else its first unticked one still there. Null when there is none; `wholeGroup`
    // tells whether every file of the group is ticked.
    const TFiles* keptFileOf(std::size_t record, bool referenceFirst, bool& wholeGroup) const;
    bool fail(const std::string& path, const std::string& why);

    std::vector<TFiles>& m_table;
    OperationRequest m_request;
    OperationHost& m_host;
    RunControl& m_control;
    // Per record: where its group begins and ends in the table, and whether it is ticked.
    std::vector<std::pair<std::size_t, std::size_t>> m_groupOf;
    std::vector<char> m_recordTicked;
    std::unordered_map<std::string, std::size_t> m_recordKeys; // folder, name, digest -> record
    std::vector<OperationFailure> m_failures;
    std::vector<OperationFailure> m_passedOver;
    std::vector<char> m_done;
    OverlayMounts m_overlays;

    std::atomic<int> m_ticked{0};
    std::atomic<int> m_fileNumber{0};
    std::atomic<int> m_opStatus{0};
    std::atomic<int> m_globalPosition{0};
};
