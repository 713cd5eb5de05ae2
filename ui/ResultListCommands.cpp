// The result list: its colours, "All but one", the open commands and the filter entries.

#include "app/TMainForm.h"

#include "operations/FileFilter.h"
#include "tools/GeneralTools.h"
#include "ui/Dialogs.h"
#include "ui/ResultListModel.h"

#include <QAction>
#include <QComboBox>
#include <QFile>
#include <QHeaderView>
#include <QMenu>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>

void TMainForm::applyListColours() {
    m_results->setColours(sGroupColor, sCopiedColor, sMovedColor);
}

void TMainForm::pickListColour(std::string& target, const char* key) {
    // The dialog opens on the colour the entry has now.
    QColor current = Qt::white;
    try {
        const std::uint32_t value = HexToTColor(target);
        current = QColor(static_cast<int>(value & 0xFF), static_cast<int>((value >> 8) & 0xFF),
                         static_cast<int>((value >> 16) & 0xFF));
    } catch (const ConversionError&) {
    }
    std::optional<QColor> chosen = m_dialogs->chooseColor(this, current);
    if (!chosen)
        return;
    const auto value = static_cast<std::uint32_t>(chosen->red()) |
                       (static_cast<std::uint32_t>(chosen->green()) << 8) |
                       (static_cast<std::uint32_t>(chosen->blue()) << 16);
    target = TColorToHex(value);
    try {
        writeOption(key, target.c_str());
    } catch (const SettingsWriteError& error) {
        showSettingsError(error);
    }
    applyListColours();
}

void TMainForm::Filegroup1Click() {
    pickListColour(sGroupColor, "GroupColor");
}

void TMainForm::Copiedfiles1Click() {
    pickListColour(sCopiedColor, "CopiedColor");
}

void TMainForm::Movedfiles1Click() {
    pickListColour(sMovedColor, "MovedColor");
}

void TMainForm::Allbutone1Click() {
    applySelection(SelectionRule::AllButOne);
}

void TMainForm::applySelection(SelectionRule rule, const std::string& folder) {
    if (m_results->rowCount() == 0)
        return;
    m_results->setTicks(selectRows(m_results->rows(), state.aDuplicatedFiles, rule, folder));
}

void TMainForm::Allinfolder1Click() {
    if (m_results->rowCount() == 0)
        return;
    // The dialog opens in the folder that was searched, where the folder to pick lies.
    if (std::optional<QString> folder = m_dialogs->browseForFolder(
            this, QStringLiteral("Specify the folder whose files to select."),
            eTarget->currentText()))
        applySelection(SelectionRule::InFolder, QFile::encodeName(*folder).toStdString());
}

void TMainForm::toggleSelectedRow() {
    int row = selectedRow();
    if (row < 0 && FileListView->currentIndex().isValid())
        row = FileListView->currentIndex().row();
    if (row >= 0)
        m_results->setChecked(row, !m_results->isChecked(row));
}

void TMainForm::fitGroupColumn() {
    // Group numbers grow down the list, so the last row holds the widest one.
    const int rows = m_results->rowCount();
    if (rows == 0)
        return;
    const int needed =
        FileListView->sizeHintForIndex(m_results->index(rows - 1, ResultListModel::ColumnGroup))
            .width() +
        4;
    QHeaderView* header = FileListView->header();
    if (header->sectionSize(ResultListModel::ColumnGroup) < needed)
        header->resizeSection(ResultListModel::ColumnGroup, needed);
}

void TMainForm::showListMenu(const QPoint& at) {
    // The open commands act on the selected row: without one there is nothing to open.
    const bool selected = selectedRow() >= 0;
    N5->setEnabled(selected);
    Openfilelocation1->setEnabled(selected);
    FileListMenu->popup(at);
}

void TMainForm::moveToNextMenu(QMenu* from, int step) {
    const QToolButton* buttons[] = {ToolButton1, ToolButton2, btSelected, ToolButton3};
    constexpr int count = 4;
    int at = 0;
    while (at < count && buttons[at]->menu() != from)
        ++at;
    if (at == count)
        return;
    for (int k = 1; k < count; ++k) {
        const QToolButton* next = buttons[(at + step * k + count * k) % count];
        if (!next->isVisibleTo(ToolBar1) || !next->isEnabled())
            continue;
        // Opened once the menu closed has let go: a menu opened by its button's click runs
        // until it has closed.
        from->close();
        QTimer::singleShot(
            0, this, [next] { next->menu()->popup(next->mapToGlobal(QPoint(0, next->height()))); });
        return;
    }
}

int TMainForm::selectedRow() const {
    const QModelIndexList selected = FileListView->selectionModel()->selectedRows();
    return selected.isEmpty() ? -1 : selected.first().row();
}

void TMainForm::N5Click() {
    const int row = selectedRow();
    if (row < 0)
        return;
    const ResultRow& r = m_results->row(row);
    const QByteArray path = QByteArray::fromStdString(r.folder + r.name);
    if (!m_dialogs->openFile(path))
        m_dialogs->error(this, QStringLiteral("No program could be started to open \"%1\".")
                                   .arg(QFile::decodeName(path)));
}

void TMainForm::FileListViewDblClick() {
    if (selectedRow() >= 0)
        N5Click();
}

void TMainForm::Openfilelocation1Click() {
    const int row = selectedRow();
    if (row < 0)
        return;
    const ResultRow& r = m_results->row(row);
    const QByteArray path = QByteArray::fromStdString(r.folder + r.name);
    if (!m_dialogs->showInFolder(path))
        m_dialogs->error(this, QStringLiteral("No program could be started to show the folder "
                                              "of \"%1\".")
                                   .arg(QFile::decodeName(path)));
}

void TMainForm::reserveResultRows(std::size_t count) {
    m_results->reserve(m_results->rowCount() + count);
}

void TMainForm::appendResultRows(std::vector<ResultRow> rows,
                                 const std::vector<std::string>& filterEntries) {
    m_results->appendRows(std::move(rows));
    addFilterEntries(filterEntries);
}

void TMainForm::clearFilterEntries() {
    Filter1->clear();
}

void TMainForm::addFilterEntries(const std::vector<std::string>& captions) {
    for (const std::string& caption : captions) {
        // A "&" of the extension is shown as it is, not taken as an accelerator mark.
        QAction* entry = Filter1->addAction(
            QString::fromStdString(caption).replace(QLatin1Char('&'), QStringLiteral("&&")));
        entry->setData(QString::fromStdString(caption));
        entry->setCheckable(true);
        entry->setChecked(true);
        connect(entry, &QAction::triggered, this, [this, entry](bool checked) {
            entry->setChecked(!checked); // FilterClick flips the mark itself
            FilterClick(entry);
        });
    }
}

void TMainForm::FilterClick(QAction* entry) {
    // The entries belong to the list in view; no filter runs during another run, nor while a
    // filter still refills the list (it hides the list meanwhile).
    if (m_run.kind != RunKind::None || listParked() || !FileListView->isVisible())
        return;
    entry->setChecked(!entry->isChecked());
    std::vector<std::pair<std::string, bool>> entries;
    for (QAction* action : Filter1->actions())
        entries.emplace_back(action->data().toString().toStdString(), action->isChecked());
    startRun(std::make_unique<FileFilter>(*this, std::move(entries)));
}
