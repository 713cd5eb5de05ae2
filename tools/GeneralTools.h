#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>

// Raised by HexToTColor for a colour text that does not convert.
class ConversionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A date-time value (days, fraction = time of day) as "HH:MM:SS"; whole days are dropped.
std::string FixTime(double value);

// The nearest integer, halves to the even neighbour (the default rounding mode's rule),
// without the maths library.
std::int64_t roundHalfEven(double value);

// Pads S with blanks to W + 1 code units when it is shorter than W; otherwise returns S as it is.
std::string SetStrLength(const std::string& S, int W);

// SetStrLength for a text whose length the caller has counted in its own unit.
std::string padToColumn(const std::string& S, std::int64_t length, int W);

// The value of one hexadecimal digit (either case), or -1 for any other character.
int hexDigitValue(char c);

// Colour value (red in the low byte) to six upper-case hex digits, red first.
std::string TColorToHex(std::uint32_t value);

// Six hex digits (either case) to a colour value. Throws ConversionError.
std::uint32_t HexToTColor(const std::string& text);

// Elapsed time as the window shows it: "N days, HH:MM:SS", "1 day, HH:MM:SS" or "HH:MM:SS".
std::string elapsedTimeText(int days, double timeOfDay);
std::string elapsedTimeText(std::int64_t seconds);
