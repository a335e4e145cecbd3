#include "ui/BoxToolz.h"

#include <QWidget>
#include <utility>

#include "support/Toolz.h"

namespace qs {

namespace {

QString& TitleStore() {
  static QString title;
  return title;
}

std::function<void(const TBox&)>& BoxHook() {
  static std::function<void(const TBox&)> hook;
  return hook;
}

void Show(const TBox& box) {
  if (BoxHook()) {
    BoxHook()(box);
    return;
  }
  QMessageBox message(box.icon, box.caption, box.text, QMessageBox::Ok, box.owner);
  message.exec();
}

QString Choose(const char* swedish, const char* english) {
  return QString::fromUtf8(ChooseText(IsSwedish(), swedish, english));
}

void ShowNotice(QWidget* owner, const QString& text, const QString& caption,
                const QString& defaultCaption) {
  Show({QMessageBox::Information, caption.isEmpty() ? defaultCaption : caption, text, owner});
}

}  // namespace

const QString& ApplicationTitle() {
  return TitleStore();
}
void SetApplicationTitle(const QString& title) {
  TitleStore() = title;
}

void ShowInformation(QWidget* owner, const QString& text, const QString& caption) {
  ShowNotice(owner, text, caption, Choose("Information", "Information"));
}

void ShowAbout(QWidget* owner, const QString& text, const QString& caption) {
  ShowNotice(owner, text, caption, Choose("Om...", "About..."));
}

QString ErrorBoxText(const QString& message) {
  if (!message.isEmpty() && message.back().unicode() > u'.') return message + u'.';
  return message;
}

void ShowErrorBox(const QString& message) {
  Show({QMessageBox::Critical, ApplicationTitle(), ErrorBoxText(message), nullptr});
}

void ShowFatalError(const QString& message) {
  Show({QMessageBox::Critical, QStringLiteral("Application Error"), message, nullptr});
}

void TEST_SetBoxHook(std::function<void(const TBox&)> hook) {
  BoxHook() = std::move(hook);
}

}  // namespace qs
