// The password box: masked, its whole text selected when it gets the focus by keyboard or
// when its dialog opens, and limited to 256 characters of typing and pasting. A longer
// text the program puts in stays whole; the operator can shorten it but not lengthen it.
#pragma once

#include <QLineEdit>

namespace qs {

class TMaskedEdit final : public QLineEdit {
  Q_OBJECT

 public:
  static constexpr int kMaxTyped = 256;

  explicit TMaskedEdit(QWidget* parent = nullptr);

  // The program's way to put a text in; it may be longer than the operator could type.
  void SetText(const QString& text);

 protected:
  void focusInEvent(QFocusEvent* event) override;

 private:
  class TLengthLimit;
  int length_ = 0;  // the length before the edit being validated
};

}  // namespace qs
