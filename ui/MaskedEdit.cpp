#include "ui/MaskedEdit.h"

#include <QFocusEvent>
#include <QValidator>
#include <algorithm>

namespace qs {

// QLineEdit::setMaxLength would cut a longer text the program puts in; a validator only
// judges what the operator types or pastes.
class TMaskedEdit::TLengthLimit final : public QValidator {
 public:
  explicit TLengthLimit(TMaskedEdit& edit) : QValidator(&edit), edit_(edit) {}
  State validate(QString& input, int& /*position*/) const override {
    return input.size() <= std::max<qsizetype>(kMaxTyped, edit_.length_) ? Acceptable : Invalid;
  }

 private:
  TMaskedEdit& edit_;
};

TMaskedEdit::TMaskedEdit(QWidget* parent) : QLineEdit(parent) {
  setEchoMode(QLineEdit::Password);
  setValidator(new TLengthLimit(*this));
  connect(this, &QLineEdit::textChanged, this,
          [this](const QString& text) { length_ = static_cast<int>(text.size()); });
}

void TMaskedEdit::SetText(const QString& text) {
  // Before setText: it runs the validator, which must already allow this length.
  length_ = static_cast<int>(text.size());
  setText(text);
}

void TMaskedEdit::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  if (event->reason() != Qt::MouseFocusReason) selectAll();
}

}  // namespace qs
