#include <QTest>
#include <stdexcept>

#include "tests/ui/UiTest.h"
#include "ui/BoxToolz.h"

namespace qs::test {

namespace {

// Throws from its event handler, as a faulty handler of the program would.
class TThrower : public QObject {
 public:
  bool event(QEvent* event) override {
    if (event->type() == QEvent::User) throw std::runtime_error("Disk full");
    if (event->type() == QEvent::User + 1) ++handled;
    return QObject::event(event);
  }
  int handled = 0;
};

}  // namespace

class BoxToolzTest : public QObject {
  Q_OBJECT

 private slots:
  void NoticeCaptions_data() {
    QTest::addColumn<bool>("swedish");
    QTest::addColumn<bool>("about");
    QTest::addColumn<QString>("given");
    QTest::addColumn<QString>("caption");
    QTest::newRow("information sv") << true << false << QString() << QStringLiteral("Information");
    QTest::newRow("information en") << false << false << QString() << QStringLiteral("Information");
    QTest::newRow("about sv") << true << true << QString() << QStringLiteral("Om...");
    QTest::newRow("about en") << false << true << QString() << QStringLiteral("About...");
    QTest::newRow("given kept") << false << false << QStringLiteral("Password...")
                                << QStringLiteral("Password...");
    QTest::newRow("about given") << true << true << QStringLiteral("Om Sorlbrev - Server 2010")
                                 << QStringLiteral("Om Sorlbrev - Server 2010");
  }
  void NoticeCaptions() {
    QFETCH(bool, swedish);
    QFETCH(bool, about);
    QFETCH(QString, given);
    QFETCH(QString, caption);
    TUiEnvironment env(swedish);
    QWidget owner;
    if (about) {
      ShowAbout(&owner, QStringLiteral("text"), given);
    } else {
      ShowInformation(&owner, QStringLiteral("text"), given);
    }
    QCOMPARE(env.boxes.size(), std::size_t(1));
    QCOMPARE(env.boxes[0].caption, caption);
    QCOMPARE(env.boxes[0].icon, QMessageBox::Information);
    QCOMPARE(env.boxes[0].owner, &owner);
  }

  void ErrorTextGetsAFullStop_data() {
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("text");
    QTest::newRow("letter") << QStringLiteral("Disk full") << QStringLiteral("Disk full.");
    QTest::newRow("full stop") << QStringLiteral("Done.") << QStringLiteral("Done.");
    QTest::newRow("exclamation sorts before") << QStringLiteral("Stop!") << QStringLiteral("Stop!");
    QTest::newRow("digit sorts after") << QStringLiteral("Code 7") << QStringLiteral("Code 7.");
    QTest::newRow("empty") << QString() << QString();
  }
  void ErrorTextGetsAFullStop() {
    QFETCH(QString, message);
    QFETCH(QString, text);
    QCOMPARE(ErrorBoxText(message), text);
  }

  // Qt itself would let the exception end the program; the program shows it and goes on.
  void ExceptionFromAnEventHandlerIsShownAndTheProgramGoesOn() {
    TUiEnvironment env;
    TThrower thrower;
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::User));
    QCoreApplication::postEvent(&thrower, new QEvent(QEvent::Type(QEvent::User + 1)));
    QTRY_COMPARE(thrower.handled, 1);
    QCOMPARE(env.boxes.size(), std::size_t(1));
    QCOMPARE(env.boxes[0].caption, QStringLiteral("Sorlbrev - Server 2010"));
    QCOMPARE(env.boxes[0].text, QStringLiteral("Disk full."));
    QCOMPARE(env.boxes[0].icon, QMessageBox::Critical);
  }

  void FatalBoxHasItsOwnCaptionAndNoOwner() {
    TUiEnvironment env;
    ShowFatalError(QStringLiteral("Could not bind socket. Address and port are already in use."));
    QCOMPARE(env.boxes.size(), std::size_t(1));
    QCOMPARE(env.boxes[0].caption, QStringLiteral("Application Error"));
    QCOMPARE(env.boxes[0].owner, nullptr);
  }
};

QS_UI_TEST(BoxToolzTest);

}  // namespace qs::test

#include "BoxToolzTest.moc"
