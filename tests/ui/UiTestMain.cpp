// One executable for the widget tests: `ui_tests NAME [QtTest options]` runs the test
// class NAME, `ui_tests` alone runs them all.
#include <QFile>
#include <QTest>
#include <cstdio>

#include "tests/ui/UiTest.h"
#include "ui/App.h"

namespace qs::test {

std::map<std::string, TTestFactory>& TestRegistry() {
  static std::map<std::string, TTestFactory> registry;
  return registry;
}

void TUiEnvironment::WriteSettings(const QString& text) const {
  QFile file(SettingsPath());
  if (file.open(QIODevice::WriteOnly)) file.write(text.toUtf8());
}

QString TUiEnvironment::ReadSettings() const {
  QFile file(SettingsPath());
  return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

TModalDriver::TModalDriver(std::function<void(QWidget*)> action) : action_(std::move(action)) {
  timer_.setInterval(10);
  connect(&timer_, &QTimer::timeout, this, [this] {
    if (QWidget* modal = QApplication::activeModalWidget()) {
      timer_.stop();
      acted_ = true;
      action_(modal);
    } else if (++ticks_ > 1000) {
      timer_.stop();
    }
  });
  timer_.start();
}

}  // namespace qs::test

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  qs::TApplication app(argc, argv);
  const auto& registry = qs::test::TestRegistry();
  if (argc > 1 && argv[1][0] != '-') {
    const auto found = registry.find(argv[1]);
    if (found == registry.end()) {
      std::fprintf(stderr, "no test class %s\n", argv[1]);
      return 2;
    }
    auto test = found->second();
    // QtTest reads its own options after the class name.
    argv[1] = argv[0];
    return QTest::qExec(test.get(), argc - 1, argv + 1);
  }
  int failures = 0;
  for (const auto& [name, factory] : registry) {
    auto test = factory();
    failures += QTest::qExec(test.get(), argc, argv);
  }
  return failures == 0 ? 0 : 1;
}
