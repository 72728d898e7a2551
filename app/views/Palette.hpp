// The app's named colours, made once on first use.
#pragma once

#include <QColor>

namespace brisko::app {

struct Palette {
    static const QColor& background();      // sRGB (10, 11, 13): window background
    static const QColor& surface();         // sRGB (21, 24, 29): account card fill
    static const QColor& hairline();        // white 0.06: panel divider, card outline
    static const QColor& stroke();          // white 0.10: small buttons' outlines
    static const QColor& textPrimary();     // white 0.92
    static const QColor& textSecondary();   // white 0.68
    static const QColor& textTertiary();    // white 0.44
    static const QColor& textQuaternary();  // white 0.28
    static const QColor& accent();          // sRGB (28, 197, 217)
    static const QColor& accentInk();       // sRGB (11, 59, 66): text on accent
    static const QColor& positive();        // sRGB (93, 207, 154)
    static const QColor& caution();         // sRGB (229, 178, 92)
    static const QColor& muted();           // sRGB (91, 143, 158)
};

}  // namespace brisko::app
