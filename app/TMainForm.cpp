#include "app/TMainForm.h"

#include "app/ValueLabel.h"
#include "operations/FileFilter.h"
#include "platform/Registry.h"
#include "operations/FileOperations.h"
#include "search/FileFinder.h"
#include "ui/Dialogs.h"
#include "ui/ResultListModel.h"
#include "ui/TAboutForm.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QScreen>
#include <QShortcut>
#include <QFileInfo>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QWindow>

const QString TMainForm::kSearchPathHint = QStringLiteral("Specify a search path");

namespace {
const QColor kGreyText(0x6D, 0x6D, 0x6D);
const QColor kValueBackground(0xF0, 0xF0, 0xF0);
const QColor kHashText(0x33, 0x99, 0xFF);

QLabel* makeLabel(QWidget* parent, const QString& text, int left, int top, bool grey) {
    auto* label = new QLabel(text, parent);
    label->move(left, top);
    if (grey) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, kGreyText);
        label->setPalette(palette);
    }
    label->adjustSize();
    return label;
}

QLabel* makeValueLabel(QWidget* parent, const QString& text, QRect geometry, bool elide = true) {
    auto* label = new ValueLabel(text, elide, parent);
    label->setGeometry(geometry);
    label->setAutoFillBackground(true);
    QPalette palette = label->palette();
    palette.setColor(QPalette::Window, kValueBackground);
    label->setPalette(palette);
    return label;
}

QAction* addItem(QMenu* menu, const QString& caption, bool checkable = false) {
    QAction* action = menu->addAction(caption);
    action->setCheckable(checkable);
    return action;
}
} // namespace

TMainForm::TMainForm(MainFormSetup setup) : m_setup(std::move(setup)) {
    if (m_setup.dialogs == nullptr) {
        m_ownDialogs = std::make_unique<PlatformDialogs>();
        m_dialogs = m_ownDialogs.get();
    } else {
        m_dialogs = m_setup.dialogs;
    }
    setWindowTitle(QStringLiteral("Twinscope"));
    setWindowIcon(QIcon(QStringLiteral(":/twinscope/icon.png")));
    setAutoFillBackground(true);
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, Qt::white);
    setPalette(palette);
    resize(kMinOuterWidth - kFrameWidth, kMinOuterHeight - kFrameHeight);
    setMinimumSize(kMinOuterWidth - kFrameWidth, kMinOuterHeight - kFrameHeight);
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        move(area.x() + (area.width() - kMinOuterWidth) / 2,
             area.y() + (area.height() - kMinOuterHeight) / 2);
    }

    createMenus();
    createControls();
    createTimers();
    setAcceptDrops(true); // a folder dropped onto the window goes into the path box
    m_about = new TAboutForm(this);
    FormCreate();
}

TMainForm::~TMainForm() {
    stopWorkers();
    delete m_about; // a window of its own, not a child
}

void TMainForm::useDesignFont() {
    QFont font = QApplication::font();
    font.setPixelSize(11);
    QApplication::setFont(font);
}

void TMainForm::stopWorkers() {
    // A worker must not outlive the state it writes: ask it to end and wait for it. A file
    // operation finishes the file under way first, so no file is left half copied.
    if (m_worker) {
        m_worker->control().requestTerminate();
        m_worker->join();
    }
}

void TMainForm::createMenus() {
    iconsIL = QIcon(QStringLiteral(":/twinscope/shield.png"));

    FileMenu = new QMenu(this);
    OptSaveSearch = addItem(FileMenu, QStringLiteral("&Save search result as..."));
    OptSaveSearch->setEnabled(false);
    FileMenu->addSeparator();
    connect(OptSaveSearch, &QAction::triggered, this, &TMainForm::OptSaveSearchClick);
    Exit1 = addItem(FileMenu, QStringLiteral("&Exit"));
    connect(Exit1, &QAction::triggered, this, &TMainForm::Exit1Click);

    OptionsMenu = new QMenu(this);
    Hashvalidation1 = OptionsMenu->addMenu(QStringLiteral("&Hash"));
    OptSHA1 = addItem(Hashvalidation1, QStringLiteral("&SHA1"), true);
    OptMD5 = addItem(Hashvalidation1, QStringLiteral("&MD5"), true);
    Searchspeed1 = OptionsMenu->addMenu(QStringLiteral("&Search speed"));
    OptFast = addItem(Searchspeed1, QStringLiteral("&Fast"), true);
    OptNormal = addItem(Searchspeed1, QStringLiteral("&Normal"), true);
    OptionsMenu->addSeparator();
    OnCopy1 = OptionsMenu->addMenu(QStringLiteral("On &copy"));
    OptPrompt = addItem(OnCopy1, QStringLiteral("Always &prompt on file conflicts  "), true);
    OnCopy1->addSeparator();
    OptRename = addItem(OnCopy1, QStringLiteral("Always &auto rename on file conflict"), true);
    OptReplace =
        addItem(OnCopy1,
                QStringLiteral(
                    "Always &replace the file in the destination path with the one been copied "),
                true);
    OnMove1 = OptionsMenu->addMenu(QStringLiteral("On &move"));
    OptHide = addItem(OnMove1, QStringLiteral("Hi&de auto rename warnings "), true);
    OptionsMenu->addSeparator();
    Filelistcolors1 = OptionsMenu->addMenu(QStringLiteral("&File list colors"));
    Filegroup1 = addItem(Filelistcolors1, QStringLiteral("&File group"));
    Copiedfiles1 = addItem(Filelistcolors1, QStringLiteral("&Copied files"));
    Movedfiles1 = addItem(Filelistcolors1, QStringLiteral("&Moved files"));
    Deletedfiles1 = addItem(Filelistcolors1, QStringLiteral("&Deleted files"));
    connect(Filegroup1, &QAction::triggered, this, &TMainForm::Filegroup1Click);
    connect(Copiedfiles1, &QAction::triggered, this, &TMainForm::Copiedfiles1Click);
    connect(Movedfiles1, &QAction::triggered, this, &TMainForm::Movedfiles1Click);
    Deletedfiles1->setVisible(false);
    N3 = OptionsMenu->addSeparator();
    N3->setVisible(false);
    Shellintegration1 = OptionsMenu->addMenu(QStringLiteral("Sh&ell integration"));
    Shellintegration1->menuAction()->setVisible(false);
    OptIntegrate = addItem(Shellintegration1,
                           QStringLiteral("&Integrate Twinscope into shell context menu"), true);
    OptIntegrateIcon = addItem(Shellintegration1, QStringLiteral("I&con in context menu"), true);
    Shellintegration2 = addItem(OptionsMenu, QStringLiteral("Sh&ell integration"));
    Shellintegration2->setIcon(iconsIL);
    OptionsMenu->addSeparator();
    OptSubfolders = addItem(OptionsMenu, QStringLiteral("&Always include subfolders"), true);
    OptIgnore = addItem(OptionsMenu, QStringLiteral("I&gnore empty files"), true);
    OptRemember = addItem(OptionsMenu, QStringLiteral("&Remember digests between searches"), true);
    OptionsMenu->addSeparator();
    SearchScope1 = addItem(OptionsMenu, QStringLiteral("Search sc&ope..."));
    connect(SearchScope1, &QAction::triggered, this, &TMainForm::SearchScope1Click);

    connectOption(OptSHA1, &TMainForm::OptSHA1Click);
    connectOption(OptMD5, &TMainForm::OptMD5Click);
    connectOption(OptFast, &TMainForm::OptFastClick);
    connectOption(OptNormal, &TMainForm::OptNormalClick);
    connectOption(OptPrompt, &TMainForm::OptPromptClick);
    connectOption(OptRename, &TMainForm::OptRenameClick);
    connectOption(OptReplace, &TMainForm::OptReplaceClick);
    connectOption(OptHide, &TMainForm::OptHideClick);
    connectOption(OptSubfolders, &TMainForm::OptSubfoldersClick);
    connectOption(OptIgnore, &TMainForm::OptIgnoreClick);
    connectOption(OptRemember, &TMainForm::OptRememberClick);
    connectOption(OptIntegrate, &TMainForm::OptIntegrateClick);
    connectOption(OptIntegrateIcon, &TMainForm::OptIntegrateIconClick);
    connect(Shellintegration2, &QAction::triggered, this, &TMainForm::Shellintegration2Click);

    HelpMenu = new QMenu(this);
    About1 = addItem(HelpMenu, QStringLiteral("&About"));
    connect(About1, &QAction::triggered, this, &TMainForm::About1Click);

    DuplicatedMenu = new QMenu(this);
    Select1 = DuplicatedMenu->addMenu(QStringLiteral("&Select"));
    Allbutone1 = addItem(Select1, QStringLiteral("&All but one"));
    Allbutnewest1 = addItem(Select1, QStringLiteral("All but the &newest"));
    Allbutoldest1 = addItem(Select1, QStringLiteral("All but the &oldest"));
    Allbutshortest1 = addItem(Select1, QStringLiteral("All but the &shortest path"));
    Allinfolder1 = addItem(Select1, QStringLiteral("All in a &folder..."));
    Select1->addSeparator();
    Clearall1 = addItem(Select1, QStringLiteral("&Clear all ticks"));
    DuplicatedMenu->addSeparator();
    Copyto1 = addItem(DuplicatedMenu, QStringLiteral("&Copy to..."));
    Moveto1 = addItem(DuplicatedMenu, QStringLiteral("&Move to..."));
    DuplicatedMenu->addSeparator();
    Delete1 = addItem(DuplicatedMenu, QStringLiteral("&Delete"));
    MovetoTrash1 = addItem(DuplicatedMenu, QStringLiteral("Move to &Trash"));
    ReplacewithHardLinks1 = addItem(DuplicatedMenu, QStringLiteral("Replace with &hard links"));
    ReplacewithReflinks1 = addItem(DuplicatedMenu, QStringLiteral("Replace with &reflinks"));
    connect(Allbutone1, &QAction::triggered, this, &TMainForm::Allbutone1Click);
    connect(Allbutnewest1, &QAction::triggered, this,
            [this] { applySelection(SelectionRule::AllButNewest); });
    connect(Allbutoldest1, &QAction::triggered, this,
            [this] { applySelection(SelectionRule::AllButOldest); });
    connect(Allbutshortest1, &QAction::triggered, this,
            [this] { applySelection(SelectionRule::AllButShortestPath); });
    connect(Allinfolder1, &QAction::triggered, this, &TMainForm::Allinfolder1Click);
    connect(Clearall1, &QAction::triggered, this,
            [this] { applySelection(SelectionRule::ClearAll); });
    connect(MovetoTrash1, &QAction::triggered, this, &TMainForm::MovetoTrash1Click);
    connect(Copyto1, &QAction::triggered, this, &TMainForm::Copyto1Click);
    connect(Moveto1, &QAction::triggered, this, &TMainForm::Moveto1Click);
    connect(Delete1, &QAction::triggered, this, &TMainForm::Delete1Click);
    connect(ReplacewithHardLinks1, &QAction::triggered, this,
            &TMainForm::ReplacewithHardLinks1Click);
    connect(ReplacewithReflinks1, &QAction::triggered, this, &TMainForm::ReplacewithReflinks1Click);

    FileListMenu = new QMenu(this);
    N5 = addItem(FileListMenu, QStringLiteral("&Open"));
    FileListMenu->setDefaultAction(N5);
    Openfilelocation1 = addItem(FileListMenu, QStringLiteral("O&pen file location"));
    connect(N5, &QAction::triggered, this, &TMainForm::N5Click);
    connect(Openfilelocation1, &QAction::triggered, this, &TMainForm::Openfilelocation1Click);
    FileListMenu->addSeparator();
    Filter1 = FileListMenu->addMenu(QStringLiteral("&Filter"));

    ControlMenu = new QMenu(this);
    Cancel1 = addItem(ControlMenu, QStringLiteral("&Cancel"));
    connect(Cancel1, &QAction::triggered, this, &TMainForm::Cancel1Click);
}

void TMainForm::createControls() {
    ToolBar1 = new QToolBar(this);
    ToolBar1->setGeometry(0, 0, 753, 29);
    ToolBar1->setMovable(false);
    ToolBar1->setStyleSheet(
        QStringLiteral("QToolBar { border: 0; background: qlineargradient(x1:0, y1:0, x2:0, y2:1, "
                       "stop:0 #ffffff, stop:1 #e8ecf2); }"));
    auto toolButton = [this](const QString& caption, QMenu* menu) {
        auto* button = new QToolButton(ToolBar1);
        // The letter after "&" is underlined; the keys that open the menu are set below, for
        // the whole window, so the button takes none of its own.
        button->setText(caption);
        button->setShortcut(QKeySequence());
        button->setFixedSize(63, 29);
        // Tool bar buttons take no keyboard focus: the first focus belongs to "Search".
        button->setFocusPolicy(Qt::NoFocus);
        if (menu != nullptr) {
            button->setMenu(menu);
            button->setPopupMode(QToolButton::InstantPopup);
        }
        button->setStyleSheet(QStringLiteral("QToolButton::menu-indicator { image: none; }"));
        ToolBar1->addWidget(button);
        return button;
    };
    ToolButton1 = toolButton(QStringLiteral("&File"), FileMenu);
    ToolButton2 = toolButton(QStringLiteral("&Options"), OptionsMenu);
    btSelected = toolButton(QStringLiteral("&Duplicated"), DuplicatedMenu);
    ToolButton3 = toolButton(QStringLiteral("&Help"), HelpMenu);
    for (QMenu* menu : {FileMenu, OptionsMenu, DuplicatedMenu, HelpMenu})
        menu->installEventFilter(this);
    ToolButton4 = toolButton(QString(), nullptr);
    for (QAction* action : ToolBar1->actions()) {
        if (ToolBar1->widgetForAction(action) == btSelected ||
            ToolBar1->widgetForAction(action) == ToolButton4)
            action->setVisible(false);
    }
    ToolButton4->setEnabled(false);
    // The tool bar's menus from the keyboard, as a menu bar offers them: Alt and the first
    // letter, F10 for the first. A hidden or disabled button's menu stays out of reach.
    auto menuKey = [this](const QKeySequence& keys, QToolButton* button) {
        auto* shortcut = new QShortcut(keys, this);
        connect(shortcut, &QShortcut::activated, button, [this, button] {
            if (button->isVisibleTo(ToolBar1) && button->isEnabled() && isEnabled())
                button->showMenu();
        });
    };
    menuKey(QKeySequence(Qt::ALT | Qt::Key_F), ToolButton1);
    menuKey(QKeySequence(Qt::Key_F10), ToolButton1);
    menuKey(QKeySequence(Qt::ALT | Qt::Key_O), ToolButton2);
    menuKey(QKeySequence(Qt::ALT | Qt::Key_D), btSelected);
    menuKey(QKeySequence(Qt::ALT | Qt::Key_H), ToolButton3);

    Label1 = makeLabel(this, QStringLiteral("Search in:"), 8, 35, true);

    eTarget = new QComboBox(this);
    eTarget->setEditable(true);
    eTarget->setInsertPolicy(QComboBox::NoInsert);
    eTarget->setGeometry(16, 54, 648, 21);
    eTarget->addItem(QStringLiteral("Select directory..."));
    eTarget->setCurrentIndex(-1);
    // The folder searched is the one typed: no remembered folder is written into the text
    // (the box's list still offers them).
    eTarget->setCompleter(nullptr);
    eTarget->lineEdit()->installEventFilter(this);
    eTarget->installEventFilter(this);
    connect(eTarget, &QComboBox::activated, this, &TMainForm::eTargetSelect);
    connect(eTarget->lineEdit(), &QLineEdit::textChanged, this, &TMainForm::updatePathBoxColour);

    btSearch = new QPushButton(QStringLiteral("Search"), this);
    btSearch->setGeometry(670, 52, 75, 25);
    connect(btSearch, &QPushButton::clicked, this, &TMainForm::btSearchClick);

    CPBtn = new QToolButton(this);
    CPBtn->setText(QStringLiteral("Pause"));
    CPBtn->setGeometry(670, 52, 75, 25);
    CPBtn->setPopupMode(QToolButton::MenuButtonPopup);
    CPBtn->setMenu(ControlMenu);
    CPBtn->setVisible(false);
    connect(CPBtn, &QToolButton::clicked, this, &TMainForm::CPBtnClick);

    chkSubFolders = new QCheckBox(QStringLiteral("Include subfolders"), this);
    chkSubFolders->setGeometry(16, 81, 130, 17);

    lbScope = new ValueLabel({}, true, this);
    lbScope->setGeometry(156, 82, 589, 15);
    QPalette scopePalette = lbScope->palette();
    scopePalette.setColor(QPalette::WindowText, kGreyText);
    lbScope->setPalette(scopePalette);
    lbScope->setVisible(false);

    setTabOrder(btSearch, chkSubFolders);
    setTabOrder(chkSubFolders, eTarget);
    btSearch->setFocus(); // first in the tab order, taken when the window is first activated

    imgBackground = new QLabel(this);
    imgBackground->setGeometry(0, 107, 753, 20);
    imgBackground->setPixmap(QPixmap(QStringLiteral(":/twinscope/band.png")));
    imgBackground->setScaledContents(true);
    imgBackground->installEventFilter(this);

    lbSearchResult = makeLabel(this, QStringLiteral("Search Results"), 8, 113, true);
    lbSearchResult->setAttribute(Qt::WA_TranslucentBackground);
    lbSearchResult->setVisible(false);

    lbStatus =
        makeLabel(this, QStringLiteral("Click “Search” and something magical will happen..."), 241,
                  280, true);

    GlobalStatus = new QProgressBar(this);
    GlobalStatus->setGeometry(290, 299, 150, 17);
    GlobalStatus->setTextVisible(false);
    GlobalStatus->setVisible(false);

    OpStatus = new QProgressBar(this);
    OpStatus->setGeometry(290, 322, 150, 17);
    OpStatus->setTextVisible(false);

    // The list is created after the status texts so that it covers them when in view.
    m_results = new ResultListModel(this);
    FileListView = new QTreeView(this);
    FileListView->setGeometry(0, 132, 753, 322);
    FileListView->setModel(m_results);
    FileListView->setRootIsDecorated(false);
    FileListView->setUniformRowHeights(true);
    FileListView->setItemsExpandable(false);
    FileListView->setSortingEnabled(false);
    FileListView->setSelectionMode(QAbstractItemView::SingleSelection);
    FileListView->setSelectionBehavior(QAbstractItemView::SelectRows);
    FileListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FileListView->setFrameShape(QFrame::NoFrame);
    FileListView->setAllColumnsShowFocus(true);
    FileListView->header()->setSectionsClickable(false);
    FileListView->header()->setSectionsMovable(false);
    // The folder, the last column, takes the width the others leave; long texts lose their
    // middle, where a path is least telling, and show whole in their tooltip.
    FileListView->header()->setStretchLastSection(true);
    FileListView->setTextElideMode(Qt::ElideMiddle);
    const int widths[] = {50, 250, 110, 70, 210};
    for (int column = 0; column < ResultListModel::ColumnCount; ++column)
        FileListView->header()->resizeSection(column, widths[column]);
    connect(FileListView, &QAbstractItemView::doubleClicked, this,
            &TMainForm::FileListViewDblClick);
    FileListView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(FileListView, &QWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        if (!listParked() && FileListView->isVisible())
            showListMenu(FileListView->viewport()->mapToGlobal(at));
    });
    FileListView->installEventFilter(this);
    // The "#" column widens for group numbers of any length.
    connect(m_results, &QAbstractItemModel::rowsInserted, this, &TMainForm::fitGroupColumn);

    imgBottom = new QLabel(this);
    imgBottom->setGeometry(0, 458, 753, 50);
    imgBottom->setPixmap(QPixmap(QStringLiteral(":/twinscope/bottom.png")));
    imgBottom->setScaledContents(true);
    imgBottom->installEventFilter(this);

    lbFilesTitle = makeLabel(this, QStringLiteral("Files:"), 8, 471, true);
    lbFilesCount = makeValueLabel(this, QStringLiteral("0"), {39, 471, 138, 13});
    lbDupTitle = makeLabel(this, QStringLiteral("Duplicated:"), 8, 471, true);
    lbDuplicated = makeValueLabel(this, QStringLiteral("0"), {68, 471, 109, 13});
    Label7 = makeLabel(this, QStringLiteral("Current file:"), 183, 471, true);
    lbCurrentFile = makeValueLabel(this, QStringLiteral("N/A"), {247, 471, 384, 13});
    Label2 = makeLabel(this, QStringLiteral("Hash progress:"), 637, 471, true);
    Label2->setAttribute(Qt::WA_TranslucentBackground);
    lbHashPerc = makeValueLabel(this, QStringLiteral("100%"), {716, 471, 29, 13}, false);
    QPalette hashPalette = lbHashPerc->palette();
    hashPalette.setColor(QPalette::WindowText, kHashText);
    lbHashPerc->setPalette(hashPalette);
    Label13 = makeLabel(this, QStringLiteral("Time elapsed:"), 8, 490, true);
    lbSearchTime = makeValueLabel(this, QStringLiteral("00:00:00"), {80, 490, 97, 13}, false);
    Label9 = makeLabel(this, QStringLiteral("Path:"), 183, 490, true);
    lbDirectory = makeValueLabel(this, QStringLiteral("N/A"), {215, 490, 530, 13});
    for (QLabel* label :
         {lbFilesTitle, lbFilesCount, lbDupTitle, lbDuplicated, Label7, lbCurrentFile, Label2,
          lbHashPerc, Label13, lbSearchTime, Label9, lbDirectory})
        label->setVisible(false);
    // The picture lies under the labels of the bottom rows.
    imgBottom->lower();
    imgBackground->lower();

    parkList();
    OpStatus->move(width() + kFrameWidth + 100, OpStatus->y());
}

void TMainForm::createTimers() {
    Timer = new QTimer(this);
    Timer->setInterval(1000);
    connect(Timer, &QTimer::timeout, this, &TMainForm::TimerTimer);
    // The design asks for "as often as the system allows"; a few milliseconds keep the bar
    // smooth without spinning.
    BarWatch = new QTimer(this);
    BarWatch->setInterval(15);
    connect(BarWatch, &QTimer::timeout, this, &TMainForm::BarWatchTimer);
    tUpdateBar = new QTimer(this);
    tUpdateBar->setInterval(15);
    connect(tUpdateBar, &QTimer::timeout, this, &TMainForm::tUpdateBarTimer);
    m_runDisplay = new QTimer(this);
    m_runDisplay->setInterval(40);
    connect(m_runDisplay, &QTimer::timeout, this, &TMainForm::refreshRunLabels);
}

void TMainForm::setCaption(QLabel* label, const QString& text) {
    label->setText(text);
    if (qobject_cast<ValueLabel*>(label) == nullptr)
        label->adjustSize();
}

bool TMainForm::listParked() const {
    return FileListView->x() != 0;
}

// A parked list is also hidden, so that neither Tab nor the menu key reaches it (its filter
// entries would start a run during another).
void TMainForm::parkList() {
    FileListView->move(width() + kFrameWidth + 100, FileListView->y());
    FileListView->setVisible(false);
}

void TMainForm::unparkList() {
    FileListView->move(0, FileListView->y());
    FileListView->setVisible(true);
}

void TMainForm::postChange(std::function<void()> change) {
    // A queue of our own, under a standard mutex: the hand-over from the worker is one that
    // race-detection tools see, and the changes run in the order they came.
    std::lock_guard lock(m_changesMutex);
    m_changes.push_back(std::move(change));
    if (!m_changesDue) {
        m_changesDue = true;
        QMetaObject::invokeMethod(this, "runChanges", Qt::QueuedConnection);
    }
}

void TMainForm::runChanges() {
    // Those waiting now; later ones wait for the next turn of the event loop, which stays lively.
    std::size_t left = 0;
    {
        std::lock_guard lock(m_changesMutex);
        left = m_changes.size();
    }
    for (; left > 0; --left) {
        std::function<void()> change;
        {
            std::lock_guard lock(m_changesMutex);
            if (m_changes.empty())
                break;
            change = std::move(m_changes.front());
            m_changes.pop_front();
        }
        change(); // may open a dialog, whose event loop runs no change of this queue meanwhile
    }
    std::lock_guard lock(m_changesMutex);
    if (m_changes.empty())
        m_changesDue = false;
    else
        QMetaObject::invokeMethod(this, "runChanges", Qt::QueuedConnection);
}

void TMainForm::FormCreate() {
    loadSettings();
    applyListColours();
}

void TMainForm::FormShow() {
    ThreadInicialized = false;
    parkList();
    bShowOpStatus = false;
    tUpdateBarStatus = false;
    BarWatchStatus = false;

    offerShellIntegration();

    const QString first = m_setup.arguments.isEmpty() ? QString() : m_setup.arguments.first();
    if (!first.isEmpty() && QFileInfo(first).isDir()) {
        QString folder = first;
        if (!folder.endsWith(QLatin1Char('/')))
            folder += QLatin1Char('/');
        eTarget->addItem(folder);
        eTarget->setCurrentIndex(eTarget->count() - 1);
        btSearchClick();
    } else {
        showPathHint();
    }
}

void TMainForm::FormResize() {
    const int W = width() + kFrameWidth;
    const int H = height() + kFrameHeight;
    if (W < kMinOuterWidth || H < kMinOuterHeight) {
        resize(std::max(W, kMinOuterWidth) - kFrameWidth,
               std::max(H, kMinOuterHeight) - kFrameHeight);
        return; // the resize lays the window out again
    }
    layOutBottomRows(W, H);
    eTarget->resize(W - 121, eTarget->height());
    btSearch->move(eTarget->width() + 22, btSearch->y());
    lbScope->resize(W - 180, lbScope->height());
    CPBtn->move(eTarget->width() + 22, CPBtn->y());
    imgBackground->resize(W, imgBackground->height());
    ToolBar1->resize(W, ToolBar1->height());
    FileListView->resize(W - 17, H - 215);
    if (FileListView->x() != 0)
        FileListView->move(W + 100, FileListView->y());
    lbStatus->move(W / 2 - lbStatus->width() / 2, lbStatus->y());
    GlobalStatus->move(W / 2 - GlobalStatus->width() / 2, GlobalStatus->y());
    if (bShowOpStatus)
        OpStatus->move(W / 2 - OpStatus->width() / 2, OpStatus->y());
    else
        OpStatus->move(W + 100, OpStatus->y());
    // The bottom picture follows the bottom edge (50 high, full width).
    imgBottom->setGeometry(0, height() - 50, width(), 50);
    if (!eTarget->hasFocus())
        eTarget->lineEdit()->deselect();
}

void TMainForm::layOutBottomRows(int W, int H) {
    // The designed positions were made for a narrow font. With the system's font a value starts
    // after its title, and the values that must show their whole text (hash percentage, elapsed
    // time) take their room from the ones that cut their text with an ellipsis.
    auto after = [](const QWidget* title, int designLeft) {
        return std::max(designLeft, title->x() + title->width() + 4);
    };
    auto place = [](QWidget* value, int left, int top, int width) {
        value->setGeometry(left, top, std::max(0, width), value->height());
    };
    const int top1 = H - 75;
    const int top2 = H - 56;
    for (QLabel* title : {lbFilesTitle, lbDupTitle, Label7})
        title->move(title->x(), top1);
    for (QLabel* title : {Label13, Label9})
        title->move(title->x(), top2);
    // Values of the left column end where the design ends them.
    constexpr int kLeftColumnRight = 177;
    place(lbFilesCount, after(lbFilesTitle, 39), top1, kLeftColumnRight - after(lbFilesTitle, 39));
    place(lbDuplicated, after(lbDupTitle, 68), top1, kLeftColumnRight - after(lbDupTitle, 68));

    const int rightEdge = W - kFrameWidth - 8;
    const int hashWidth =
        static_cast<ValueLabel*>(lbHashPerc)->fittingWidth(QStringLiteral("100%"), 29);
    const int currentLeft = after(Label7, 247);
    int currentWidth = W - 385 - (currentLeft - 247);
    const int hashRight = currentLeft + currentWidth + 6 + Label2->width() + 6 + hashWidth;
    currentWidth -= std::max(0, hashRight - rightEdge);
    place(lbCurrentFile, currentLeft, top1, currentWidth);
    Label2->move(lbCurrentFile->x() + lbCurrentFile->width() + 6, top1);
    place(lbHashPerc, Label2->x() + Label2->width() + 6, top1, hashWidth);

    const int timeLeft = after(Label13, 80);
    const int timeWidth = static_cast<ValueLabel*>(lbSearchTime)
                              ->fittingWidth(lbSearchTime->text(), kLeftColumnRight - timeLeft);
    place(lbSearchTime, timeLeft, top2, timeWidth);
    Label9->move(std::max(183, timeLeft + timeWidth + 6), top2);
    const int directoryLeft = after(Label9, 215);
    place(lbDirectory, directoryLeft, top2, 215 + W - 270 - directoryLeft);
}

void TMainForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    FormResize();
    if (!m_shown) {
        m_shown = true;
        // The focus on "Search" is shown from the start, not only once a key has moved it: a
        // user of the keyboard sees where Enter and Space go.
        setAttribute(Qt::WA_KeyboardFocusChange);
        FormShow();
    }
}

void TMainForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    FormResize();
}

void TMainForm::closeEvent(QCloseEvent* event) {
    m_about->hide();
    if (FileFinder* finder = thrFindFiles(); ThreadInicialized && finder && !finder->isFinished())
        finder->control().requestTerminate();
    QWidget::closeEvent(event);
}

void TMainForm::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    // A window manager may bring the disabled main window up over the About window, which then
    // waits unseen for a click: it comes back on top, with the keyboard.
    if (event->type() == QEvent::ActivationChange && isActiveWindow() && m_about != nullptr &&
        m_about->isVisible()) {
        QTimer::singleShot(0, m_about, [about = m_about] {
            about->raise();
            about->activateWindow();
        });
    }
}

void TMainForm::Exit1Click() {
    close();
}

void TMainForm::About1Click() {
    m_about->show();
}

void TMainForm::dragWindow() {
    if (QWindow* window = windowHandle())
        window->startSystemMove();
}

void TMainForm::mousePressEvent(QMouseEvent* event) {
    dragWindow(); // the bare background
    QWidget::mousePressEvent(event);
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == FileListView && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        // Space ticks the selected row whichever of its cells is current.
        if (key->key() == Qt::Key_Space && key->modifiers() == Qt::NoModifier) {
            toggleSelectedRow();
            return true;
        }
        // Enter opens the selected file, as a double click does.
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            key->modifiers() == Qt::NoModifier && selectedRow() >= 0) {
            N5Click();
            return true;
        }
        // Shift+F10 opens the list's menu, as the Menu key does, beside the current row.
        if (key->key() == Qt::Key_F10 && key->modifiers() == Qt::ShiftModifier) {
            const QRect row = FileListView->visualRect(FileListView->currentIndex());
            showListMenu(FileListView->viewport()->mapToGlobal(
                row.isValid() ? row.bottomLeft() + QPoint(8, 0) : QPoint(8, 8)));
            return true;
        }
    }
    // Left and Right move from one tool bar menu to the next, as in a menu bar.
    if (event->type() == QEvent::KeyPress && (watched == FileMenu || watched == OptionsMenu ||
                                              watched == DuplicatedMenu || watched == HelpMenu)) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        auto* menu = static_cast<QMenu*>(watched);
        const bool intoSubmenu = menu->activeAction() != nullptr &&
                                 menu->activeAction()->menu() != nullptr &&
                                 menu->activeAction()->isEnabled();
        if ((key == Qt::Key_Right && !intoSubmenu) || key == Qt::Key_Left) {
            moveToNextMenu(menu, key == Qt::Key_Right ? 1 : -1);
            return true;
        }
    }
    if ((watched == imgBackground || watched == imgBottom) &&
        event->type() == QEvent::MouseButtonPress) {
        dragWindow();
        return true;
    }
    // The editable box is the focus proxy of its line edit: focus and keys reach the box, the
    // mouse reaches the line edit. Each real event passes exactly one of the two filters.
    if (watched == eTarget->lineEdit() || watched == eTarget) {
        switch (event->type()) {
        case QEvent::FocusIn:
            eTargetEnter();
            break;
        case QEvent::FocusOut: {
            const Qt::FocusReason reason = static_cast<QFocusEvent*>(event)->reason();
            // Opening the box's own list, or another window taking the keyboard (a message
            // box, another program), is not leaving the box.
            if (reason != Qt::PopupFocusReason && reason != Qt::ActiveWindowFocusReason &&
                !eTarget->isAncestorOf(QApplication::focusWidget()) &&
                QApplication::focusWidget() != eTarget)
                eTargetExit();
            break;
        }
        case QEvent::KeyPress:
            if (eTargetKeyPress(static_cast<QKeyEvent*>(event)->key()))
                return true;
            break;
        case QEvent::MouseButtonDblClick:
            eTargetDblClick();
            return true;
        default:
            break;
        }
    }
    return QWidget::eventFilter(watched, event);
}
