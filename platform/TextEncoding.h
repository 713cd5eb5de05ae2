#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Length of a UTF-8 text in UTF-16 code units; a byte that is not part of valid UTF-8 counts
// as one unit (it is shown as one replacement character).
std::size_t utf16Length(std::string_view text);

// Whether a byte string is valid UTF-8.
bool isValidUtf8(std::string_view text);

// The character set of the current locale (LC_CTYPE), as nl_langinfo(CODESET) names it.
std::string localeCharset();

// Whether a character set name stands for UTF-8.
bool isUtf8Charset(std::string_view charset);

// Converts UTF-8 text to the character set CHARSET (for a locale's, localeCharset()),
// transliterating where possible and writing "?" for what the set cannot hold or what is not
// valid UTF-8.
std::string toCharset(std::string_view utf8, const char* charset);

// Converts text in CHARSET to UTF-8, writing U+FFFD for each byte that does not convert. ASCII
// text, and any text when CHARSET is UTF-8, is returned as it is, without a converter.
std::string fromCharset(std::string_view text, const char* charset);

// Same from the character set of the current locale: for what the C library writes under the
// locale, such as strftime's dates.
std::string fromLocaleCharset(std::string_view text);
