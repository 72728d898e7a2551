// The palette's colours.
#include "app/views/Palette.hpp"

namespace brisko::app {

namespace {
QColor white(double opacity) {
    QColor c(255, 255, 255);
    c.setAlphaF(static_cast<float>(opacity));
    return c;
}
}  // namespace

const QColor& Palette::background() {
    static const QColor c(10, 11, 13);
    return c;
}
const QColor& Palette::surface() {
    static const QColor c(21, 24, 29);
    return c;
}
const QColor& Palette::hairline() {
    static const QColor c = white(0.06);
    return c;
}
const QColor& Palette::stroke() {
    static const QColor c = white(0.10);
    return c;
}
const QColor& Palette::textPrimary() {
    static const QColor c = white(0.92);
    return c;
}
const QColor& Palette::textSecondary() {
    static const QColor c = white(0.68);
    return c;
}
const QColor& Palette::textTertiary() {
    static const QColor c = white(0.44);
    return c;
}
const QColor& Palette::textQuaternary() {
    static const QColor c = white(0.28);
    return c;
}
const QColor& Palette::accent() {
    static const QColor c(28, 197, 217);
    return c;
}
const QColor& Palette::accentInk() {
    static const QColor c(11, 59, 66);
    return c;
}
const QColor& Palette::positive() {
    static const QColor c(93, 207, 154);
    return c;
}
const QColor& Palette::caution() {
    static const QColor c(229, 178, 92);
    return c;
}
const QColor& Palette::muted() {
    static const QColor c(91, 143, 158);
    return c;
}

}  // namespace brisko::app
