#include "ui/REToolz.h"

#include <algorithm>

#include <QPlainTextEdit>
#include <QTextCharFormat>
#include <QTextCursor>
#include <QTextDocument>

namespace qs {

namespace {

void MoveCaretToEnd(QPlainTextEdit& box) {
  QTextCursor caret = box.textCursor();
  caret.movePosition(QTextCursor::End);
  box.setTextCursor(caret);
}

}  // namespace

QColor ColourFromBgr(uint32_t bgr) {
  return QColor(static_cast<int>(bgr & 0xFF), static_cast<int>((bgr >> 8) & 0xFF),
                static_cast<int>((bgr >> 16) & 0xFF));
}

void AppendColouredLine(QPlainTextEdit& box, const QString& text, uint32_t colour,
                        TFontStyles style) {
  AppendColouredLines(box, {TColouredLine{text, colour, style}});
}

void AppendColouredLines(QPlainTextEdit& box, const std::vector<TColouredLine>& lines) {
  if (std::all_of(lines.begin(), lines.end(), [](const auto& l) { return l.text.isEmpty(); })) {
    return;
  }
  MoveCaretToEnd(box);
  const QTextCharFormat saved = box.currentCharFormat();
  QTextCursor cursor = box.textCursor();
  cursor.beginEditBlock();
  for (const TColouredLine& line : lines) {
    if (line.text.isEmpty()) continue;
    QTextCharFormat format;
    format.setForeground(ColourFromBgr(line.colour));
    format.setFontWeight((line.style & kStyleBold) != 0 ? QFont::Bold : QFont::Normal);
    format.setFontItalic((line.style & kStyleItalic) != 0);
    format.setFontUnderline((line.style & kStyleUnderline) != 0);
    format.setFontStrikeOut((line.style & kStyleStrikeOut) != 0);
    // The first line opens the empty document's only block; every later one gets its own.
    if (!box.document()->isEmpty()) cursor.insertBlock();
    cursor.insertText(line.text, format);
  }
  cursor.endEditBlock();
  MoveCaretToEnd(box);
  box.setCurrentCharFormat(saved);
}

QString DisplayText(const QString& text, bool withLineBreaks) {
  QString out;
  out.reserve(text.size());
  for (const QChar c : text) {
    const char16_t u = c.unicode();
    if (u == u'\t') {
      out += c;
    } else if (u == u'\n') {
      // A paragraph separator would split the log line into two; this one does not.
      out += withLineBreaks ? QChar(QChar::LineSeparator) : QChar(0x2424);
    } else if (u < 0x20) {
      out += QChar(0x2400 + u);
    } else if (u == 0x7F) {
      out += QChar(0x2421);
    } else if (u >= 0x80 && u <= 0x9F) {
      out += QChar(QChar::ReplacementCharacter);
    } else {
      out += c;
    }
  }
  return out;
}

}  // namespace qs
