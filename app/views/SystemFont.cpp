// One font family for Latin and Japanese text alike, so mixed lines keep one look.
#include "app/views/SystemFont.hpp"

#include <QStringList>
#include <cmath>

namespace brisko::app {

QFont systemFont(double size, QFont::Weight weight, double tracking) {
    QFont font;
    font.setFamilies({QStringLiteral("Noto Sans CJK JP"), QStringLiteral("Noto Sans JP"),
                      QStringLiteral("Noto Sans"), QStringLiteral("sans-serif")});
    font.setStyleHint(QFont::SansSerif);
    // Sizes are given in layout pixels; Qt's point sizes are 1/72 in at 96 dpi.
    font.setPointSizeF(size * 72.0 / 96.0);
    font.setWeight(weight);
    if (tracking != 0) font.setLetterSpacing(QFont::AbsoluteSpacing, tracking);
    return font;
}

namespace {
constexpr double kLineHeightEm = 1.25;
constexpr double kBaselineEm = 0.98;

double emSize(const QFont& font) {
    return font.pixelSize() > 0 ? font.pixelSize() : font.pointSizeF() * 96.0 / 72.0;
}
}  // namespace

int lineHeight(const QFont& font) {
    return static_cast<int>(std::ceil(emSize(font) * kLineHeightEm));
}

int baselineOffset(const QFont& font) {
    return static_cast<int>(std::round(emSize(font) * kBaselineEm));
}

}  // namespace brisko::app
