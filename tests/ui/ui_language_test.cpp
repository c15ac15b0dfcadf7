#include "ui/ui_language.h"

#include <gtest/gtest.h>

#include "engine/user_text.h"

namespace {

const std::vector<std::string> kCatalogs = {"en"};

std::string Pick(const char* language, const char* lc_all, const char* lc_messages,
                 const char* lang) {
  return UiLanguage({language, lc_all, lc_messages, lang}, kCatalogs);
}

TEST(UiLanguage, CAndChineseReadTheMsgidsOthersAnEnglishCatalog) {
  EXPECT_EQ(Pick(nullptr, nullptr, nullptr, nullptr), "");
  EXPECT_EQ(Pick(nullptr, nullptr, nullptr, "C"), "");
  EXPECT_EQ(Pick("", "", "", "C.UTF-8"), "");
  EXPECT_EQ(Pick(nullptr, "POSIX", nullptr, "en_US.UTF-8"), "");
  EXPECT_EQ(Pick(nullptr, nullptr, nullptr, "zh_TW.UTF-8"), "");
  EXPECT_EQ(Pick(nullptr, nullptr, nullptr, "en_GB.UTF-8@euro"), "en");
  // A language without a catalog reads English, not the Chinese msgids.
  EXPECT_EQ(Pick(nullptr, nullptr, nullptr, "de_DE.UTF-8"), "en");
}

TEST(UiLanguage, LanguageListComesFirstAndLcAllBeforeLcMessagesBeforeLang) {
  EXPECT_EQ(Pick("en", nullptr, nullptr, nullptr), "en");
  EXPECT_EQ(Pick("en", nullptr, nullptr, "C"), "en");
  EXPECT_EQ(Pick("zh_CN:en", nullptr, nullptr, "en_US.UTF-8"), "");
  EXPECT_EQ(Pick("fr:en_AU", nullptr, nullptr, "C"), "en");
  // Entries without a catalog are passed over to the locale.
  EXPECT_EQ(Pick("fr", nullptr, nullptr, "zh_CN.UTF-8"), "");
  EXPECT_EQ(Pick(nullptr, "zh_CN.UTF-8", "en_US.UTF-8", "en_US.UTF-8"), "");
  EXPECT_EQ(Pick(nullptr, nullptr, "C", "en_US.UTF-8"), "");
  EXPECT_EQ(Pick(nullptr, nullptr, "en_US.UTF-8", "C"), "en");
}

TEST(UserText, FillReplacesInOrderAndSurvivesAFaultyTranslation) {
  EXPECT_EQ(Fill("%s of %s done, 100%%", {"1", "3"}), "1 of 3 done, 100%");
  EXPECT_EQ(Fill("%s and %s", {"one"}), "one and %s");
  EXPECT_EQ(Fill("%s%", {"a", "b"}), "a%");
  // A value that holds "%s" is not filled again.
  EXPECT_EQ(Fill("%s, %s", {"%s", "x"}), "%s, x");
}

}  // namespace
