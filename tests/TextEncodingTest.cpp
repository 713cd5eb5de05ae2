#include "platform/TextEncoding.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>

namespace {

// "2026年12月09日" in EUC-JP and in UTF-8.
const std::string kEucJpDate = std::string("2026\xC7\xAF") + "12\xB7\xEE" + "09\xC6\xFC";
const std::string kUtf8Date = std::string("2026\xE5\xB9\xB4") + "12\xE6\x9C\x88" + "09\xE6\x97\xA5";
const std::string kReplacement = "\xEF\xBF\xBD";

TEST(TextEncoding, FromCharsetDecodesTheNamedSet) {
    EXPECT_EQ(fromCharset(kEucJpDate, "EUC-JP"), kUtf8Date);
    // "déc. " and 0xA4: the euro sign in Latin-9, the currency sign in Latin-1.
    const std::string latin = std::string("d\xE9") + "c. \xA4";
    EXPECT_EQ(fromCharset(latin, "ISO-8859-15"), std::string("d\xC3\xA9") + "c. \xE2\x82\xAC");
    EXPECT_EQ(fromCharset(latin, "ISO-8859-1"), std::string("d\xC3\xA9") + "c. \xC2\xA4");
}

TEST(TextEncoding, FromCharsetReversesToCharset) {
    const std::string text = "r\xC3\xA9sum\xC3\xA9 " + kUtf8Date + " \xE3\x81\x82";
    EXPECT_EQ(fromCharset(toCharset(text, "EUC-JP"), "EUC-JP"), text);
}

TEST(TextEncoding, FromCharsetMarksWhatDoesNotConvert) {
    // 0xFF starts no EUC-JP character; 0xC7 alone is a character cut off.
    const std::string broken = std::string("a\xFF") + "b\xC7";
    EXPECT_EQ(fromCharset(broken, "EUC-JP"), "a" + kReplacement + "b" + kReplacement);
    EXPECT_EQ(fromCharset("a\xE9", "ANSI_X3.4-1968"), "a" + kReplacement);
    EXPECT_EQ(fromCharset("a\xE9", "NO-SUCH-SET"), "a" + kReplacement);
}

TEST(TextEncoding, FromCharsetPassesAsciiAndUtf8AsTheyAre) {
    EXPECT_EQ(fromCharset("12/09/26", "EUC-JP"), "12/09/26");
    EXPECT_EQ(fromCharset("12/09/26", "NO-SUCH-SET"), "12/09/26");
    EXPECT_EQ(fromCharset(kUtf8Date, "UTF-8"), kUtf8Date);
}

// Sets LC_CTYPE for one test and puts the previous setting back.
class CtypeLocale {
public:
    explicit CtypeLocale(const char* name)
        : m_previous(std::setlocale(LC_CTYPE, nullptr)),
          m_active(std::setlocale(LC_CTYPE, name) != nullptr) {}
    ~CtypeLocale() { std::setlocale(LC_CTYPE, m_previous.c_str()); }
    bool active() const { return m_active; }

private:
    std::string m_previous;
    bool m_active;
};

TEST(TextEncoding, FromLocaleCharsetFollowsTheLocale) {
    {
        CtypeLocale locale("C");
        ASSERT_TRUE(locale.active());
        EXPECT_EQ(fromLocaleCharset("12/09/26"), "12/09/26");
        EXPECT_EQ(fromLocaleCharset("caf\xC3\xA9"), "caf" + kReplacement + kReplacement);
    }
    CtypeLocale locale("C.UTF-8");
    if (!locale.active())
        GTEST_SKIP() << "no C.UTF-8 locale";
    EXPECT_EQ(fromLocaleCharset(kUtf8Date), kUtf8Date);
}

} // namespace
