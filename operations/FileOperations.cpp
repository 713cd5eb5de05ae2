#include "operations/FileOperations.h"

#include "app/TMainForm.h"
#include "operations/FileTransfer.h"
#include "platform/FileInUse.h"
#include "platform/SpecialFolders.h"
#include "platform/ThreadName.h"
#include "search/Matcher.h"
#include "ui/Dialogs.h"
#include "ui/ResultListFill.h"

#include <QFile>
#include <QLabel>
#include <QProgressBar>
#include <QSemaphore>
#include <QTimer>

#include <memory>
#include <sys/stat.h>

namespace {

constexpr std::size_t kNoKeeper = static_cast<std::size_t>(-1);

std::string recordKey(const std::string& folder, const std::string& name, const std::string& hash) {
    return folder + '\0' + name + '\0' + hash;
}

void refreshIdentity(TFiles& record) {
    struct stat st {};
    if (::stat(record.fullName().c_str(), &st) == 0) {
        record.fDevice = st.st_dev;
        record.fInode = st.st_ino;
        record.fModifiedNs =
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    }
}

QString decoded(const std::string& bytes) {
    return QFile::decodeName(QByteArray::fromStdString(bytes));
}

} // namespace

QString failureMessage(int operation, const std::vector<std::string>& failures) {
    const char* verb = operation == 1 ? "copied" : operation == 2 ? "moved" : "deleted";
    QString text = QStringLiteral("These files were not %1:\n\r\n\r").arg(QLatin1String(verb));
    const int named =
        std::min<int>(static_cast<int>(failures.size()), FileOperations::kFailuresNamed);
    for (int i = 0; i < named; ++i)
        text += decoded(failures[static_cast<std::size_t>(i)]) + QLatin1Char('\n');
    if (static_cast<int>(failures.size()) > named)
        text += QStringLiteral("… and %1 more.\n").arg(static_cast<int>(failures.size()) - named);
    return text.trimmed();
}

FileOperations::FileOperations(TMainForm* form, std::vector<ResultRow> rows,
                               std::vector<char> checked)
    : m_form(form), m_rows(std::move(rows)), m_checked(std::move(checked)) {
}

void FileOperations::run() {
    Execute();
}

void FileOperations::SetName() {
    setThreadName("Twinscope File Operations");
}

bool FileOperations::ask(const QString& text, Box box) {
    struct Answer {
        QSemaphore ready;
        bool yes = false;
    };
    auto answer = std::make_shared<Answer>();
    m_form->postChange([form = m_form, answer, text, box] {
        if (box == Box::YesNo)
            answer->yes = form->dialogs().confirm(form, text);
        else
            form->dialogs().acknowledge(form, text);
        answer->ready.release();
    });
    // The box blocks the run until it is answered; a run asked to end (the window closing)
    // does not wait for it.
    while (!answer->ready.tryAcquire(1, 100)) {
        if (m_control.terminated())
            return false;
    }
    return answer->yes;
}

void FileOperations::fail(const std::string& path, const std::string& why) {
    m_failures.push_back(path + " — " + why);
}

void FileOperations::Execute() {
    SharedState& state = m_form->state;
    SetName();
    state.iManageFiles = 1;
    state.aTmpFiles.clear();
    state.iDuplicatedFiles = 0;
    state.iLastBytes = 0;
    m_operation = state.iOperation;
    if (m_operation < 1 || m_operation > 3) {
        state.iManageFiles = 0;
        return;
    }
    m_destination = state.sDestinationPath;
    m_form->postChange(
        [form = m_form, operation = m_operation] { form->operationStarted(operation); });
    m_onCopy = m_form->Settings->readString("Options", "OnCopy", "prompt");
    m_onMove = m_form->Settings->readString("Options", "OnMove", "no");

    std::vector<TFiles>& table = state.aDuplicatedFiles;
    m_recordTicked.assign(table.size(), 0);
    int ticked = 0;
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        if (m_checked[i] && m_rows[i].record < table.size()) {
            m_recordTicked[m_rows[i].record] = 1;
            ++ticked;
        }
    }
    m_ticked = ticked;
    m_form->postChange(
        [form = m_form, ticked] { form->GlobalStatus->setRange(0, std::max(1, ticked * 100)); });

    // The file a group keeps: its first record that is not ticked.
    m_keeperOf.assign(table.size(), kNoKeeper);
    for (std::size_t start = 0; start < table.size();) {
        std::size_t end = start + 1;
        while (end < table.size() && sameContent(table[end], table[start]))
            ++end;
        std::size_t keeper = kNoKeeper;
        for (std::size_t k = start; k < end && keeper == kNoKeeper; ++k)
            keeper = m_recordTicked[k] ? kNoKeeper : k;
        for (std::size_t k = start; k < end; ++k)
            m_keeperOf[k] = keeper;
        start = end;
    }
    for (std::size_t k = 0; k < table.size(); ++k)
        m_recordKeys.emplace(recordKey(table[k].fPath, table[k].fName, table[k].fHash), k);

    int fileNumber = 1;
    for (std::size_t i = 0; i < m_rows.size(); ++i) {
        if (!m_checked[i])
            continue;
        const ResultRow& row = m_rows[i];
        m_form->progress.setFileAndDirectory(row.name, row.folder);
        m_fileNumber = fileNumber++;
        m_opStatus = 0;
        const std::string path = row.folder + row.name;
        if (row.record < table.size() && !IsFileInUse(path) && fileExists(path)) {
            TFiles& record = table[row.record];
            if (m_operation == 1)
                copyFile(row, record);
            else if (m_operation == 2)
                moveFile(row, record);
            else
                deleteFile(row, record);
        }
        if (m_control.checkpoint())
            break;
    }

    // The rebuild runs in full even after a cancel: nothing it does touches a file, and a
    // shortened rebuild would lose records of files that are still there.
    for (const TFiles& record : table) {
        if (!record.fHash.empty())
            state.aTmpFiles.push_back(record);
    }
    table = regroupedResult(state.aTmpFiles);
    state.iDuplicatedFiles = static_cast<int>(table.size());

    if (state.iDuplicatedFiles >= 1) {
        const int count = state.iDuplicatedFiles;
        m_form->postChange([form = m_form, count] { form->operationRefillStarted(count); });
        fillResultList(m_form, table, m_control,
                       [this](std::size_t index) { m_refillIndex = static_cast<int>(index); });
        if (!m_control.terminated())
            m_form->postChange([form = m_form] { form->unparkList(); });
    }
    finish();
}

void FileOperations::finish() {
    const bool terminated = m_control.terminated();
    const int count = m_form->state.iDuplicatedFiles;
    m_form->postChange(
        [form = m_form, terminated, count] { form->operationEnded(terminated, count); });
    if (!m_failures.empty()) {
        QString message = failureMessage(m_operation, m_failures);
        m_form->postChange([form = m_form, message] { form->dialogs().error(form, message); });
    }
    m_form->state.iManageFiles = 0;
}

void FileOperations::copyFile(const ResultRow& row, TFiles& record) {
    const std::string source = row.folder + row.name;
    forceDirectories(m_destination);
    std::string target = row.name;
    CopyMode mode = CopyMode::CreateNew;
    if (fileExists(m_destination + row.name)) {
        if (m_onCopy == "prompt") {
            const bool replace = ask(
                QStringLiteral("There is already a file with the same name in the destination "
                               "path.\n\r\n\rDo you want to replace the file in the destination "
                               "path? Click “Yes” to replace it, or “No” to auto rename it."),
                Box::YesNo);
            if (replace)
                mode = CopyMode::Replace;
            else
                target = freeNumberedName(m_destination, row.name);
        } else if (m_onCopy == "rename") {
            target = freeNumberedName(m_destination, row.name);
        } else if (m_onCopy == "replace") {
            mode = CopyMode::Replace;
        } else {
            return;
        }
    }
    const int done = (m_fileNumber - 1) * 100;
    TransferResult result = CopyFileWP(
        source, m_destination + target, mode,
        [this, done](int percent) {
            m_opStatus = percent;
            m_globalPosition = done + percent;
        },
        &m_control);
    m_globalPosition = done + 100;
    if (!result.ok) {
        fail(source, result.error);
        return;
    }
    std::vector<TFiles>& table = m_form->state.aDuplicatedFiles;
    const auto [known, added] =
        m_recordKeys.try_emplace(recordKey(m_destination, target, row.hash), table.size());
    if (!added) {
        // A listed file replaced by a copy of the same content is a new file on disk: its record
        // must know it, or its delete would be refused as changed since the search.
        refreshIdentity(table[known->second]);
        return;
    }
    TFiles copy = record;
    copy.fName = target;
    copy.fModified = row.modified; // the source's date, as the row shows it
    copy.fPath = m_destination;
    copy.fStatus = fsCopied;
    copy.fHash = row.hash;
    refreshIdentity(copy);
    table.push_back(copy);
}

void FileOperations::moveFile(const ResultRow& row, TFiles& record) {
    m_globalPosition += 100;
    const std::string source = row.folder + row.name;
    forceDirectories(m_destination);
    std::string target = row.name;
    if (fileExists(m_destination + row.name)) {
        if (m_onMove == "no") {
            ask(QStringLiteral("There is already a file with the same name in the destination "
                               "path.\n\r\n\rThe file being moved will be automatically renamed."),
                Box::Ok);
        }
        target = freeNumberedName(m_destination, row.name);
    }
    TransferResult result = ::moveFile(source, m_destination + target, &m_control);
    if (!result.ok) {
        fail(source, result.error);
        return;
    }
    record.fName = target;
    record.fPath = m_destination;
    record.fStatus = fsMoved;
    refreshIdentity(record);
}

void FileOperations::deleteFile(const ResultRow& row, TFiles& record) {
    m_globalPosition += 100;
    const std::vector<TFiles>& table = m_form->state.aDuplicatedFiles;
    const std::size_t keeper = m_keeperOf[row.record];
    TransferResult result = deleteVerified(record, keeper == kNoKeeper ? nullptr : &table[keeper]);
    if (!result.ok) {
        fail(row.folder + row.name, result.error);
        return;
    }
    record.fHash.clear();
}
