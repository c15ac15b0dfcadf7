#include "ui/utf8_text.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(Utf8Text, InvalidBytesBecomeReplacementCharactersEachAndValidOnesStay) {
  const std::string r = "\xEF\xBF\xBD";  // U+FFFD
  EXPECT_EQ(ValidUtf8("\xF0\x9F\x98\x80 \xC3"), "\xF0\x9F\x98\x80 " + r) << "cut short";
  EXPECT_EQ(ValidUtf8("\xC0\xAF"), r + r) << "overlong";
  EXPECT_EQ(ValidUtf8("\xED\xA0\x80"), r + r + r) << "surrogate";
  EXPECT_EQ(ValidUtf8("\xF4\x90\x80\x80"), r + r + r + r) << "beyond U+10FFFF";
  EXPECT_EQ(ValidUtf8("\xE0\xA0\x80\xF4\x8F\xBF\xBF"), "\xE0\xA0\x80\xF4\x8F\xBF\xBF");
}

TEST(Utf8Text, WrappedTextBreaksAtSpacesSlashesAndCjkAndLosesNothingElse) {
  EXPECT_EQ(WrapText("short\nlines stay", 10), "short\nlines stay");
  EXPECT_EQ(WrapText("one two three", 7), "one two\nthree");
  EXPECT_EQ(WrapText("/abc/defgh/ij", 8), "/abc/\ndefgh/ij");
  EXPECT_EQ(WrapText("xxxxxxxxxx", 4), "xxxx\nxxxx\nxx");
  EXPECT_EQ(WrapText("无法写入文件", 6), "无法写\n入文件");
  EXPECT_EQ(WrapText("无法写入 abcdef：ok", 8), "无法写入\nabcdef：\nok");
  // A folder and a 250-byte name: every line fits, and all but spaces comes back.
  const std::string path = "/home/someone/exports/" + std::string(250, 'n') + ".csv";
  const std::string wrapped = WrapText("无法写入 " + path + "：File name too long", 60);
  std::string joined;
  std::size_t start = 0;
  for (std::size_t end; (end = wrapped.find('\n', start)) != std::string::npos; start = end + 1) {
    EXPECT_LE(end - start, 60u) << wrapped.substr(start, end - start);
    joined += wrapped.substr(start, end - start);
  }
  joined += wrapped.substr(start);
  joined.erase(std::remove(joined.begin(), joined.end(), ' '), joined.end());
  EXPECT_EQ(joined, "无法写入" + path + "：Filenametoolong");
}

}  // namespace
