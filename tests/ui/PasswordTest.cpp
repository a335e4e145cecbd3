#include <QAction>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "tests/TestClient.h"
#include "tests/ui/UiTest.h"
#include "ui/Main.h"
#include "ui/MaskedEdit.h"
#include "ui/Password.h"

namespace qs::test {

namespace {

QLineEdit* Box(QWidget* dialog) {
  return dialog->findChild<QLineEdit*>(QStringLiteral("txtPassword"));
}

// The main window and its dialog as the program makes them.
struct TWindows {
  explicit TWindows(TServerOptions options) : frmMain(options), frmPassword(&frmMain) {
    frmMain.AttachPasswordDialog(&frmPassword);
  }
  TfrmMain frmMain;
  TfrmPassword frmPassword;
};

std::unique_ptr<TWindows> MakeWindows() {
  TServerOptions options;
  options.port = 0;
  return std::make_unique<TWindows>(options);
}

}  // namespace

class PasswordTest : public QObject {
  Q_OBJECT

 private slots:
  void TextsAndLayout_data() {
    QTest::addColumn<bool>("swedish");
    QTest::addColumn<QStringList>("texts");
    QTest::newRow("sv") << true << QStringList{"Lösenord...", "Lösenord:", "OK", "Avbryt"};
    QTest::newRow("en") << false << QStringList{"Password...", "Password:", "OK", "Cancel"};
  }
  void TextsAndLayout() {
    QFETCH(bool, swedish);
    QFETCH(QStringList, texts);
    TUiEnvironment env(swedish);
    TfrmPassword dialog;
    auto* label = dialog.findChild<QLabel*>(QStringLiteral("lblPassword"));
    auto* ok = dialog.findChild<QPushButton*>(QStringLiteral("btnOK"));
    auto* cancel = dialog.findChild<QPushButton*>(QStringLiteral("btnCancel"));
    QCOMPARE((QStringList{dialog.windowTitle(), label->text(), ok->text(), cancel->text()}), texts);
    QCOMPARE(dialog.size(), QSize(249, 129));
    QCOMPARE(dialog.minimumSize(), dialog.maximumSize());
    QVERIFY(ok->isDefault());
    QVERIFY(!ok->icon().isNull());
    QVERIFY(!cancel->icon().isNull());
    QVERIFY(cancel->geometry().left() < ok->geometry().left());
    // The label is sized to its text, whatever the font makes of it.
    QVERIFY(label->width() >= label->sizeHint().width());
  }

  void MaskedWithAsterisks() {
    TUiEnvironment env;
    TfrmPassword dialog;
    QLineEdit* box = Box(&dialog);
    QCOMPARE(box->echoMode(), QLineEdit::Password);
    QCOMPARE(box->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, box),
             int('*'));
  }

  // At most 256 typed characters, but a longer text the program puts in stays whole.
  void TypingLimit() {
    TUiEnvironment env;
    TfrmPassword dialog;
    QLineEdit* box = Box(&dialog);
    box->setText(QString(250, u'a'));
    box->end(false);
    QTest::keyClicks(box, QStringLiteral("bbbbbbbbbb"));
    QCOMPARE(box->text().size(), TMaskedEdit::kMaxTyped);

    dialog.SetPassword(QString(300, u'c'));
    QCOMPARE(dialog.Password().size(), 300);
    box->end(false);
    QTest::keyClick(box, Qt::Key_D);
    QCOMPARE(box->text().size(), 300);
    QTest::keyClick(box, Qt::Key_Backspace);
    QCOMPARE(box->text().size(), 299);
  }

  // The whole password is selected when the dialog opens, so typing replaces it.
  void OpensWithTheCurrentPasswordSelected() {
    TUiEnvironment env;
    env.WriteSettings(QStringLiteral("[Main]\nPassword=old\n"));
    auto windows = MakeWindows();
    QString selected;
    TModalDriver driver([&](QWidget* dialog) {
      QTRY_VERIFY(Box(dialog)->hasFocus());
      selected = Box(dialog)->selectedText();
      QTest::keyClicks(Box(dialog), QStringLiteral("new"));
      QTest::keyClick(Box(dialog), Qt::Key_Return);  // Enter presses OK
    });
    windows->frmMain.mnuMainFileSetPasswordClick();
    QVERIFY(driver.Acted());
    QCOMPARE(selected, QStringLiteral("old"));
    QCOMPARE(windows->frmMain.State().ServerPassword(), std::string("new"));
  }

  // Every way out of the dialog: OK replaces the password and confirms; anything else
  // keeps it, says nothing, and the next opening shows the current password again.
  void Flows_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("password");
    QTest::addColumn<bool>("confirmed");
    QTest::newRow("ok") << "ok"
                        << "n3w!"
                        << "n3w!" << true;
    QTest::newRow("ok unchanged") << "ok" << QString() << "old" << true;
    QTest::newRow("ok empty") << "clear-ok" << QString() << "" << true;
    QTest::newRow("cancel") << "cancel"
                            << "edited"
                            << "old" << false;
    QTest::newRow("escape") << "escape"
                            << "edited"
                            << "old" << false;
    QTest::newRow("close button") << "close"
                                  << "edited"
                                  << "old" << false;
  }
  void Flows() {
    QFETCH(QString, how);
    QFETCH(QString, typed);
    QFETCH(QString, password);
    QFETCH(bool, confirmed);
    TUiEnvironment env;
    env.WriteSettings(QStringLiteral("[Main]\nPassword=old\n"));
    auto windows = MakeWindows();
    TModalDriver driver([&](QWidget* dialog) {
      QLineEdit* box = Box(dialog);
      box->end(false);
      if (how == "clear-ok") box->clear();
      QTest::keyClicks(box, typed);
      if (how == "ok" || how == "clear-ok") {
        QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("btnOK")), Qt::LeftButton);
      } else if (how == "cancel") {
        QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("btnCancel")),
                          Qt::LeftButton);
      } else if (how == "escape") {
        QTest::keyClick(box, Qt::Key_Escape);
      } else {
        dialog->close();
      }
    });
    windows->frmMain.mnuMainFileSetPasswordClick();
    QVERIFY(driver.Acted());
    const QString expected = how == "ok" ? QStringLiteral("old") + typed : password;
    QCOMPARE(QString::fromStdString(windows->frmMain.State().ServerPassword()), expected);
    QCOMPARE(windows->frmPassword.Password(), expected);
    QCOMPARE(windows->frmPassword.result(),
             confirmed ? TfrmPassword::kResultOk : TfrmPassword::kResultCancel);
    if (confirmed) {
      QCOMPARE(env.boxes.size(), std::size_t(1));
      QCOMPARE(env.boxes[0].caption, QStringLiteral("Information"));
      QCOMPARE(env.boxes[0].text,
               QStringLiteral("The changes apply to new connections from now on."));
      QCOMPARE(env.boxes[0].owner, &windows->frmMain);
    } else {
      QVERIFY(env.boxes.empty());
    }
    windows.reset();
    QCOMPARE(QString::fromStdString(env.Setting("Password")), expected);
  }

  // A new password applies to the next login; a client already in stays in.
  void NewPasswordAppliesToNewConnections() {
    TUiEnvironment env;
    env.WriteSettings(QStringLiteral("[Main]\nPassword=old\n"));
    auto windows = MakeWindows();
    TTestClient before(windows->frmMain.BoundPort());
    QVERIFY(before.Login("anna", "old"));
    before.ReadListUnit();
    TModalDriver driver([&](QWidget* dialog) {
      Box(dialog)->setText(QStringLiteral("n\u00E4w"));
      QTest::keyClick(Box(dialog), Qt::Key_Return);
    });
    windows->frmMain.mnuMainFileSetPasswordClick();
    QVERIFY(driver.Acted());
    TTestClient stale(windows->frmMain.BoundPort());
    QVERIFY(!stale.Login("bo", "old"));
    TTestClient fresh(windows->frmMain.BoundPort());
    QVERIFY(fresh.Login("carl", "n\xE4w"));                 // the wire's one byte for ä
    QCOMPARE(before.ReadListUnit()[0], std::string("LA"));  // anna is still there
  }
};

QS_UI_TEST(PasswordTest);

}  // namespace qs::test

#include "PasswordTest.moc"
