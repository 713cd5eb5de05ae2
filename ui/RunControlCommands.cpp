// Starting, pausing, resuming and cancelling runs, and the timers that show their progress.

#include "app/TMainForm.h"

#include "app/ValueLabel.h"
#include "operations/SearchReport.h"
#include "platform/SpecialFolders.h"
#include "operations/FileFilter.h"
#include "operations/FileOperations.h"
#include "search/FileFinder.h"
#include "tools/GeneralTools.h"
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
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>

#include <cmath>

namespace {
const QString kPause = QStringLiteral("Pause");
const QString kResume = QStringLiteral("Resume");

void showAll(std::initializer_list<QWidget*> widgets, bool visible) {
    for (QWidget* widget : widgets)
        widget->setVisible(visible);
}

void enableAll(std::initializer_list<QAction*> actions, bool enabled) {
    for (QAction* action : actions)
        action->setEnabled(enabled);
}
} // namespace

void TMainForm::setSelectedVisible(bool visible) {
    for (QAction* action : ToolBar1->actions()) {
        if (ToolBar1->widgetForAction(action) == btSelected)
            action->setVisible(visible);
    }
}

bool TMainForm::selectedVisible() const {
    for (QAction* action : ToolBar1->actions()) {
        if (ToolBar1->widgetForAction(action) == btSelected)
            return action->isVisible();
    }
    return false;
}

namespace {
// The window's worker when it is of `kind`, as its own class.
template <typename Worker>
Worker* workerOfKind(const std::unique_ptr<RunWorker>& worker, RunKind kind) {
    return worker && worker->kind() == kind ? static_cast<Worker*>(worker.get()) : nullptr;
}
} // namespace

FileFinder* TMainForm::thrFindFiles() const {
    return workerOfKind<FileFinder>(m_worker, RunKind::Search);
}

FileOperations* TMainForm::thrManageFiles() const {
    return workerOfKind<FileOperations>(m_worker, RunKind::Operation);
}

FileFilter* TMainForm::thrFileFilter() const {
    return workerOfKind<FileFilter>(m_worker, RunKind::Filter);
}

void TMainForm::applyRunState() {
    const RunKind kind = m_run.kind;
    const bool idle = kind == RunKind::None;
    // A search and a file operation are paused and cancelled; a filter only refills the list.
    const bool controlled = kind == RunKind::Search || kind == RunKind::Operation;

    eTarget->setEnabled(idle);
    chkSubFolders->setEnabled(!controlled);
    // The options a search reads stay as they are while it runs, and so do those of an operation.
    enableAll({OptSHA1, OptMD5, OptFast, OptNormal, OptIgnore, OptRemember},
              kind != RunKind::Search);
    enableAll({OptPrompt, OptRename, OptReplace, OptHide}, kind != RunKind::Operation);
    OptSaveSearch->setEnabled(idle && m_searched);
    Shellintegration2->setEnabled(idle);
    // A scope chosen now would not be the one of the result under way.
    SearchScope1->setEnabled(idle);
    Shellintegration2->setIcon(idle && iShowUAC == 1 ? iconsIL : QIcon());
    setSelectedVisible(idle && m_resultActions);

    btSearch->setVisible(!controlled);
    btSearch->setEnabled(kind != RunKind::Filter);
    CPBtn->setVisible(controlled);
    CPBtn->setText(m_run.paused ? kResume : kPause);
    Cancel1->setEnabled(!m_run.cancelAsked);
}

void TMainForm::startRun(std::unique_ptr<RunWorker> worker) {
    // The last run has made its closing changes; what is left of its thread ends at once.
    if (m_worker)
        m_worker->join();
    m_worker = std::move(worker);
    m_run = RunState{m_worker->kind()};
    applyRunState();
    m_worker->start();
}

void TMainForm::btSearchClick() {
    if (eTarget->currentText() == kSearchPathHint) {
        eTarget->setFocus();
        return;
    }
    if (m_worker)
        m_worker->join(); // the last run's thread ends before its progress is reset
    m_run = RunState{RunKind::Search};
    applyRunState();

    GlobalStatus->setRange(0, 0); // marquee
    GlobalStatus->setVisible(true);
    GlobalStatus->setToolTip(QString());
    m_reading.reset();
    parkList();
    setCaption(lbStatus, QStringLiteral("Clearing file list."));
    FormResize();

    m_results->clear();

    showAll({lbSearchResult, lbCurrentFile, Label7, lbFilesCount, lbFilesTitle, lbDirectory, Label9,
             lbSearchTime, Label13},
            true);
    lbCurrentFile->clear();
    lbFilesCount->clear();
    lbDirectory->clear();
    lbHashPerc->setText(QStringLiteral("0%"));
    lbSearchTime->setText(QStringLiteral("00:00:00"));

    tUpTime = 0;
    iUpDays = 0;

    setCaption(lbStatus, QStringLiteral("Searching for files."));
    setCaption(lbSearchResult, QStringLiteral("Searching for duplicated files..."));
    FormResize();

    Timer->start();

    ThreadInicialized = true;
    progress.reset();
    startRun(std::make_unique<FileFinder>(*this, eTarget->currentText().toStdString(),
                                          chkSubFolders->isChecked(),
                                          m_options.searchOptions(digestCacheFile())));
    m_runDisplay->start();
}

void TMainForm::startBarWatch() {
    if (m_run.paused)
        BarWatchStatus = true;
    else
        BarWatch->start();
}

void TMainForm::searchOptionsRead(SearchSpeed speed) {
    if (speed == SearchSpeed::Normal)
        showAll({Label2, lbHashPerc}, true);
}

void TMainForm::searchWalkEnded(SearchSpeed speed) {
    const bool fast = speed == SearchSpeed::Fast;
    startBarWatch();
    showAll({Label2, lbHashPerc}, fast);
    if (!fast)
        showAll({lbDirectory, Label9}, false);
    showAll({lbFilesCount, lbFilesTitle}, false);
    showAll({lbDupTitle, lbDuplicated}, true);
    lbDuplicated->setText(QStringLiteral("0"));
}

void TMainForm::searchMatchEnded() {
    showAll({Label2, lbHashPerc, lbDirectory, Label9}, false);
}

void TMainForm::searchFillStarted() {
    setCaption(lbStatus, QStringLiteral("Populating list."));
    GlobalStatus->setValue(0);
    clearFilterEntries();
}

void TMainForm::searchPassedOver(const QString& text) {
    // The designed summary stays as it is; why a file may be missing shows over it.
    lbSearchResult->setToolTip(text.isEmpty() ? QString() : QStringLiteral("Passed over: ") + text);
}

void TMainForm::searchFolderProblem(const QString& text) {
    m_dialogs->error(this, text);
}

void TMainForm::searchNote(const QString& text) {
    m_dialogs->inform(this, text);
}

void TMainForm::searchEnded(bool terminated, int duplicated, int found) {
    Timer->stop();
    BarWatch->stop();
    m_runDisplay->stop();
    m_searched = true;

    showAll({GlobalStatus, lbCurrentFile, Label7, lbHashPerc, Label2, lbFilesCount, lbFilesTitle,
             lbDupTitle, lbDuplicated, lbDirectory, Label9, lbSearchTime, Label13},
            false);

    if (terminated) {
        lbSearchResult->setVisible(false);
    } else {
        setCaption(lbSearchResult, QString::fromStdString(searchSummaryLine(
                                       duplicated, found, lbSearchTime->text().toStdString())));
    }

    runEnded(terminated, duplicated);
}

void TMainForm::runEnded(bool terminated, int duplicated) {
    if (terminated)
        setCaption(lbStatus, QStringLiteral("Operation terminated."));
    else if (duplicated == 0)
        setCaption(lbStatus, QStringLiteral("No duplicated files were found."));
    m_resultActions = !terminated && duplicated > 0;
    m_run = RunState{};
    m_marqueePaused = false;
    applyRunState();
    ControlMenu->hide(); // close the run-control drop-down if it is open
    FormResize();
}

void TMainForm::filterStarted() {
    GlobalStatus->setRange(0, 100);
    GlobalStatus->setValue(0);
    GlobalStatus->setVisible(true);
    OpStatus->setValue(0);
    setCaption(lbStatus, QStringLiteral("Filtering files."));
    m_results->clear();
    FileListView->setVisible(false);
    FormResize();
}

void TMainForm::filterEnded() {
    m_resultActions = true;
    m_run = RunState{};
    applyRunState();
    GlobalStatus->setVisible(false);
    FileListView->setVisible(true);
    FormResize();
}

void TMainForm::CPBtnClick() {
    if (m_run.kind != RunKind::Search && m_run.kind != RunKind::Operation) {
        m_run.paused = false;
        applyRunState();
        return;
    }
    if (!m_run.paused) {
        m_worker->control().pause();
        tUpdateBarStatus = tUpdateBar->isActive();
        tUpdateBar->stop();
        BarWatchStatus = BarWatch->isActive();
        BarWatch->stop();
        Timer->stop();
        // A busy bar moves by itself: paused, it stands still until the run goes on.
        m_marqueePaused = GlobalStatus->minimum() == 0 && GlobalStatus->maximum() == 0;
        if (m_marqueePaused)
            GlobalStatus->setRange(0, 1);
        m_run.paused = true;
    } else {
        m_worker->control().resume();
        if (tUpdateBarStatus) {
            tUpdateBarStatus = false;
            tUpdateBar->start();
        }
        if (m_marqueePaused) {
            m_marqueePaused = false;
            GlobalStatus->setRange(0, 0);
        }
        if (BarWatchStatus) {
            BarWatchStatus = false;
            BarWatch->start();
        }
        Timer->start();
        m_run.paused = false;
    }
    applyRunState();
}

void TMainForm::Cancel1Click() {
    m_run.cancelAsked = true;
    applyRunState();
    const bool wasPaused = m_run.paused;
    if (!wasPaused)
        CPBtnClick(); // the run waits while the question is open
    if (m_dialogs->confirm(
            this, QStringLiteral("Are you sure you want to cancel the current operation?"))) {
        // The run may have ended while the question was open: then there is nothing to cancel.
        if (m_run.kind == RunKind::Search || m_run.kind == RunKind::Operation) {
            m_worker->control().requestTerminate();
            if (m_run.paused)
                CPBtnClick();
        }
        return;
    }
    if (!wasPaused && m_run.paused)
        CPBtnClick();
    m_run.cancelAsked = false;
    applyRunState();
}

void TMainForm::TimerTimer() {
    tUpTime += 1.0 / 86400;
    if (tUpTime >= 86399.0 / 86400) {
        ++iUpDays;
        tUpTime = 0;
    }
    lbSearchTime->setText(QString::fromStdString(elapsedTimeText(iUpDays, tUpTime)));
    // A day count makes the text longer than the label; the layout widens it.
    if (static_cast<ValueLabel*>(lbSearchTime)->fittingWidth(lbSearchTime->text(), 0) >
        lbSearchTime->width())
        FormResize();
}

void TMainForm::BarWatchTimer() {
    const RunSnapshot run = runSnapshot(state, progress);
    if (run.filesFound >= 1 && GlobalStatus->maximum() == 0) {
        // Only while matching: a first tick that comes after the list began to fill must not
        // put the status back to "Matching files.".
        if (run.phase == FinderPhase::MatchFiles)
            setCaption(lbStatus, QStringLiteral("Matching files."));
        GlobalStatus->setRange(0, 100);
        GlobalStatus->setValue(0);
        FormResize();
    }
    int count = 0;
    switch (run.phase) {
    case FinderPhase::PopulateList:
        count = run.duplicated;
        break;
    case FinderPhase::MatchFiles:
        count = run.filesFound;
        break;
    case FinderPhase::None:
        return;
    }
    if (count <= 0)
        return; // nothing found: no position to compute
    GlobalStatus->setValue(static_cast<int>(std::nearbyint(100.0 / count * run.bar)));
    // The same figures as the command line's progress line: bytes, and the time left.
    if (run.phase == FinderPhase::MatchFiles) {
        QString reading = QString::fromStdString(m_reading.text(run));
        if (!reading.isEmpty())
            reading[0] = reading[0].toUpper();
        GlobalStatus->setToolTip(reading);
    }
}

void TMainForm::tUpdateBarTimer() {
    // The worker keeps the overall position itself (finished files x 100 + the file under
    // way), which carries the per-file bar into the overall bar without a race at file ends.
    FileOperations* worker = thrManageFiles();
    if (worker == nullptr)
        return;
    OpStatus->setValue(worker->opStatus());
    GlobalStatus->setValue(worker->globalPosition());
}

void TMainForm::refreshRunLabels() {
    if (FileOperations* worker = thrManageFiles(); m_run.kind == RunKind::Operation) {
        const SearchProgress::Snapshot snapshot = progress.snapshot();
        lbCurrentFile->setText(QFile::decodeName(QByteArray::fromStdString(snapshot.currentFile)));
        lbDirectory->setText(QFile::decodeName(QByteArray::fromStdString(snapshot.directory)));
        lbFilesCount->setText(
            QStringLiteral("%1/%2").arg(worker->fileNumber()).arg(worker->tickedCount()));
        if (worker->refillIndex() >= 0)
            lbDuplicated->setText(
                QStringLiteral("%1/%2").arg(worker->refillIndex() + 1).arg(state.iDuplicatedFiles));
        return;
    }
    if (m_run.kind != RunKind::Search)
        return;
    const RunSnapshot snapshot = runSnapshot(state, progress);
    lbCurrentFile->setText(QFile::decodeName(QByteArray::fromStdString(snapshot.currentFile)));
    lbDirectory->setText(QFile::decodeName(QByteArray::fromStdString(snapshot.directory)));
    switch (snapshot.phase) {
    case FinderPhase::None:
        lbFilesCount->setText(QString::number(snapshot.filesFound));
        break;
    case FinderPhase::MatchFiles:
        lbDuplicated->setText(QString::number(snapshot.duplicated));
        break;
    case FinderPhase::PopulateList:
        lbDuplicated->setText(
            QStringLiteral("%1/%2").arg(snapshot.bar + 1).arg(snapshot.duplicated));
        break;
    }
    if (snapshot.hashPercent >= 0)
        lbHashPerc->setText(QStringLiteral("%1%").arg(snapshot.hashPercent));
}
