#include "operations/FileOperationEngine.h"

#include "operations/FileTransfer.h"
#include "platform/LongPath.h"
#include "search/Matcher.h"
#include "search/RunControl.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

std::string recordKey(const std::string& folder, const std::string& name, const std::string& hash) {
    return folder + '\0' + name + '\0' + hash;
}

// The record follows the file that now stands at `name` of `folder`.
void refreshIdentity(TFiles& record, int folder, const std::string& name) {
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        record.fDevice = st.st_dev;
        record.fInode = st.st_ino;
        record.fModifiedNs =
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
        record.fChangedNs =
            static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    }
}

// The bars of the file under way: its own percentage, and the run's position, which ends at the
// file's hundred whatever becomes of the file.
class FileBars {
public:
    FileBars(std::atomic<int>& percent, std::atomic<int>& position)
        : m_percent(percent), m_position(position), m_done(position) {}
    ~FileBars() { m_position = m_done + 100; }
    FileBars(const FileBars&) = delete;
    FileBars& operator=(const FileBars&) = delete;

    // For as long as the bars live.
    CopyProgress bar() const {
        return [this](int percent) {
            m_percent = percent;
            m_position = m_done + percent;
        };
    }

private:
    std::atomic<int>& m_percent;
    std::atomic<int>& m_position;
    const int m_done;
};

} // namespace

FileOperationEngine::FileOperationEngine(std::vector<TFiles>& table, OperationHost& host,
                                         RunControl& control)
    : m_table(table), m_host(host), m_control(control) {
}

bool FileOperationEngine::fail(const std::string& path, const std::string& why) {
    m_failures.push_back({path, why});
    return false;
}

void FileOperationEngine::run(const OperationRequest& request, const std::vector<ResultRow>& rows,
                              const std::vector<char>& ticked) {
    m_request = request;
    m_failures.clear();
    m_passedOver.clear();
    m_recordKeys.clear();
    m_done.assign(rows.size(), 0);
    m_overlays = OverlayMounts::current();
    std::vector<char>& recordTicked = m_recordTicked;
    recordTicked.assign(m_table.size(), 0);
    int count = 0;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (ticked[i] && rows[i].record < m_table.size()) {
            // A reference file is never removed: it is the one its group keeps.
            recordTicked[rows[i].record] = !m_table[rows[i].record].fReference;
            ++count;
        }
    }
    m_ticked = count;

    m_groupOf.assign(m_table.size(), {0, 0});
    for (std::size_t start = 0; start < m_table.size();) {
        std::size_t end = start + 1;
        while (end < m_table.size() && sameContent(m_table[end], m_table[start]))
            ++end;
        for (std::size_t k = start; k < end; ++k)
            m_groupOf[k] = {start, end};
        start = end;
    }
    for (std::size_t k = 0; k < m_table.size(); ++k)
        m_recordKeys.emplace(recordKey(m_table[k].fPath, m_table[k].fName, m_table[k].fHash.str()),
                             k);

    // A reference folder's files are never changed, nor is anything put into it.
    std::optional<std::string> intoReference;
    if (m_request.operation == FileOperation::Copy || m_request.operation == FileOperation::Move)
        intoReference = m_request.references.holding(m_request.destination);

    int number = 1;
    for (std::size_t i = 0; i < rows.size(); ++i) {
        if (!ticked[i])
            continue;
        const ResultRow& row = rows[i];
        m_fileNumber = number;
        m_opStatus = 0;
        m_host.fileStarted(number++, row.name, row.folder);
        const std::string path = row.folder + row.name;
        CheckedFile file =
            row.record < m_table.size() ? CheckedFile(m_table[row.record]) : CheckedFile(path);
        // A reference file is only ever read: copied, never moved, removed or replaced, and a
        // copy does not need it writable. A file in use or gone is passed over, as the search
        // passes over files in use; any other reason it cannot be opened is named.
        const bool reference = row.record < m_table.size() && m_table[row.record].fReference;
        if (intoReference) {
            fail(path, "The destination lies in the reference folder \"" + *intoReference +
                           "\", whose files are never changed.");
        } else if (reference && m_request.operation != FileOperation::Copy) {
            fail(path,
                 "It is in a reference folder, whose files are never moved, removed or replaced.");
        } else if (row.record >= m_table.size() || file.gone()) {
            m_passedOver.push_back({path, "It no longer exists."});
        } else if (file.error() == EACCES || file.error() == EPERM ||
                   (file.isOpen() && (reference ? file.locked() : file.inUse()))) {
            m_passedOver.push_back({path, "It is in use: locked or being written by another "
                                          "program, read-only or not readable."});
        } else if (!file.isOpen()) {
            fail(path, file.openFailure());
        } else {
            TFiles& record = m_table[row.record];
            switch (m_request.operation) {
            case FileOperation::Copy:
                m_done[i] = copyFile(row, record, file);
                break;
            case FileOperation::Move:
                m_done[i] = moveFile(row, record, file);
                break;
            case FileOperation::Delete:
            case FileOperation::Trash:
                m_done[i] = removeFile(row, record, file);
                break;
            case FileOperation::HardLink:
            case FileOperation::Reflink:
                m_done[i] = replaceFile(row, record, file);
                break;
            }
        }
        if (m_done[i])
            m_host.fileDone(path);
        if (m_control.checkpoint())
            break;
    }

    // The rebuild runs in full even after a cancel: nothing it does touches a file, and a
    // shortened rebuild would lose records of files that are still there.
    std::vector<TFiles> kept;
    kept.reserve(m_table.size());
    for (TFiles& record : m_table) {
        if (!record.fHash.empty())
            kept.push_back(std::move(record));
    }
    m_table = regroupedResult(kept);
}

bool FileOperationEngine::copyFile(const ResultRow& row, TFiles& record, const CheckedFile& file) {
    const std::string& destination = m_request.destination;
    UniqueFd folder(openFolder(destination, true));
    if (!folder)
        return fail(file.path(),
                    "Cannot create folder \"" + destination + "\". " + std::strerror(errno));
    std::string target = row.name;
    CopyMode mode = CopyMode::CreateNew;
    struct stat there {};
    if (::fstatat(folder.get(), row.name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(there.st_mode)) {
        target = freeNumberedName(folder.get(), row.name); // a folder is never replaced
    } else if (nameTakenIn(folder.get(), row.name)) {
        switch (m_request.onCopy) {
        case OnCopy::Prompt:
            if (m_host.askReplace())
                mode = CopyMode::Replace;
            else
                target = freeNumberedName(folder.get(), row.name);
            break;
        case OnCopy::Rename:
            target = freeNumberedName(folder.get(), row.name);
            break;
        case OnCopy::Replace:
            mode = CopyMode::Replace;
            break;
        }
    }
    const int done = (m_fileNumber - 1) * 100;
    TransferResult result = copyCheckedFile(
        file, folder.get(), target, destination + target, mode,
        [this, done](int percent) {
            m_opStatus = percent;
            m_globalPosition = done + percent;
        },
        &m_control);
    m_globalPosition = done + 100;
    if (!result.ok)
        return fail(file.path(), result.error);
    // A file changed since the search is no longer a copy of its group, nor is its copy.
    const bool changed = !file.matches(record);
    const auto [known, added] =
        m_recordKeys.try_emplace(recordKey(destination, target, row.hash), m_table.size());
    if (!added) {
        // A listed file replaced by a copy of the same content is a new file on disk: its record
        // must know it, or its delete would be refused as changed since the search.
        TFiles& replaced = m_table[known->second];
        refreshIdentity(replaced, folder.get(), target);
        if (changed)
            replaced.fHash.clear();
    } else if (!changed) {
        TFiles copy = record;
        copy.fName = target;
        copy.fModified = row.modified; // the source's date, as the row shows it
        copy.fPath = destination;
        copy.fStatus = fsCopied;
        copy.fReference = false; // the copy is a file of its own, outside the reference folder
        copy.fHash = row.hash;
        refreshIdentity(copy, folder.get(), target);
        m_table.push_back(copy);
    }
    if (changed)
        record.fHash.clear();
    return true;
}

bool FileOperationEngine::moveFile(const ResultRow& row, TFiles& record, CheckedFile& file) {
    // Across file systems a move is a copy: the bar follows it as it follows a copy.
    const FileBars bars(m_opStatus, m_globalPosition);
    const CopyProgress bar = bars.bar();
    const std::string& destination = m_request.destination;
    UniqueFd folder(openFolder(destination, true));
    if (!folder)
        return fail(file.path(),
                    "Cannot create folder \"" + destination + "\". " + std::strerror(errno));
    std::string target = row.name;
    if (nameTakenIn(folder.get(), row.name)) {
        if (m_request.warnOnMoveRename)
            m_host.warnRenamed();
        target = freeNumberedName(folder.get(), row.name);
    }
    std::optional<std::string> why = removeChecked(
        file, nullptr, nullptr, m_overlays,
        moveOnStep(folder.get(), target, destination + target, &m_control, bar), m_request.seam);
    if (why)
        return fail(file.path(), *why);
    // A file changed since the search is no longer a copy of its group.
    if (!file.matches(record)) {
        record.fHash.clear();
        return true;
    }
    record.fName = target;
    record.fPath = destination;
    record.fStatus = fsMoved;
    refreshIdentity(record, folder.get(), target);
    return true;
}

const TFiles* FileOperationEngine::keptFileOf(std::size_t record, bool referenceFirst,
                                              bool& wholeGroup) const {
    const auto [start, end] = m_groupOf[record];
    auto there = [this](std::size_t k) {
        struct stat st {};
        const std::string path = m_table[k].fPath + m_table[k].fName;
        return ::lstat(path.c_str(), &st) == 0 || (errno != ENOENT && errno != ENOTDIR);
    };
    wholeGroup = true;
    for (std::size_t k = start; k < end && referenceFirst; ++k) {
        if (m_table[k].fReference && there(k)) {
            wholeGroup = false;
            return &m_table[k];
        }
    }
    for (std::size_t k = start; k < end; ++k) {
        if (m_recordTicked[k])
            continue;
        wholeGroup = false;
        if (there(k))
            return &m_table[k];
    }
    return nullptr;
}

bool FileOperationEngine::removeFile(const ResultRow& row, TFiles& record, CheckedFile& file) {
    m_globalPosition += 100;
    // The file its group keeps: the first unticked one still there. A group whose every file
    // is ticked keeps none (the user was asked); one whose unticked files are all gone cannot
    // keep one, and nothing of it is removed.
    bool wholeGroup = true;
    const TFiles* kept = keptFileOf(row.record, false, wholeGroup);
    if (!wholeGroup && kept == nullptr)
        return fail(file.path(), "No file of its group that is not ticked is left to keep.");
    std::optional<std::string> why = removeChecked(
        file, &record, kept, m_overlays,
        m_request.operation == FileOperation::Trash ? trashStep(m_request.trash) : deleteStep(),
        m_request.seam);
    if (why)
        return fail(file.path(), *why);
    record.fHash.clear();
    return true;
}

bool FileOperationEngine::replaceFile(const ResultRow& row, TFiles& record, CheckedFile& file) {
    const FileBars bars(m_opStatus, m_globalPosition);
    // The link is made to the group's reference file when it has one: that is the copy meant to
    // stay.
    bool wholeGroup = true;
    const TFiles* kept = keptFileOf(row.record, true, wholeGroup);
    if (kept == nullptr)
        return fail(file.path(), wholeGroup
                                     ? "Every file of its group is ticked: none is left to link to."
                                     : "No file of its group that is not ticked is left to keep.");
    ReplaceHooks hooks;
    hooks.seam = m_request.seam;
    hooks.failAt = m_request.failAt;
    hooks.control = &m_control;
    hooks.bar = bars.bar();
    const bool hard = m_request.operation == FileOperation::HardLink;
    std::optional<std::string> why = replaceWithLink(
        file, record, *kept, hard ? LinkKind::Hard : LinkKind::Reflink, m_overlays, hooks);
    if (why)
        return fail(file.path(), *why);
    // Two names of one file are listed once, as the search lists them; a reflink is a file of
    // its own and stays.
    if (hard)
        record.fHash.clear();
    else
        refreshIdentity(record, file.folder(), file.name());
    return true;
}
