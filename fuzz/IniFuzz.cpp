// The settings file with arbitrary content: reads must stay within their rules, the integer
// rule must agree with a strtoll-based reference, and a written value must read back
// unchanged without disturbing any other value in the file.
//
// Input: the file's bytes, optionally followed by a NUL and the value to write. Without a
// NUL the whole input is also the value.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/INIToolz.h"
#include "support/Toolz.h"

namespace {

[[noreturn]] void Fail(const char* condition, int line) {
  std::fprintf(stderr, "fuzz_ini: broken at line %d: %s\n", line, condition);
  std::abort();
}
#define QS_CHECK(condition) ((condition) ? void(0) : Fail(#condition, __LINE__))

// One directory for the whole run: creating one per input would dominate the run time.
class TTempDir {
 public:
  TTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "qsfuzzini.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) Fail("mkdtemp", __LINE__);
    dir_ = pattern;
  }
  ~TTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  TTempDir(const TTempDir&) = delete;
  TTempDir& operator=(const TTempDir&) = delete;
  std::string File() const { return dir_ + "/chat.INI"; }

 private:
  std::string dir_;
};

void PutFile(const std::string& path, std::string_view content) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) Fail("open", __LINE__);
  while (!content.empty()) {
    const ssize_t n = ::write(fd, content.data(), content.size());
    if (n <= 0) Fail("write", __LINE__);
    content.remove_prefix(static_cast<std::size_t>(n));
  }
  ::close(fd);
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

bool AllOf(std::string_view s, int (*accept)(int)) {
  for (const char c : s) {
    if (!accept(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// The integer rule: "0x"/"0X" at the very start, or after optional blanks and a sign either
// decimal digits or "$", "x" or "X" and hexadecimal digits. Decimal must fit int32;
// hexadecimal must fit 32 bits and is negated modulo 2^32.
std::optional<int32_t> ReferenceInteger(std::string_view text) {
  std::string_view s = text;
  bool hex = false;
  if (s.size() >= 3 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    s.remove_prefix(2);
    hex = true;
  }
  bool negative = false;
  if (!hex) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
      negative = s.front() == '-';
      s.remove_prefix(1);
    }
    if (!s.empty() && (s.front() == '$' || s.front() == 'x' || s.front() == 'X')) {
      s.remove_prefix(1);
      hex = true;
    }
  }
  // strtoll would take blanks, signs and "0x" of its own; only bare digits reach it.
  if (s.empty() || !AllOf(s, hex ? ::isxdigit : ::isdigit)) return std::nullopt;
  const std::string digits(s);
  errno = 0;
  char* end = nullptr;
  const long long magnitude = std::strtoll(digits.c_str(), &end, hex ? 16 : 10);
  if (errno == ERANGE || end != digits.c_str() + digits.size()) return std::nullopt;
  if (hex) {
    if (magnitude > 0xFFFFFFFFLL) return std::nullopt;
    const auto bits = static_cast<uint32_t>(magnitude);
    return static_cast<int32_t>(negative ? 0u - bits : bits);
  }
  const long long value = negative ? -magnitude : magnitude;
  if (value < INT32_MIN || value > INT32_MAX) return std::nullopt;
  return static_cast<int32_t>(value);
}

void CheckInteger(std::string_view text) {
  int32_t value = 0x5A5A5A5A;
  const bool ok = qs::ParseIniInteger(text, &value);
  const std::optional<int32_t> expected = ReferenceInteger(text);
  QS_CHECK(ok == expected.has_value());
  QS_CHECK(value == (ok ? *expected : 0x5A5A5A5A));
}

// How the file's names compare: only A-Z fold.
bool SameName(std::string_view a, std::string_view b) {
  const auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

std::size_t Utf8Chars(std::string_view s) {
  std::size_t chars = 0;
  for (const char c : s) chars += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  return chars;
}

std::vector<std::string_view> Lines(std::string_view content, std::size_t most) {
  std::vector<std::string_view> lines;
  while (!content.empty() && lines.size() < most) {
    const std::size_t lf = content.find('\n');
    lines.push_back(content.substr(0, lf));
    content = lf == std::string_view::npos ? std::string_view() : content.substr(lf + 1);
  }
  return lines;
}

// Section and key names worth asking for: the ones the file mentions, and the program's own.
std::pair<std::vector<std::string>, std::vector<std::string>> Names(std::string_view content) {
  std::vector<std::string> sections = {"Main", "Fuzz"};
  std::vector<std::string> keys = {"Password", "Width", "Value"};
  for (std::string_view line : Lines(content, 64)) {
    const std::string_view trimmed = Trim(line);
    if (trimmed.starts_with('[') && trimmed.find(']') != std::string_view::npos) {
      if (sections.size() < 6) {
        sections.emplace_back(Trim(trimmed.substr(1, trimmed.find(']') - 1)));
      }
    } else if (const std::size_t eq = line.find('='); eq != std::string_view::npos) {
      if (keys.size() < 8) keys.emplace_back(Trim(line.substr(0, eq)));
    }
  }
  return {sections, keys};
}

std::string Read(const std::string& section, const std::string& key, const std::string& path) {
  return qs::IniReadString(section, key, "\x01", path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* input, std::size_t size) {
  static const TTempDir dir;
  const std::string path = dir.File();
  const std::string_view all(reinterpret_cast<const char*>(input), size);
  const std::size_t nul = all.find('\0');
  const std::string_view content = all.substr(0, nul);
  const std::string_view value = nul == std::string_view::npos ? all : all.substr(nul + 1);

  CheckInteger(value);
  for (std::string_view line : Lines(content, 16)) CheckInteger(line);

  PutFile(path, content);
  const auto [sections, keys] = Names(content);
  std::vector<std::string> before;
  for (const std::string& section : sections) {
    for (const std::string& key : keys) {
      const std::string read = Read(section, key, path);
      QS_CHECK(qs::IsValidUtf8(read));
      QS_CHECK(read.find('\n') == std::string::npos);
      QS_CHECK(Utf8Chars(read) <= 2047);
      int32_t parsed = -7;
      qs::ParseIniInteger(read == "\x01" ? std::string_view() : read, &parsed);
      QS_CHECK(qs::IniReadInteger(section, key, -7, path) == parsed);
      before.push_back(read);
    }
  }

  qs::IniWriteString("Fuzz", "Value", value, path);
  // Only values the read rule keeps as they are can come back unchanged: one line, valid
  // UTF-8, no blanks at either end, not wrapped in quotes, not cut to length.
  const std::string_view trimmed = Trim(value);
  const bool quoted = value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                      value.back() == value.front();
  if (value.find_first_of("\r\n") == std::string_view::npos && qs::IsValidUtf8(value) &&
      trimmed.size() == value.size() && !quoted && Utf8Chars(value) <= 2047) {
    QS_CHECK(qs::IniReadString("Fuzz", "Value", "\x01", path) == value);
  }
  std::size_t i = 0;
  for (const std::string& section : sections) {
    for (const std::string& key : keys) {
      const bool written = SameName(section, "Fuzz") && SameName(key, "Value");
      if (!written) QS_CHECK(Read(section, key, path) == before[i]);
      ++i;
    }
  }
  return 0;
}
