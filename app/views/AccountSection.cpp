// The account row's card and avatar.
#include "app/views/AccountSection.hpp"

#include <QHBoxLayout>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include "app/account/AuthService.hpp"
#include "app/views/CapsuleButton.hpp"
#include "app/CompanionViewModel.hpp"
#include "app/views/GroupLabel.hpp"
#include "app/account/IdentityClient.hpp"
#include "app/views/Palette.hpp"
#include "app/views/SystemFont.hpp"
#include "app/views/TextLabel.hpp"

namespace brisko::app {

namespace {
constexpr const char* kKicker = "ACCOUNT";
constexpr const char* kTitle = "アカウント";
constexpr const char* kConnected = "接続済み";
constexpr const char* kSignOut = "ログアウト";
constexpr const char* kAvatarFallback = "B";
constexpr int kAvatarSize = 34;

class AccountCard : public QWidget {
  public:
    using QWidget::QWidget;

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QPainterPath card;
        card.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 12, 12);
        p.fillPath(card, Palette::surface());
        p.setPen(QPen(Palette::hairline(), 1));
        p.drawPath(card);
    }
};

class Avatar : public QWidget {
  public:
    explicit Avatar(QWidget* parent) : QWidget(parent) { setFixedSize(kAvatarSize, kAvatarSize); }
    void setLetter(QString letter) {
        letter_ = std::move(letter);
        update();
    }
    const QString& letter() const { return letter_; }

  protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        p.setRenderHint(QPainter::Antialiasing);
        QLinearGradient gradient(QPointF(0, 0), QPointF(kAvatarSize, kAvatarSize));
        gradient.setColorAt(0, Palette::accent());
        gradient.setColorAt(1, Palette::muted());
        p.setPen(Qt::NoPen);
        p.setBrush(gradient);
        p.drawEllipse(QRectF(0, 0, kAvatarSize, kAvatarSize));
        p.setFont(systemFont(14, QFont::Bold));
        p.setPen(Palette::accentInk());
        p.drawText(rect(), Qt::AlignCenter, letter_);
    }

  private:
    QString letter_;
};
}  // namespace

QString avatarLetterFor(const QString& email) {
    if (email.isEmpty()) return QString::fromUtf8(kAvatarFallback).toLower();
    const int length = email.at(0).isHighSurrogate() && email.size() > 1 ? 2 : 1;
    return email.left(length).toLower();
}

AccountSection::AccountSection(CompanionViewModel* vm, QWidget* parent) : QWidget(parent), vm_(vm) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(new GroupLabel(QString::fromUtf8(kKicker), QString::fromUtf8(kTitle)));

    auto* card = new AccountCard;
    auto* row = new QHBoxLayout(card);
    row->setContentsMargins(16, 14, 16, 14);
    row->setSpacing(12);
    auto* avatar = new Avatar(card);
    avatar_ = avatar;
    row->addWidget(avatar, 0, Qt::AlignVCenter);

    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    email_ = new TextLabel(QString(), systemFont(13, QFont::Medium), Palette::textPrimary());
    email_->setElideMode(Qt::ElideMiddle);
    email_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    texts->addWidget(email_);
    texts->addWidget(new TextLabel(QString::fromUtf8(kConnected), systemFont(11), Palette::positive()));
    row->addLayout(texts, 1);

    auto* signOut = new CapsuleButton(QString::fromUtf8(kSignOut), CapsuleButton::Style{
                                                                       .font = systemFont(12, QFont::Medium),
                                                                       .textColor = Palette::textSecondary(),
                                                                       .fill = std::nullopt,
                                                                       .stroke = Palette::stroke(),
                                                                       .horizontalPadding = 14,
                                                                       .verticalPadding = 6,
                                                                   });
    row->addWidget(signOut, 0, Qt::AlignVCenter);
    connect(signOut, &QAbstractButton::clicked, this, &AccountSection::signOutRequested);
    column->addWidget(card);
    refresh();
}

QString AccountSection::emailText() const {
    return email_->text();
}
QString AccountSection::avatarLetter() const {
    return static_cast<Avatar*>(avatar_)->letter();
}

void AccountSection::refresh() {
    auto user = vm_->authService()->currentUser();
    auto email = user ? user->email() : std::nullopt;
    const QString text = QString::fromStdString(email.value_or(std::string()));
    email_->setText(text);
    static_cast<Avatar*>(avatar_)->setLetter(avatarLetterFor(text));
}

}  // namespace brisko::app
