// The tray header's rows.
#include "app/views/MenuBarHeader.hpp"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/views/Palette.hpp"
#include "app/views/PulsingDot.hpp"
#include "app/views/SystemFont.hpp"
#include "app/views/TextLabel.hpp"

namespace brisko::app {

namespace {
constexpr const char* kRunningText = "記録中";
constexpr const char* kStoppedText = "停止中";
constexpr const char* kSeparator = "·";

// The menu's own label colour at the levels of a primary, secondary and tertiary text.
QColor labelColor(const QWidget* w, double opacity) {
    QColor c = w->palette().color(QPalette::WindowText);
    c.setAlphaF(static_cast<float>(c.alphaF() * opacity));
    return c;
}
constexpr double kPrimary = 0.85;
constexpr double kSecondary = 0.55;
constexpr double kTertiary = 0.3;
}  // namespace

MenuBarHeader::MenuBarHeader(Content content, QWidget* parent) : QWidget(parent), content_(std::move(content)) {
    setFixedWidth(kWidth);
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(14, 8, 14, 6);
    column->setSpacing(8);

    auto* row = new QHBoxLayout;
    row->setSpacing(7);
    dot_ = new PulsingDot(false, Palette::positive());
    state_ = new TextLabel(QString(), systemFont(12, QFont::DemiBold), Palette::positive());
    separator_ = new TextLabel(QString::fromUtf8(kSeparator), systemFont(12), labelColor(this, kTertiary));
    appName_ = new TextLabel(QString(), systemFont(12, QFont::Medium), labelColor(this, kPrimary));
    state_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    separator_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    row->addWidget(dot_, 0, Qt::AlignVCenter);
    row->addWidget(state_, 0, Qt::AlignVCenter);
    row->addWidget(separator_, 0, Qt::AlignVCenter);
    // The name takes its own width (shortened at its end when the row is full); the trailing spacer
    // takes the rest, so the row starts at the leading inset whichever items are hidden.
    row->addWidget(appName_, 0, Qt::AlignVCenter);
    row->addStretch(1);
    column->addLayout(row);

    windowTitle_ = new TextLabel(QString(), systemFont(11), labelColor(this, kSecondary));
    windowTitle_->setElideMode(Qt::ElideMiddle);
    windowTitle_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    column->addWidget(windowTitle_);
    encouragement_ = new TextLabel(QString(), systemFont(11), labelColor(this, kTertiary));
    encouragement_->setElideMode(Qt::ElideRight);
    encouragement_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    column->addWidget(encouragement_);
    rebuild();
}

void MenuBarHeader::setContent(Content content) {
    content_ = std::move(content);
    rebuild();
}

void MenuBarHeader::rebuild() {
    const bool recording = content_.recording;
    dot_->setActive(recording);
    dot_->setColor(recording ? Palette::positive() : labelColor(this, kSecondary));
    state_->setText(QString::fromUtf8(recording ? kRunningText : kStoppedText));
    state_->setColor(recording ? Palette::positive() : labelColor(this, kSecondary));
    separator_->setVisible(recording);
    appName_->setVisible(recording);
    appName_->setText(QString::fromStdString(content_.appName));
    const bool showTitle = recording && content_.windowTitle && !content_.windowTitle->empty();
    windowTitle_->setVisible(showTitle);
    windowTitle_->setText(showTitle ? QString::fromStdString(*content_.windowTitle) : QString());
    const bool showEncouragement = recording && content_.encouragement && !content_.encouragement->empty();
    encouragement_->setVisible(showEncouragement);
    encouragement_->setText(showEncouragement ? QString::fromStdString(*content_.encouragement) : QString());
    adjustSize();
}

QStringList MenuBarHeader::visibleTexts() const {
    QStringList texts{state_->text()};
    for (auto* label : {separator_, appName_, windowTitle_, encouragement_}) {
        if (!label->isHidden()) texts << label->text();
    }
    return texts;
}

QStringList MenuBarHeader::textLines(const Content& content) {
    if (!content.recording) return {QStringLiteral("● ") + QString::fromUtf8(kStoppedText)};
    QStringList lines{QStringLiteral("● ") + QString::fromUtf8(kRunningText) + QStringLiteral(" ") +
                      QString::fromUtf8(kSeparator) + QStringLiteral(" ") + QString::fromStdString(content.appName)};
    if (content.windowTitle && !content.windowTitle->empty()) lines << QString::fromStdString(*content.windowTitle);
    if (content.encouragement && !content.encouragement->empty())
        lines << QString::fromStdString(*content.encouragement);
    return lines;
}

}  // namespace brisko::app
