#include "platform/TextEncoding.h"

#include <cerrno>
#include <iconv.h>
#include <langinfo.h>
#include <string>

namespace {
// Length of the valid UTF-8 sequence at text[i], or 0 when none starts there.
std::size_t sequenceLength(std::string_view text, std::size_t i) {
    auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char c = byte(i);
    if (c < 0x80)
        return 1;
    std::size_t len;
    unsigned minimum;
    unsigned value;
    if ((c & 0xE0) == 0xC0) {
        len = 2;
        minimum = 0x80;
        value = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        len = 3;
        minimum = 0x800;
        value = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        len = 4;
        minimum = 0x10000;
        value = c & 0x07;
    } else {
        return 0;
    }
    if (i + len > text.size())
        return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    return len;
}

bool isAscii(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    }
    return true;
}
// Ends a conversion: whatever the converter still holds (a closing shift sequence), then closes
// it.
void finishConversion(iconv_t cd, std::string& out) {
    char buffer[64];
    char* outPtr = buffer;
    std::size_t outLeft = sizeof buffer;
    iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
    out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
    iconv_close(cd);
}
} // namespace

std::size_t utf16Length(std::string_view text) {
    std::size_t units = 0;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t len = sequenceLength(text, i);
        units += len == 4 ? 2 : 1;
        i += len == 0 ? 1 : len;
    }
    return units;
}

bool isValidUtf8(std::string_view text) {
    for (std::size_t i = 0; i < text.size();) {
        std::size_t len = sequenceLength(text, i);
        if (len == 0)
            return false;
        i += len;
    }
    return true;
}

std::string localeCharset() {
    return nl_langinfo(CODESET);
}

bool isUtf8Charset(std::string_view charset) {
    return charset == "UTF-8" || charset == "utf-8" || charset == "UTF8" || charset == "utf8";
}

std::string toCharset(std::string_view utf8, const char* charset) {
    // Every locale's character set writes ASCII as it is; most texts need no converter.
    if (isAscii(utf8))
        return std::string(utf8);
    if (isUtf8Charset(charset)) {
        std::string out;
        out.reserve(utf8.size());
        for (std::size_t i = 0; i < utf8.size();) {
            std::size_t len = sequenceLength(utf8, i);
            if (len == 0) {
                out += '?';
                ++i;
            } else {
                out.append(utf8.substr(i, len));
                i += len;
            }
        }
        return out;
    }
    std::string target = std::string(charset) + "//TRANSLIT";
    iconv_t cd = iconv_open(target.c_str(), "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        cd = iconv_open(charset, "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        // Unknown set: keep ASCII, mark the rest.
        std::string out;
        for (char c : utf8)
            out += static_cast<unsigned char>(c) < 0x80 ? c : '?';
        return out;
    }
    std::string out;
    out.reserve(utf8.size());
    char buffer[4096];
    std::size_t i = 0;
    while (i < utf8.size()) {
        // Convert one valid sequence at a time so that an unconvertible character costs
        // exactly one "?".
        std::size_t len = sequenceLength(utf8, i);
        if (len == 0) {
            out += '?';
            ++i;
            continue;
        }
        char* in = const_cast<char*>(utf8.data() + i);
        std::size_t inLeft = len;
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        std::size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        if (rc == static_cast<std::size_t>(-1)) {
            iconv(cd, nullptr, nullptr, nullptr, nullptr);
            out += '?';
        } else {
            out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
        }
        i += len;
    }
    finishConversion(cd, out);
    return out;
}

std::string fromCharset(std::string_view text, const char* charset) {
    if (isAscii(text) || isUtf8Charset(charset))
        return std::string(text);
    const std::string_view replacement = "\xEF\xBF\xBD";
    iconv_t cd = iconv_open("UTF-8", charset);
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        std::string out;
        for (char c : text) {
            if (static_cast<unsigned char>(c) < 0x80)
                out += c;
            else
                out += replacement;
        }
        return out;
    }
    std::string out;
    out.reserve(text.size() * 2);
    char buffer[1024];
    char* in = const_cast<char*>(text.data());
    std::size_t inLeft = text.size();
    while (inLeft > 0) {
        char* outPtr = buffer;
        std::size_t outLeft = sizeof buffer;
        std::size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer, static_cast<std::size_t>(outPtr - buffer));
        if (rc != static_cast<std::size_t>(-1) || errno == E2BIG)
            continue;
        // A byte that starts no character of the set, or a character cut off at the end.
        out += replacement;
        ++in;
        --inLeft;
    }
    finishConversion(cd, out);
    return out;
}

std::string fromLocaleCharset(std::string_view text) {
    return fromCharset(text, nl_langinfo(CODESET));
}
