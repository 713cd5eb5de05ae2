#pragma once

#include "search/RunControl.h"

#include <QThread>

#include <string>
#include <utility>
#include <vector>

class TMainForm;

// Refills the result list with the records whose filter entry is ticked; the groups are
// renumbered over the rows shown. The result table itself is not changed.
class FileFilter : public QThread {
    Q_OBJECT
public:
    // The filter entries' captions and check marks, as they stand when the filter starts.
    FileFilter(TMainForm* form, std::vector<std::pair<std::string, bool>> entries);

    // The filter runs to its end, but a closing window asks it not to wait for the list.
    RunControl& control() { return m_control; }

protected:
    void run() override;

private:
    void Execute();

    TMainForm* m_form;
    std::vector<std::pair<std::string, bool>> m_entries;
    RunControl m_control;
};
