#include "support/INIToolz.h"

#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <utility>
#include <vector>

#include "support/Toolz.h"

namespace qs {

namespace {

constexpr size_t kMaxValueChars = 2047;

std::string& ExecutablePathOverride() {
  static std::string path;
  return path;
}

class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }
  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  // Closing can report the failure of a delayed write, so callers that care ask for it.
  bool Close() {
    const int fd = std::exchange(fd_, -1);
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  void Reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  int fd_;
};

// Removes a temporary file unless the rename that publishes it went through.
class TempFileGuard {
 public:
  explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
  TempFileGuard(const TempFileGuard&) = delete;
  TempFileGuard& operator=(const TempFileGuard&) = delete;
  ~TempFileGuard() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  void Release() { path_.clear(); }

 private:
  std::string path_;
};

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

// Names in the file are ASCII; folding only A-Z also works on Latin-1 or UTF-8 bytes
// unchanged, so a file never needs decoding just to be searched.
bool NamesEqual(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    const auto fold = [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; };
    if (fold(a[i]) != fold(b[i])) return false;
  }
  return true;
}

enum class ReadResult { kOk, kMissing, kFailed };

ReadResult ReadWholeFile(const std::string& path, std::string* content) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.Valid()) return errno == ENOENT ? ReadResult::kMissing : ReadResult::kFailed;
  std::string data;
  char buffer[8192];
  for (;;) {
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return ReadResult::kFailed;
    }
    data.append(buffer, static_cast<size_t>(n));
  }
  *content = std::move(data);
  return ReadResult::kOk;
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// One line of the file as it stands: its text without the line end, and the line end it
// had ("\n", "\r\n", or "\r" or nothing on an unterminated last line), so untouched lines
// can be written back exactly.
struct Line {
  std::string text;
  std::string ending;
};

std::vector<Line> SplitLines(std::string_view content) {
  std::vector<Line> lines;
  while (!content.empty()) {
    const size_t lf = content.find('\n');
    std::string_view text = content.substr(0, lf);
    std::string ending;
    if (lf == std::string_view::npos) {
      content = {};
      // A CR at the very end is the first half of a line end, as it would be before an LF;
      // kept in the text, it would belong to the value until a later write added the LF.
      if (!text.empty() && text.back() == '\r') {
        text.remove_suffix(1);
        ending = "\r";
      }
    } else {
      ending = "\n";
      content.remove_prefix(lf + 1);
      if (!text.empty() && text.back() == '\r') {
        text.remove_suffix(1);
        ending = "\r\n";
      }
    }
    lines.push_back({std::string(text), std::move(ending)});
  }
  return lines;
}

// The name inside "[...]", or nothing when the line is no section header. A UTF-8 byte
// order mark left by an editor in front of the first line is passed over.
std::optional<std::string_view> SectionName(std::string_view line) {
  if (line.starts_with("\xEF\xBB\xBF")) line.remove_prefix(3);
  line = TrimBlanks(line);
  if (!line.starts_with('[')) return std::nullopt;
  const size_t close = line.find(']');
  if (close == std::string_view::npos) return std::nullopt;
  return TrimBlanks(line.substr(1, close - 1));
}

// Whether the line sets the key, and if so the raw text behind its "=".
std::optional<std::string_view> KeyValue(std::string_view line, std::string_view key) {
  const std::string_view trimmed = TrimBlanks(line);
  if (trimmed.starts_with(';')) return std::nullopt;
  const size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::nullopt;
  if (!NamesEqual(TrimBlanks(line.substr(0, eq)), key)) return std::nullopt;
  return line.substr(eq + 1);
}

// Lines [first, end) of the first section of that name; first is the header's index.
struct SectionRange {
  size_t first = 0;
  size_t end = 0;
};

std::optional<SectionRange> FindSection(const std::vector<Line>& lines, std::string_view name) {
  for (size_t i = 0; i < lines.size(); ++i) {
    const auto found = SectionName(lines[i].text);
    if (!found || !NamesEqual(*found, name)) continue;
    size_t end = i + 1;
    while (end < lines.size() && !SectionName(lines[end].text)) ++end;
    return SectionRange{i, end};
  }
  return std::nullopt;
}

std::optional<size_t> FindKey(const std::vector<Line>& lines, const SectionRange& section,
                              std::string_view key) {
  for (size_t i = section.first + 1; i < section.end; ++i) {
    if (KeyValue(lines[i].text, key)) return i;
  }
  return std::nullopt;
}

std::string CutToChars(std::string_view utf8, size_t maxChars) {
  size_t chars = 0;
  for (size_t i = 0; i < utf8.size(); ++i) {
    if ((static_cast<unsigned char>(utf8[i]) & 0xC0) == 0x80) continue;
    if (chars == maxChars) return std::string(utf8.substr(0, i));
    ++chars;
  }
  return std::string(utf8);
}

std::string ResolvePath(const std::string& fileName) {
  return fileName.empty() ? SettingsFilePath() : fileName;
}

// A settings value is one line; a line break inside it would turn the rest into lines of
// their own.
std::string SingleLine(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c != '\n' && c != '\r') out += c;
  }
  return out;
}

bool ReplaceFileAtomically(const std::string& path, std::string_view content,
                           std::optional<mode_t> mode) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  std::string temp = dir + (slash == std::string::npos ? "/." : ".") + base + ".XXXXXX";
  UniqueFd fd(::mkstemp(temp.data()));
  if (!fd.Valid()) return false;
  TempFileGuard guard(temp);
  // A new file holds the password in plain text, so only its owner may read it.
  if (::fchmod(fd.Get(), mode.value_or(0600)) != 0) return false;
  if (!WriteAll(fd.Get(), content) || ::fsync(fd.Get()) != 0 || !fd.Close()) return false;
  if (::rename(temp.c_str(), path.c_str()) != 0) return false;
  guard.Release();
  // Make the rename itself durable; the file is in place either way, so failures here do
  // not count.
  UniqueFd dirFd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirFd.Valid()) ::fsync(dirFd.Get());
  return true;
}

// Editing a symbolic link to the settings file edits the file it points to instead of
// replacing the link with a plain file.
std::string WriteTarget(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char resolved[PATH_MAX];
  if (::realpath(path.c_str(), resolved) == nullptr) return path;
  return resolved;
}

// Encodes a value for a file that is kept in Latin-1; nothing when the value has a
// character Latin-1 cannot hold.
std::optional<std::string> Utf8ToLatin1(std::string_view utf8) {
  std::string out;
  for (char16_t c : Utf8ToUtf16(utf8)) {
    if (c > 0xFF) return std::nullopt;
    out += static_cast<char>(c);
  }
  return out;
}

}  // namespace

std::string IniReadString(std::string_view section, std::string_view key,
                          std::string_view defaultValue, const std::string& fileName) {
  const std::string path = ResolvePath(fileName);
  std::string content;
  if (path.empty() || ReadWholeFile(path, &content) != ReadResult::kOk) {
    return std::string(defaultValue);
  }
  if (!IsValidUtf8(content)) content = Latin1ToUtf8(content);
  const std::vector<Line> lines = SplitLines(content);
  const auto range = FindSection(lines, section);
  if (!range) return std::string(defaultValue);
  const auto index = FindKey(lines, *range, key);
  if (!index) return std::string(defaultValue);
  std::string_view value = TrimBlanks(*KeyValue(lines[*index].text, key));
  if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
      value.back() == value.front()) {
    value = value.substr(1, value.size() - 2);
  }
  return CutToChars(value, kMaxValueChars);
}

int32_t IniReadInteger(std::string_view section, std::string_view key, int32_t defaultValue,
                       const std::string& fileName) {
  int32_t value = defaultValue;
  ParseIniInteger(IniReadString(section, key, "", fileName), &value);
  return value;
}

void IniWriteString(std::string_view section, std::string_view key, std::string_view value,
                    const std::string& fileName) {
  const std::string requested = ResolvePath(fileName);
  if (requested.empty()) return;
  const std::string path = WriteTarget(requested);

  std::string content;
  std::optional<mode_t> mode;
  switch (ReadWholeFile(path, &content)) {
    case ReadResult::kFailed:
      return;
    case ReadResult::kMissing:
      break;
    case ReadResult::kOk: {
      struct stat st {};
      if (::stat(path.c_str(), &st) != 0) return;
      mode = st.st_mode & 07777;
      break;
    }
  }

  const std::string sectionName = SingleLine(section);
  const std::string keyName = SingleLine(key);
  std::string text = SingleLine(value);
  if (!IsValidUtf8(text)) text = Utf16ToUtf8(Utf8ToUtf16(text));
  // A file read as Latin-1 keeps its encoding as long as the value fits it; otherwise the
  // whole file moves to UTF-8 so that its other values keep their meaning.
  bool keptLatin1 = false;
  if (!IsValidUtf8(content)) {
    if (auto latin1 = Utf8ToLatin1(text)) {
      text = std::move(*latin1);
      keptLatin1 = true;
    } else {
      content = Latin1ToUtf8(content);
    }
  }

  std::vector<Line> lines = SplitLines(content);
  const Line keyLine{keyName + "=" + text, "\n"};
  // Anything added after an unterminated last line must start on a line of its own.
  const auto terminateLast = [&] {
    if (lines.empty()) return;
    std::string& ending = lines.back().ending;
    if (ending.empty()) ending = "\n";
    if (ending == "\r") ending = "\r\n";
  };
  if (const auto range = FindSection(lines, sectionName)) {
    if (const auto index = FindKey(lines, *range, keyName)) {
      lines[*index] = keyLine;
    } else {
      // After the section's last non-blank line, so blank lines that separate it from the
      // next section stay between them.
      size_t insertAt = range->first + 1;
      for (size_t i = range->end; i > range->first + 1; --i) {
        if (!TrimBlanks(lines[i - 1].text).empty()) {
          insertAt = i;
          break;
        }
      }
      if (insertAt == lines.size()) terminateLast();
      lines.insert(lines.begin() + static_cast<std::ptrdiff_t>(insertAt), keyLine);
    }
  } else {
    terminateLast();
    lines.push_back({"[" + sectionName + "]", "\n"});
    lines.push_back(keyLine);
  }

  std::string output;
  for (const Line& line : lines) output += line.text + line.ending;
  // A file is read as Latin-1 only while it is not valid UTF-8. When this write replaced
  // its last invalid bytes, its remaining non-ASCII bytes would suddenly read as UTF-8 and
  // change meaning, so the whole file moves to UTF-8 instead.
  if (keptLatin1 && IsValidUtf8(output) &&
      std::any_of(output.begin(), output.end(), [](char c) { return (c & 0x80) != 0; })) {
    output = Latin1ToUtf8(output);
  }
  ReplaceFileAtomically(path, output, mode);
}

void IniWriteInteger(std::string_view section, std::string_view key, int32_t value,
                     const std::string& fileName) {
  IniWriteString(section, key, IntegerToText(value), fileName);
}

bool ParseIniInteger(std::string_view text, int32_t* value) {
  std::string work(text);
  if (work.size() >= 3 && work[0] == '0' && (work[1] == 'x' || work[1] == 'X')) {
    work.replace(0, 2, "$");
  }
  std::string_view s = work;
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  bool negative = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return false;

  uint32_t bits = 0;
  if (s.front() == '$' || s.front() == 'x' || s.front() == 'X') {
    s.remove_prefix(1);
    if (s.empty()) return false;
    uint64_t acc = 0;
    for (char c : s) {
      int digit = 0;
      if (c >= '0' && c <= '9') {
        digit = c - '0';
      } else if (c >= 'a' && c <= 'f') {
        digit = c - 'a' + 10;
      } else if (c >= 'A' && c <= 'F') {
        digit = c - 'A' + 10;
      } else {
        return false;
      }
      acc = acc * 16 + static_cast<uint64_t>(digit);
      if (acc > 0xFFFFFFFFu) return false;
    }
    bits = static_cast<uint32_t>(acc);
  } else {
    // The magnitude may reach 2^31 only when it is negated afterwards.
    const uint64_t limit = negative ? uint64_t{1} << 31 : (uint64_t{1} << 31) - 1;
    uint64_t acc = 0;
    for (char c : s) {
      if (c < '0' || c > '9') return false;
      acc = acc * 10 + static_cast<uint64_t>(c - '0');
      if (acc > limit) return false;
    }
    bits = static_cast<uint32_t>(acc);
  }
  // Unsigned negation wraps as the hexadecimal form expects ("-$80000000" stays INT32_MIN).
  if (negative) bits = 0u - bits;
  *value = static_cast<int32_t>(bits);
  return true;
}

std::string ExecutablePath() {
  std::string buffer(256, '\0');
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return {};
    if (static_cast<size_t>(n) < buffer.size()) {
      buffer.resize(static_cast<size_t>(n));
      return buffer;
    }
    // The link may have been cut to fit; try again with room to spare.
    buffer.resize(buffer.size() * 2);
  }
}

std::string SettingsPathFor(std::string_view executablePath) {
  const size_t slash = executablePath.rfind('/');
  const size_t dot = executablePath.rfind('.');
  const bool hasExtension =
      dot != std::string_view::npos && (slash == std::string_view::npos || dot > slash);
  const std::string_view stem = hasExtension ? executablePath.substr(0, dot) : executablePath;
  return std::string(stem) + ".INI";
}

std::string SettingsFilePath() {
  const std::string& forced = ExecutablePathOverride();
  const std::string executable = forced.empty() ? ExecutablePath() : forced;
  if (executable.empty()) return {};
  return SettingsPathFor(executable);
}

void TEST_SetExecutablePath(std::string path) {
  ExecutablePathOverride() = std::move(path);
}

}  // namespace qs
