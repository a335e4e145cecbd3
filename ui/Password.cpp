#include "ui/Password.h"

#include <QGuiApplication>
#include <QIcon>
#include <QScreen>

#include "support/Toolz.h"
#include "ui/FontToolz.h"

namespace qs {

TfrmPassword::TfrmPassword(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint) {
  setupUi(this);
  setFixedSize(249, 129);
  lblPassword->setFont(LabelFont());
  btnOK->setFont(LabelFont());
  btnCancel->setFont(LabelFont());
  txtPassword->setFont(FixedFont());
  btnOK->setIcon(QIcon(QStringLiteral(":/icons/check16.png")));
  btnCancel->setIcon(QIcon(QStringLiteral(":/icons/cross16.png")));
  connect(btnOK, &QPushButton::clicked, this, [this] { done(kResultOk); });
  connect(btnCancel, &QPushButton::clicked, this, &TfrmPassword::reject);
  FormCreate();
}

void TfrmPassword::FormCreate() {
  if (!IsSwedish()) {
    setWindowTitle(QStringLiteral("Password..."));
    lblPassword->setText(QStringLiteral("Password:"));
    btnOK->setText(QStringLiteral("OK"));
    btnCancel->setText(QStringLiteral("Cancel"));
  }
  lblPassword->adjustSize();
}

void TfrmPassword::setVisible(bool visible) {
  // Centred on the screen the first time; later where the operator left it. Moving before
  // the first show also keeps Qt from centring it over the main window.
  if (visible && !placed_) {
    placed_ = true;
    if (const QScreen* screen = QGuiApplication::primaryScreen()) {
      const QRect area = screen->availableGeometry();
      move(area.center() - QPoint(width() / 2, height() / 2));
    }
  }
  QDialog::setVisible(visible);
}

void TfrmPassword::reject() {
  done(kResultCancel);
}

}  // namespace qs
