#include "platform/foundation/Localization.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <set>

using namespace tbx;

TEST(Localization, KnownKeysInEachLanguageAndTheKeyWhenMissing) {
    EXPECT_EQ(localizedString("error", "en"), "Error");
    EXPECT_EQ(localizedString("error", "zh"), "错误");
    EXPECT_EQ(localizedString("noSuchKeyAnywhere", "en"), "noSuchKeyAnywhere");
    EXPECT_EQ(localizedString("noSuchKeyAnywhere", "zh"), "noSuchKeyAnywhere");
    EXPECT_EQ(localizedString("error", "fr"), "error"); // no table: the key
    EXPECT_EQ(localizedString("", "en"), "");

    setCurrentLanguage("zh");
    EXPECT_EQ(localizedString("info"), "信息");
    setCurrentLanguage("en");
    EXPECT_EQ(localizedString("info"), "Information");
}

TEST(Localization, OverridesStandOverTheTableOfTheirLanguageUntilCleared) {
    overrideLocalizedString("en", "error", "Oops & <more>");
    overrideLocalizedString("en", "noSuchKeyAnywhere", "now there is one");
    EXPECT_EQ(localizedString("error", "en"), "Oops & <more>");
    EXPECT_EQ(localizedString("noSuchKeyAnywhere", "en"), "now there is one");
    EXPECT_EQ(localizedString("error", "zh"), "错误");
    EXPECT_EQ(stringTable("en").at("error"), "Error"); // the built-in table itself is unchanged
    clearStringOverrides();
    EXPECT_EQ(localizedString("error", "en"), "Error");
    EXPECT_EQ(localizedString("noSuchKeyAnywhere", "en"), "noSuchKeyAnywhere");
}

TEST(Localization, BuiltInTablesAreCleanAndHoldTheSameKeys) {
    const auto languages = stringTableLanguages();
    EXPECT_EQ(std::set<std::string>(languages.begin(), languages.end()), (std::set<std::string>{"en", "zh"}));
    std::set<std::string> enKeys, zhKeys;
    for (const auto& [key, text] : stringTable("en")) {
        enKeys.insert(key);
        EXPECT_FALSE(text.empty()) << key;
    }
    for (const auto& [key, text] : stringTable("zh")) {
        zhKeys.insert(key);
    }
    EXPECT_EQ(enKeys, zhKeys);
    EXPECT_GT(enKeys.size(), 50u);
}

TEST(Localization, StringsSyntax) {
    const auto file = parseStrings("/* a comment\n over lines */\n"
                                   "\"a\" = \"A\";\n"
                                   "// line comment\n"
                                   "\"quote\"=\"say \\\"hi\\\"\\n\\ttab \\\\\" ;\n"
                                   "\"broken\" = \"no end;\n"
                                   "\"nosemi\" = \"x\"\n"
                                   "\"after\" = \"still read\";\n"
                                   "\"a\" = \"again\";\n"
                                   "\"esc\" = \"\\q\";\n");
    EXPECT_EQ(file.table.at("a"), "again");
    EXPECT_EQ(file.table.at("quote"), "say \"hi\"\n\ttab \\");
    EXPECT_EQ(file.table.at("after"), "still read");
    EXPECT_EQ(file.table.count("broken"), 0u);
    EXPECT_EQ(file.table.count("nosemi"), 0u);
    EXPECT_EQ(file.table.count("esc"), 0u);
    ASSERT_EQ(file.errors.size(), 4u);
    EXPECT_EQ(file.errors[0].rfind("line 6:", 0), 0u) << file.errors[0];
    EXPECT_NE(file.errors[2].find("given again"), std::string::npos);
}

TEST(Localization, FormatPlacesArgumentsInTheTranslatedText) {
    setCurrentLanguage("en");
    EXPECT_EQ(localizedFormat("pagesKeptIn", {"/tmp/x"}), "The pages received so far were kept in /tmp/x");
    setCurrentLanguage("zh");
    EXPECT_EQ(localizedFormat("pagesKeptIn", {"/tmp/x"}), "已接收的页面保存在 /tmp/x");
    // A missing key is its own format; missing arguments vanish, %% is a percent sign.
    EXPECT_EQ(localizedFormat("100%% of %1 and %2", {"a"}), "100% of a and ");
    setCurrentLanguage("en");
}

TEST(Localization, LanguageFromTheEnvironment) {
    for (const char* v : {"TAMBERLYX_LANGUAGE", "LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        unsetenv(v);
    }
    EXPECT_EQ(languageFromEnvironment(), "en");
    setenv("LANG", "zh_CN.UTF-8", 1);
    EXPECT_EQ(languageFromEnvironment(), "zh");
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    EXPECT_EQ(languageFromEnvironment(), "en");
    setenv("LANGUAGE", "zh_TW:en", 1);
    EXPECT_EQ(languageFromEnvironment(), "zh");
    setenv("TAMBERLYX_LANGUAGE", "en", 1);
    EXPECT_EQ(languageFromEnvironment(), "en");
}
