#pragma once

// Raises this process's soft limit of open files to its hard limit, so that a low soft limit
// does not make the walk give back the folders it keeps open.
void raiseOpenFileLimit();
