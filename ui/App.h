// The windowed program: start, run and end around the operator's window.
#pragma once

#include <QApplication>
#include <optional>
#include <string>

namespace qs {

// Runs the program with its window; returns the exit code: 0 after the window is closed
// (Quit, the close button, the window manager, SIGINT or SIGTERM), 1 when it cannot start.
int RunWindowed(int argc, char** argv);

// Why no window can be opened here, or nothing when one can. Asked before Qt starts, since
// Qt aborts the process when its platform cannot connect.
std::optional<std::string> NoDisplayReason();

// Shows an error that escapes an event handler in a box and lets the program go on.
class TApplication final : public QApplication {
  Q_OBJECT

 public:
  TApplication(int& argc, char** argv) : QApplication(argc, argv) {}
  bool notify(QObject* receiver, QEvent* event) override;
};

}  // namespace qs
