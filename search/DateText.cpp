#include "search/DateText.h"

#include <mutex>
#include <unordered_set>

DateText::DateText(const std::string& text) {
    static std::mutex mutex;
    static std::unordered_set<std::string>* const texts = new std::unordered_set<std::string>;
    std::lock_guard lock(mutex);
    m_text = &*texts->insert(text).first;
}

const std::string& DateText::none() {
    static const std::string nothing;
    return nothing;
}
