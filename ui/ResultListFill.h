#pragma once

#include "search/TFiles.h"

#include <functional>
#include <vector>

class RunControl;
class TMainForm;

// Sends the rows of `files` to the window's list in batches, with the filter entries they call
// for, as the search and the file operations fill the list. `atRow` runs for each row index
// before it is added. Stops after the row at which the run is asked to end; returns whether it
// went through.
bool fillResultList(TMainForm* form, const std::vector<TFiles>& files, RunControl& control,
                    const std::function<void(std::size_t)>& atRow);
