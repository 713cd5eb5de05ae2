#include "ui/TSearchScopeForm.h"

#include "settings/Options.h"
#include "ui/Dialogs.h"

#include <QDialogButtonBox>
#include <QFile>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {
const QString kNormal = QStringLiteral("Normal");
const QString kReference = QStringLiteral("Reference");
constexpr int kPathRole = Qt::UserRole; // the folder's bytes, as the file system has them

QString shown(const std::string& bytes) {
    return QFile::decodeName(QByteArray::fromStdString(bytes));
}
} // namespace

TSearchScopeForm::TSearchScopeForm(Dialogs& dialogs, const SearchScope& scope, QWidget* parent)
    : QDialog(parent), m_dialogs(dialogs), m_scope(scope) {
    setWindowTitle(QStringLiteral("Search scope"));
    auto* layout = new QVBoxLayout(this);

    auto* foldersLabel = new QLabel(
        QStringLiteral("&Further folders, searched after the one in \"Search in\". The files of "
                       "a reference folder are compared but never ticked, moved or removed:"),
        this);
    foldersLabel->setWordWrap(true);
    layout->addWidget(foldersLabel);
    auto* folderRow = new QHBoxLayout;
    lvFolders = new QTreeWidget(this);
    lvFolders->setColumnCount(2);
    lvFolders->setHeaderLabels({QStringLiteral("Folder"), QStringLiteral("Kind")});
    lvFolders->setRootIsDecorated(false);
    lvFolders->setUniformRowHeights(true);
    lvFolders->header()->setStretchLastSection(false);
    lvFolders->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    lvFolders->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    lvFolders->setTextElideMode(Qt::ElideMiddle);
    lvFolders->installEventFilter(this);
    foldersLabel->setBuddy(lvFolders);
    folderRow->addWidget(lvFolders, 1);
    auto* folderButtons = new QVBoxLayout;
    btAddFolder = new QPushButton(QStringLiteral("&Add..."), this);
    btRemoveFolder = new QPushButton(QStringLiteral("&Remove"), this);
    btSwitchKind = new QPushButton(QStringLiteral("&Normal/Reference"), this);
    for (QPushButton* button : {btAddFolder, btRemoveFolder, btSwitchKind}) {
        button->setAutoDefault(false);
        folderButtons->addWidget(button);
    }
    folderButtons->addStretch();
    folderRow->addLayout(folderButtons);
    layout->addLayout(folderRow);
    connect(btAddFolder, &QPushButton::clicked, this, &TSearchScopeForm::btAddFolderClick);
    connect(btRemoveFolder, &QPushButton::clicked, this, &TSearchScopeForm::btRemoveFolderClick);
    connect(btSwitchKind, &QPushButton::clicked, this, &TSearchScopeForm::btSwitchKindClick);
    connect(lvFolders, &QTreeWidget::currentItemChanged, this, &TSearchScopeForm::updateButtons);

    auto* patternsLabel = new QLabel(
        QStringLiteral("&Leave out, one pattern a line: a name (*.tmp, node_modules) or, with a "
                       "\"/\", a path below a searched folder (cache/*.bin):"),
        this);
    patternsLabel->setWordWrap(true);
    layout->addWidget(patternsLabel);
    mePatterns = new QPlainTextEdit(this);
    mePatterns->setTabChangesFocus(true);
    mePatterns->setFixedHeight(mePatterns->fontMetrics().lineSpacing() * 4 + 12);
    patternsLabel->setBuddy(mePatterns);
    layout->addWidget(mePatterns);

    auto* sizes = new QGridLayout;
    auto* minLabel = new QLabel(QStringLiteral("&Smallest size:"), this);
    auto* maxLabel = new QLabel(QStringLiteral("Lar&gest size:"), this);
    eMinSize = new QLineEdit(this);
    eMaxSize = new QLineEdit(this);
    for (QLineEdit* field : {eMinSize, eMaxSize})
        field->setPlaceholderText(QStringLiteral("no bound"));
    minLabel->setBuddy(eMinSize);
    maxLabel->setBuddy(eMaxSize);
    sizes->addWidget(minLabel, 0, 0);
    sizes->addWidget(eMinSize, 0, 1);
    sizes->addWidget(maxLabel, 1, 0);
    sizes->addWidget(eMaxSize, 1, 1);
    sizes->addWidget(new QLabel(QStringLiteral("Bytes, or with K, M, G or T (64K, 2G). Empty "
                                               "files go by \"Ignore empty files\"."),
                                this),
                     2, 0, 1, 2);
    layout->addLayout(sizes);

    Buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(Buttons, &QDialogButtonBox::accepted, this, &TSearchScopeForm::accept);
    connect(Buttons, &QDialogButtonBox::rejected, this, &TSearchScopeForm::reject);
    layout->addWidget(Buttons);

    for (const SearchFolder& folder : scope.folders)
        addFolder(folder);
    QString patterns;
    for (const std::string& pattern : scope.excludes)
        patterns += shown(pattern) + QLatin1Char('\n');
    mePatterns->setPlainText(patterns);
    if (scope.minSize > 0)
        eMinSize->setText(QString::fromStdString(sizeText(scope.minSize)));
    if (scope.maxSize >= 0)
        eMaxSize->setText(QString::fromStdString(sizeText(scope.maxSize)));
    if (lvFolders->topLevelItemCount() > 0)
        lvFolders->setCurrentItem(lvFolders->topLevelItem(0));
    updateButtons();
    resize(560, 440);
}

void TSearchScopeForm::addFolder(const SearchFolder& folder) {
    auto* item = new QTreeWidgetItem(lvFolders);
    item->setText(0, shown(folder.path));
    item->setToolTip(0, shown(folder.path));
    item->setData(0, kPathRole, QByteArray::fromStdString(folder.path));
    item->setText(1, folder.reference ? kReference : kNormal);
    lvFolders->setCurrentItem(item);
}

void TSearchScopeForm::updateButtons() {
    const bool chosen = lvFolders->currentItem() != nullptr;
    btRemoveFolder->setEnabled(chosen);
    btSwitchKind->setEnabled(chosen);
}

void TSearchScopeForm::btAddFolderClick() {
    const std::optional<QString> chosen =
        m_dialogs.browseForFolder(this, QStringLiteral("Add a folder to the search"));
    activateWindow(); // also where no window manager gives the keyboard back
    if (!chosen)
        return;
    std::string path = QFile::encodeName(*chosen).toStdString();
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    if (!storableInSettings(path)) {
        m_dialogs.error(this, QStringLiteral("The name of this folder cannot be kept in the "
                                             "settings (it is too long or holds a line break)."));
        return;
    }
    for (int k = 0; k < lvFolders->topLevelItemCount(); ++k) {
        QTreeWidgetItem* item = lvFolders->topLevelItem(k);
        if (item->data(0, kPathRole).toByteArray().toStdString() == path) {
            lvFolders->setCurrentItem(item); // listed already
            return;
        }
    }
    addFolder({path, false});
    lvFolders->setFocus();
    updateButtons();
}

void TSearchScopeForm::btRemoveFolderClick() {
    delete lvFolders->currentItem();
    updateButtons();
}

void TSearchScopeForm::btSwitchKindClick() {
    if (QTreeWidgetItem* item = lvFolders->currentItem())
        item->setText(1, item->text(1) == kReference ? kNormal : kReference);
}

bool TSearchScopeForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == lvFolders && event->type() == QEvent::KeyPress) {
        const auto* key = static_cast<QKeyEvent*>(event);
        // Delete removes the folder, Space switches its kind, as the buttons do.
        if (key->key() == Qt::Key_Delete && key->modifiers() == Qt::NoModifier) {
            btRemoveFolderClick();
            return true;
        }
        if (key->key() == Qt::Key_Space && key->modifiers() == Qt::NoModifier) {
            btSwitchKindClick();
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

bool TSearchScopeForm::refuse(QWidget* field, const QString& text) {
    m_dialogs.error(this, text);
    field->setFocus();
    if (auto* line = qobject_cast<QLineEdit*>(field))
        line->selectAll(); // typing mends it at once
    return false;
}

void TSearchScopeForm::accept() {
    SearchScope scope;
    for (int k = 0; k < lvFolders->topLevelItemCount(); ++k) {
        const QTreeWidgetItem* item = lvFolders->topLevelItem(k);
        scope.folders.push_back(
            {item->data(0, kPathRole).toByteArray().toStdString(), item->text(1) == kReference});
    }
    for (const QString& line : mePatterns->toPlainText().split(QLatin1Char('\n'))) {
        const std::string pattern = QFile::encodeName(line.trimmed()).toStdString();
        if (pattern.empty())
            continue;
        if (!storableInSettings(pattern)) {
            refuse(mePatterns, QStringLiteral("A pattern is too long to be kept."));
            return;
        }
        scope.excludes.push_back(pattern);
    }
    const struct {
        QLineEdit* field;
        std::int64_t* size;
        const char* name;
    } bounds[] = {{eMinSize, &scope.minSize, "smallest"}, {eMaxSize, &scope.maxSize, "largest"}};
    for (const auto& bound : bounds) {
        const QString text = bound.field->text().trimmed();
        if (text.isEmpty())
            continue;
        const std::optional<std::int64_t> size = parseSize(text.toStdString());
        if (!size) {
            refuse(bound.field, QStringLiteral("The %1 size must be a size such as 4096, 64K or "
                                               "2G, not \"%2\".")
                                    .arg(QLatin1String(bound.name), text));
            return;
        }
        *bound.size = *size;
    }
    if (scope.maxSize >= 0 && scope.maxSize < scope.minSize) {
        refuse(eMaxSize, QStringLiteral("The largest size is smaller than the smallest size."));
        return;
    }
    m_scope = std::move(scope);
    QDialog::accept();
}
