// The filter entries of the result list's context menu.

#include "app/TMainForm.h"

#include <QAction>
#include <QMenu>

void TMainForm::clearFilterEntries() {
    Filter1->clear();
}

void TMainForm::addFilterEntries(const std::vector<std::string>& captions) {
    for (const std::string& caption : captions) {
        QAction* entry = Filter1->addAction(QString::fromStdString(caption));
        entry->setCheckable(true);
        entry->setChecked(true);
        // The menu would take "&" as an accelerator mark; the caption is the extension as is.
        entry->setText(
            QString::fromStdString(caption).replace(QLatin1Char('&'), QStringLiteral("&&")));
        connect(entry, &QAction::triggered, this, [this, entry](bool checked) {
            entry->setChecked(!checked);
            FilterClick(entry);
        });
    }
}

void TMainForm::FilterClick(QAction* entry) {
    entry->setChecked(!entry->isChecked());
    // The filter worker that refills the list from these marks comes with the result commands.
}
