// The application title and the program's message boxes: the information and About
// notices, the error box for a failure that escapes an event handler, and the fatal box
// for a start that fails.
//
// UI thread only. Captions are set exactly as given: the program never sets an
// application display name, which Qt would append to every caption.
#pragma once

#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

namespace qs {

// One process-wide text; the error box uses it as its caption.
const QString& ApplicationTitle();
void SetApplicationTitle(const QString& title);

// Modal to owner (none for nullptr); returns when the operator has closed the box. An
// empty caption gives "Information" (ShowInformation) or "Om..."/"About..." (ShowAbout).
void ShowInformation(QWidget* owner, const QString& text, const QString& caption = {});
void ShowAbout(QWidget* owner, const QString& text, const QString& caption = {});

// The box for an error that escaped an event handler: caption the application title.
void ShowErrorBox(const QString& message);
// The error's message with a full stop added when its last character sorts after ".".
QString ErrorBoxText(const QString& message);

// The box for a start that fails: no owner, caption "Application Error".
void ShowFatalError(const QString& message);

// Test seam: while set, boxes are not shown; the hook gets what would have been shown.
struct TBox {
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QString caption;
  QString text;
  QWidget* owner = nullptr;
};
void TEST_SetBoxHook(std::function<void(const TBox&)> hook);

}  // namespace qs
