#include "support/Toolz.h"

#include <gtest/gtest.h>
#include <locale.h>
#include <time.h>
#include <wctype.h>

#include <climits>
#include <cstdlib>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace qs {
namespace {

struct SwitchCase {
  const char* name;
  std::vector<std::string> args;
  int locale;
  bool swedish;
};

void PrintTo(const SwitchCase& c, std::ostream* os) {
  *os << c.name;
}

class IsSwedishForTest : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(IsSwedishForTest, Decides) {
  const SwitchCase& c = GetParam();
  EXPECT_EQ(IsSwedishFor(c.args, c.locale), c.swedish);
}

INSTANTIATE_TEST_SUITE_P(
    Switches, IsSwedishForTest,
    ::testing::Values(SwitchCase{"NoArgsSweden", {}, 1053, true},
                      SwitchCase{"NoArgsUs", {}, 1033, false},
                      SwitchCase{"NoArgsFinland", {}, 2077, false},
                      SwitchCase{"EnglishLowerOverridesSweden", {"/english"}, 1053, false},
                      SwitchCase{"EnglishCapitalisedOverridesSweden", {"/English"}, 1053, false},
                      SwitchCase{"SwedishLowerOverridesUs", {"/swedish"}, 1033, true},
                      SwitchCase{"SwedishFirstWins", {"/SWEDISH", "/ENGLISH"}, 1033, true},
                      SwitchCase{"EnglishFirstWins", {"/ENGLISH", "/SWEDISH"}, 1053, false},
                      SwitchCase{"NonSwitchThenEnglish", {"foo", "/ENGLISH"}, 1053, false},
                      SwitchCase{"LongerWordIsNoSwitch", {"/SWEDISHX"}, 1033, false},
                      SwitchCase{"NoSlashIsNoSwitch", {"SWEDISH"}, 1033, false},
                      SwitchCase{"HyphenIsNoSwitch", {"-SWEDISH"}, 1033, false},
                      SwitchCase{"ShortenedIsNoSwitch", {"/SWE"}, 1033, false},
                      SwitchCase{"EnglishPrefixLeavesLocale", {"/ENGLISHX"}, 1053, true},
                      SwitchCase{"EmptyParameterIgnored", {"", "/swedish"}, 1033, true},
                      // Latin-1 bytes must not fold onto ASCII letters.
                      SwitchCase{"NonAsciiLookalike",
                                 {"/SW\xC9"
                                  "DISH"},
                                 1033,
                                 false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ToolzTest, ChooseTextPicksByFlag) {
  EXPECT_STREQ(ChooseText(true, "sv", "en"), "sv");
  EXPECT_STREQ(ChooseText(false, "sv", "en"), "en");
  const std::string sv = "Om...", en = "About...";
  EXPECT_EQ(&ChooseText(true, sv, en), &sv);
  EXPECT_EQ(&ChooseText(false, sv, en), &en);
}

TEST(ToolzTest, IsSwedishUsesProgramArgumentsAndLocale) {
  TEST_SetLocale(kLocaleSwedishSweden, U',');
  SetProgramArguments({});
  EXPECT_TRUE(IsSwedish());
  SetProgramArguments({"/english"});
  EXPECT_FALSE(IsSwedish());
  TEST_SetLocale(kLocaleEnglishUs, U',');
  SetProgramArguments({});
  EXPECT_FALSE(IsSwedish());
}

TEST(ToolzTest, LocaleIdentifierFromName) {
  const struct {
    const char* name;
    int expected;
  } cases[] = {
      {"sv_SE", 1053},
      {"sv_SE.UTF-8", 1053},
      {"sv_SE@euro", 1053},
      {"sv_SE.ISO-8859-1", 1053},
      {"sv_SE.utf8@euro", 1053},
      {"sv_FI", 2077},
      {"sv_FI.UTF-8", 2077},
      {"en_US.UTF-8", 1033},
      {"C", 1033},
      {"POSIX", 1033},
      {"", 1033},
      {"sv", 1033},
      {"sv_SEX", 1033},
      {"SV_SE", 1033},
      {"fi_FI.UTF-8", 1033},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(LocaleIdentifierFromName(c.name), c.expected) << c.name;
  }
}

// Restores the environment variables a test changes.
class EnvGuard {
 public:
  explicit EnvGuard(std::vector<std::string> names) {
    for (auto& name : names) {
      const char* value = std::getenv(name.c_str());
      saved_.push_back({name, value ? std::optional<std::string>(value) : std::nullopt});
    }
  }
  ~EnvGuard() {
    for (const auto& [name, value] : saved_) {
      if (value) {
        setenv(name.c_str(), value->c_str(), 1);
      } else {
        unsetenv(name.c_str());
      }
    }
    TEST_SetLocale(kLocaleEnglishUs, U',');
  }

 private:
  std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

TEST(ToolzTest, RefreshLocaleFollowsPosixPrecedence) {
  EnvGuard guard({"LC_ALL", "LC_MESSAGES", "LC_NUMERIC", "LANG"});
  const struct {
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    int expected;
  } cases[] = {
      {nullptr, nullptr, nullptr, 1033},
      {nullptr, nullptr, "sv_SE.UTF-8", 1053},
      {nullptr, "sv_FI.UTF-8", "sv_SE.UTF-8", 2077},
      {"en_US.UTF-8", "sv_SE.UTF-8", "sv_SE.UTF-8", 1033},
      {"", "sv_SE@euro", "en_US.UTF-8", 1053},  // empty LC_ALL counts as unset
      {"", "", "sv_SE", 1053},
  };
  const auto set = [](const char* name, const char* value) {
    if (value) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  };
  unsetenv("LC_NUMERIC");
  for (const auto& c : cases) {
    set("LC_ALL", c.lcAll);
    set("LC_MESSAGES", c.lcMessages);
    set("LANG", c.lang);
    RefreshLocale();
    EXPECT_EQ(LocaleIdentifier(), c.expected)
        << (c.lcAll ? c.lcAll : "-") << " " << (c.lcMessages ? c.lcMessages : "-") << " "
        << (c.lang ? c.lang : "-");
  }
}

TEST(ToolzTest, RefreshLocaleReadsThousandSeparator) {
  EnvGuard guard({"LC_ALL", "LC_NUMERIC", "LANG"});
  unsetenv("LANG");
  unsetenv("LC_NUMERIC");
  // The C locale has no thousands separator at all.
  setenv("LC_ALL", "C", 1);
  RefreshLocale();
  EXPECT_EQ(ThousandSeparator(), U',');

  // A locale that is not installed cannot be read either.
  setenv("LC_ALL", "xx_NOWHERE.UTF-8", 1);
  RefreshLocale();
  EXPECT_EQ(ThousandSeparator(), U',');

  setenv("LC_ALL", "sv_SE.UTF-8", 1);
  RefreshLocale();
  if (locale_t loc = newlocale(LC_NUMERIC_MASK, "sv_SE.UTF-8", locale_t{})) {
    freelocale(loc);
    const char32_t sep = ThousandSeparator();
    EXPECT_TRUE(sep == U'\u00A0' || sep == U'\u202F' || sep == U' ') << std::hex << +sep;
  } else {
    EXPECT_EQ(ThousandSeparator(), U',');
  }
}

TEST(ToolzTest, UpperCaseCharMapsLatin1) {
  const struct {
    char16_t in;
    char16_t out;
  } cases[] = {
      {u'a', u'A'},      {u'z', u'Z'},           {u'A', u'A'},           {u'0', u'0'},
      {u'9', u'9'},      {u' ', u' '},           {u'-', u'-'},           {u'å', u'Å'},
      {u'ä', u'Ä'},      {u'ö', u'Ö'},           {u'é', u'É'},           {u'þ', u'Þ'},
      {u'à', u'À'},      {u'÷', u'÷'},           {u'ß', u'ß'},           {u'ÿ', u'\u0178'},
      {u'µ', u'\u039C'}, {u'\u00AA', u'\u00AA'}, {u'\u0101', u'\u0101'}, {u'\u03B1', u'\u03B1'},
      {u'\0', u'\0'},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(UpperCaseChar(c.in), c.out) << std::hex << +c.in;
  }
}

// The C.UTF-8 locale carries Unicode's simple case mapping: an independent account of the
// whole range the wire can carry.
TEST(ToolzTest, UpperCaseCharAgreesWithUnicodeForAllLatin1) {
  locale_t loc = newlocale(LC_CTYPE_MASK, "C.UTF-8", locale_t{});
  if (loc == locale_t{}) GTEST_SKIP() << "C.UTF-8 not available";
  for (unsigned c = 0; c < 256; ++c) {
    EXPECT_EQ(UpperCaseChar(static_cast<char16_t>(c)), towupper_l(static_cast<wint_t>(c), loc))
        << std::hex << c;
  }
  // The byte comparison must fold exactly like the character one, for every pair.
  int mismatches = 0;
  for (unsigned a = 0; a < 256; ++a) {
    for (unsigned b = 0; b < 256; ++b) {
      const bool expected =
          towupper_l(static_cast<wint_t>(a), loc) == towupper_l(static_cast<wint_t>(b), loc);
      const std::string x(1, static_cast<char>(a)), y(1, static_cast<char>(b));
      if (TextEquals(x, y, false) != expected) ++mismatches;
    }
  }
  EXPECT_EQ(mismatches, 0);
  freelocale(loc);
}

TEST(ToolzTest, UpperCaseTextKeepsLength) {
  EXPECT_EQ(UpperCaseText(u"blåbär öl 42!"), u"BLÅBÄR ÖL 42!");
  EXPECT_EQ(UpperCaseText(u"straße ÿ"), u"STRAßE \u0178");
  EXPECT_EQ(UpperCaseText(u""), u"");
}

TEST(ToolzTest, TextEqualsBothForms) {
  const struct {
    const char* a;  // Latin-1 bytes, one per character
    const char* b;
    bool ignoringCase;
    bool caseSensitive;
  } cases[] = {
      {"", "", true, true},
      {"anna", "ANNA", true, false},
      {"anna", "anna", true, true},
      {"anna", "anne", false, false},
      {"anna", "annan", false, false},
      {"\xE5s\xE4", "\xC5S\xC4", true, false},  // åsä / ÅSÄ
      {"\xFF", "\xFF", true, true},             // ÿ folds outside the byte range
      {"\xFF", "Y", false, false},
      {"\xDF", "SS", false, false},  // ß has no one-character upper case
      {"\xDF", "\xDF", true, true},
      {"\xD7", "\xF7", false, false},  // × and ÷ are not a case pair
      {"@", "`", false, false},        // neighbours of the letters stay apart
      {"[", "{", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.a) + " / " + c.b);
    EXPECT_EQ(TextEquals(std::string_view(c.a), std::string_view(c.b), false), c.ignoringCase);
    EXPECT_EQ(TextEquals(std::string_view(c.a), std::string_view(c.b), true), c.caseSensitive);
    EXPECT_EQ(TextEquals(Latin1ToUtf16(c.a), Latin1ToUtf16(c.b), false), c.ignoringCase);
    EXPECT_EQ(TextEquals(Latin1ToUtf16(c.a), Latin1ToUtf16(c.b), true), c.caseSensitive);
  }
  EXPECT_TRUE(TextEquals(std::string_view("a\0b", 3), std::string_view("A\0B", 3), false));
  EXPECT_FALSE(TextEquals(std::string_view("a\0b", 3), std::string_view("a\0c", 3), false));
  EXPECT_TRUE(TextEquals(u"\u0178", u"\u00FF", false));
}

TEST(ToolzTest, Utf8Validity) {
  const struct {
    std::string bytes;
    bool valid;
  } cases[] = {
      {"", true},
      {"plain", true},
      {"\xC3\xA5", true},           // å
      {"\xE2\x82\xAC", true},       // €
      {"\xF0\x9F\x98\x80", true},   // U+1F600
      {"\xEF\xBF\xBD", true},       // U+FFFD itself
      {"\xE5", false},              // Latin-1 å
      {"\xC3", false},              // truncated
      {"\xC0\xAF", false},          // overlong
      {"\xE0\x80\xAF", false},      // overlong
      {"\xED\xA0\x80", false},      // surrogate
      {"\xF4\x90\x80\x80", false},  // above U+10FFFF
      {"\xF0\x9F\x98"
       "A",
       false},          // cut four-byte sequence
      {"\x80", false},  // stray continuation
      {"ok\xFF", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << ::testing::PrintToString(c.bytes);
  }
}

TEST(ToolzTest, EncodingConversions) {
  EXPECT_EQ(Latin1ToUtf8("bl\xE5\xFF"), "bl\xC3\xA5\xC3\xBF");
  EXPECT_EQ(Latin1ToUtf16("\xE5\x80"), u"\u00E5\u0080");
  EXPECT_EQ(Utf8ToUtf16("\xC3\xA5\xE2\x82\xAC\xF0\x9F\x98\x80"), u"å€\U0001F600");
  EXPECT_EQ(Utf16ToUtf8(u"å€\U0001F600"), "\xC3\xA5\xE2\x82\xAC\xF0\x9F\x98\x80");
  // A broken sequence costs one replacement and never the valid character behind it.
  EXPECT_EQ(Utf8ToUtf16("a\xE5z"), u"a\uFFFDz");
  EXPECT_EQ(Utf8ToUtf16("\xE2\x82z"), u"\uFFFDz");
  EXPECT_EQ(Utf8ToUtf16("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");
  EXPECT_EQ(Utf16ToUtf8(std::u16string(1, char16_t{0xD800}) + u"x"), "\xEF\xBF\xBDx");
  EXPECT_EQ(CodePointToUtf8(U'\u00A0'), "\xC2\xA0");
  EXPECT_EQ(CodePointToUtf8(U'\u202F'), "\xE2\x80\xAF");
  EXPECT_EQ(CodePointToUtf8(0x110000), "\xEF\xBF\xBD");
}

TEST(ToolzTest, IntegerToText) {
  EXPECT_EQ(IntegerToText(0), "0");
  EXPECT_EQ(IntegerToText(-42), "-42");
  EXPECT_EQ(IntegerToText(INT32_MAX), "2147483647");
  EXPECT_EQ(IntegerToText(INT32_MIN), "-2147483648");
}

struct CountCase {
  int64_t value;
  char32_t separator;
  const char* expected;
};

// Readable failure messages instead of the case's raw bytes.
void PrintTo(const CountCase& c, std::ostream* os) {
  *os << c.value << " with U+" << std::hex << static_cast<uint32_t>(c.separator);
}

class FormatCountTest : public ::testing::TestWithParam<CountCase> {
 protected:
  void TearDown() override { TEST_SetLocale(kLocaleEnglishUs, U','); }
};

TEST_P(FormatCountTest, Formats) {
  const CountCase& c = GetParam();
  TEST_SetLocale(kLocaleEnglishUs, c.separator);
  EXPECT_EQ(FormatCount(c.value), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Counts, FormatCountTest,
    ::testing::Values(CountCase{0, U',', "0"}, CountCase{1, U',', "1"}, CountCase{7, U',', "7"},
                      CountCase{999, U',', "999"}, CountCase{1000, U',', "1,000"},
                      CountCase{-1234, U',', "1,234"}, CountCase{-1, U',', "1"},
                      CountCase{100000, U',', "100,000"}, CountCase{1234567, U',', "1,234,567"},
                      CountCase{INT64_MAX, U',', "9,223,372,036,854,775,807"},
                      CountCase{INT64_MIN, U',', "9,223,372,036,854,775,808"},
                      CountCase{1000, U'\u00A0',
                                "1\xC2\xA0"
                                "000"},
                      CountCase{1234567, U'\u202F',
                                "1\xE2\x80\xAF"
                                "234\xE2\x80\xAF"
                                "567"},
                      CountCase{12345, U' ', "12 345"}, CountCase{0, U'\u00A0', "0"}));

TEST(ToolzTest, FormatDateAndTime) {
  const struct {
    TDateTime when;
    const char* date;
    const char* time;
  } cases[] = {
      {{2012, 3, 5, 9, 7, 3, 0}, "2012-03-05", "09:07:03"},
      {{2012, 12, 31, 23, 59, 59, 999}, "2012-12-31", "23:59:59"},
      {{2000, 1, 1, 0, 0, 0, 0}, "2000-01-01", "00:00:00"},
      {{999, 7, 14, 12, 30, 5, 500}, "0999-07-14", "12:30:05"},
      {{5, 10, 2, 1, 2, 3, 4}, "0005-10-02", "01:02:03"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatDate(c.when), c.date);
    EXPECT_EQ(FormatTime(c.when), c.time);
  }
}

TEST(ToolzTest, PaddingAndRepeating) {
  EXPECT_EQ(PadLeft("abcde", U'x', 2), "abcde");
  EXPECT_EQ(PadLeft("abc", U'x', 3), "abc");
  EXPECT_EQ(PadLeft("abc", U'x', 5), "xxabc");
  EXPECT_EQ(PadLeft("", U'0', 2), "00");
  EXPECT_EQ(PadLeft("abc", U'x', -1), "abc");
  // Widths count characters: "åä" is two characters in four bytes.
  EXPECT_EQ(PadLeft("\xC3\xA5\xC3\xA4", U' ', 3), " \xC3\xA5\xC3\xA4");
  EXPECT_EQ(PadLeft("\xC3\xA5\xC3\xA4", U' ', 2), "\xC3\xA5\xC3\xA4");
  EXPECT_EQ(PadLeft("1", U'\u00A0', 2),
            "\xC2\xA0"
            "1");

  EXPECT_EQ(PadNumber(7, 2), "07");
  EXPECT_EQ(PadNumber(12, 2), "12");
  EXPECT_EQ(PadNumber(2012, 4), "2012");
  EXPECT_EQ(PadNumber(0, 2), "00");
  EXPECT_EQ(PadNumber(123, 2), "123");

  EXPECT_EQ(RepeatChar(U'-', 3), "---");
  EXPECT_EQ(RepeatChar(U'-', 0), "");
  EXPECT_EQ(RepeatChar(U'-', -4), "");
  EXPECT_EQ(RepeatChar(U'å', 2), "\xC3\xA5\xC3\xA5");
}

TEST(ToolzTest, NowReadsTheLocalClock) {
  // Retry if the second turns over between the two readings.
  for (int attempt = 0; attempt < 5; ++attempt) {
    const time_t before = time(nullptr);
    const TDateTime now = Now();
    if (time(nullptr) != before) continue;
    tm local{};
    localtime_r(&before, &local);
    EXPECT_EQ(now.year, local.tm_year + 1900);
    EXPECT_EQ(now.month, local.tm_mon + 1);
    EXPECT_EQ(now.day, local.tm_mday);
    EXPECT_EQ(now.hour, local.tm_hour);
    EXPECT_EQ(now.minute, local.tm_min);
    EXPECT_EQ(now.second, local.tm_sec);
    EXPECT_GE(now.millisecond, 0);
    EXPECT_LE(now.millisecond, 999);
    return;
  }
  FAIL() << "clock kept moving";
}

}  // namespace
}  // namespace qs
