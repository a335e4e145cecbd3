#include "ui/Main.h"

#include <QCloseEvent>
#include <QCollator>
#include <QFile>
#include <QKeyEvent>
#include <QLocale>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QSystemTrayIcon>
#include <QTextCursor>
#include <QWindowStateChangeEvent>
#include <algorithm>
#include <iterator>

#include "support/INIToolz.h"
#include "support/Toolz.h"
#include "ui/BoxToolz.h"
#include "ui/FontToolz.h"
#include "ui/Password.h"
#include "ui/REToolz.h"

namespace qs {

namespace {

// Enough lines per pass that a flood is drawn in few repaints, few enough that one pass
// never holds the event loop for long.
constexpr std::size_t kMaxHandoffsPerPass = 2000;

QString Choose(const char* swedish, const char* english) {
  return QString::fromUtf8(ChooseText(IsSwedish(), swedish, english));
}

QString CountText(int count) {
  return Choose("Användare", "Users") + QStringLiteral(": (") +
         QString::fromUtf8(FormatCount(count)) + u')';
}

}  // namespace

void TrayToggle(ITrayWindow& window) {
  if (!window.Visible()) {
    window.Show();
  } else if (window.Foreground()) {
    window.Hide();
    return;
  }
  if (window.Minimized()) window.SetNormal();
  if (!window.Foreground()) window.BringToFront();
  if (window.Visible()) {
    window.ScrollLogToEnd();
    window.FocusUserList();
  }
}

class TfrmMain::TTrayWindow final : public ITrayWindow {
 public:
  explicit TTrayWindow(TfrmMain& form) : form_(form) {}
  bool Visible() const override { return form_.isVisible(); }
  bool Foreground() const override { return form_.isActiveWindow(); }
  bool Minimized() const override { return form_.isMinimized(); }
  void Show() override {
    form_.show();
    BringToFront();
  }
  void Hide() override { form_.hide(); }
  void SetNormal() override { form_.setWindowState(form_.windowState() & ~Qt::WindowMinimized); }
  void BringToFront() override {
    form_.raise();
    form_.activateWindow();
  }
  void ScrollLogToEnd() override {
    if (form_.RE_Messages->isEnabled()) {
      QScrollBar* bar = form_.RE_Messages->verticalScrollBar();
      bar->setValue(bar->maximum());
    }
  }
  void FocusUserList() override {
    if (form_.lbUsers->isEnabled()) form_.lbUsers->setFocus(Qt::OtherFocusReason);
  }

 private:
  TfrmMain& form_;
};

TfrmMain::TfrmMain(TServerOptions options, QWidget* parent) : QMainWindow(parent) {
  setupUi(this);
  // The design's client area is 577 x 281 below the menu bar.
  resize(577, 281 + mnuMain->sizeHint().height());
  lblUsers->setFont(LabelFont());
  lblMessages->setFont(LabelFont());
  lbUsers->setFont(FixedFont());
  RE_Messages->setFont(FixedFont());
  mnuMainFileBreak1 = new QAction(this);
  mnuMainFileBreak1->setObjectName(QStringLiteral("mnuMainFileBreak1"));
  mnuMainFileBreak1->setSeparator(true);
  mnuMainFile->insertAction(mnuMainFileQuit, mnuMainFileBreak1);

  TrayIconMain = new QSystemTrayIcon(QIcon(QStringLiteral(":/icons/check16.png")), this);
  TrayIconMain->setObjectName(QStringLiteral("TrayIconMain"));

  connect(mnuMainFileSetPassword, &QAction::triggered, this,
          &TfrmMain::mnuMainFileSetPasswordClick);
  connect(mnuMainFileQuit, &QAction::triggered, this, &TfrmMain::mnuMainFileQuitClick);
  connect(mnuMainHelpAbout, &QAction::triggered, this, &TfrmMain::mnuMainHelpAboutClick);
  connect(RE_Messages, &QPlainTextEdit::textChanged, this, &TfrmMain::RE_MessagesChange);
  connect(TrayIconMain, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::DoubleClick) TrayIconMainDblClick();
          });
  RE_Messages->installEventFilter(this);
  reportPath_ = qEnvironmentVariable("QS_TEST_REPORT");

  // The server listens before FormCreate runs; until FormCreate loads a password it turns
  // every client away without touching the roster.
  state_ = std::make_unique<TServerState>(this);
  server_ = std::make_unique<TChatServer>(*state_, options);
  server_->Activate();
  FormCreate();
}

TfrmMain::~TfrmMain() {
  FormDestroy();
  // Handlers that end now still call RefreshUserList and FlushPendingLogLine; those only
  // queue, so joining them here cannot deadlock.
  server_->Deactivate();
  server_.reset();
  state_.reset();
}

void TfrmMain::AttachPasswordDialog(TfrmPassword* dialog) {
  frmPassword_ = dialog;
}

void TfrmMain::FormCreate() {
  if (!IsSwedish()) {
    SetApplicationTitle(QStringLiteral("Quillsend - Server 2010"));
    setWindowTitle(ApplicationTitle());
    mnuMainFile->setTitle(QStringLiteral("&File"));
    mnuMainFileQuit->setText(QStringLiteral("&Quit!"));
    mnuMainHelp->setTitle(QStringLiteral("&Help"));
    mnuMainHelpAbout->setText(QStringLiteral("&About..."));
    mnuMainFileSetPassword->setText(QStringLiteral("&Set password..."));
    lblMessages->setText(QStringLiteral("Messages:"));
  }
  lblUsers->setText(CountText(lbUsers->count()));
  setMinimumSize(size());

  const std::string stateName = IniReadString("Main", "State", "Normal");
  if (stateName == "Normal") {
    setWindowState(Qt::WindowNoState);
    resize(IniReadInteger("Main", "Width", width()), height());
    resize(width(), IniReadInteger("Main", "Height", height()));
  } else if (stateName == "Maximized") {
    setWindowState(Qt::WindowMaximized);
  } else if (stateName == "Minimized") {
    setWindowState(Qt::WindowMinimized);
  }

  TrayIconMain->setToolTip(ApplicationTitle());
  TrayIconMain->show();

  // The roster and its lock exist already (state_); only now may a password let clients in.
  state_->SetServerPassword(IniReadString("Main", "Password", state_->ServerPassword()));
  if (state_->ServerPassword().empty()) {
    ShowInformation(this, Choose("Ange lösenord i \"Arkiv => Ange lösenord...\" för att "
                                 "aktivera servern.",
                                 "Set password in \"File => Set password...\" to activate the "
                                 "server."));
  }
}

void TfrmMain::FormDestroy() {
  const Qt::WindowStates states = windowState();
  if (states & Qt::WindowMinimized) {
    IniWriteString("Main", "State", "Minimized");
  } else if (states & Qt::WindowMaximized) {
    IniWriteString("Main", "State", "Maximized");
  } else {
    IniWriteString("Main", "State", "Normal");
    IniWriteInteger("Main", "Width", width());
    IniWriteInteger("Main", "Height", height());
  }
  IniWriteString("Main", "Password", state_->ServerPassword());
}

void TfrmMain::FormResize() {
  update();
}

bool TfrmMain::HandleSysCommand(unsigned command) {
  if (command != kScMinimize) return false;
  hide();
  return true;
}

void TfrmMain::TrayIconMainDblClick() {
  TTrayWindow window(*this);
  TrayToggle(window);
}

void TfrmMain::RefreshUserList() {
  state_->RosterLock.AssertHeld();  // a handler holds it while it calls
  THandoff handoff;
  handoff.isList = true;
  for (const std::string& name : state_->Roster.Names()) {
    handoff.names.append(
        DisplayText(QString::fromLatin1(name.data(), qsizetype(name.size())), false));
  }
  Post(std::move(handoff));
}

void TfrmMain::FlushPendingLogLine() {
  state_->RosterLock.AssertHeld();  // a handler holds it while it calls
  TServerState::TLogLine line = state_->TakePendingLogLine();
  if (line.text.empty()) return;
  THandoff handoff;
  handoff.text =
      DisplayText(QString::fromUtf8(line.text.data(), qsizetype(line.text.size())), true);
  handoff.colour = line.colour;
  Post(std::move(handoff));
}

void TfrmMain::Post(THandoff handoff) {
  bool wake = false;
  {
    TMutexLock lock(handoffLock_);  // append only; the UI thread applies later
    handoffs_.push_back(std::move(handoff));
    wake = !applyPosted_;
    applyPosted_ = true;
  }
  // One pass is queued for any number of notifications; it takes them all in call order.
  if (wake) QMetaObject::invokeMethod(this, &TfrmMain::ApplyHandoffs, Qt::QueuedConnection);
}

void TfrmMain::ApplyHandoffs() {
  std::vector<THandoff> batch;
  bool more = false;
  {
    TMutexLock lock(handoffLock_);  // take a batch, apply it without the lock
    if (handoffs_.size() <= kMaxHandoffsPerPass) {
      batch.swap(handoffs_);
      applyPosted_ = false;
    } else {
      const auto end = handoffs_.begin() + kMaxHandoffsPerPass;
      batch.assign(std::make_move_iterator(handoffs_.begin()), std::make_move_iterator(end));
      handoffs_.erase(handoffs_.begin(), end);
      more = true;
    }
  }
  // Only the last list of a batch can be seen; the ones before it would be drawn over.
  std::size_t lastList = batch.size();
  for (std::size_t i = 0; i < batch.size(); ++i) {
    if (batch[i].isList) lastList = i;
  }
  // The log is laid out and scrolled once for the whole batch; the list is shown once.
  std::vector<TColouredLine> lines;
  lines.reserve(batch.size());
  for (std::size_t i = 0; i < batch.size(); ++i) {
    if (!batch[i].isList) {
      lines.push_back({std::move(batch[i].text), batch[i].colour, 0});
    } else if (i == lastList) {
      try {
        ApplyUserList(std::move(batch[i].names));
      } catch (const std::exception&) {
        // A list that cannot be shown is dropped; the next one is tried afresh.
      }
    }
  }
  if (!lines.empty()) {
    try {
      {
        const QSignalBlocker quiet(RE_Messages);  // one change notice for the whole batch
        AppendColouredLines(*RE_Messages, lines);
      }
      RE_MessagesChange();
    } catch (const std::exception&) {
      // Lines that cannot be shown are dropped; the next batch is tried afresh.
    }
  }
  if (!reportPath_.isEmpty()) WriteTestReport();
  if (more) QMetaObject::invokeMethod(this, &TfrmMain::ApplyHandoffs, Qt::QueuedConnection);
}

void TfrmMain::ApplyUserList(QStringList names) {
  QCollator collator{QLocale()};
  collator.setCaseSensitivity(Qt::CaseInsensitive);
  std::stable_sort(names.begin(), names.end(),
                   [&collator](const QString& a, const QString& b) { return collator(a, b); });
  lbUsers->setUpdatesEnabled(false);
  lbUsers->clear();
  lbUsers->addItems(names);
  lbUsers->setUpdatesEnabled(true);
  lblUsers->setText(CountText(lbUsers->count()));
}

void TfrmMain::RE_MessagesChange() {
  QTextCursor caret = RE_Messages->textCursor();
  caret.movePosition(QTextCursor::End);
  RE_Messages->setTextCursor(caret);
  if (RE_Messages->isEnabled()) {
    QScrollBar* bar = RE_Messages->verticalScrollBar();
    bar->setValue(bar->maximum());
  }
}

void TfrmMain::RE_MessagesKeyDown(int& key, Qt::KeyboardModifiers shift) {
  const Qt::KeyboardModifiers held =
      shift & (Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier);
  if (key == Qt::Key_A && held == Qt::ControlModifier) RE_Messages->selectAll();
}

void TfrmMain::mnuMainFileSetPasswordClick() {
  if (!frmPassword_) return;
  const QString current = QString::fromUtf8(state_->ServerPassword());
  frmPassword_->SetPassword(current);
  if (frmPassword_->exec() == TfrmPassword::kResultOk) {
    state_->SetServerPassword(frmPassword_->Password().toStdString());
    ShowInformation(this, Choose("Ändringarna gäller för nya anslutningar från och med nu.",
                                 "The changes apply to new connections from now on."));
  } else {
    frmPassword_->SetPassword(current);
  }
}

void TfrmMain::mnuMainFileQuitClick() {
  close();
}

void TfrmMain::mnuMainHelpAboutClick() {
  ShowAbout(this,
            Choose("Quillsend Server, skriven av projektet Quillsend Server.",
                   "Quillsend Server, written by the Quillsend Server project."),
            Choose("Om", "About") + u' ' + ApplicationTitle());
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  event->accept();
  emit Closed();
}

void TfrmMain::changeEvent(QEvent* event) {
  QMainWindow::changeEvent(event);
  if (event->type() != QEvent::WindowStateChange || !isVisible()) return;
  const auto* change = static_cast<QWindowStateChangeEvent*>(event);
  const Qt::WindowStates before = change->oldState();
  if (!isMinimized() || (before & Qt::WindowMinimized) || !TrayAvailable()) return;
  // Qt reports a minimise after the fact; the window goes to the tray in the state it had,
  // once the platform has finished with this change.
  QMetaObject::invokeMethod(
      this,
      [this, before] {
        if (isMinimized() && HandleSysCommand(kScMinimize)) setWindowState(before);
      },
      Qt::QueuedConnection);
}

void TfrmMain::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  FormResize();
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == RE_Messages && event->type() == QEvent::KeyPress) {
    int key = static_cast<QKeyEvent*>(event)->key();
    RE_MessagesKeyDown(key, static_cast<QKeyEvent*>(event)->modifiers());
  }
  return QMainWindow::eventFilter(watched, event);
}

bool TfrmMain::TrayAvailable() const {
  if (trayOverride_ >= 0) return trayOverride_ == 1;
  // Asked each time: a tray can come and go with the desktop session.
  return QSystemTrayIcon::isSystemTrayAvailable();
}

// For the end-to-end test, which cannot read the window: what the list and log now show.
void TfrmMain::WriteTestReport() const {
  QFile file(reportPath_);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;
  QString report = QStringLiteral("label=") + lblUsers->text() + u'\n';
  for (int i = 0; i < lbUsers->count(); ++i)
    report += QStringLiteral("user=") + lbUsers->item(i)->text() + u'\n';
  report += QStringLiteral("loglines=") +
            QString::number(RE_Messages->document()->isEmpty() ? 0 : RE_Messages->blockCount()) +
            u'\n';
  file.write(report.toUtf8());
}

}  // namespace qs
