// The operator's window: the sorted user list with its count, the event log, the menu and
// the tray icon. It owns the server state and the chat server.
//
// Threads: everything here runs on the UI thread except RefreshUserList and
// FlushPendingLogLine, which connection handlers call on their own threads while they hold
// RosterLock. Those two copy what they need and queue it to the UI thread; they never wait
// for it, because at shutdown the UI thread waits for the handlers to end.
#pragma once

#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <memory>
#include <vector>

#include "server/Handler.h"
#include "server/Mutex.h"
#include "server/Roster.h"
#include "ui_Main.h"  // generated from Main.ui

class QSystemTrayIcon;

namespace qs {

class TfrmPassword;

// The window operations a tray double-click uses, so the toggle can be driven without a
// desktop.
class ITrayWindow {
 public:
  virtual ~ITrayWindow() = default;
  virtual bool Visible() const = 0;
  virtual bool Foreground() const = 0;
  virtual bool Minimized() const = 0;
  virtual void Show() = 0;  // visible and in front
  virtual void Hide() = 0;
  virtual void SetNormal() = 0;
  virtual void BringToFront() = 0;
  virtual void ScrollLogToEnd() = 0;
  virtual void FocusUserList() = 0;
};

// A double-click on the tray icon: a hidden, minimised or covered window comes to the
// front; one already in front goes to the tray.
void TrayToggle(ITrayWindow& window);

// The system command that hides the window to the tray.
inline constexpr unsigned kScMinimize = 0xF020;

class TfrmMain final : public QMainWindow, public IServerNotify, private Ui::TfrmMain {
  Q_OBJECT

 public:
  // Builds the window from its design, starts the server, then runs FormCreate. Throws
  // TBindError when the port is taken; nothing of the settings file is touched then.
  explicit TfrmMain(TServerOptions options = {}, QWidget* parent = nullptr);
  // FormDestroy, then the server stops and every handler ends; the state goes last.
  ~TfrmMain() override;
  TfrmMain(const TfrmMain&) = delete;
  TfrmMain& operator=(const TfrmMain&) = delete;

  // The dialog lives beside the window (created after it, destroyed before it).
  void AttachPasswordDialog(TfrmPassword* dialog);

  TServerState& State() { return *state_; }
  uint16_t BoundPort() const { return server_->BoundPort(); }

  // IServerNotify: handler threads, RosterLock held.
  void RefreshUserList() override;
  void FlushPendingLogLine() override;

  // Event handlers, UI thread.
  void FormCreate();
  void FormDestroy();
  void FormResize();
  // Returns whether the command was handled (and is not to be passed on).
  bool HandleSysCommand(unsigned command);
  void TrayIconMainDblClick();
  void RE_MessagesChange();
  void RE_MessagesKeyDown(int& key, Qt::KeyboardModifiers shift);
  void mnuMainFileSetPasswordClick();
  void mnuMainFileQuitClick();
  void mnuMainHelpAboutClick();

  // Whether a minimise goes to the tray; by default whether the desktop has a tray now.
  void TEST_SetTrayAvailable(bool available) { trayOverride_ = available ? 1 : 0; }

 signals:
  // The window was closed: the program ends.
  void Closed();

 protected:
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // One notification on its way to the UI thread.
  struct THandoff {
    bool isList = false;
    QStringList names;  // isList
    QString text;       // a log line otherwise
    uint32_t colour = 0;
  };
  class TTrayWindow;

  void Post(THandoff handoff);
  void ApplyHandoffs();
  void ApplyUserList(QStringList names);
  bool TrayAvailable() const;
  void WriteTestReport() const;

  QSystemTrayIcon* TrayIconMain = nullptr;
  QAction* mnuMainFileBreak1 = nullptr;
  QPointer<TfrmPassword> frmPassword_;
  int trayOverride_ = -1;
  QString reportPath_;

  // The queued hand-off. Handlers take this lock while they hold RosterLock; the UI thread
  // takes it alone, only to take the queue, so neither ever waits on the other's work.
  TMutex handoffLock_;
  std::vector<THandoff> handoffs_ QS_GUARDED_BY(handoffLock_);
  bool applyPosted_ QS_GUARDED_BY(handoffLock_) = false;

  // Declared after the hand-off: the server must stop before anything it calls goes away.
  std::unique_ptr<TServerState> state_;
  std::unique_ptr<TChatServer> server_;
};

}  // namespace qs
