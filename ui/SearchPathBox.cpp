// The search path box: the hint, the remembered folders and the folder dialog.

#include "app/TMainForm.h"

#include "ui/Dialogs.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QUrl>

namespace {
const QColor kHintColour(0x6D, 0x6D, 0x6D);

bool isExistingFolderText(const QString& text) {
    return !text.isEmpty() && QFileInfo(text).isDir();
}
} // namespace

void TMainForm::showPathHint() {
    eTarget->setEditText(kSearchPathHint);
}

void TMainForm::updatePathBoxColour() {
    // The hint is grey; any other text, and the box's list, in the normal text colour. Only the
    // line edit is coloured, so that "Select directory..." in the list keeps the normal colour.
    QLineEdit* edit = eTarget->lineEdit();
    QPalette palette = eTarget->palette();
    if (edit->text() == kSearchPathHint) {
        for (auto group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            palette.setColor(group, QPalette::Text, kHintColour);
    }
    edit->setPalette(palette);
}

void TMainForm::eTargetEnter() {
    if (eTarget->currentText() == kSearchPathHint)
        eTarget->setEditText(QString());
}

void TMainForm::expandHomeInPathBox() {
    // "~" at the start of a typed path is the home folder, as in a shell.
    const QString text = eTarget->currentText();
    if (text == QLatin1String("~") || text.startsWith(QLatin1String("~/")))
        eTarget->setEditText(QDir::homePath() + text.mid(1));
}

void TMainForm::eTargetExit() {
    expandHomeInPathBox();
    const QString text = eTarget->currentText();
    if (text.isEmpty()) {
        showPathHint();
        return;
    }
    if (text == QLatin1String("Computer") || text == QLatin1String("Local drives") ||
        text == QLatin1String("Removable media"))
        return;
    if (isExistingFolderText(text)) {
        int match = -1;
        for (int i = 0; i < eTarget->count(); ++i) {
            if (eTarget->itemText(i) == text)
                match = i; // the last equal item stays selected
        }
        if (match >= 0) {
            eTarget->setCurrentIndex(match);
        } else {
            eTarget->addItem(text.endsWith(QLatin1Char('/')) ? text : text + QLatin1Char('/'));
            eTarget->setCurrentIndex(eTarget->count() - 1);
        }
        return;
    }
    m_dialogs->inform(this, QStringLiteral("Please specify a valid path."));
    eTarget->setFocus();
}

bool TMainForm::eTargetKeyPress(int key) {
    if (key != Qt::Key_Return && key != Qt::Key_Enter)
        return false;
    expandHomeInPathBox();
    const QString text = eTarget->currentText();
    if (text == kSearchPathHint || text.isEmpty())
        return false;
    if (!isExistingFolderText(text)) {
        // Enter on a path that leads nowhere says so, as leaving the box does, rather than
        // doing nothing while the last result stays under the new text.
        eTargetExit();
        return true;
    }
    const bool start = m_dialogs->confirm(this, QStringLiteral("Start the search?"));
    eTargetExit();
    if (start)
        btSearchClick();
    return true;
}

void TMainForm::selectOrAddFolder(const QString& folder) {
    int match = -1;
    for (int i = 0; i < eTarget->count(); ++i) {
        if (eTarget->itemText(i) == folder)
            match = i;
    }
    if (match < 0) {
        eTarget->addItem(folder);
        match = eTarget->count() - 1;
    }
    eTarget->setCurrentIndex(match);
}

void TMainForm::eTargetSelect(int index) {
    if (index != 0)
        return;
    eTarget->setCurrentIndex(-1);
    eTarget->setEditText(QString());
    if (auto folder = m_dialogs->browseForFolder(
            this, QStringLiteral("Specify a location to search for duplicated files.")))
        selectOrAddFolder(*folder);
    else
        eTarget->setEditText(QString());
}

void TMainForm::eTargetDblClick() {
    const int remembered =
        eTarget->currentIndex() >= 0 &&
                eTarget->itemText(eTarget->currentIndex()) == eTarget->currentText()
            ? eTarget->currentIndex()
            : -1;
    eTarget->setCurrentIndex(-1);
    eTarget->setEditText(QString());
    if (auto folder = m_dialogs->browseForFolder(
            this, QStringLiteral("Specify a location to search for duplicated files."))) {
        selectOrAddFolder(*folder);
    } else if (remembered >= 0) {
        eTarget->setCurrentIndex(remembered);
    }
}

void TMainForm::dragEnterEvent(QDragEnterEvent* event) {
    if (droppedFolder(event->mimeData()) && eTarget->isEnabled())
        event->acceptProposedAction();
}

void TMainForm::dropEvent(QDropEvent* event) {
    // A folder dropped from a file manager is taken as if it had been picked in the dialog.
    const std::optional<QString> folder = droppedFolder(event->mimeData());
    if (!folder || !eTarget->isEnabled())
        return;
    selectOrAddFolder(*folder);
    event->acceptProposedAction();
}

std::optional<QString> TMainForm::droppedFolder(const QMimeData* data) {
    if (data == nullptr || !data->hasUrls() || data->urls().size() != 1 ||
        !data->urls().first().isLocalFile())
        return std::nullopt;
    QString path = data->urls().first().toLocalFile();
    if (!QFileInfo(path).isDir())
        return std::nullopt;
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    return path;
}
