#pragma once

#include "search/RunControl.h"
#include "search/SearchEngine.h"

#include <QThread>

#include <functional>
#include <string>

class TMainForm;

// The search worker: walks the folder, matches its files, fills the result list and restores
// the window. Window changes are handed to the window's thread in the order they are made.
class FileFinder : public QThread {
    Q_OBJECT
public:
    // The path box's text and the subfolder choice, as they stand when the search starts.
    FileFinder(TMainForm* form, std::string searchPath, bool subfolders, SearchOptions options);

    RunControl& control() { return m_control; }
    void SetName();

protected:
    void run() override;

private:
    class Hooks;

    void Execute();
    void fillList();
    void closingSteps();
    void post(std::function<void()> change);

    TMainForm* m_form;
    std::string m_searchPath;
    bool m_subfolders;
    SearchOptions m_options;
    RunControl m_control;
};
