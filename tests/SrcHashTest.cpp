#include "TempTree.h"
#include "search/DigestMemo.h"
#include "search/DigestText.h"
#include "search/RunControl.h"
#include "search/SearchProgress.h"
#include "search/SrcHash.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <stdexcept>
#include <vector>

namespace {

struct Report {
    std::uint32_t count;
    std::int64_t size;
    std::int64_t position;
};

std::vector<Report> reportsFor(const std::string& path, std::string* text = nullptr) {
    std::vector<Report> reports;
    HashResult result = GetHash("sha1", path, [&](std::uint32_t c, std::int64_t s, std::int64_t p) {
        reports.push_back({c, s, p});
    });
    if (text != nullptr)
        *text = result.text.str();
    return reports;
}

TEST(SrcHash, KnownDigestsOfTheEmptyMessageAndAbc) {
    TempTree tree;
    tree.file("empty", "");
    tree.file("abc", "abc");
    EXPECT_EQ(GetHash("sha1", tree.path("empty"), nullptr).text,
              "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    EXPECT_EQ(GetHash("md5", tree.path("empty"), nullptr).text, "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(GetHash("sha1", tree.path("abc"), nullptr).text,
              "a9993e364706816aba3e25717850c26c9cd0d89d");
    EXPECT_EQ(GetHash("md5", tree.path("abc"), nullptr).text, "900150983cd24fb0d6963f7d28e17f72");
}

TEST(SrcHash, KindIsComparedExactly) {
    TempTree tree;
    tree.file("a", "a");
    EXPECT_EQ(GetHash("SHA1", tree.path("a"), nullptr).text, "");
    EXPECT_EQ(GetHash("Md5", tree.path("a"), nullptr).text, "");
}

TEST(SrcHash, DifferentOneByteFilesDiffer) {
    TempTree tree;
    tree.file("a", "a");
    tree.file("b", "b");
    EXPECT_NE(GetHash("md5", tree.path("a"), nullptr).text,
              GetHash("md5", tree.path("b"), nullptr).text);
}

TEST(SrcHash, ChunksOf65535BytesWithOneReportEach) {
    TempTree tree;
    std::string data(65536, 'x');
    data[65535] = 'y';
    tree.file("f", data);
    std::string text;
    auto reports = reportsFor(tree.path("f"), &text);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[0].count, 1u);
    EXPECT_EQ(reports[0].position, 65535);
    EXPECT_EQ(reports[1].count, 2u);
    EXPECT_EQ(reports[1].position, 65536);
    EXPECT_EQ(reports[1].size, 65536);
    EXPECT_EQ(text, sha1Hex(data)); // the last byte is covered
}

TEST(SrcHash, PercentageShownEveryThirdChunk) {
    EXPECT_EQ(hashPercentFor(1, 196605, 65535), -1);
    EXPECT_EQ(hashPercentFor(2, 196605, 131070), -1);
    EXPECT_EQ(hashPercentFor(3, 196605, 196605), 100);
    EXPECT_EQ(hashPercentFor(3, 393210, 196605), 50);
    // halves go to the even neighbour
    EXPECT_EQ(hashPercentFor(3, 8 * 196605, 196605), 12);     // 12.5
    EXPECT_EQ(hashPercentFor(6, 8 * 196605, 3 * 196605), 38); // 37.5
}

TEST(SrcHash, CallbackSetsTheLabelOnlyForFilesOfThreeChunks) {
    TempTree tree;
    tree.file("small", std::string(131070, 'a'));
    tree.file("three", std::string(196605, 'a'));
    SearchProgress progress;
    GetHash("md5", tree.path("small"), HashCallBack(progress));
    EXPECT_EQ(progress.hashPercent(), -1);
    GetHash("md5", tree.path("three"), HashCallBack(progress));
    EXPECT_EQ(progress.hashPercent(), 100);
}

TEST(SrcHash, MissingFileGivesEmptyText) {
    EXPECT_EQ(GetHash("sha1", "/nonexistent/twinscope/file", nullptr).text, "");
}

TEST(SrcHash, NoStreamLeavesTheDigestAsItWas) {
    MD5_DIG digest{};
    digest[0] = 0xAB;
    EXPECT_TRUE(MD5(-1, nullptr, digest));
    EXPECT_EQ(digest[0], 0xAB);
}

TEST(SrcHash, FifoIsNeverRead) {
    TempTree tree;
    tree.fifo("pipe");
    // Would block for ever if it were opened for reading without O_NONBLOCK and read.
    EXPECT_EQ(GetHash("sha1", tree.path("pipe"), nullptr).text, "");
}

TEST(SrcHash, FingerprintTellsCollidingFilesApart) {
    const std::string data = TWINSCOPE_TEST_DATA "/collisions/";
    HashResult letter = GetHash("md5", data + "letter_of_rec.ps", nullptr);
    HashResult order = GetHash("md5", data + "order.ps", nullptr);
    EXPECT_EQ(letter.text, "a25f7f0b29ee0b3968c860738533a4b9");
    EXPECT_EQ(letter.text, order.text);
    EXPECT_NE(letter.fingerprint, order.fingerprint);
    HashResult good = GetHash("sha1", data + "good.pdf", nullptr);
    HashResult bad = GetHash("sha1", data + "bad.pdf", nullptr);
    EXPECT_EQ(good.text, "d00bbe65d80f6d53d5c15da7c6b4f0a655c5a86a");
    EXPECT_EQ(good.text, bad.text);
    EXPECT_NE(good.fingerprint, bad.fingerprint);
}

TEST(SrcHash, TerminationDuringADigestGivesUp) {
    TempTree tree;
    tree.file("big", std::string(4 << 20, 'z'));
    RunControl control;
    control.requestTerminate();
    EXPECT_EQ(GetHash("sha1", tree.path("big"), nullptr, &control).text, "");
}

HashResult hashWithMemo(const std::string& path, const std::string& kind, DigestMemo& memo,
                        std::vector<Report>* reports = nullptr) {
    int fd = open(path.c_str(), O_RDONLY);
    HashResult result = hashOpenFile(
        *hashFromName(kind), fd,
        [&](std::uint32_t c, std::int64_t s, std::int64_t p) {
            if (reports != nullptr)
                reports->push_back({c, s, p});
        },
        nullptr, -1, &memo);
    close(fd);
    return result;
}

// A digest is held as bytes, so any text given must read back, compare and sort as the text.
TEST(DigestText, ReadsBackComparesAndSortsAsItsText) {
    const std::vector<std::string> texts = {"",
                                            "0",
                                            "00",
                                            "0a",
                                            "a",
                                            "ab",
                                            "aB",
                                            "AB",
                                            "0f",
                                            "f0",
                                            "ff",
                                            "h1",
                                            "h12",
                                            "digest",
                                            "12",
                                            "10",
                                            "100",
                                            "1000",
                                            sha1Hex("abc"),
                                            md5Hex("abc"),
                                            sha1Hex(""),
                                            sha1Hex("").substr(0, 38),
                                            "0123456789abcdef0123",
                                            "0123456789abcdef0123456789abcdef01234567"};
    for (const std::string& a : texts) {
        const DigestText digest(a);
        EXPECT_EQ(digest.str(), a);
        EXPECT_EQ(digest.size(), a.size());
        EXPECT_EQ(digest.empty(), a.empty());
        for (const std::string& b : texts) {
            EXPECT_EQ(digest == DigestText(b), a == b) << a << " " << b;
            EXPECT_EQ(digest < DigestText(b), a < b) << a << " " << b;
        }
    }
    std::uint8_t bytes[20] = {};
    EXPECT_TRUE(DigestText(sha1Hex("abc")).bytes(bytes, 20));
    EXPECT_EQ(DigestText::ofBytes(bytes, 20), DigestText(sha1Hex("abc")));
    EXPECT_FALSE(DigestText(sha1Hex("abc")).bytes(bytes, 16));
    EXPECT_FALSE(DigestText("digest").bytes(bytes, 3));
    // Nothing is cut short: a text longer than any digest that is not one is refused.
    EXPECT_THROW(DigestText(std::string(21, 'x')), std::length_error);
    EXPECT_THROW(DigestText(std::string(42, '0')), std::length_error);
}

TEST(DigestMemo, CopyTakesTheDigestOnlyWhenItsBytesAreEqual) {
    TempTree tree;
    std::string data(70000, 'm');
    std::string other = data;
    other.back() = 'n';
    tree.file("a", data);
    tree.file("b", data);
    tree.file("c", other);
    for (const char* kind : {"sha1", "md5"}) {
        DigestMemo memo(1 << 20);
        const std::string expected = std::string(kind) == "sha1" ? sha1Hex(data) : md5Hex(data);
        EXPECT_EQ(hashWithMemo(tree.path("a"), kind, memo).text, expected);
        std::vector<Report> reports;
        HashResult copy = hashWithMemo(tree.path("b"), kind, memo, &reports);
        EXPECT_EQ(copy.text, expected);
        EXPECT_EQ(copy.fingerprint, fingerprintOfBytes(data.data(), data.size()));
        ASSERT_EQ(reports.size(), 2u); // progress as if digested
        EXPECT_EQ(reports[1].position, 70000);
        EXPECT_EQ(hashWithMemo(tree.path("c"), kind, memo).text,
                  std::string(kind) == "sha1" ? sha1Hex(other) : md5Hex(other));
    }
}

TEST(DigestMemo, EqualKeysWithOtherBytesAreNotTrusted) {
    TempTree tree;
    std::string data(5000, 'k');
    tree.file("a", data);
    // Another content remembered under this file's size and fingerprint, with a made-up digest.
    std::string impostor(5000, 'i');
    const std::uint8_t madeUp[20] = {1, 2, 3};
    DigestMemo memo(1 << 20);
    memo.remember(reinterpret_cast<const std::uint8_t*>(impostor.data()), impostor.size(),
                  fingerprintOfBytes(data.data(), data.size()), madeUp, sizeof madeUp);
    EXPECT_EQ(hashWithMemo(tree.path("a"), "sha1", memo).text, sha1Hex(data));
}

TEST(DigestMemo, KeepsTheNewestWithinItsBudget) {
    auto bytes = [](char c) { return std::string(40, c); };
    auto key = [](const std::string& b) { return fingerprintOfBytes(b.data(), b.size()); };
    auto as = [](const std::string& b) { return reinterpret_cast<const std::uint8_t*>(b.data()); };
    const std::uint8_t digest[16] = {9};
    std::uint8_t out[16] = {};
    DigestMemo memo(100);
    for (char c : {'a', 'b', 'c'})
        memo.remember(as(bytes(c)), 40, key(bytes(c)), digest, sizeof digest);
    EXPECT_FALSE(memo.recall(as(bytes('a')), 40, key(bytes('a')), out, sizeof out));
    EXPECT_TRUE(memo.recall(as(bytes('b')), 40, key(bytes('b')), out, sizeof out));
    EXPECT_TRUE(memo.recall(as(bytes('c')), 40, key(bytes('c')), out, sizeof out));
    EXPECT_EQ(out[0], 9);
    // A digest of another length (the other kind) is not given out.
    std::uint8_t longer[20] = {};
    EXPECT_FALSE(memo.recall(as(bytes('c')), 40, key(bytes('c')), longer, sizeof longer));
    // Content larger than the whole budget is not kept.
    std::string big(200, 'z');
    memo.remember(as(big), big.size(), key(big), digest, sizeof digest);
    EXPECT_FALSE(memo.recall(as(big), big.size(), key(big), out, sizeof out));
    EXPECT_TRUE(memo.recall(as(bytes('c')), 40, key(bytes('c')), out, sizeof out));
}

} // namespace
