// Language choice, bilingual texts, upper-casing and formatting.
//
// Plain functions without hidden state of their own: every one may be called from any
// thread at any time, also while the caller holds the roster lock. The only process-wide
// inputs are the program's parameters (fixed once at start by SetProgramArguments) and the
// user's locale, which RefreshLocale reads; readers see the old or the new locale values
// whole, never a mixture.
//
// Text conventions of the core:
//  - wire texts (user names, chat texts) are std::string holding one byte per character,
//    the byte b standing for the character U+00bb (Latin-1);
//  - display texts (log lines, labels, notices) are UTF-8 std::string.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qs {

// Locale identifiers as the rest of the program knows them.
inline constexpr int kLocaleSwedishSweden = 1053;
inline constexpr int kLocaleSwedishFinland = 2077;
inline constexpr int kLocaleEnglishUs = 1033;

// Records the program's parameters (the words after the program's own name). Call once,
// before any other thread starts.
void SetProgramArguments(std::vector<std::string> args);
const std::vector<std::string>& ProgramArguments();

// Maps a POSIX locale name such as "sv_SE.UTF-8@euro" to a locale identifier: sv_SE gives
// 1053, sv_FI 2077, anything else (or an empty name) 1033.
int LocaleIdentifierFromName(std::string_view localeName);

// Reads the user's locale again (LC_ALL, else LC_MESSAGES, else LANG for the identifier;
// LC_NUMERIC's thousands separator). Called at start; call again when settings change.
void RefreshLocale();
int LocaleIdentifier();
// The first character of the user's thousands separator, as a code point ("," when unset).
char32_t ThousandSeparator();
// Test seam: force the values RefreshLocale would read.
void TEST_SetLocale(int localeIdentifier, char32_t thousandSeparator);

bool IsSwedish();
// Pure decision behind IsSwedish, for tests and for callers holding their own parameters.
bool IsSwedishFor(const std::vector<std::string>& args, int localeIdentifier);

inline const std::string& ChooseText(bool flag, const std::string& first,
                                     const std::string& second) {
  return flag ? first : second;
}
inline const char* ChooseText(bool flag, const char* first, const char* second) {
  return flag ? first : second;
}

// Unicode simple upper-case mapping for every character the wire can carry (0-255);
// other characters are returned unchanged. ä->Ä, ÿ->Ÿ (U+0178), µ->U+039C, ß stays.
char16_t UpperCaseChar(char16_t c);
std::u16string UpperCaseText(std::u16string_view text);
bool TextEquals(std::u16string_view a, std::u16string_view b, bool caseSensitive);
// The same comparison for wire texts (one byte, one character).
bool TextEquals(std::string_view a, std::string_view b, bool caseSensitive);

// Encoding helpers between the wire's one-byte characters, UTF-8 and UTF-16.
std::string Latin1ToUtf8(std::string_view latin1);
std::u16string Latin1ToUtf16(std::string_view latin1);
std::string Utf16ToUtf8(std::u16string_view text);
std::u16string Utf8ToUtf16(std::string_view utf8);  // invalid sequences become U+FFFD
bool IsValidUtf8(std::string_view bytes);
std::string CodePointToUtf8(char32_t c);

// Formatting. Display texts, UTF-8.
std::string IntegerToText(int32_t value);
std::string RepeatChar(char32_t c, int count);
std::string PadLeft(std::string_view text, char32_t fill, int width);  // width in characters
std::string PadNumber(int32_t value, int width);
std::string FormatCount(int64_t count);  // "#,###;#,###;0"

struct TDateTime {
  int year = 1899;
  int month = 12;
  int day = 30;
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};
TDateTime Now();  // the local clock
std::string FormatDate(const TDateTime& when);  // 2012-03-05
std::string FormatTime(const TDateTime& when);  // 09:07:03

}  // namespace qs
