#include <QPlainTextEdit>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>

#include "server/Roster.h"
#include "tests/ui/UiTest.h"
#include "ui/REToolz.h"

namespace qs::test {

namespace {

QColor ColourOfBlock(const QTextBlock& block) {
  return block.begin().fragment().charFormat().foreground().color();
}

}  // namespace

class REToolzTest : public QObject {
  Q_OBJECT

 private slots:
  void ColourFromBgrTakesRedFromTheLowByte_data() {
    QTest::addColumn<uint>("bgr");
    QTest::addColumn<QColor>("colour");
    QTest::newRow("green") << uint(kColourGreen) << QColor(0x00, 0x80, 0x00);
    QTest::newRow("navy") << uint(kColourNavy) << QColor(0x00, 0x00, 0x80);
    QTest::newRow("red") << 0x0000FFu << QColor(0xFF, 0x00, 0x00);
    QTest::newRow("high byte ignored") << 0xFF123456u << QColor(0x56, 0x34, 0x12);
  }
  void ColourFromBgrTakesRedFromTheLowByte() {
    QFETCH(uint, bgr);
    QFETCH(QColor, colour);
    QCOMPARE(ColourFromBgr(bgr), colour);
  }

  // The insertion format is the one found at the end before the append (the previous
  // line's), so a line's colour never leaks into what is typed or inserted next.
  void LinesKeepTheirColoursAndTheInsertionFormat() {
    QPlainTextEdit box;
    AppendColouredLine(box, QStringLiteral("in"), kColourGreen, 0);
    AppendColouredLine(box, QString(), kColourNavy, 0);  // adds nothing
    AppendColouredLine(box, QStringLiteral("chat"), kColourNavy, 0);
    AppendColouredLine(box, QStringLiteral("out"), kColourGreen, kStyleBold);

    QCOMPARE(box.toPlainText(), QStringLiteral("in\nchat\nout"));
    QTextBlock block = box.document()->firstBlock();
    QCOMPARE(ColourOfBlock(block), QColor(0, 0x80, 0));
    block = block.next();
    QCOMPARE(ColourOfBlock(block), QColor(0, 0, 0x80));
    QCOMPARE(block.begin().fragment().charFormat().fontWeight(), int(QFont::Normal));
    block = block.next();
    QCOMPARE(block.begin().fragment().charFormat().fontWeight(), int(QFont::Bold));

    QCOMPARE(box.currentCharFormat().foreground().color(), QColor(0, 0, 0x80));
    QCOMPARE(box.currentCharFormat().fontWeight(), int(QFont::Normal));
    QCOMPARE(box.textCursor().position(), box.document()->characterCount() - 1);
    QVERIFY(!box.textCursor().hasSelection());
  }

  // A name or chat text is shown as the characters it is, never read as markup.
  void MarkupStaysLiteral_data() {
    QTest::addColumn<QString>("text");
    QTest::newRow("html") << QStringLiteral("<b>bold</b> <img src=x> &amp;");
    QTest::newRow("rich text start") << QStringLiteral("<!DOCTYPE html><html><body>x");
    QTest::newRow("qt rich") << QStringLiteral("<qt>hello</qt>");
  }
  void MarkupStaysLiteral() {
    QFETCH(QString, text);
    QPlainTextEdit box;
    AppendColouredLine(box, text, kColourNavy, 0);
    QCOMPARE(box.toPlainText(), text);
    QCOMPARE(box.document()->blockCount(), 1);
    QVERIFY(!box.document()->firstBlock().begin().fragment().charFormat().isImageFormat());
  }

  void DisplayTextShowsControlCharacters_data() {
    QTest::addColumn<QString>("raw");
    QTest::addColumn<bool>("lineBreaks");
    QTest::addColumn<QString>("shown");
    QTest::newRow("plain latin-1") << QStringLiteral("åäö ÿ") << true << QStringLiteral("åäö ÿ");
    QTest::newRow("nul") << QString(QChar(0)) + u'x' << true << QStringLiteral("\u2400x");
    QTest::newRow("cr lf in chat")
        << QStringLiteral("a\r\nb") << true << QStringLiteral("a\u240D\u2028b");
    QTest::newRow("lf in a name") << QStringLiteral("a\nb") << false << QStringLiteral("a\u2424b");
    QTest::newRow("tab kept") << QStringLiteral("a\tb") << true << QStringLiteral("a\tb");
    QTest::newRow("escape and del")
        << QStringLiteral("\x1b[2J\x7f") << true << QStringLiteral("\u241B[2J\u2421");
    QTest::newRow("c1") << QString(QChar(0x85)) << true << QString(QChar(0xFFFD));
  }
  void DisplayTextShowsControlCharacters() {
    QFETCH(QString, raw);
    QFETCH(bool, lineBreaks);
    QFETCH(QString, shown);
    QCOMPARE(DisplayText(raw, lineBreaks), shown);
  }

  // A line feed inside a chat text must not split the log line into two lines.
  void ChatTextWithLineFeedStaysOneLogLine() {
    QPlainTextEdit box;
    AppendColouredLine(box, DisplayText(QStringLiteral("one\ntwo"), true), kColourNavy, 0);
    AppendColouredLine(box, QStringLiteral("next"), kColourGreen, 0);
    QCOMPARE(box.document()->blockCount(), 2);
  }
};

QS_UI_TEST(REToolzTest);

}  // namespace qs::test

#include "REToolzTest.moc"
