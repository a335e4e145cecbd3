// Shared pieces of the widget tests: the registry that lets one executable hold every test
// class, a temporary settings file, recorded message boxes and a driver for modal dialogs.
#pragma once

#include <QApplication>
#include <QDir>
#include <QObject>
#include <QString>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support/INIToolz.h"
#include "support/Toolz.h"
#include "ui/BoxToolz.h"

namespace qs::test {

using TTestFactory = std::function<std::unique_ptr<QObject>()>;
std::map<std::string, TTestFactory>& TestRegistry();

template <class T>
struct TRegister {
  explicit TRegister(const char* name) {
    TestRegistry()[name] = [] { return std::make_unique<T>(); };
  }
};
#define QS_UI_TEST(Class) static const ::qs::test::TRegister<Class> kRegister##Class(#Class)

// Language, settings file and message boxes as one test needs them; undone on destruction.
class TUiEnvironment {
 public:
  explicit TUiEnvironment(bool swedish = false) {
    SetProgramArguments({swedish ? "/SWEDISH" : "/ENGLISH"});
    TEST_SetLocale(kLocaleEnglishUs, U',');
    SetApplicationTitle(QStringLiteral("Sorlbrev - Server 2010"));
    TEST_SetExecutablePath(dir_.filePath(QStringLiteral("quillsend-server")).toStdString());
    TEST_SetBoxHook([this](const TBox& box) { boxes.push_back(box); });
  }
  ~TUiEnvironment() {
    TEST_SetBoxHook({});
    TEST_SetExecutablePath({});
    SetProgramArguments({});
  }
  TUiEnvironment(const TUiEnvironment&) = delete;
  TUiEnvironment& operator=(const TUiEnvironment&) = delete;

  QString SettingsPath() const { return dir_.filePath(QStringLiteral("quillsend-server.INI")); }
  void WriteSettings(const QString& text) const;
  QString ReadSettings() const;
  bool SettingsExist() const { return QFile::exists(SettingsPath()); }
  std::string Setting(const char* key) const { return IniReadString("Main", key, "<missing>"); }

  std::vector<TBox> boxes;

 private:
  QTemporaryDir dir_;
};

// Runs action on the next modal widget once it is open (polled every 10 ms, for at most
// 10 seconds), so a test can answer a dialog that blocks in exec(). Returns whether the
// dialog showed up in time; when it did not, the test fails and nothing is left waiting.
class TModalDriver : public QObject {
 public:
  explicit TModalDriver(std::function<void(QWidget*)> action);
  bool Acted() const { return acted_; }

 private:
  std::function<void(QWidget*)> action_;
  QTimer timer_;
  int ticks_ = 0;
  bool acted_ = false;
};

}  // namespace qs::test
