// The program's two fonts on a Linux desktop. The window designs name Windows fonts; these
// are their nearest counterparts wherever the program runs.
#pragma once

#include <QFont>

namespace qs {

// For labels and buttons: DejaVu Sans where present, otherwise the desktop's own sans
// font, at 8 points.
QFont LabelFont();
// For the user list, the event log and the password box: the desktop's fixed-width font
// at 9 points.
QFont FixedFont();

}  // namespace qs
