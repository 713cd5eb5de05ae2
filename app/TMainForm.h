#pragma once

#include "operations/Selection.h"
#include "search/SearchProgress.h"
#include "search/SharedState.h"
#include "settings/IniFile.h"
#include "settings/Options.h"
#include "ui/RunWorker.h"

#include <QColor>
#include <QIcon>
#include <QStringList>
#include <QWidget>

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <memory>
#include <string>
#include <vector>

class Dialogs;
class Registry;
class FileFilter;
class FileFinder;
class FileOperations;
class QAction;
class QCheckBox;
class QComboBox;
class QLabel;
class QMimeData;
class QMenu;
class QProgressBar;
class QPushButton;
class QTimer;
class QToolBar;
class QToolButton;
class QTreeView;
class ResultListModel;
class TAboutForm;
class TSearchScopeForm;

// What the window needs from outside; tests replace the parts that would need a user.
struct MainFormSetup {
    QStringList arguments;         // command-line arguments without the program name
    Dialogs* dialogs = nullptr;    // nullptr: the platform's dialogs
    std::function<bool()> isAdmin; // empty: the effective user is root
    std::string shellDataRoot = "/usr/local/share"; // where the folder menu entry is written
    std::string executablePath;                     // empty: the running program's own path
    std::function<bool()> hasElevationPrompt;       // empty: whether pkexec is installed
    // Restarts the program with administrator rights; empty: through pkexec.
    std::function<bool(const std::string&, const std::vector<std::string>&)> runAsAdmin;
};

// The main window. Its controls, menus, timers and handlers keep their designed names; the
// handlers of the path box, the run control and the options live beside their behaviour in
// ui/ and settings/.
class TMainForm : public QWidget, public RunWindow {
    Q_OBJECT
public:
    explicit TMainForm(MainFormSetup setup = {});
    ~TMainForm() override;

    // The system's UI font at the size the window is designed for (8 points, 11 pixels high).
    static void useDesignFont();

    // The layout for the current size; also called after texts or visibility change.
    void FormResize();

    // Window frame added to the client size in the layout rules, so that the designed outer
    // sizes give the designed positions whatever the window manager draws.
    static constexpr int kFrameWidth = 16;
    static constexpr int kFrameHeight = 38;
    static constexpr int kMinOuterWidth = 769;
    static constexpr int kMinOuterHeight = 546;

    bool listParked() const;
    void parkList();
    void unparkList() override;

    // Tool bar and its buttons.
    QToolBar* ToolBar1 = nullptr;
    QToolButton* ToolButton1 = nullptr;
    QToolButton* ToolButton2 = nullptr;
    QToolButton* btSelected = nullptr;
    QToolButton* ToolButton3 = nullptr;
    QToolButton* ToolButton4 = nullptr;

    // Controls, top to bottom.
    QLabel* Label1 = nullptr;
    QComboBox* eTarget = nullptr;
    QPushButton* btSearch = nullptr;
    QToolButton* CPBtn = nullptr;
    QCheckBox* chkSubFolders = nullptr;
    QLabel* lbScope = nullptr; // what the search covers beyond the folder, when anything
    QLabel* imgBackground = nullptr;
    QLabel* lbSearchResult = nullptr;
    QTreeView* FileListView = nullptr;
    QLabel* lbStatus = nullptr;
    QProgressBar* GlobalStatus = nullptr;
    QProgressBar* OpStatus = nullptr;
    QLabel* imgBottom = nullptr;
    QLabel* lbFilesTitle = nullptr;
    QLabel* lbFilesCount = nullptr;
    QLabel* lbDupTitle = nullptr;
    QLabel* lbDuplicated = nullptr;
    QLabel* Label7 = nullptr;
    QLabel* lbCurrentFile = nullptr;
    QLabel* Label2 = nullptr;
    QLabel* lbHashPerc = nullptr;
    QLabel* Label13 = nullptr;
    QLabel* lbSearchTime = nullptr;
    QLabel* Label9 = nullptr;
    QLabel* lbDirectory = nullptr;

    // Menus and their items.
    QMenu* FileMenu = nullptr;
    QAction* OptSaveSearch = nullptr;
    QAction* Exit1 = nullptr;
    QMenu* OptionsMenu = nullptr;
    QMenu* Hashvalidation1 = nullptr;
    QAction* OptSHA1 = nullptr;
    QAction* OptMD5 = nullptr;
    QMenu* Searchspeed1 = nullptr;
    QAction* OptFast = nullptr;
    QAction* OptNormal = nullptr;
    QMenu* OnCopy1 = nullptr;
    QAction* OptPrompt = nullptr;
    QAction* OptRename = nullptr;
    QAction* OptReplace = nullptr;
    QMenu* OnMove1 = nullptr;
    QAction* OptHide = nullptr;
    QMenu* Filelistcolors1 = nullptr;
    QAction* Filegroup1 = nullptr;
    QAction* Copiedfiles1 = nullptr;
    QAction* Movedfiles1 = nullptr;
    QAction* Deletedfiles1 = nullptr;
    QAction* N3 = nullptr;
    QMenu* Shellintegration1 = nullptr;
    QAction* OptIntegrate = nullptr;
    QAction* OptIntegrateIcon = nullptr;
    QAction* Shellintegration2 = nullptr;
    QAction* OptSubfolders = nullptr;
    QAction* OptIgnore = nullptr;
    QAction* OptRemember = nullptr;
    QAction* SearchScope1 = nullptr;
    QMenu* HelpMenu = nullptr;
    QAction* About1 = nullptr;
    QMenu* DuplicatedMenu = nullptr;
    QMenu* Select1 = nullptr;
    QAction* Allbutone1 = nullptr;
    QAction* Allbutnewest1 = nullptr;
    QAction* Allbutoldest1 = nullptr;
    QAction* Allbutshortest1 = nullptr;
    QAction* Allinfolder1 = nullptr;
    QAction* Clearall1 = nullptr;
    QAction* Copyto1 = nullptr;
    QAction* Moveto1 = nullptr;
    QAction* Delete1 = nullptr;
    QAction* MovetoTrash1 = nullptr;
    QAction* ReplacewithHardLinks1 = nullptr;
    QAction* ReplacewithReflinks1 = nullptr;
    QMenu* FileListMenu = nullptr;
    QAction* N5 = nullptr;
    QAction* Openfilelocation1 = nullptr;
    QMenu* Filter1 = nullptr;
    QMenu* ControlMenu = nullptr;
    QAction* Cancel1 = nullptr;
    QIcon iconsIL; // the shield of the command that asks for administrator rights

    QTimer* Timer = nullptr;
    QTimer* BarWatch = nullptr;
    QTimer* tUpdateBar = nullptr;

    // Fields of the window. The workers: the last one started, by its kind (nullptr when the
    // last run was of another kind).
    FileFinder* thrFindFiles() const;
    FileOperations* thrManageFiles() const;
    FileFilter* thrFileFilter() const;
    double tUpTime = 0;
    int iUpDays = 0;
    bool ThreadInicialized = false;
    bool tUpdateBarStatus = false;
    bool BarWatchStatus = false;
    int iShowUAC = 0;           // 1: the shell integration command shows its shield
    bool bShowOpStatus = false; // the per-file bar is in view (a copy)

    // State shared with the workers, the settings and the list colours.
    SharedState state;
    SearchProgress progress;
    ReadingClock m_reading; // the matching's bytes and time left, for the bar's tooltip
    std::unique_ptr<IniFile> Settings;
    std::unique_ptr<Registry> Reg;
    std::string sGroupColor;
    std::string sCopiedColor;
    std::string sMovedColor;

    ResultListModel* results() const { return m_results; }
    TAboutForm* aboutForm() const { return m_about; }
    // The search scope dialog while it is open; nullptr otherwise.
    TSearchScopeForm* scopeForm() const { return m_scopeForm; }
    Dialogs& dialogs() const override { return *m_dialogs; }
    SharedState& sharedState() override { return state; }
    SearchProgress& runProgress() override { return progress; }
    // The options as the menus show them, read once at start and kept by the option commands.
    const Options& options() const { return m_options; }
    QWidget* dialogParent() override { return this; }
    void reserveResultRows(std::size_t count) override;
    void appendResultRows(std::vector<ResultRow> rows,
                          const std::vector<std::string>& filterEntries) override;

    // Hands a change of the window to the window's thread; changes posted from one thread are
    // made in the order they were posted.
    void postChange(std::function<void()> change) override;

    // Handlers of the window as a whole.
    void FormCreate();
    void FormShow();
    void Exit1Click();
    void About1Click();

    // Settings and option commands.
    void loadSettings();
    void OptSHA1Click();
    void OptMD5Click();
    void OptFastClick();
    void OptNormalClick();
    void OptPromptClick();
    void OptRenameClick();
    void OptReplaceClick();
    void OptHideClick();
    void OptSubfoldersClick();
    void OptIgnoreClick();
    void OptRememberClick();
    void SearchScope1Click();
    // Brings the folder context-menu entry in line with the settings (administrators only).
    void reconcileShellIntegration(const std::string& contextMenu,
                                   const std::string& contextMenuIcon);

    // Shell integration and elevation.
    void OptIntegrateClick();
    void OptIntegrateIconClick();
    void Shellintegration2Click();
    void offerShellIntegration();
    bool RunAsAdmin(const std::string& fileName, const std::vector<std::string>& parameters);
    std::string executablePath() const;
    bool isAdmin() const;

    // Run control.
    void btSearchClick();
    void CPBtnClick();
    void Cancel1Click();
    void TimerTimer();
    void BarWatchTimer();
    void tUpdateBarTimer();
    // Shows the high-rate values of a run (current file, counts, hash percentage).
    void refreshRunLabels();
    // Enables BarWatch, or remembers it for the resume when the run is paused.
    void startBarWatch();
    // The closing steps of a search on the window's side.
    void searchEnded(bool terminated, int duplicated, int found) override;
    // The closing steps that every run shares: the status, the buttons and the layout.
    void runEnded(bool terminated, int duplicated);
    bool selectedVisible() const;

    // What runs, and how: the one description the controls follow.
    struct RunState {
        RunKind kind = RunKind::None;
        bool paused = false;
        bool cancelAsked = false; // Cancel was chosen; no second question until the run ends
    };
    const RunState& runState() const { return m_run; }
    // The window's controls as the run state says: which are enabled and visible, and what the
    // run-control button says.
    void applyRunState();

    // The search's side of the window's changes (see RunWindow).
    void searchOptionsRead(SearchSpeed speed) override;
    void searchWalkEnded(SearchSpeed speed) override;
    void searchMatchEnded() override;
    void searchFillStarted() override;
    void searchFolderProblem(const QString& text) override;
    void searchPassedOver(const QString& text) override;
    void searchNote(const QString& text) override;
    void filterStarted() override;
    void filterEnded() override;

    // Search path box.
    void eTargetEnter();
    void eTargetExit();
    bool eTargetKeyPress(int key);
    void eTargetSelect(int index);
    void eTargetDblClick();
    void selectOrAddFolder(const QString& folder);
    void expandHomeInPathBox();
    // The one local folder a drag carries, with a trailing "/".
    static std::optional<QString> droppedFolder(const QMimeData* data);
    void showPathHint();
    void updatePathBoxColour();

    // The result list: colours, ticks and the open commands.
    void applyListColours();
    void Filegroup1Click();
    void Copiedfiles1Click();
    void Movedfiles1Click();
    void Allbutone1Click();
    // Ticks the rows in view by a rule, replacing every tick.
    void applySelection(SelectionRule rule, const std::string& folder = {});
    void Allinfolder1Click();
    void N5Click();
    void FileListViewDblClick();
    void Openfilelocation1Click();
    // The list's menu at a point of the screen, its open commands usable with a row selected.
    void showListMenu(const QPoint& at);
    // From a tool bar menu to the next (step 1) or the one before (-1) that is there to open.
    void moveToNextMenu(QMenu* from, int step);
    int selectedRow() const;
    void toggleSelectedRow();
    void fitGroupColumn();

    // File operations and the saved report.
    void Copyto1Click();
    void Moveto1Click();
    void Delete1Click();
    void MovetoTrash1Click();
    void ReplacewithHardLinks1Click();
    void ReplacewithReflinks1Click();
    void replaceWithLinks(int operation, const QString& links, const QString& effect);
    void operationStarted(int operation, int ticked) override;
    void operationRefillStarted(int count) override;
    void operationEnded(bool terminated, int count, const QString& failures) override;
    void OptSaveSearchClick();

    // Filter entries of the result list.
    void clearFilterEntries();
    void addFilterEntries(const std::vector<std::string>& captions);
    void FilterClick(QAction* entry);

    // Text of a label, resized to fit it (labels that size themselves).
    static void setCaption(QLabel* label, const QString& text);

    static const QString kSearchPathHint;

protected:
    void showEvent(QShowEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void createControls();
    void createMenus();
    void createTimers();
    void layOutBottomRows(int W, int H);
    void dragWindow();
    void writeOption(const char* key, const char* value);
    // The scope line beside the subfolders box: shown only when the scope adds or leaves out.
    void showScope();
    void scopeChosen();
    void showSettingsError(const std::exception& error);
    void connectOption(QAction* action, void (TMainForm::*command)());
    void stopWorkers();
    // Runs the changes the workers posted; invoked by name, so that what the event carries is
    // made by Qt alone and nothing of a worker's reaches the window's thread past the queue.
    Q_INVOKABLE void runChanges();
    // Lets the last run's thread end, then starts `worker` with the window locked for it.
    void startRun(std::unique_ptr<RunWorker> worker);
    void setSelectedVisible(bool visible);
    void pickListColour(std::string& target, const char* key);
    std::optional<std::string> askDestination(const QString& question, const QString& prompt);
    // Before files are removed: when every listed file of some group is ticked, asks once more.
    bool confirmWholeGroups();
    void startFileOperations(int operation, const std::string& destination = {});

    MainFormSetup m_setup;
    std::unique_ptr<Dialogs> m_ownDialogs;
    Dialogs* m_dialogs = nullptr;
    ResultListModel* m_results = nullptr;
    TAboutForm* m_about = nullptr;
    TSearchScopeForm* m_scopeForm = nullptr;
    QTimer* m_runDisplay = nullptr;
    bool m_shown = false;
    bool m_marqueePaused = false; // the busy bar stands still while its run is paused
    Options m_options;
    std::unique_ptr<RunWorker> m_worker;
    std::mutex m_changesMutex;
    std::deque<std::function<void()>> m_changes; // posted by the workers, oldest first
    bool m_changesDue = false;                   // a turn of the event loop will run them
    RunState m_run;
    bool m_resultActions = false; // the "Duplicated" menu is offered while no run goes on
    bool m_searched = false;      // a search has ended: there is a result to save
};
