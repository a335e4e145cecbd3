#include "support/Toolz.h"

#include <langinfo.h>
#include <locale.h>
#include <time.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cwchar>
#include <memory>
#include <type_traits>
#include <utility>

namespace qs {

namespace {

// Both values are read on handler threads under the roster lock while the UI thread may
// refresh them; plain atomics keep each read whole without taking a lock.
std::atomic<int> gLocaleIdentifier{kLocaleEnglishUs};
std::atomic<char32_t> gThousandSeparator{U','};

std::vector<std::string>& ArgumentStore() {
  static std::vector<std::string> args;
  return args;
}

constexpr char32_t kReplacement = 0xFFFD;

constexpr char16_t UpperCaseLatin1(unsigned c) {
  if (c >= u'a' && c <= u'z') return static_cast<char16_t>(c - 0x20);
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return u'\u0178';
  if (c == 0xB5) return u'\u039C';
  return static_cast<char16_t>(c);
}

// The byte comparison runs for every logged-in name on each login, under the server's
// only lock, so it looks the folding up instead of computing it.
constexpr std::array<char16_t, 256> kUpperTable = [] {
  std::array<char16_t, 256> table{};
  for (unsigned c = 0; c < 256; ++c) table[c] = UpperCaseLatin1(c);
  return table;
}();

bool IsContinuation(unsigned char b) {
  return (b & 0xC0) == 0x80;
}

// Decodes one UTF-8 sequence at pos and advances past it. An invalid sequence gives false
// and advances past its lead byte and any continuation bytes that were still acceptable,
// so one broken character never swallows the valid one after it.
bool DecodeUtf8(std::string_view s, size_t& pos, char32_t& cp) {
  const auto lead = static_cast<unsigned char>(s[pos++]);
  cp = lead;
  if (lead < 0x80) return true;
  int extra = 0;
  unsigned char lo = 0x80, hi = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1;
    cp = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2;
    cp = lead & 0x0F;
    if (lead == 0xE0) lo = 0xA0;  // overlong
    if (lead == 0xED) hi = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3;
    cp = lead & 0x07;
    if (lead == 0xF0) lo = 0x90;  // overlong
    if (lead == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return false;
  }
  for (int i = 0; i < extra; ++i) {
    if (pos >= s.size()) return false;
    const auto b = static_cast<unsigned char>(s[pos]);
    if (b < lo || b > hi) return false;
    lo = 0x80;
    hi = 0xBF;
    cp = (cp << 6) | (b & 0x3F);
    ++pos;
  }
  return true;
}

void AppendUtf8(std::string& out, char32_t c) {
  if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) c = kReplacement;
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

size_t CountCodePoints(std::string_view utf8) {
  size_t n = 0;
  for (char b : utf8) {
    if (!IsContinuation(static_cast<unsigned char>(b))) ++n;
  }
  return n;
}

// POSIX precedence: LC_ALL overrides the category variable, which overrides LANG. An
// empty variable counts as unset.
std::string LocaleNameFor(const char* categoryVariable) {
  for (const char* name : {"LC_ALL", categoryVariable, "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != '\0') return value;
  }
  return {};
}

struct LocaleDeleter {
  void operator()(locale_t loc) const { freelocale(loc); }
};
using UniqueLocale = std::unique_ptr<std::remove_pointer_t<locale_t>, LocaleDeleter>;

char32_t ReadThousandSeparator() {
  const std::string name = LocaleNameFor("LC_NUMERIC");
  // LC_CTYPE from the same name, so the separator's bytes are decoded in the codeset they
  // were written in, whatever the user's LC_CTYPE says.
  UniqueLocale loc(newlocale(LC_NUMERIC_MASK | LC_CTYPE_MASK, name.c_str(), locale_t{}));
  if (!loc) return U',';
  const char* sep = nl_langinfo_l(THOUSEP, loc.get());
  if (sep == nullptr || *sep == '\0') return U',';
  const std::string_view bytes(sep);
  const locale_t previous = uselocale(loc.get());
  std::mbstate_t state{};
  wchar_t wc = 0;
  const size_t used = std::mbrtowc(&wc, bytes.data(), bytes.size(), &state);
  uselocale(previous);
  if (used == 0 || used > bytes.size()) return U',';
#ifdef __STDC_ISO_10646__
  return static_cast<char32_t>(wc);
#else
  return wc >= 0 && wc < 0x80 ? static_cast<char32_t>(wc) : U',';
#endif
}

}  // namespace

void SetProgramArguments(std::vector<std::string> args) {
  ArgumentStore() = std::move(args);
}

const std::vector<std::string>& ProgramArguments() {
  return ArgumentStore();
}

int LocaleIdentifierFromName(std::string_view localeName) {
  // The territory must end where the name's codeset or modifier begins: "sv_SEX" is not
  // Sweden.
  const auto is = [&](std::string_view prefix) {
    if (!localeName.starts_with(prefix)) return false;
    const std::string_view rest = localeName.substr(prefix.size());
    return rest.empty() || rest.front() == '.' || rest.front() == '@';
  };
  if (is("sv_SE")) return kLocaleSwedishSweden;
  if (is("sv_FI")) return kLocaleSwedishFinland;
  return kLocaleEnglishUs;
}

void RefreshLocale() {
  gLocaleIdentifier.store(LocaleIdentifierFromName(LocaleNameFor("LC_MESSAGES")));
  gThousandSeparator.store(ReadThousandSeparator());
}

int LocaleIdentifier() {
  return gLocaleIdentifier.load();
}

char32_t ThousandSeparator() {
  return gThousandSeparator.load();
}

void TEST_SetLocale(int localeIdentifier, char32_t thousandSeparator) {
  gLocaleIdentifier.store(localeIdentifier);
  gThousandSeparator.store(thousandSeparator);
}

bool IsSwedish() {
  return IsSwedishFor(ProgramArguments(), LocaleIdentifier());
}

bool IsSwedishFor(const std::vector<std::string>& args, int localeIdentifier) {
  for (const std::string& arg : args) {
    if (TextEquals(arg, "/SWEDISH", false)) return true;
    if (TextEquals(arg, "/ENGLISH", false)) return false;
  }
  return localeIdentifier == kLocaleSwedishSweden;
}

char16_t UpperCaseChar(char16_t c) {
  return c < 256 ? kUpperTable[c] : c;
}

std::u16string UpperCaseText(std::u16string_view text) {
  std::u16string out(text);
  for (char16_t& c : out) c = UpperCaseChar(c);
  return out;
}

bool TextEquals(std::u16string_view a, std::u16string_view b, bool caseSensitive) {
  if (a.size() != b.size()) return false;
  if (caseSensitive) return a == b;
  for (size_t i = 0; i < a.size(); ++i) {
    if (UpperCaseChar(a[i]) != UpperCaseChar(b[i])) return false;
  }
  return true;
}

bool TextEquals(std::string_view a, std::string_view b, bool caseSensitive) {
  if (a.size() != b.size()) return false;
  if (caseSensitive) return a == b;
  for (size_t i = 0; i < a.size(); ++i) {
    if (kUpperTable[static_cast<unsigned char>(a[i])] !=
        kUpperTable[static_cast<unsigned char>(b[i])]) {
      return false;
    }
  }
  return true;
}

std::string Latin1ToUtf8(std::string_view latin1) {
  std::string out;
  out.reserve(latin1.size());
  for (char b : latin1) AppendUtf8(out, static_cast<unsigned char>(b));
  return out;
}

std::u16string Latin1ToUtf16(std::string_view latin1) {
  std::u16string out;
  out.reserve(latin1.size());
  for (char b : latin1) out += static_cast<char16_t>(static_cast<unsigned char>(b));
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char32_t c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      ++i;
    }
    AppendUtf8(out, c);  // a lone surrogate becomes U+FFFD there
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  size_t pos = 0;
  while (pos < utf8.size()) {
    char32_t c = 0;
    if (!DecodeUtf8(utf8, pos, c)) c = kReplacement;
    if (c >= 0x10000) {
      out += static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10));
      out += static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
  }
  return out;
}

bool IsValidUtf8(std::string_view bytes) {
  size_t pos = 0;
  char32_t c = 0;
  while (pos < bytes.size()) {
    if (!DecodeUtf8(bytes, pos, c)) return false;
  }
  return true;
}

std::string CodePointToUtf8(char32_t c) {
  std::string out;
  AppendUtf8(out, c);
  return out;
}

std::string IntegerToText(int32_t value) {
  return std::to_string(value);
}

std::string RepeatChar(char32_t c, int count) {
  if (count <= 0) return {};
  const std::string one = CodePointToUtf8(c);
  std::string out;
  out.reserve(one.size() * static_cast<size_t>(count));
  for (int i = 0; i < count; ++i) out += one;
  return out;
}

std::string PadLeft(std::string_view text, char32_t fill, int width) {
  const size_t length = CountCodePoints(text);
  if (width <= 0 || length >= static_cast<size_t>(width)) return std::string(text);
  return RepeatChar(fill, width - static_cast<int>(length)) + std::string(text);
}

std::string PadNumber(int32_t value, int width) {
  return PadLeft(IntegerToText(value), U'0', width);
}

std::string FormatCount(int64_t count) {
  if (count == 0) return "0";
  // Negative counts show their magnitude; going through unsigned keeps INT64_MIN defined.
  uint64_t magnitude =
      count < 0 ? uint64_t{0} - static_cast<uint64_t>(count) : static_cast<uint64_t>(count);
  const std::string separator = CodePointToUtf8(ThousandSeparator());
  std::string digits;
  while (magnitude != 0) {
    digits.insert(digits.begin(), static_cast<char>('0' + magnitude % 10));
    magnitude /= 10;
  }
  std::string out;
  for (size_t i = 0; i < digits.size(); ++i) {
    if (i != 0 && (digits.size() - i) % 3 == 0) out += separator;
    out += digits[i];
  }
  return out;
}

TDateTime Now() {
  // system_clock is CLOCK_REALTIME; one reading feeds both the seconds and the millis.
  const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count();
  // Floor division keeps the millisecond part non-negative for times before 1970.
  const time_t seconds = static_cast<time_t>(ms >= 0 ? ms / 1000 : (ms - 999) / 1000);
  tm local{};
  localtime_r(&seconds, &local);
  TDateTime when;
  when.year = local.tm_year + 1900;
  when.month = local.tm_mon + 1;
  when.day = local.tm_mday;
  when.hour = local.tm_hour;
  when.minute = local.tm_min;
  // A leap second (tm_sec 60) would otherwise print as 60.
  when.second = local.tm_sec > 59 ? 59 : local.tm_sec;
  when.millisecond = static_cast<int>(ms - static_cast<int64_t>(seconds) * 1000);
  return when;
}

std::string FormatDate(const TDateTime& when) {
  return PadNumber(when.year, 4) + "-" + PadNumber(when.month, 2) + "-" + PadNumber(when.day, 2);
}

std::string FormatTime(const TDateTime& when) {
  return PadNumber(when.hour, 2) + ":" + PadNumber(when.minute, 2) + ":" +
         PadNumber(when.second, 2);
}

}  // namespace qs
