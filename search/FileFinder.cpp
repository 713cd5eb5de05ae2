#include "search/FileFinder.h"

#include "search/SearchProgress.h"
#include "search/SharedState.h"

class FileFinder::Hooks : public SearchHooks {
public:
    explicit Hooks(FileFinder& finder) : m_finder(finder) {}

    void optionsRead() override {
        const SearchSpeed speed = m_finder.m_options.searchSpeed;
        m_finder.post([speed](RunWindow& window) { window.searchOptionsRead(speed); });
    }
    void walkEnded() override {
        const SearchSpeed speed = m_finder.m_options.searchSpeed;
        m_finder.post([speed](RunWindow& window) { window.searchWalkEnded(speed); });
    }
    void matchEnded() override {
        m_finder.post([](RunWindow& window) { window.searchMatchEnded(); });
    }

private:
    FileFinder& m_finder;
};

FileFinder::FileFinder(RunWindow& window, std::string searchPath, bool subfolders,
                       SearchOptions options)
    : RunWorker(window, RunKind::Search, "Twinscope File Finder"),
      m_searchPath(std::move(searchPath)), m_subfolders(subfolders), m_options(std::move(options)) {
}

void FileFinder::Execute() {
    SharedState& state = m_window.sharedState();

    Hooks hooks(*this);
    SearchEngine engine(state, m_control, m_window.runProgress());
    engine.run(m_searchPath, m_subfolders, m_options, &hooks);

    if (!m_control.terminated() && state.iDuplicatedFiles >= 1)
        fillList();
    engine.saveDigests(); // once the list is there: it need not wait for the writing
    post([text = QString::fromStdString(engine.passedOver().text())](RunWindow& window) {
        window.searchPassedOver(text);
    });
    const bool terminated = m_control.terminated();
    const int duplicated = state.iDuplicatedFiles;
    const int found = state.iFilesFounded;
    post([terminated, duplicated, found](RunWindow& window) {
        window.searchEnded(terminated, duplicated, found);
    });
    // "0 files" alone would not say that the folder itself could not be read, nor would a
    // result without the files of a subfolder.
    if (!engine.scopeNote().empty()) {
        post([text = QString::fromStdString(engine.scopeNote()).trimmed()](RunWindow& window) {
            window.searchNote(text);
        });
    }
    for (const std::string* problem : {&engine.folderProblem(), &engine.unreadFolders()}) {
        if (!problem->empty()) {
            post([text = QString::fromStdString(*problem).trimmed()](RunWindow& window) {
                window.searchFolderProblem(text);
            });
        }
    }
}

void FileFinder::fillList() {
    SharedState& state = m_window.sharedState();
    // The phase first: the window's progress timer reads it, and once the window has shown
    // "Populating list." it must see the phase that goes with it.
    state.FinderOperation = FinderPhase::PopulateList;
    post([](RunWindow& window) { window.searchFillStarted(); });
    state.iBar = 0;

    const auto& files = state.aDuplicatedFiles;
    SearchProgress& progress = m_window.runProgress();
    fillResultList(m_window, files, m_control, [&](std::size_t i) {
        state.iBar = static_cast<int>(i);
        if (i % 256 == 0)
            progress.setCurrentFile(files[i].fName);
    });
    if (!m_control.terminated())
        post([](RunWindow& window) { window.unparkList(); });
}
