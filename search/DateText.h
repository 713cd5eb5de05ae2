#pragma once

#include <string>

// A date text shared by every record of that date: a search of a million files keeps one copy
// of each date, and 8 bytes a record instead of a string's 32. Reads like a const std::string.
// Texts are kept for the life of the program; there are no more of them than days.
class DateText {
public:
    DateText() = default;
    DateText(const std::string& text);

    const std::string& str() const { return m_text != nullptr ? *m_text : none(); }
    operator const std::string&() const { return str(); }

    friend bool operator==(const DateText& a, const DateText& b) { return a.str() == b.str(); }
    friend bool operator==(const DateText& a, const std::string& b) { return a.str() == b; }

private:
    static const std::string& none();
    const std::string* m_text = nullptr;
};
