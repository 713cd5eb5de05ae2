#include "tools/GeneralTools.h"

#include "platform/TextEncoding.h"

#include <cstdlib>

namespace {
std::string twoDigits(std::int64_t n) {
    std::string text = std::to_string(n);
    return text.size() == 1 ? "0" + text : text;
}

// "$"-prefixed hexadecimal text to an integer, failing like the general integer conversion.
std::int64_t hexPairValue(const std::string& pair) {
    std::int64_t value = 0;
    bool ok = !pair.empty();
    for (char c : pair) {
        int digit = hexDigitValue(c);
        if (digit < 0) {
            ok = false;
            break;
        }
        value = value * 16 + digit;
    }
    if (!ok)
        throw ConversionError("''$" + pair + "'' is not a valid integer value");
    return value;
}
} // namespace

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::int64_t roundHalfEven(double value) {
    auto whole = static_cast<std::int64_t>(value); // toward zero
    const double rest = value - static_cast<double>(whole);
    if (rest > 0.5 || (rest == 0.5 && whole % 2 != 0))
        ++whole;
    else if (rest < -0.5 || (rest == -0.5 && whole % 2 != 0))
        --whole;
    return whole;
}

std::string FixTime(double value) {
    const std::int64_t ms = roundHalfEven(value * 86400000.0);
    std::int64_t ofDay = std::llabs(ms) % 86400000;
    std::int64_t hours = ofDay / 3600000;
    std::int64_t minutes = (ofDay / 60000) % 60;
    std::int64_t seconds = (ofDay % 60000) / 1000;
    return twoDigits(hours) + ":" + twoDigits(minutes) + ":" + twoDigits(seconds);
}

std::string SetStrLength(const std::string& S, int W) {
    return padToColumn(S, static_cast<std::int64_t>(utf16Length(S)), W);
}

std::string padToColumn(const std::string& S, std::int64_t length, int W) {
    if (length < W)
        return S + std::string(static_cast<std::size_t>(W - length + 1), ' ');
    return S;
}

std::string TColorToHex(std::uint32_t value) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (int shift : {0, 8, 16}) {
        unsigned byte = (value >> shift) & 0xFF;
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

std::uint32_t HexToTColor(const std::string& text) {
    auto pair = [&](std::size_t start) {
        return start < text.size() ? text.substr(start, 2) : std::string();
    };
    auto red = static_cast<std::uint32_t>(hexPairValue(pair(0)) & 0xFF);
    auto green = static_cast<std::uint32_t>(hexPairValue(pair(2)) & 0xFF);
    auto blue = static_cast<std::uint32_t>(hexPairValue(pair(4)) & 0xFF);
    return red | (green << 8) | (blue << 16);
}

std::string elapsedTimeText(int days, double timeOfDay) {
    std::string time = FixTime(timeOfDay);
    if (days >= 2)
        return std::to_string(days) + " days, " + time;
    if (days == 1)
        return "1 day, " + time;
    return time;
}

std::string elapsedTimeText(std::int64_t seconds) {
    return elapsedTimeText(static_cast<int>(seconds / 86400),
                           static_cast<double>(seconds % 86400) / 86400.0);
}
