#include "ui/FontToolz.h"

#include <QFontDatabase>
#include <QStringList>

namespace qs {

QFont LabelFont() {
  QFont font = QFontDatabase::families().contains(QStringLiteral("DejaVu Sans"))
                   ? QFont(QStringLiteral("DejaVu Sans"))
                   : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPointSize(8);
  return font;
}

QFont FixedFont() {
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  font.setPointSize(9);
  return font;
}

}  // namespace qs
