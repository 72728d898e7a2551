// The section label, its two texts aligned on the first baseline.
#include "app/views/GroupLabel.hpp"

#include <algorithm>

#include "app/views/Palette.hpp"
#include "app/views/SystemFont.hpp"
#include "app/views/TextLabel.hpp"

namespace brisko::app {

namespace {
constexpr int kSpacing = 8;
constexpr int kLeadingPadding = 2;
constexpr int kBottomPadding = 10;
}  // namespace

GroupLabel::GroupLabel(const QString& kicker, const QString& title, QWidget* parent) : QWidget(parent) {
    kicker_ = new TextLabel(kicker, systemFont(9.5, QFont::DemiBold, 2), Palette::accent(), this);
    title_ = new TextLabel(title, systemFont(12), Palette::textTertiary(), this);
    const int ascent = std::max(kicker_->baseline(), title_->baseline());
    const int below = std::max(kicker_->sizeHint().height() - kicker_->baseline(),
                               title_->sizeHint().height() - title_->baseline());
    setFixedHeight(ascent + below + kBottomPadding);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
}

void GroupLabel::resizeEvent(QResizeEvent*) {
    const int ascent = std::max(kicker_->baseline(), title_->baseline());
    const QSize k = kicker_->sizeHint();
    const QSize t = title_->sizeHint();
    kicker_->setGeometry(kLeadingPadding, ascent - kicker_->baseline(), k.width(), k.height());
    title_->setGeometry(kLeadingPadding + k.width() + kSpacing, ascent - title_->baseline(), t.width(),
                        t.height());
}

}  // namespace brisko::app
