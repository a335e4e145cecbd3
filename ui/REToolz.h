// Appending coloured lines to a read-only text box, as plain text only.
//
// Nothing that passes through here is ever read as HTML or rich text: names and chat
// texts come from clients. UI thread only.
#pragma once

#include <QColor>
#include <QString>
#include <cstdint>
#include <vector>

class QPlainTextEdit;

namespace qs {

// Font styles of a line, any combination.
enum TFontStyle : unsigned {
  kStyleBold = 1,
  kStyleItalic = 2,
  kStyleUnderline = 4,
  kStyleStrikeOut = 8
};
using TFontStyles = unsigned;

// The core's colours are 0x00BBGGRR: red in the low byte.
QColor ColourFromBgr(uint32_t bgr);

// Appends text as the box's new last line in the colour and styles given; the caret ends
// at the end of the text and the box's insertion format is left as it was. Empty text
// adds nothing.
void AppendColouredLine(QPlainTextEdit& box, const QString& text, uint32_t colour,
                        TFontStyles style);

// The same for many lines in one edit: the box lays out, signals and scrolls once, which
// keeps the window responsive under a chat flood.
struct TColouredLine {
  QString text;
  uint32_t colour = 0;
  TFontStyles style = 0;
};
void AppendColouredLines(QPlainTextEdit& box, const std::vector<TColouredLine>& lines);

// A client's bytes made safe to show: control characters would otherwise break lines,
// vanish or draw nothing. C0 controls (tab and line feed excepted) and DEL become their
// Unicode control pictures, the C1 controls U+FFFD. A line feed stays a line break inside
// the one log line (withLineBreaks) or becomes its picture (user list entries).
QString DisplayText(const QString& text, bool withLineBreaks);

}  // namespace qs
