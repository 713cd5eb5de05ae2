#pragma once

#include <string_view>

// Order of the entries of one folder: ASCII letters folded to lower case, then the raw bytes
// to break ties, so the walk and "All but one" are predictable.
bool nameLess(std::string_view a, std::string_view b);
