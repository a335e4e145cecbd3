// The password dialog: one masked box with OK and Cancel. Created once, hidden, at start
// and reused by every File > Set password. UI thread only.
#pragma once

#include <QDialog>

#include "ui_Password.h"  // generated from Password.ui

namespace qs {

class TfrmPassword final : public QDialog, private Ui::TfrmPassword {
  Q_OBJECT

 public:
  // The dialog's results: OK, and Cancel for the button, Escape and the close button.
  static constexpr int kResultOk = 1;
  static constexpr int kResultCancel = 2;

  explicit TfrmPassword(QWidget* parent = nullptr);

  void FormCreate();

  QString Password() const { return txtPassword->text(); }
  void SetPassword(const QString& password) { txtPassword->SetText(password); }

  void setVisible(bool visible) override;
  void reject() override;

 private:
  bool placed_ = false;
};

}  // namespace qs
