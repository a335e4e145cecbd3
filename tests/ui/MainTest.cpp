#include <QAction>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <memory>
#include <thread>
#include <vector>

#include "tests/TestClient.h"
#include "tests/ui/UiTest.h"
#include "ui/Main.h"
#include "ui/Password.h"
#include "ui/REToolz.h"

namespace qs::test {

namespace {

std::unique_ptr<TfrmMain> MakeWindow() {
  TServerOptions options;
  options.port = 0;
  return std::make_unique<TfrmMain>(options);
}

QStringList ListItems(TfrmMain& frm) {
  auto* list = frm.findChild<QListWidget*>(QStringLiteral("lbUsers"));
  QStringList items;
  for (int i = 0; i < list->count(); ++i) items << list->item(i)->text();
  return items;
}

QString Label(TfrmMain& frm, const char* name) {
  return frm.findChild<QLabel*>(QString::fromLatin1(name))->text();
}

QPlainTextEdit* Log(TfrmMain& frm) {
  return frm.findChild<QPlainTextEdit*>(QStringLiteral("RE_Messages"));
}

// What a connection handler does, without a connection: under RosterLock, change the
// roster or set the pending line, then notify.
void Admit(TServerState& state, TThreadsAndUsers& entry) {
  TMutexLock lock(state.RosterLock);  // as an admission step holds it
  state.Roster.Append(&entry);
  state.Notify()->RefreshUserList();
}
void Depart(TServerState& state, TThreadsAndUsers& entry) {
  TMutexLock lock(state.RosterLock);  // as a departure step holds it
  state.Roster.Remove(&entry);
  state.Notify()->RefreshUserList();
}
void Log(TServerState& state, const std::string& line, uint32_t colour) {
  TMutexLock lock(state.RosterLock);  // as a relay step holds it
  state.PendingLogLine = line;
  state.PendingLogColour = colour;
  state.Notify()->FlushPendingLogLine();
}

// A stand-in window that records the tray toggle's steps.
class TFakeTrayWindow final : public ITrayWindow {
 public:
  bool visible = false, foreground = false, minimized = false;
  QStringList steps;

  bool Visible() const override { return visible; }
  bool Foreground() const override { return foreground; }
  bool Minimized() const override { return minimized; }
  void Show() override {
    steps << QStringLiteral("show");
    visible = foreground = true;
  }
  void Hide() override {
    steps << QStringLiteral("hide");
    visible = foreground = false;
  }
  void SetNormal() override {
    steps << QStringLiteral("normal");
    minimized = false;
  }
  void BringToFront() override {
    steps << QStringLiteral("front");
    foreground = true;
  }
  void ScrollLogToEnd() override { steps << QStringLiteral("scroll"); }
  void FocusUserList() override { steps << QStringLiteral("focus"); }
};

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT

 private slots:
  void TextsInBothLanguages_data() {
    QTest::addColumn<bool>("swedish");
    QTest::addColumn<QStringList>("texts");
    QTest::newRow("sv") << true
                        << QStringList{
                               "Sorlbrev - Server 2010", "Användare: (0)", "Meddelanden:", "&Arkiv",
                               "&Ange lösenord...",      "&Avsluta!",      "&Hjälp",       "&Om...",
                               "Sorlbrev - Server 2010"};
    QTest::newRow("en") << false
                        << QStringList{
                               "Quillsend - Server 2010", "Users: (0)", "Messages:", "&File",
                               "&Set password...",        "&Quit!",     "&Help",     "&About...",
                               "Quillsend - Server 2010"};
  }
  void TextsInBothLanguages() {
    QFETCH(bool, swedish);
    QFETCH(QStringList, texts);
    TUiEnvironment env(swedish);
    env.WriteSettings(QStringLiteral("[Main]\nPassword=secret\n"));
    auto frm = MakeWindow();
    const QStringList shown{
        frm->windowTitle(),
        Label(*frm, "lblUsers"),
        Label(*frm, "lblMessages"),
        frm->findChild<QMenu*>(QStringLiteral("mnuMainFile"))->title(),
        frm->findChild<QAction*>(QStringLiteral("mnuMainFileSetPassword"))->text(),
        frm->findChild<QAction*>(QStringLiteral("mnuMainFileQuit"))->text(),
        frm->findChild<QMenu*>(QStringLiteral("mnuMainHelp"))->title(),
        frm->findChild<QAction*>(QStringLiteral("mnuMainHelpAbout"))->text(),
        ApplicationTitle(),
    };
    QCOMPARE(shown, texts);
    QVERIFY(env.boxes.empty());  // a password is set: no start-up notice
  }

  void MenuShortcutsAndSeparator() {
    TUiEnvironment env;
    env.WriteSettings(QStringLiteral("[Main]\nPassword=secret\n"));
    auto frm = MakeWindow();
    auto action = [&](const char* name) {
      return frm->findChild<QAction*>(QString::fromLatin1(name));
    };
    QCOMPARE(action("mnuMainFileSetPassword")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_P));
    QCOMPARE(action("mnuMainFileQuit")->shortcut(), QKeySequence(Qt::CTRL | Qt::Key_Q));
    QCOMPARE(action("mnuMainHelpAbout")->shortcut(), QKeySequence(Qt::Key_F1));
    const auto fileItems = frm->findChild<QMenu*>(QStringLiteral("mnuMainFile"))->actions();
    QCOMPARE(fileItems.size(), 3);
    QVERIFY(fileItems[1]->isSeparator());
    QCOMPARE(fileItems[1]->objectName(), QStringLiteral("mnuMainFileBreak1"));
  }

  void StartupNoticeOnlyWithoutPassword_data() {
    QTest::addColumn<QString>("settings");
    QTest::addColumn<bool>("swedish");
    QTest::addColumn<QString>("notice");
    QTest::newRow("no file, en") << QString() << false
                                 << QStringLiteral(
                                        "Set password in \"File => Set password...\" "
                                        "to activate the server.");
    QTest::newRow("empty password, sv")
        << QStringLiteral("[Main]\nPassword=\n") << true
        << QStringLiteral(
               "Ange lösenord i \"Arkiv => Ange lösenord...\" för att aktivera "
               "servern.");
    QTest::newRow("password set") << QStringLiteral("[Main]\nPassword=x\n") << false << QString();
  }
  void StartupNoticeOnlyWithoutPassword() {
    QFETCH(QString, settings);
    QFETCH(bool, swedish);
    QFETCH(QString, notice);
    TUiEnvironment env(swedish);
    if (!settings.isNull()) env.WriteSettings(settings);
    auto frm = MakeWindow();
    if (notice.isEmpty()) {
      QVERIFY(env.boxes.empty());
      return;
    }
    QCOMPARE(env.boxes.size(), std::size_t(1));
    QCOMPARE(env.boxes[0].caption, QStringLiteral("Information"));
    QCOMPARE(env.boxes[0].text, notice);
    QCOMPARE(env.boxes[0].owner, frm.get());
  }

  // State and size are read at creation and written at destruction, with the exact rules
  // for each "State" value.
  void SettingsRoundTrip_data() {
    QTest::addColumn<QString>("settings");
    QTest::addColumn<int>("width");   // 0: the design width
    QTest::addColumn<int>("height");  // 0: the design height
    QTest::addColumn<QString>("state");
    QTest::addColumn<QString>("writtenWidth");  // "design": the design width
    QTest::addColumn<QString>("writtenHeight");
    QTest::newRow("missing file") << QString() << 0 << 0 << "Normal"
                                  << "design"
                                  << "design";
    QTest::newRow("normal") << "[Main]\nState=Normal\nWidth=800\nHeight=500\nPassword=pw\n"
                            << 800 << 500 << "Normal"
                            << "800"
                            << "500";
    QTest::newRow("wrong case ignored")
        << "[Main]\nState=normal\nWidth=800\nHeight=500\nPassword=pw\n"
        << 0 << 0 << "Normal"
        << "design"
        << "design";
    QTest::newRow("width 100 gives the minimum") << "[Main]\nState=Normal\nWidth=100\nPassword=pw\n"
                                                 << 0 << 0 << "Normal"
                                                 << "design"
                                                 << "design";
    QTest::newRow("hexadecimal") << "[Main]\nState=Normal\nWidth=$320\nHeight=0x1F4\nPassword=pw\n"
                                 << 800 << 500 << "Normal"
                                 << "800"
                                 << "500";
    QTest::newRow("not a number") << "[Main]\nState=Normal\nWidth=wide\nHeight=600\nPassword=pw\n"
                                  << 0 << 600 << "Normal"
                                  << "design"
                                  << "600";
    QTest::newRow("maximized keeps the stored size")
        << "[Main]\nState=Maximized\nWidth=800\nHeight=500\nPassword=pw\n"
        << -1 << -1 << "Maximized"
        << "800"
        << "500";
    QTest::newRow("minimized") << "[Main]\nState=Minimized\nWidth=800\nHeight=500\nPassword=pw\n"
                               << -1 << -1 << "Minimized"
                               << "800"
                               << "500";
  }
  void SettingsRoundTrip() {
    QFETCH(QString, settings);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(QString, state);
    QFETCH(QString, writtenWidth);
    QFETCH(QString, writtenHeight);
    TUiEnvironment env;
    if (!settings.isNull()) env.WriteSettings(settings);
    auto frm = MakeWindow();
    const QSize design = frm->minimumSize();
    QVERIFY(design.width() >= 577);
    QCOMPARE(frm->isMaximized(), state == "Maximized");
    QCOMPARE(frm->isMinimized(), state == "Minimized");
    if (width >= 0) {
      QCOMPARE(frm->width(), width == 0 ? design.width() : width);
      QCOMPARE(frm->height(), height == 0 ? design.height() : height);
    }
    frm.reset();
    QCOMPARE(QString::fromStdString(env.Setting("State")), state);
    QCOMPARE(QString::fromStdString(env.Setting("Width")),
             writtenWidth == "design" ? QString::number(design.width()) : writtenWidth);
    QCOMPARE(QString::fromStdString(env.Setting("Height")),
             writtenHeight == "design" ? QString::number(design.height()) : writtenHeight);
    QCOMPARE(QString::fromStdString(env.Setting("Password")),
             settings.isNull() ? QString() : QStringLiteral("pw"));
  }

  void FirstRunWritesKeysInOrder() {
    TUiEnvironment env;
    MakeWindow().reset();
    const QStringList lines = env.ReadSettings().split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 5);
    QCOMPARE(lines[0], QStringLiteral("[Main]"));
    QVERIFY(lines[1].startsWith(QStringLiteral("State=Normal")));
    QVERIFY(lines[2].startsWith(QStringLiteral("Width=")));
    QVERIFY(lines[3].startsWith(QStringLiteral("Height=")));
    QVERIFY(lines[4].startsWith(QStringLiteral("Password=")));
  }

  // The port is taken: the window is never made, and the settings file is not touched.
  void TakenPortFailsBeforeTheSettingsAreRead() {
    TUiEnvironment env;
    env.WriteSettings(QStringLiteral("[Main]\nPassword=secret\n"));
    auto first = MakeWindow();
    const QString before = env.ReadSettings();
    TServerOptions options;
    options.port = first->BoundPort();
    QVERIFY_THROWS_EXCEPTION(TBindError, TfrmMain{options});
    QCOMPARE(env.ReadSettings(), before);
    QVERIFY(env.boxes.empty());
  }

  void CountLabelUsesFormatCount() {
    TUiEnvironment env;
    TEST_SetLocale(kLocaleEnglishUs, U'\u00A0');
    env.WriteSettings(QStringLiteral("[Main]\nPassword=secret\n"));
    auto frm = MakeWindow();
    std::vector<TThreadsAndUsers> entries(1234);
    {
      TMutexLock lock(frm->State().RosterLock);  // one admission of many, as a handler would
      for (std::size_t i = 0; i < entries.size(); ++i) {
        entries[i].UserName = "user" + std::to_string(i);
        frm->State().Roster.Append(&entries[i]);
      }
      frm->RefreshUserList();
    }
    QTRY_COMPARE(Label(*frm, "lblUsers"), QStringLiteral("Users: (1\u00A0234)"));
    {
      TMutexLock lock(frm->State().RosterLock);  // everyone leaves before the entries go
      for (auto& entry : entries) frm->State().Roster.Remove(&entry);
      frm->RefreshUserList();
    }
    QTRY_COMPARE(Label(*frm, "lblUsers"), QStringLiteral("Users: (0)"));
  }

  // Handler threads change the roster and log at the same time; the window ends up with
  // the roster's names, sorted, and every line in the order the handlers took the lock.
  void RefreshesAndLinesFromHandlerThreads() {
    TUiEnvironment env;
    env.WriteSettings(QStringLiteral("[Main]\nPassword=secret\n"));
    auto frm = MakeWindow();
    TServerState& state = frm->State();
    const std::vector<std::string> names{"carl", "Anna", "bo", "\xC5sa", "dave", "Eva"};
    std::vector<TThreadsAndUsers> entries(names.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < names.size(); ++i) {
      entries[i].UserName = names[i];
      threads.emplace_back([&, i] {
        Admit(state, entries[i]);
        for (int n = 0; n < 50; ++n) {
          Log(state, Latin1ToUtf8(names[i]) + " " + std::to_string(n), kColourNavy);
        }
        if (i == 0 || i == 4) Depart(state, entries[i]);
      });
    }
    for (auto& thread : threads) thread.join();
    // Case does not decide the order.
    QTRY_COMPARE(ListItems(*frm), (QStringList{"Anna", "bo", "Eva", "\u00C5sa"}));
    QCOMPARE(Label(*frm, "lblUsers"), QStringLiteral("Users: (4)"));
    QTRY_COMPARE(Log(*frm)->blockCount(), 300);
    // Each handler's own lines keep their order.
    std::vector<int> next(names.size(), 0);
    for (QTextBlock block = Log(*frm)->document()->firstBlock(); block.isValid();
         block = block.next()) {
      const QStringList parts = block.text().split(u' ');
      const auto who = std::find(names.begin(), names.end(), parts[0].toLatin1().toStdString());
      QVERIFY(who != names.end());
      QCOMPARE(parts[1].toInt(), next[std::size_t(who - names.begin())]++);
    }
  }

  // Clients logging in over TCP show up in the list, with a green line each.
  void RealClientsAppearAndLeave() {
    TUiEnvironment env;
    env.WriteSettings(QStringLiteral("[Main]\nPassword=secret\n"));
    auto frm = MakeWindow();
    auto bo = std::make_unique<TTestClient>(frm->BoundPort());
    QVERIFY(bo->Login("bo"));
    bo->ReadListUnit();
    TTestClient anna(frm->BoundPort());
    QVERIFY(anna.Login("anna"));
    anna.ReadListUnit();
    QTRY_COMPARE(ListItems(*frm), (QStringList{"anna", "bo"}));
    QCOMPARE(Label(*frm, "lblUsers"), QStringLiteral("Users: (2)"));
    bo.reset();
    QTRY_COMPARE(ListItems(*frm), QStringList{"anna"});
    QCOMPARE(Label(*frm, "lblUsers"), QStringLiteral("Users: (1)"));
    QTRY_COMPARE(Log(*frm)->blockCount(), 3);
    const QTextBlock last = Log(*frm)->document()->lastBlock();
    QVERIFY(last.text().contains(QStringLiteral("\"bo\"")));
    QCOMPARE(last.begin().fragment().charFormat().foreground().color(), QColor(0, 0x80, 0));
  }

  void LinesArePlainTextInTheirColours() {
    TUiEnvironment env;
    env.WriteSettings(QStringLiteral("[Main]\nPassword=secret\n"));
    auto frm = MakeWindow();
    Log(frm->State(), "User \"<b>x</b>\" has logged in.", kColourGreen);
    Log(frm->State(), "<i>x</i> <a href=\"y\">hi</a>", kColourNavy);
    QTRY_COMPARE(Log(*frm)->blockCount(), 2);
    const QTextBlock first = Log(*frm)->document()->firstBlock();
    QCOMPARE(first.text(), QStringLiteral("User \"<b>x</b>\" has logged in."));
    QCOMPARE(first.begin().fragment().charFormat().foreground().color(), QColor(0, 0x80, 0));
    QCOMPARE(first.next().text(), QStringLiteral("<i>x</i> <a href=\"y\">hi</a>"));
    QCOMPARE(first.next().begin().fragment().charFormat().foreground().color(), QColor(0, 0, 0x80));
    QVERIFY(!first.next().begin().fragment().charFormat().isAnchor());
  }

  void FlushWithNothingPendingAddsNothing() {
    TUiEnvironment env;
    env.WriteSettings(QStringLiteral("[Main]\nPassword=secret\n"));
    auto frm = MakeWindow();
    Log(frm->State(), "one", kColourGreen);
    {
      TMutexLock lock(frm->State().RosterLock);  // a second flush finds the slot empty
      frm->FlushPendingLogLine();
      QVERIFY(frm->State().PendingLogLine.empty());
    }
    Log(frm->State(), "two", kColourGreen);
    QTRY_COMPARE(Log(*frm)->toPlainText(), QStringLiteral("one\ntwo"));
  }

  // A flood reaches the window in a few large passes, not one repaint per line.
  void FloodIsAppliedInBatches() {
    TUiEnvironment env;
    env.WriteSettings(QStringLiteral("[Main]\nPassword=secret\n"));
    auto frm = MakeWindow();
    QSignalSpy changes(Log(*frm), &QPlainTextEdit::textChanged);
    std::thread handler([&] {
      for (int n = 0; n < 5000; ++n) Log(frm->State(), "line " + std::to_string(n), kColourNavy);
    });
    handler.join();
    QTRY_COMPARE(Log(*frm)->blockCount(), 5000);
    QVERIFY2(changes.count() <= 3, qPrintable(QString::number(changes.count())));
    QCOMPARE(Log(*frm)->document()->lastBlock().text(), QStringLiteral("line 4999"));
  }

  // A new line drops the operator's selection and brings the newest line into view.
  void NewLineMovesCaretAndScrollsToTheEnd() {
    TUiEnvironment env;
    env.WriteSettings(QStringLiteral("[Main]\nPassword=secret\n"));
    auto frm = MakeWindow();
    frm->show();
    QVERIFY(QTest::qWaitForWindowExposed(frm.get()));
    for (int n = 0; n < 200; ++n) Log(frm->State(), "line " + std::to_string(n), kColourNavy);
    QPlainTextEdit* log = Log(*frm);
    QTRY_COMPARE(log->blockCount(), 200);
    QScrollBar* bar = log->verticalScrollBar();
    QVERIFY(bar->maximum() > 0);
    QTextCursor selection(log->document());
    selection.setPosition(5);
    selection.setPosition(20, QTextCursor::KeepAnchor);
    log->setTextCursor(selection);
    bar->setValue(0);

    Log(frm->State(), "newest", kColourGreen);
    QTRY_COMPARE(log->blockCount(), 201);
    QVERIFY(!log->textCursor().hasSelection());
    QCOMPARE(log->textCursor().position(), log->document()->characterCount() - 1);
    QCOMPARE(bar->value(), bar->maximum());
  }

  void CtrlASelectsTheLog_data() {
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<bool>("selectsAll");
    QTest::newRow("ctrl") << int(Qt::ControlModifier) << true;
    QTest::newRow("ctrl shift") << int(Qt::ControlModifier | Qt::ShiftModifier) << false;
    QTest::newRow("ctrl alt") << int(Qt::ControlModifier | Qt::AltModifier) << false;
    QTest::newRow("plain a") << int(Qt::NoModifier) << false;
  }
  void CtrlASelectsTheLog() {
    QFETCH(int, modifiers);
    QFETCH(bool, selectsAll);
    TUiEnvironment env;
    env.WriteSettings(QStringLiteral("[Main]\nPassword=secret\n"));
    auto frm = MakeWindow();
    Log(frm->State(), "first", kColourGreen);
    Log(frm->State(), "second", kColourNavy);
    QPlainTextEdit* log = Log(*frm);
    QTRY_COMPARE(log->blockCount(), 2);
    QTest::keyClick(log, Qt::Key_A, Qt::KeyboardModifiers(modifiers));
    QCOMPARE(log->toPlainText(), QStringLiteral("first\nsecond"));  // typing changes nothing
    QCOMPARE(log->textCursor().selectedText().size(), selectsAll ? log->toPlainText().size() : 0);
  }

  void TrayDoubleClickToggles_data() {
    QTest::addColumn<bool>("visible");
    QTest::addColumn<bool>("foreground");
    QTest::addColumn<bool>("minimized");
    QTest::addColumn<QStringList>("steps");
    QTest::newRow("in the tray") << false << false << false
                                 << QStringList{"show", "scroll", "focus"};
    QTest::newRow("minimised on the taskbar")
        << true << false << true << QStringList{"normal", "front", "scroll", "focus"};
    QTest::newRow("covered") << true << false << false << QStringList{"front", "scroll", "focus"};
    QTest::newRow("in front") << true << true << false << QStringList{"hide"};
  }
  void TrayDoubleClickToggles() {
    QFETCH(bool, visible);
    QFETCH(bool, foreground);
    QFETCH(bool, minimized);
    QFETCH(QStringList, steps);
    TFakeTrayWindow window;
    window.visible = visible;
    window.foreground = foreground;
    window.minimized = minimized;
    qs::TrayToggle(window);
    QCOMPARE(window.steps, steps);
  }

  // Minimise hides to the tray only where a tray exists; otherwise the window could be lost.
  void MinimiseGoesToTheTrayOnlyWithATray_data() {
    QTest::addColumn<bool>("tray");
    QTest::addColumn<bool>("maximized");
    QTest::newRow("tray") << true << false;
    QTest::newRow("tray, maximised") << true << true;
    QTest::newRow("no tray") << false << false;
  }
  void MinimiseGoesToTheTrayOnlyWithATray() {
    QFETCH(bool, tray);
    QFETCH(bool, maximized);
    TUiEnvironment env;
    env.WriteSettings(QStringLiteral("[Main]\nPassword=secret\n"));
    auto frm = MakeWindow();
    frm->TEST_SetTrayAvailable(tray);
    if (maximized) frm->setWindowState(Qt::WindowMaximized);
    frm->show();
    QVERIFY(QTest::qWaitForWindowExposed(frm.get()));
    frm->setWindowState(frm->windowState() | Qt::WindowMinimized);
    if (!tray) {
      QVERIFY(frm->isVisible());
      QVERIFY(frm->isMinimized());
      return;
    }
    QTRY_VERIFY(!frm->isVisible());
    QVERIFY(!frm->isMinimized());
    QCOMPARE(frm->isMaximized(), maximized);
    frm->TrayIconMainDblClick();
    QVERIFY(frm->isVisible());
    QCOMPARE(frm->isMaximized(), maximized);
  }

  void AboutBox_data() {
    QTest::addColumn<bool>("swedish");
    QTest::addColumn<QString>("caption");
    QTest::newRow("sv") << true << QStringLiteral("Om Sorlbrev - Server 2010");
    QTest::newRow("en") << false << QStringLiteral("About Quillsend - Server 2010");
  }
  void AboutBox() {
    QFETCH(bool, swedish);
    QFETCH(QString, caption);
    TUiEnvironment env(swedish);
    env.WriteSettings(QStringLiteral("[Main]\nPassword=secret\n"));
    auto frm = MakeWindow();
    frm->findChild<QAction*>(QStringLiteral("mnuMainHelpAbout"))->trigger();
    QCOMPARE(env.boxes.size(), std::size_t(1));
    QCOMPARE(env.boxes[0].caption, caption);
    QVERIFY(env.boxes[0].text.contains(QStringLiteral("Quillsend Server")));
    QCOMPARE(env.boxes[0].owner, frm.get());
  }

  void QuitClosesTheWindow() {
    TUiEnvironment env;
    env.WriteSettings(QStringLiteral("[Main]\nPassword=secret\n"));
    auto frm = MakeWindow();
    frm->show();
    QSignalSpy closed(frm.get(), &TfrmMain::Closed);
    frm->findChild<QAction*>(QStringLiteral("mnuMainFileQuit"))->trigger();
    QCOMPARE(closed.count(), 1);
    QVERIFY(!frm->isVisible());
  }

  // The end with clients still logged in: the server joins every handler, whose departures
  // still reach the window's queue, without waiting for the (blocked) UI thread.
  void EndWithClientsLoggedIn() {
    TUiEnvironment env;
    env.WriteSettings(QStringLiteral("[Main]\nPassword=secret\n"));
    auto frm = MakeWindow();
    std::vector<std::unique_ptr<TTestClient>> clients;
    for (const char* name : {"anna", "bo", "carl"}) {
      clients.push_back(std::make_unique<TTestClient>(frm->BoundPort()));
      QVERIFY(clients.back()->Login(name));
      clients.back()->ReadListUnit();
    }
    QTRY_COMPARE(ListItems(*frm).size(), 3);
    frm.reset();
    QCOMPARE(QString::fromStdString(env.Setting("Password")), QStringLiteral("secret"));
    for (auto& client : clients) {
      while (!client->ReadLine(kWaitMs).empty()) {
      }  // departures of the others, then the end of the connection
    }
  }
};

QS_UI_TEST(MainWindowTest);

}  // namespace qs::test

#include "MainTest.moc"
