// The system font at a size in points (1 point = 1 device-independent pixel, as the window is laid
// out), a weight and an optional tracking.
#pragma once

#include <QFont>

namespace brisko::app {

QFont systemFont(double size, QFont::Weight weight = QFont::Normal, double tracking = 0);

// Lines of text are set 1.25 em apart with the baseline about 1 em down, as the system's UI fonts are;
// the CJK font's own metrics (almost 1.5 em) would spread the window's rows apart.
int lineHeight(const QFont& font);
// The baseline's distance from the top of a line.
int baselineOffset(const QFont& font);

}  // namespace brisko::app
