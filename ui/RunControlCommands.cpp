// Starting, pausing, resuming and cancelling runs, and the timers that show their progress.

#include "app/TMainForm.h"

#include "app/ValueLabel.h"
#include "operations/SearchReport.h"
#include "platform/SpecialFolders.h"
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

void TMainForm::btSearchClick() {
    if (eTarget->currentText() == kSearchPathHint) {
        eTarget->setFocus();
        return;
    }
    eTarget->setEnabled(false);
    chkSubFolders->setEnabled(false);
    enableAll({OptSHA1, OptMD5, OptFast, OptNormal, OptSaveSearch, OptIgnore, OptRemember}, false);
    setSelectedVisible(false);
    Shellintegration2->setEnabled(false);

    GlobalStatus->setRange(0, 0); // marquee
    GlobalStatus->setVisible(true);
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

    CPBtn->setText(kPause);
    setCaption(lbStatus, QStringLiteral("Searching for files."));
    setCaption(lbSearchResult, QStringLiteral("Searching for duplicated files..."));

    btSearch->setVisible(false);
    CPBtn->setVisible(true);
    FormResize();

    Timer->start();

    ThreadInicialized = true;
    if (thrFindFiles)
        thrFindFiles->wait(); // the last search has run its closing steps; let its thread end
    progress.reset();
    thrFindFiles = std::make_unique<FileFinder>(this, eTarget->currentText().toStdString(),
                                                chkSubFolders->isChecked(),
                                                m_options.searchOptions(digestCacheFile()));
    thrFindFiles->start();
    m_runDisplay->start();
}

void TMainForm::startBarWatch() {
    if (CPBtn->text() == kResume)
        BarWatchStatus = true;
    else
        BarWatch->start();
}

void TMainForm::searchEnded(bool terminated, int duplicated, int found) {
    Timer->stop();
    BarWatch->stop();
    m_runDisplay->stop();

    eTarget->setEnabled(true);
    chkSubFolders->setEnabled(true);
    enableAll({OptSHA1, OptMD5, OptFast, OptNormal, OptSaveSearch, OptIgnore, OptRemember,
               Shellintegration2},
              true);
    if (state.iShowUAC == 1)
        Shellintegration2->setIcon(iconsIL);

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
    else
        setSelectedVisible(true);

    btSearch->setVisible(true);
    CPBtn->setVisible(false);
    Cancel1->setEnabled(true);
    ControlMenu->hide(); // close the run-control drop-down if it is open
    FormResize();
}

void TMainForm::CPBtnClick() {
    if (state.iFindFiles != 1 && state.iManageFiles != 1) {
        CPBtn->setText(kPause);
        return;
    }
    if (CPBtn->text() == kPause) {
        if (state.iFindFiles == 1 && thrFindFiles)
            thrFindFiles->control().pause();
        if (state.iManageFiles == 1 && thrManageFiles)
            thrManageFiles->control().pause();
        tUpdateBarStatus = tUpdateBar->isActive();
        tUpdateBar->stop();
        BarWatchStatus = BarWatch->isActive();
        BarWatch->stop();
        Timer->stop();
        // A busy bar moves by itself: paused, it stands still until the run goes on.
        m_marqueePaused = GlobalStatus->minimum() == 0 && GlobalStatus->maximum() == 0;
        if (m_marqueePaused)
            GlobalStatus->setRange(0, 1);
        CPBtn->setText(kResume);
    } else {
        if (state.iFindFiles == 1 && thrFindFiles)
            thrFindFiles->control().resume();
        if (state.iManageFiles == 1 && thrManageFiles)
            thrManageFiles->control().resume();
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
        CPBtn->setText(kPause);
    }
}

void TMainForm::Cancel1Click() {
    Cancel1->setEnabled(false);
    const QString remembered = CPBtn->text();
    if (remembered == kPause)
        CPBtnClick();
    if (m_dialogs->confirm(
            this, QStringLiteral("Are you sure you want to cancel the current operation?"))) {
        if (state.iFindFiles == 1 && thrFindFiles)
            thrFindFiles->control().requestTerminate();
        if (state.iManageFiles == 1 && thrManageFiles)
            thrManageFiles->control().requestTerminate();
        if (CPBtn->text() == kResume)
            CPBtnClick();
    } else if (remembered == kPause && CPBtn->text() == kResume) {
        CPBtnClick();
        Cancel1->setEnabled(true);
    } else if (remembered == kResume && CPBtn->text() == kResume) {
        Cancel1->setEnabled(true);
    }
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
    if (state.iFilesFounded >= 1 && GlobalStatus->maximum() == 0) {
        // Only while matching: a first tick that comes after the list began to fill must not
        // put the status back to "Matching files.".
        if (state.FinderOperation.load() == FinderPhase::MatchFiles)
            setCaption(lbStatus, QStringLiteral("Matching files."));
        GlobalStatus->setRange(0, 100);
        GlobalStatus->setValue(0);
        FormResize();
    }
    int count = 0;
    switch (state.FinderOperation.load()) {
    case FinderPhase::PopulateList:
        count = state.iDuplicatedFiles;
        break;
    case FinderPhase::MatchFiles:
        count = state.iFilesFounded;
        break;
    case FinderPhase::None:
        return;
    }
    if (count <= 0)
        return; // nothing found: no position to compute
    GlobalStatus->setValue(static_cast<int>(std::nearbyint(100.0 / count * state.iBar)));
}

void TMainForm::tUpdateBarTimer() {
    // The worker keeps the overall position itself (finished files x 100 + the file under
    // way), which carries the per-file bar into the overall bar without a race at file ends.
    if (!thrManageFiles)
        return;
    OpStatus->setValue(thrManageFiles->opStatus());
    GlobalStatus->setValue(thrManageFiles->globalPosition());
    state.iLastBytes = OpStatus->value();
}

void TMainForm::refreshRunLabels() {
    if (state.iManageFiles == 1 && thrManageFiles) {
        const SearchProgress::Snapshot snapshot = progress.snapshot();
        lbCurrentFile->setText(QFile::decodeName(QByteArray::fromStdString(snapshot.currentFile)));
        lbDirectory->setText(QFile::decodeName(QByteArray::fromStdString(snapshot.directory)));
        lbFilesCount->setText(QStringLiteral("%1/%2")
                                  .arg(thrManageFiles->fileNumber())
                                  .arg(thrManageFiles->tickedCount()));
        if (thrManageFiles->refillIndex() >= 0)
            lbDuplicated->setText(QStringLiteral("%1/%2")
                                      .arg(thrManageFiles->refillIndex() + 1)
                                      .arg(state.iDuplicatedFiles));
        return;
    }
    if (state.iFindFiles != 1)
        return;
    const SearchProgress::Snapshot snapshot = progress.snapshot();
    lbCurrentFile->setText(QFile::decodeName(QByteArray::fromStdString(snapshot.currentFile)));
    lbDirectory->setText(QFile::decodeName(QByteArray::fromStdString(snapshot.directory)));
    switch (state.FinderOperation.load()) {
    case FinderPhase::None:
        lbFilesCount->setText(QString::number(state.iFilesFounded));
        break;
    case FinderPhase::MatchFiles:
        lbDuplicated->setText(QString::number(state.iDuplicatedFiles));
        break;
    case FinderPhase::PopulateList:
        lbDuplicated->setText(
            QStringLiteral("%1/%2").arg(state.iBar + 1).arg(state.iDuplicatedFiles));
        break;
    }
    if (snapshot.hashPercent >= 0)
        lbHashPerc->setText(QStringLiteral("%1%").arg(snapshot.hashPercent));
}
