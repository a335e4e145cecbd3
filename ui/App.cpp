#include "ui/App.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <QDialog>
#include <QDir>
#include <QIcon>
#include <QLibraryInfo>
#include <QScreen>
#include <QSocketNotifier>
#include <cstdio>
#include <cstdlib>
#include <memory>

#ifdef QS_HAVE_XCB
#include <xcb/xcb.h>
#endif

#include "server/TcpServer.h"
#include "ui/BoxToolz.h"
#include "ui/Main.h"
#include "ui/Password.h"

namespace qs {

namespace {

bool EnvSet(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0';
}

#ifdef QS_HAVE_XCB
bool XServerAnswers() {
  xcb_connection_t* connection = xcb_connect(nullptr, nullptr);
  const bool ok = xcb_connection_has_error(connection) == 0;
  xcb_disconnect(connection);
  return ok;
}
#endif

bool WaylandPluginPresent() {
  const QDir platforms(QLibraryInfo::path(QLibraryInfo::PluginsPath) +
                       QStringLiteral("/platforms"));
  return !platforms.entryList({QStringLiteral("libqwayland*")}, QDir::Files).isEmpty();
}

// SIGINT and SIGTERM, read on the UI thread from a signalfd. Blocked before any thread
// starts, so no other thread ever takes them.
class TStopSignals final {
 public:
  TStopSignals() {
    sigemptyset(&set_);
    sigaddset(&set_, SIGINT);
    sigaddset(&set_, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set_, nullptr);
    fd_ = ::signalfd(-1, &set_, SFD_CLOEXEC | SFD_NONBLOCK);
  }
  ~TStopSignals() {
    if (fd_ >= 0) ::close(fd_);
  }
  TStopSignals(const TStopSignals&) = delete;
  TStopSignals& operator=(const TStopSignals&) = delete;

  int Fd() const { return fd_; }
  void Drain() {
    signalfd_siginfo info{};
    while (::read(fd_, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
    }
  }

 private:
  sigset_t set_{};
  int fd_ = -1;
};

// Closes whatever modal box or dialog is open, so that a nested event loop returns.
void CloseModalWidgets() {
  for (int guard = 0; guard < 8; ++guard) {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr) return;
    if (auto* dialog = qobject_cast<QDialog*>(modal)) {
      dialog->reject();
    } else {
      modal->close();
    }
  }
}

void PlaceAtCentre(QWidget& window) {
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    window.move(area.center() - QPoint(window.width() / 2, window.height() / 2));
  }
}

}  // namespace

std::optional<std::string> NoDisplayReason() {
  if (EnvSet("QT_QPA_PLATFORM")) return std::nullopt;  // a platform chosen by hand is tried
  if (EnvSet("DISPLAY")) {
#ifdef QS_HAVE_XCB
    if (XServerAnswers()) return std::nullopt;
    if (!EnvSet("WAYLAND_DISPLAY")) {
      return std::string("cannot connect to the X display \"") + std::getenv("DISPLAY") + "\"";
    }
#else
    return std::nullopt;
#endif
  }
  if (EnvSet("WAYLAND_DISPLAY")) {
    if (WaylandPluginPresent()) {
      ::setenv("QT_QPA_PLATFORM", "wayland", 1);
      return std::nullopt;
    }
    return "WAYLAND_DISPLAY is set, but Qt's Wayland support (qt6-wayland) is not installed "
           "and no X display is reachable";
  }
  return "no display: neither DISPLAY nor WAYLAND_DISPLAY is set";
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& error) {
    ShowErrorBox(QString::fromUtf8(error.what()));
  } catch (...) {
    ShowErrorBox(QStringLiteral("Unknown error"));
  }
  return false;
}

int RunWindowed(int argc, char** argv) {
  if (const auto reason = NoDisplayReason()) {
    std::fprintf(stderr,
                 "%s: cannot open the window: %s.\n"
                 "Run it with --headless to serve without a window.\n",
                 argv[0], reason->c_str());
    return 1;
  }
  TStopSignals stopSignals;  // before Qt and the server start threads

  TApplication app(argc, argv);
  // The window hidden in the tray is no reason to end; the program ends when it is closed.
  app.setQuitOnLastWindowClosed(false);
  QIcon icon;
  for (const char* size : {"16", "32", "48", "64"}) {
    icon.addFile(QStringLiteral(":/icons/check%1.png").arg(QLatin1String(size)));
  }
  QApplication::setWindowIcon(icon);
  SetApplicationTitle(QStringLiteral("Sorlbrev - Server 2010"));

  std::unique_ptr<TfrmMain> frmMain;
  bool stopRequested = false;
  QSocketNotifier stopNotifier(stopSignals.Fd(), QSocketNotifier::Read);
  QObject::connect(&stopNotifier, &QSocketNotifier::activated, [&] {
    stopSignals.Drain();
    // As Quit does; a box or dialog in the way is closed first. During start-up (the
    // password notice) the window is not shown yet: it is then never shown.
    stopRequested = true;
    CloseModalWidgets();
    if (frmMain) frmMain->close();
  });

  try {
    frmMain = std::make_unique<TfrmMain>();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    ShowFatalError(QString::fromUtf8(error.what()));
    return 1;
  }
  auto frmPassword = std::make_unique<TfrmPassword>(frmMain.get());
  frmMain->AttachPasswordDialog(frmPassword.get());
  QObject::connect(frmMain.get(), &TfrmMain::Closed, &app, &QCoreApplication::quit,
                   Qt::QueuedConnection);

  if (!stopRequested) {
    if (!frmMain->isMaximized() && !frmMain->isMinimized()) PlaceAtCentre(*frmMain);
    frmMain->show();
    app.exec();
  }
  // The dialog goes first, then the window: its FormDestroy saves the settings and its
  // server joins every handler before the roster goes away.
  frmPassword.reset();
  frmMain.reset();
  return 0;
}

}  // namespace qs
