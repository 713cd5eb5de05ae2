// The commands of the "Duplicated" menu that start a file operation, the window's side of the
// operation's start and end, and the saved report.

#include "app/TMainForm.h"

#include "operations/FileOperations.h"
#include "operations/SearchReport.h"
#include "platform/FileTime.h"
#include "platform/SpecialFolders.h"
#include "platform/TextEncoding.h"
#include "search/ReferenceFolders.h"
#include "ui/Dialogs.h"
#include "ui/ResultListModel.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

void TMainForm::startFileOperations(int operation, const std::string& destination) {
    std::vector<ResultRow> rows;
    std::vector<char> checked;
    rows.reserve(static_cast<std::size_t>(m_results->rowCount()));
    for (int row = 0; row < m_results->rowCount(); ++row) {
        rows.push_back(m_results->row(row));
        checked.push_back(m_results->isChecked(row) ? 1 : 0);
    }
    // The operation's parameters travel with it, the options as the menus show them.
    OperationRequest request;
    request.operation = static_cast<FileOperation>(operation);
    request.destination = destination;
    request.onCopy = m_options.onCopy;
    request.warnOnMoveRename = m_options.warnOnMoveRename;
    request.references = ReferenceFolders(m_options.scope.folders);
    startRun(std::make_unique<FileOperations>(*this, std::move(rows), std::move(checked),
                                              std::move(request)));
}

std::optional<std::string> TMainForm::askDestination(const QString& question,
                                                     const QString& prompt) {
    if (state.iDuplicatedFiles <= 0 || !m_dialogs->confirm(this, question))
        return std::nullopt;
    std::optional<QString> folder = m_dialogs->browseForFolder(this, prompt);
    if (!folder)
        return std::nullopt;
    std::string destination = QFile::encodeName(*folder).toStdString();
    if (const auto reference = ReferenceFolders(m_options.scope.folders).holding(destination)) {
        m_dialogs->error(
            this, QStringLiteral("The folder \"%1\" lies in the reference folder "
                                 "\"%2\", whose files are never changed. Choose "
                                 "another folder.")
                      .arg(*folder, QFile::decodeName(QByteArray::fromStdString(*reference))));
        return std::nullopt;
    }
    return destination;
}

void TMainForm::Copyto1Click() {
    if (auto destination =
            askDestination(QStringLiteral("Are you sure you want to copy the selected file(s)?"),
                           QStringLiteral("Specify a location to copy the files to.")))
        startFileOperations(1, *destination);
}

void TMainForm::Moveto1Click() {
    if (auto destination =
            askDestination(QStringLiteral("Are you sure you want to move the selected file(s)?"),
                           QStringLiteral("Specify a location to move the files to.")))
        startFileOperations(2, *destination);
}

void TMainForm::Delete1Click() {
    if (state.iDuplicatedFiles <= 0 ||
        !m_dialogs->confirm(this, QStringLiteral("Are you sure you want to delete the selected "
                                                 "file(s)?\n\r\n\rWARNING: The selected files will "
                                                 "be permanently deleted!")) ||
        !confirmWholeGroups())
        return;
    startFileOperations(3);
}

void TMainForm::MovetoTrash1Click() {
    if (state.iDuplicatedFiles <= 0 ||
        !m_dialogs->confirm(
            this,
            QStringLiteral("Are you sure you want to move the selected file(s) to the trash?")) ||
        !confirmWholeGroups())
        return;
    startFileOperations(4);
}

void TMainForm::ReplacewithHardLinks1Click() {
    replaceWithLinks(static_cast<int>(FileOperation::HardLink), QStringLiteral("hard links"),
                     QStringLiteral("Each selected file becomes another name of the file kept in "
                                    "its group: it takes that file's owner, permissions and "
                                    "dates, and a change made through one name shows in all."));
}

void TMainForm::ReplacewithReflinks1Click() {
    replaceWithLinks(static_cast<int>(FileOperation::Reflink), QStringLiteral("reflinks"),
                     QStringLiteral("Each selected file shares its data on disk with the file kept "
                                    "in its group and keeps its own owner, permissions and dates. "
                                    "Only file systems that share data between files, such as "
                                    "Btrfs and XFS, can do this."));
}

// No is the default: the ticked files are changed for good, though their paths and bytes stay.
void TMainForm::replaceWithLinks(int operation, const QString& links, const QString& effect) {
    if (state.iDuplicatedFiles > 0 &&
        m_dialogs->confirmRisky(
            this, QStringLiteral("Are you sure you want to replace the selected file(s) with "
                                 "%1?\n\r\n\r%2")
                      .arg(links, effect)))
        startFileOperations(operation);
}

bool TMainForm::confirmWholeGroups() {
    // Over every file of the result, listed or hidden by a filter: a hidden file is not ticked,
    // so its group keeps it.
    const std::vector<ResultRow> all = buildRows(state.aDuplicatedFiles);
    std::vector<char> ticked(all.size(), 0);
    for (int row = 0; row < m_results->rowCount(); ++row) {
        const std::size_t record = m_results->row(row).record;
        if (m_results->isChecked(row) && record < ticked.size())
            ticked[record] = 1;
    }
    const int whole = wholeGroupsTicked(all, ticked);
    if (whole == 0)
        return true;
    return m_dialogs->confirmRisky(
        this, QStringLiteral("Every listed file of %1 group(s) is ticked: no copy of %2 would be "
                             "kept.\n\r\n\rDo you want to continue?")
                  .arg(whole)
                  .arg(whole == 1 ? QStringLiteral("it") : QStringLiteral("them")));
}

void TMainForm::operationStarted(int operation, int ticked) {
    GlobalStatus->setRange(0, std::max(1, ticked * 100));
    GlobalStatus->setValue(0);
    GlobalStatus->setVisible(true);
    OpStatus->setValue(0);
    // The bar of the file under way follows a copy, and a reflink the kernel shares in chunks.
    bShowOpStatus = operation == 1 || operation == static_cast<int>(FileOperation::Reflink);
    tUpTime = 0;
    iUpDays = 0;
    parkList();
    for (QWidget* widget :
         {static_cast<QWidget*>(lbCurrentFile), static_cast<QWidget*>(Label7),
          static_cast<QWidget*>(lbFilesCount), static_cast<QWidget*>(lbFilesTitle),
          static_cast<QWidget*>(lbDirectory), static_cast<QWidget*>(Label9),
          static_cast<QWidget*>(lbSearchTime), static_cast<QWidget*>(Label13)})
        widget->setVisible(true);
    lbCurrentFile->clear();
    lbFilesCount->clear();
    lbDirectory->clear();
    lbSearchTime->setText(QStringLiteral("00:00:00"));
    lbSearchResult->setVisible(false);
    setCaption(lbStatus, operation == 1   ? QStringLiteral("Copying files.")
                         : operation == 2 ? QStringLiteral("Moving files.")
                         : operation == 3 ? QStringLiteral("Deleting files.")
                         : operation == 4 ? QStringLiteral("Moving files to the trash.")
                         : operation == 5 ? QStringLiteral("Replacing files with hard links.")
                                          : QStringLiteral("Replacing files with reflinks."));
    FormResize();
    Timer->start();
    tUpdateBar->start(); // carries the worker's progress into the bars
    m_runDisplay->start();
}

void TMainForm::operationRefillStarted(int count) {
    bShowOpStatus = false;
    setCaption(lbStatus, QStringLiteral("Populating list."));
    GlobalStatus->setRange(0, 100);
    GlobalStatus->setValue(0);
    lbFilesCount->setVisible(false);
    lbFilesTitle->setVisible(false);
    tUpdateBar->stop();
    lbDupTitle->setVisible(true);
    lbDuplicated->setVisible(true);
    lbDuplicated->setText(QStringLiteral("0/%1").arg(count));
    FormResize();
    m_results->clear();
    clearFilterEntries();
}

void TMainForm::operationEnded(bool terminated, int count, const QString& failures) {
    bShowOpStatus = false;
    Timer->stop();
    tUpdateBar->stop();
    m_runDisplay->stop();
    for (QWidget* widget :
         {static_cast<QWidget*>(GlobalStatus), static_cast<QWidget*>(lbCurrentFile),
          static_cast<QWidget*>(Label7), static_cast<QWidget*>(lbFilesCount),
          static_cast<QWidget*>(lbFilesTitle), static_cast<QWidget*>(lbDupTitle),
          static_cast<QWidget*>(lbDuplicated), static_cast<QWidget*>(lbDirectory),
          static_cast<QWidget*>(Label9), static_cast<QWidget*>(lbSearchTime),
          static_cast<QWidget*>(Label13)})
        widget->setVisible(false);
    lbSearchResult->setVisible(!terminated);
    if (!terminated) {
        setCaption(lbSearchResult,
                   QStringLiteral("Search results: %1 duplicated files found.").arg(count));
    }
    runEnded(terminated, count);
    if (!failures.isEmpty())
        m_dialogs->error(this, failures);
}

void TMainForm::OptSaveSearchClick() {
    // Date and time stay in the locale's character set for the report; the dialog takes UTF-8.
    const std::string date = currentDateText();
    const std::string time = currentTimeText();
    const QString proposed = QFile::decodeName(QByteArray::fromStdString(desktopFolder())) +
                             QString::fromStdString(proposedReportName(fromLocaleCharset(date),
                                                                       fromLocaleCharset(time)));
    std::optional<QString> file =
        m_dialogs->saveFileName(this, QStringLiteral("Save search result as..."), proposed,
                                QStringLiteral("Text File (*.txt)"));
    if (!file)
        return;
    if (const auto reference = ReferenceFolders(m_options.scope.folders)
                                   .holding(QFile::encodeName(*file).toStdString())) {
        m_dialogs->error(this,
                         QStringLiteral("The file \"%1\" lies in the reference folder "
                                        "\"%2\", whose files are never changed.")
                             .arg(*file, QFile::decodeName(QByteArray::fromStdString(*reference))));
        return;
    }
    ReportInput input;
    input.dateText = date;
    input.timeText = time;
    input.searchPath = eTarget->currentText().toStdString();
    input.summaryLine = lbSearchResult->text().toStdString();
    for (int row = 0; row < m_results->rowCount(); ++row)
        input.rows.push_back(m_results->row(row));
    try {
        writeReportFile(QFile::encodeName(*file).toStdString(), buildReportLines(input));
    } catch (const ReportWriteError& error) {
        m_dialogs->error(this, QString::fromStdString(error.what()));
    }
}
