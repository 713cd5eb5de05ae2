#include "search/FileFinder.h"

#include "app/TMainForm.h"
#include "operations/SearchReport.h"
#include "platform/SpecialFolders.h"
#include "platform/ThreadName.h"
#include "search/ResultRows.h"
#include "search/SearchEngine.h"
#include "ui/Dialogs.h"
#include "ui/ResultListFill.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QTimer>

#include <vector>

class FileFinder::Hooks : public SearchHooks {
public:
    explicit Hooks(FileFinder& finder) : m_finder(finder) {}

    void optionsRead() override {
        if (m_finder.m_form->state.sTSearch == SearchSpeed::Normal) {
            m_finder.post([form = m_finder.m_form] {
                form->Label2->setVisible(true);
                form->lbHashPerc->setVisible(true);
            });
        }
    }

    void walkEnded() override {
        const bool fast = m_finder.m_form->state.sTSearch == SearchSpeed::Fast;
        m_finder.post([form = m_finder.m_form, fast] {
            form->startBarWatch();
            form->Label2->setVisible(fast);
            form->lbHashPerc->setVisible(fast);
            if (!fast) {
                form->lbDirectory->setVisible(false);
                form->Label9->setVisible(false);
            }
            form->lbFilesCount->setVisible(false);
            form->lbFilesTitle->setVisible(false);
            form->lbDupTitle->setVisible(true);
            form->lbDuplicated->setVisible(true);
            form->lbDuplicated->setText(QStringLiteral("0"));
        });
    }

    void matchEnded() override {
        m_finder.post([form = m_finder.m_form] {
            for (QWidget* widget :
                 {static_cast<QWidget*>(form->Label2), static_cast<QWidget*>(form->lbHashPerc),
                  static_cast<QWidget*>(form->lbDirectory), static_cast<QWidget*>(form->Label9)})
                widget->setVisible(false);
        });
    }

private:
    FileFinder& m_finder;
};

FileFinder::FileFinder(TMainForm* form, std::string searchPath, bool subfolders,
                       SearchOptions options)
    : m_form(form), m_searchPath(std::move(searchPath)), m_subfolders(subfolders),
      m_options(std::move(options)) {
}

void FileFinder::run() {
    Execute();
}

void FileFinder::SetName() {
    setThreadName("Twinscope File Finder");
}

void FileFinder::post(std::function<void()> change) {
    m_form->postChange(std::move(change));
}

void FileFinder::Execute() {
    SharedState& state = m_form->state;
    SetName();
    state.iFindFiles = 1;
    if (state.iShowUAC == 1)
        post([form = m_form] { form->Shellintegration2->setIcon(QIcon()); });

    Hooks hooks(*this);
    SearchEngine engine(state, m_control, m_form->progress);
    engine.run(m_searchPath, m_subfolders, m_options, &hooks);

    if (!m_control.terminated() && state.iDuplicatedFiles >= 1)
        fillList();
    engine.saveDigests(); // once the list is there: it need not wait for the writing
    closingSteps();
    // "0 files" alone would not say that the folder itself could not be read.
    if (!engine.folderProblem().empty()) {
        post([form = m_form, text = QString::fromStdString(engine.folderProblem())] {
            form->dialogs().error(form, text);
        });
    }
    state.iFindFiles = 0;
}

void FileFinder::fillList() {
    SharedState& state = m_form->state;
    // The phase first: the window's progress timer reads it, and once the window has shown
    // "Populating list." it must see the phase that goes with it.
    state.FinderOperation = FinderPhase::PopulateList;
    post([form = m_form] {
        TMainForm::setCaption(form->lbStatus, QStringLiteral("Populating list."));
        form->GlobalStatus->setValue(0);
        form->clearFilterEntries();
    });
    state.iBar = 0;

    const auto& files = state.aDuplicatedFiles;
    fillResultList(*m_form, files, m_control, [&](std::size_t i) {
        state.iBar = static_cast<int>(i);
        if (i % 256 == 0)
            m_form->progress.setCurrentFile(files[i].fName);
    });
    if (!m_control.terminated())
        post([form = m_form] { form->unparkList(); });
}

void FileFinder::closingSteps() {
    const bool terminated = m_control.terminated();
    const int duplicated = m_form->state.iDuplicatedFiles;
    const int found = m_form->state.iFilesFounded;
    post([form = m_form, terminated, duplicated, found] {
        form->searchEnded(terminated, duplicated, found);
    });
}
