// The wordmark's two lines.
#include "app/views/Wordmark.hpp"

#include <QVBoxLayout>

#include "app/views/Palette.hpp"
#include "app/views/SystemFont.hpp"
#include "app/views/TextLabel.hpp"

namespace brisko::app {

namespace {
constexpr const char* kTitle = "Brisko";
constexpr const char* kSubtitle = "DESKTOP";
constexpr double kSubtitleSize = 10.5;
}  // namespace

Wordmark::Style Wordmark::signInStyle() {
    return {20, QFont::DemiBold, 2, Qt::AlignHCenter, 4};
}
Wordmark::Style Wordmark::panelStyle() {
    return {15, QFont::Normal, 0.6, Qt::AlignLeft, 1};
}

Wordmark::Wordmark(Style style, QWidget* parent) : QWidget(parent) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(style.spacing);
    title_ = new TextLabel(QString::fromUtf8(kTitle), systemFont(style.titleSize, QFont::Bold),
                           Palette::textPrimary());
    subtitle_ = new TextLabel(QString::fromUtf8(kSubtitle),
                              systemFont(kSubtitleSize, style.secondLineWeight, style.secondLineTracking),
                              Palette::textTertiary());
    title_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    subtitle_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    layout->addWidget(title_, 0, style.alignment);
    layout->addWidget(subtitle_, 0, style.alignment);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

}  // namespace brisko::app
