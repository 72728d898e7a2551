// The permission line's states.
#include "app/views/AccessibilityStatusLine.hpp"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "app/views/CapsuleButton.hpp"
#include "app/CompanionViewModel.hpp"
#include "app/views/Palette.hpp"
#include "app/views/PulsingDot.hpp"
#include "app/views/SystemFont.hpp"
#include "app/views/TextLabel.hpp"

namespace brisko::app {

namespace {
constexpr const char* kTrustedText = "アクセシビリティ 許可済み";
constexpr const char* kUntrustedText = "アクセシビリティ 未許可 — ウィンドウタイトルを記録できません";
constexpr const char* kRequestButton = "許可する";
constexpr const char* kSettingsButton = "システム設定を開く";
constexpr const char* kRequestedHint =
    "設定で Brisko Desktop "
    "がオンに見える場合は、いったんオフにしてからオンに戻してください（アプリ更新で許可が失効することがありま"
    "す）";

// Where the session, not a settings page, decides whether window titles can be read.
constexpr const char* kSessionHintLead =
    "ウィンドウタイトルの読み取りは設定画面ではなくデスクトップのセッションで決まります: ";

CapsuleButton* smallButton(const char* text) {
    return new CapsuleButton(QString::fromUtf8(text), CapsuleButton::Style{
                                                          .font = systemFont(11, QFont::Medium),
                                                          .textColor = Palette::textSecondary(),
                                                          .fill = std::nullopt,
                                                          .stroke = Palette::stroke(),
                                                          .horizontalPadding = 11,
                                                          .verticalPadding = 3,
                                                      });
}
}  // namespace

AccessibilityStatusLine::AccessibilityStatusLine(CompanionViewModel* vm, QWidget* parent)
    : QWidget(parent), vm_(vm) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 10, 0, 0);
    column->setSpacing(6);

    auto* row = new QHBoxLayout;
    row->setSpacing(6);
    dot_ = new PulsingDot(false, Palette::positive());
    status_ = new TextLabel(QString(), systemFont(11), Palette::textTertiary());
    status_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    requestButton_ = smallButton(kRequestButton);
    settingsButton_ = smallButton(kSettingsButton);
    row->addWidget(dot_, 0, Qt::AlignVCenter);
    row->addWidget(status_, 1, Qt::AlignVCenter);
    row->addWidget(requestButton_, 0, Qt::AlignVCenter);
    row->addWidget(settingsButton_, 0, Qt::AlignVCenter);
    column->addLayout(row);

    hint_ = new TextLabel(QString::fromUtf8(kRequestedHint), systemFont(10.5), Palette::textTertiary());
    hint_->setWrapping(Qt::AlignLeft);
    column->addWidget(hint_);

    // Whatever the label, the button asks for the permission and opens the settings when still missing.
    for (auto* button : {requestButton_, settingsButton_}) {
        connect(button, &QAbstractButton::clicked, this, [this] { vm_->permission()->requestExplicitly(); });
    }
    refresh();
}

void AccessibilityStatusLine::refresh() {
    const auto state = vm_->permissionState();
    const bool trusted = state == AccessibilityPermissionState::trusted;
    dot_->setColor(trusted ? Palette::positive() : Palette::caution());
    status_->setText(QString::fromUtf8(trusted ? kTrustedText : kUntrustedText));
    status_->setColor(trusted ? Palette::textTertiary() : Palette::caution());
    const auto& monitor = vm_->permission();
    const bool hasSettingsPage = monitor->settingsAddress().has_value();
    requestButton_->setVisible(state == AccessibilityPermissionState::untrustedNotRequested);
    // Where no settings page governs the permission, the line says what does instead of offering one.
    settingsButton_->setVisible(state == AccessibilityPermissionState::untrustedRequested && hasSettingsPage);
    if (!hasSettingsPage && state == AccessibilityPermissionState::untrustedRequested)
        hint_->setText(QString::fromUtf8(kSessionHintLead) + QString::fromStdString(monitor->untrustedReason()));
    hint_->setVisible(state == AccessibilityPermissionState::untrustedRequested);
}

QString AccessibilityStatusLine::statusText() const {
    return status_->text();
}

QString AccessibilityStatusLine::buttonText() const {
    if (!requestButton_->isHidden()) return requestButton_->text();
    if (!settingsButton_->isHidden()) return settingsButton_->text();
    return {};
}

bool AccessibilityStatusLine::showsHint() const {
    return !hint_->isHidden();
}

QString AccessibilityStatusLine::hintText() const {
    return hint_->text();
}

}  // namespace brisko::app
