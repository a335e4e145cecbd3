#include "support/INIToolz.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "support/Toolz.h"

namespace qs {
namespace {

TEST(ParseIniIntegerTest, Table) {
  const struct {
    const char* text;
    bool ok;
    int32_t value;
  } cases[] = {
      {"0", true, 0},
      {"800", true, 800},
      {"  42", true, 42},
      {"\t42", true, 42},
      {"+7", true, 7},
      {"-7", true, -7},
      {"007", true, 7},
      {"2147483647", true, INT32_MAX},
      {"-2147483648", true, INT32_MIN},
      {"0x10", true, 16},
      {"0X1f", true, 31},
      {"$ff", true, 255},
      {"x10", true, 16},
      {"X10", true, 16},
      {"-$10", true, -16},
      {"+$10", true, 16},
      {"$FFFFFFFF", true, -1},
      {"$80000000", true, INT32_MIN},
      {"-$80000000", true, INT32_MIN},
      {"0xFFFFFFFF", true, -1},
      {"$000000010", true, 16},
      {"", false, 0},
      {"   ", false, 0},
      {"-", false, 0},
      {"+", false, 0},
      {"$", false, 0},
      {"0x", false, 0},  // too short to be a prefix: "0" then a stray "x"
      {" 0x10", false, 0},
      {"2147483648", false, 0},
      {"-2147483649", false, 0},
      {"99999999999999999999", false, 0},
      {"$100000000", false, 0},
      {"12px", false, 0},
      {"12 ", false, 0},
      {"1 2", false, 0},
      {"- 5", false, 0},
      {"--5", false, 0},
      {"$G", false, 0},
      {"1.5", false, 0},
      {"0x-5", false, 0},
  };
  for (const auto& c : cases) {
    int32_t value = 12345;
    EXPECT_EQ(ParseIniInteger(c.text, &value), c.ok) << '"' << c.text << '"';
    EXPECT_EQ(value, c.ok ? c.value : 12345) << '"' << c.text << '"';
  }
}

TEST(SettingsPathForTest, Table) {
  const struct {
    const char* exe;
    const char* ini;
  } cases[] = {
      {"/x/chat", "/x/chat.INI"},     {"/x/chat.exe", "/x/chat.INI"},
      {"/x.d/chat", "/x.d/chat.INI"}, {"/x/chat.tar.gz", "/x/chat.tar.INI"},
      {"chat", "chat.INI"},           {"chat.bin", "chat.INI"},
      {"/x/chat.", "/x/chat.INI"},
  };
  for (const auto& c : cases) EXPECT_EQ(SettingsPathFor(c.exe), c.ini) << c.exe;
}

TEST(SettingsPathForTest, ExecutablePathIsThisProgram) {
  const std::string exe = ExecutablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(exe.front(), '/');
  EXPECT_TRUE(std::filesystem::equivalent(exe, "/proc/self/exe"));
}

class IniFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string templ = (std::filesystem::temp_directory_path() / "initest.XXXXXX").string();
    ASSERT_NE(mkdtemp(templ.data()), nullptr);
    dir_ = templ;
    path_ = dir_ + "/chat.INI";
  }
  void TearDown() override {
    TEST_SetExecutablePath({});
    std::error_code ignored;
    std::filesystem::permissions(dir_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ignored);
    std::filesystem::remove_all(dir_, ignored);
  }

  void Put(const std::string& content) const {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << content;
  }
  std::string Get() const {
    std::ifstream in(path_, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  int EntryCount() const {
    return static_cast<int>(std::distance(std::filesystem::directory_iterator(dir_),
                                          std::filesystem::directory_iterator()));
  }
  std::string Read(const char* section, const char* key) const {
    return IniReadString(section, key, "DEFAULT", path_);
  }

  std::string dir_;
  std::string path_;
};

TEST_F(IniFileTest, ReadsValues) {
  const struct {
    const char* name;
    std::string content;
    const char* section;
    const char* key;
    std::string expected;
  } cases[] = {
      {"plain", "[Main]\nState=Normal\n", "Main", "State", "Normal"},
      {"sectionCase", "[mAIN]\nState=Normal\n", "Main", "State", "Normal"},
      {"keyCase", "[Main]\nsTaTe=Normal\n", "Main", "State", "Normal"},
      {"valueCaseKept", "[Main]\nState=normal\n", "Main", "State", "normal"},
      {"blanksTrimmed", "[Main]\nPassword= \t pw x \t\n", "Main", "Password", "pw x"},
      {"blanksAroundKey", "[Main]\n  Width  =  800\n", "Main", "Width", "800"},
      {"doubleQuotes", "[Main]\nPassword=\" pw \"\n", "Main", "Password", " pw "},
      {"singleQuotes", "[Main]\nPassword= 'pw' \n", "Main", "Password", "pw"},
      {"mismatchedQuotes", "[Main]\nPassword=\"pw'\n", "Main", "Password", "\"pw'"},
      {"loneQuote", "[Main]\nPassword=\"\n", "Main", "Password", "\""},
      {"onePairOnly", "[Main]\nPassword=\"\"pw\"\"\n", "Main", "Password", "\"pw\""},
      {"emptyValue", "[Main]\nPassword=\n", "Main", "Password", ""},
      {"emptyQuoted", "[Main]\nPassword=\"\"\n", "Main", "Password", ""},
      {"firstEqualsSplits", "[Main]\nPassword=a=b\n", "Main", "Password", "a=b"},
      {"firstKeyWins", "[Main]\nState=A\nState=B\n", "Main", "State", "A"},
      {"missingKey", "[Main]\nState=Normal\n", "Main", "Width", "DEFAULT"},
      {"missingSection", "[Other]\nState=Normal\n", "Main", "State", "DEFAULT"},
      {"keyOfOtherSection", "[Main]\n[Other]\nState=X\n", "Main", "State", "DEFAULT"},
      {"beforeAnySection", "State=X\n[Main]\n", "Main", "State", "DEFAULT"},
      {"commentIgnored", "[Main]\n;State=X\n", "Main", "State", "DEFAULT"},
      {"lineWithoutEquals", "[Main]\nState\n", "Main", "State", "DEFAULT"},
      {"headerBlanks", "  [ Main ]  \nState=Normal", "Main", "State", "Normal"},
      {"crlf", "[Main]\r\nState=Normal\r\nWidth=1\r\n", "Main", "State", "Normal"},
      {"crlfEmpty", "[Main]\r\nPassword=\r\n", "Main", "Password", ""},
      {"loneCrAtEndOfFile", "[Main]\nState=Normal\r", "Main", "State", "Normal"},
      {"utf8", "[Main]\nPassword=l\xC3\xB6sen\xE2\x82\xAC\n", "Main", "Password",
       "l\xC3\xB6sen\xE2\x82\xAC"},
      {"latin1", "[Main]\nPassword=l\xF6sen\n", "Main", "Password", "l\xC3\xB6sen"},
      {"bom", "\xEF\xBB\xBF[Main]\nState=Normal\n", "Main", "State", "Normal"},
  };
  for (const auto& c : cases) {
    Put(c.content);
    EXPECT_EQ(Read(c.section, c.key), c.expected) << c.name;
  }
}

TEST_F(IniFileTest, LongValuesAreCutToWholeCharacters) {
  Put("[Main]\nA=" + std::string(3000, 'a') + "\nB=" + std::string(2047, 'b') + "\nC=\"" +
      std::string(2048, 'c') + "\"\n");
  EXPECT_EQ(Read("Main", "A"), std::string(2047, 'a'));
  EXPECT_EQ(Read("Main", "B"), std::string(2047, 'b'));
  EXPECT_EQ(Read("Main", "C"), std::string(2047, 'c'));

  std::string aRing;
  for (int i = 0; i < 3000; ++i) aRing += "\xC3\xA5";
  Put("[Main]\nP=" + aRing + "\n");
  const std::string value = Read("Main", "P");
  EXPECT_EQ(value, aRing.substr(0, 2 * 2047));
  EXPECT_TRUE(IsValidUtf8(value));
}

TEST_F(IniFileTest, MissingFileGivesDefaultsAndStaysMissing) {
  EXPECT_EQ(Read("Main", "State"), "DEFAULT");
  EXPECT_EQ(IniReadInteger("Main", "Width", 640, path_), 640);
  EXPECT_EQ(EntryCount(), 0);
}

TEST_F(IniFileTest, ReadsIntegers) {
  Put("[Main]\nA= 800 \nB=0x10\nC=12px\nD=\nE=-$1\nF='42'\nG=2147483648\n");
  const struct {
    const char* key;
    int32_t expected;
  } cases[] = {{"A", 800}, {"B", 16}, {"C", -5}, {"D", -5},
               {"E", -1},  {"F", 42}, {"G", -5}, {"Missing", -5}};
  for (const auto& c : cases) {
    EXPECT_EQ(IniReadInteger("Main", c.key, -5, path_), c.expected) << c.key;
  }
}

TEST_F(IniFileTest, FirstWritesCreateOwnerOnlyFileInOrder) {
  IniWriteString("Main", "State", "Normal", path_);
  IniWriteInteger("Main", "Width", 800, path_);
  IniWriteInteger("Main", "Height", -1, path_);
  IniWriteString("Main", "Password", "", path_);
  EXPECT_EQ(Get(), "[Main]\nState=Normal\nWidth=800\nHeight=-1\nPassword=\n");
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_EQ(EntryCount(), 1) << "temporary file left behind";
  EXPECT_EQ(Read("Main", "Password"), "");
  EXPECT_EQ(IniReadInteger("Main", "Height", 0, path_), -1);
}

TEST_F(IniFileTest, ExistingFileKeepsItsMode) {
  Put("[Main]\nState=Normal\n");
  ASSERT_EQ(chmod(path_.c_str(), 0640), 0);
  IniWriteString("Main", "State", "Maximized", path_);
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_EQ(Read("Main", "State"), "Maximized");
}

TEST_F(IniFileTest, WritesEditOnlyTheirLine) {
  const struct {
    const char* name;
    std::string before;
    const char* key;
    const char* value;
    std::string after;
  } cases[] = {
      {"replaceInPlace", "; kept\n[main]\nSTATE=Maximized\nWidth=5\n", "State", "Normal",
       "; kept\n[main]\nState=Normal\nWidth=5\n"},
      {"replaceKeepsOtherCrlfLines", "x=1\r\n[Main]\r\nState=Min\r\nWidth=5\r\n", "State", "Normal",
       "x=1\r\n[Main]\r\nState=Normal\nWidth=5\r\n"},
      {"appendBeforeNextSection", "[Main]\nA=1\n\n[Other]\nB=2\n", "C", "3",
       "[Main]\nA=1\nC=3\n\n[Other]\nB=2\n"},
      {"appendToEmptySection", "[Main]\n\n[Other]\nB=2\n", "C", "3",
       "[Main]\nC=3\n\n[Other]\nB=2\n"},
      {"appendAfterUnterminatedLast", "[Main]\nA=1", "C", "3", "[Main]\nA=1\nC=3\n"},
      {"appendAfterLoneCrAtEnd", "[Main]\nA=1\r", "C", "3", "[Main]\nA=1\r\nC=3\n"},
      {"newSectionAfterLoneCrAtEnd", "[Other]\r", "C", "3", "[Other]\r\n[Main]\nC=3\n"},
      {"sameKeyInOtherSectionUntouched", "[Other]\nState=X\n[Main]\n", "State", "Normal",
       "[Other]\nState=X\n[Main]\nState=Normal\n"},
      {"newSectionAtEnd", "; c\n[Other]\nB=2", "State", "Normal",
       "; c\n[Other]\nB=2\n[Main]\nState=Normal\n"},
      {"commentedKeyNotReplaced", "[Main]\n;State=X\n", "State", "Normal",
       "[Main]\n;State=X\nState=Normal\n"},
      {"lineBreaksStripped", "[Main]\n", "Password", "a\r\nb\nc\r", "[Main]\nPassword=abc\n"},
      {"emptyFile", "", "State", "Normal", "[Main]\nState=Normal\n"},
      {"latin1KeptByteForByte", "[Main]\nName=\xE5\nPassword=x\n", "Password", "\xC3\xB6",
       "[Main]\nName=\xE5\nPassword=\xF6\n"},
  };
  for (const auto& c : cases) {
    Put(c.before);
    IniWriteString("Main", c.key, c.value, path_);
    EXPECT_EQ(Get(), c.after) << c.name;
  }
}

TEST_F(IniFileTest, ValuesRoundTrip) {
  const char* values[] = {"",      "plain", " padded ", "'quoted'", "l\xC3\xB6sen \xE2\x82\xAC",
                          "a=b;c", "[Main]"};
  for (const char* value : values) {
    IniWriteString("mAiN", "Password", value, path_);
    const std::string expected = std::string(value) == " padded "   ? "padded"
                                 : std::string(value) == "'quoted'" ? "quoted"
                                                                    : value;
    EXPECT_EQ(IniReadString("Main", "PASSWORD", "DEFAULT", path_), expected) << value;
  }
  EXPECT_EQ(Get(), "[mAiN]\nPassword=[Main]\n");
}

TEST_F(IniFileTest, NonLatin1ValueMovesLatin1FileToUtf8) {
  Put("[Main]\nName=\xE5\n");
  IniWriteString("Main", "Password", "\xE2\x82\xAC", path_);
  EXPECT_EQ(Get(), "[Main]\nName=\xC3\xA5\nPassword=\xE2\x82\xAC\n");
  EXPECT_EQ(Read("Main", "Name"), "\xC3\xA5");
}

// Writing over the only bytes that made a file Latin-1 must not let its other bytes, or
// the new value's, be read as UTF-8 afterwards.
TEST_F(IniFileTest, LastLatin1LineReplacedKeepsEveryValue) {
  const struct {
    const char* name;
    std::string before;
    const char* value;
  } cases[] = {
      {"otherValue", "[Main]\nA=\xC3\xA9\nPassword=\xE4\n", "x"},
      {"newValue", "[Main]\nPassword=\xE4\n", "\xC3\x83\xC2\xA9"},  // "Ã©"
  };
  for (const auto& c : cases) {
    Put(c.before);
    const std::string a = Read("Main", "A");
    IniWriteString("Main", "Password", c.value, path_);
    EXPECT_EQ(Read("Main", "Password"), c.value) << c.name;
    EXPECT_EQ(Read("Main", "A"), a) << c.name;
  }
}

TEST_F(IniFileTest, EmptyFileNameMeansFileBesideExecutable) {
  TEST_SetExecutablePath(dir_ + "/chat.exe");
  EXPECT_EQ(SettingsFilePath(), path_);
  IniWriteInteger("Main", "Width", 1024, "");
  EXPECT_EQ(IniReadInteger("Main", "Width", 0), 1024);
  EXPECT_EQ(Get(), "[Main]\nWidth=1024\n");
}

TEST_F(IniFileTest, FailedWritesAreDropped) {
  Put("not a directory");
  const std::string targets[] = {
      dir_ + "/missing/chat.INI",
      path_ + "/chat.INI",  // a path through a regular file
      dir_,                 // the directory itself
  };
  for (const std::string& target : targets) {
    IniWriteString("Main", "State", "Normal", target);
    EXPECT_EQ(IniReadString("Main", "State", "DEFAULT", target), "DEFAULT") << target;
  }
  EXPECT_EQ(Get(), "not a directory");
  EXPECT_EQ(EntryCount(), 1);
}

TEST_F(IniFileTest, ReadOnlyDirectoryDropsWrite) {
  if (geteuid() == 0) GTEST_SKIP() << "root writes regardless of permissions";
  Put("[Main]\nState=Normal\n");
  ASSERT_EQ(chmod(dir_.c_str(), 0500), 0);
  IniWriteString("Main", "State", "Maximized", path_);
  EXPECT_EQ(Read("Main", "State"), "Normal");
  IniWriteString("Main", "State", "Minimized", dir_ + "/new.INI");
  EXPECT_EQ(EntryCount(), 1);
}

TEST_F(IniFileTest, WritesThroughSymlinkKeepTheLink) {
  const std::string real = dir_ + "/real.INI";
  std::ofstream(real) << "[Main]\n";
  std::filesystem::create_symlink(real, path_);
  IniWriteString("Main", "State", "Normal", path_);
  EXPECT_TRUE(std::filesystem::is_symlink(path_));
  EXPECT_EQ(Read("Main", "State"), "Normal");
}

}  // namespace
}  // namespace qs
