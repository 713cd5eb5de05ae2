#include "operations/FileFilter.h"

#include "app/TMainForm.h"
#include "search/ResultRows.h"
#include "ui/ResultListFill.h"
#include "ui/ResultListModel.h"

#include <QAction>
#include <QComboBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeView>

#include <unordered_map>

FileFilter::FileFilter(TMainForm* form, std::vector<std::pair<std::string, bool>> entries)
    : m_form(form), m_entries(std::move(entries)) {
}

void FileFilter::run() {
    Execute();
}

void FileFilter::Execute() {
    TMainForm* form = m_form;
    form->postChange([form] {
        form->eTarget->setEnabled(false);
        form->OptSaveSearch->setEnabled(false);
        form->btSearch->setEnabled(false);
        form->setSelectedVisible(false);
        form->Shellintegration2->setEnabled(false);
        if (form->state.iShowUAC == 1)
            form->Shellintegration2->setIcon(QIcon());
        form->GlobalStatus->setRange(0, 100);
        form->GlobalStatus->setValue(0);
        form->GlobalStatus->setVisible(true);
        form->OpStatus->setValue(0);
        TMainForm::setCaption(form->lbStatus, QStringLiteral("Filtering files."));
        form->results()->clear();
        form->FileListView->setVisible(false);
        form->FormResize();
    });

    std::unordered_map<std::string, bool> ticked;
    for (const auto& [caption, checked] : m_entries)
        ticked.emplace(filterCaptionKey(caption), checked);
    auto shown = [&](const std::string& caption) {
        auto entry = ticked.find(filterCaptionKey(caption));
        return entry != ticked.end() ? std::optional<bool>(entry->second) : std::nullopt;
    };

    // No other worker runs while the list is in view, so the table is not written meanwhile.
    const std::vector<TFiles>& files = form->state.aDuplicatedFiles;
    {
        RowBuilder builder;
        RowBatches batches(*form, m_control, files.size());
        for (std::size_t i = 0; i < files.size(); ++i) {
            const std::string extension = fileExtension(files[i].fName);
            std::optional<bool> entry = shown("*" + extension);
            if (!entry)
                entry = shown("Unknown");
            if (entry.value_or(false))
                batches.add(builder.add(files[i], i));
        }
    }

    form->postChange([form] {
        form->eTarget->setEnabled(true);
        form->OptSaveSearch->setEnabled(true);
        form->btSearch->setEnabled(true);
        form->setSelectedVisible(true);
        form->Shellintegration2->setEnabled(true);
        if (form->state.iShowUAC == 1)
            form->Shellintegration2->setIcon(form->iconsIL);
        form->GlobalStatus->setVisible(false);
        form->FileListView->setVisible(true);
        form->FormResize();
    });
}
