#pragma once

#include <string>

// Names the calling thread for debuggers and tools such as top (first 15 bytes kept).
void setThreadName(const std::string& name);
