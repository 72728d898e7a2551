// The sign-in screen's column.
#include "app/views/LoginView.hpp"

#include <QPointer>
#include <QVBoxLayout>

#include "app/CompanionViewModel.hpp"
#include "app/account/AuthService.hpp"
#include "app/views/BriskoMark.hpp"
#include "app/views/CapsuleButton.hpp"
#include "app/views/Palette.hpp"
#include "app/views/SystemFont.hpp"
#include "app/views/TextLabel.hpp"
#include "app/views/Wordmark.hpp"
#include "platform/base/Text.hpp"
#include "signin/SignInError.hpp"

namespace brisko::app {

namespace {
constexpr const char* kSignInNeeded = "利用するにはログインが必要です";
constexpr const char* kSignInButton = "Ezevar でログイン";
constexpr const char* kWaitingForBrowser = "ブラウザで Ezevar にログインしてください";
constexpr const char* kCancelButton = "キャンセル";
constexpr const char* kSignInFailed = "ログインできませんでした: %@";

std::shared_ptr<EzevarSignInClient> ezevarOf(CompanionViewModel* vm) {
    if (!vm || !vm->authService()) return nullptr;
    return vm->authService()->ezevar();
}
}  // namespace

LoginView::LoginView(CompanionViewModel* vm, QWidget* parent) : QWidget(parent), ezevar_(ezevarOf(vm)) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(32, 32, 32, 32);
    column->setSpacing(18);
    column->addStretch(1);
    column->addWidget(new BriskoMark(56), 0, Qt::AlignHCenter);
    column->addWidget(new Wordmark(Wordmark::signInStyle()), 0, Qt::AlignHCenter);
    note_ = new TextLabel(QString::fromUtf8(kSignInNeeded), systemFont(12), Palette::textTertiary());
    note_->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    column->addWidget(note_, 0, Qt::AlignHCenter);
    button_ = new CapsuleButton(QString::fromUtf8(kSignInButton), CapsuleButton::Style{
                                                                      .font = systemFont(13, QFont::DemiBold),
                                                                      .textColor = Palette::accentInk(),
                                                                      .fill = Palette::accent(),
                                                                      .stroke = std::nullopt,
                                                                      .horizontalPadding = 20,
                                                                      .verticalPadding = 9,
                                                                  });
    cancel_ = new CapsuleButton(QString::fromUtf8(kCancelButton), CapsuleButton::Style{
                                                                      .font = systemFont(12),
                                                                      .textColor = Palette::textSecondary(),
                                                                      .fill = std::nullopt,
                                                                      .stroke = Palette::textTertiary(),
                                                                      .horizontalPadding = 16,
                                                                      .verticalPadding = 6,
                                                                  });
    cancel_->hide();
    auto* padded = new QWidget;  // the button is padded 4 on top
    auto* paddedLayout = new QVBoxLayout(padded);
    paddedLayout->setContentsMargins(0, 4, 0, 0);
    paddedLayout->addWidget(button_, 0, Qt::AlignHCenter);
    paddedLayout->addWidget(cancel_, 0, Qt::AlignHCenter);
    column->addWidget(padded, 0, Qt::AlignHCenter);
    column->addStretch(1);
    connect(button_, &QAbstractButton::clicked, this, &LoginView::signInRequested);
    connect(cancel_, &QAbstractButton::clicked, this, [this] {
        if (auto ezevar = ezevar_.lock()) ezevar->cancelSignIn();
    });

    if (auto ezevar = ezevar_.lock()) {
        QPointer<LoginView> self(this);
        ezevar->setProgressHandler([self](bool waiting, std::optional<platform::Error> error) {
            if (self) self->setWaiting(waiting, std::move(error));
        });
    }
}

LoginView::~LoginView() {
    if (auto ezevar = ezevar_.lock()) ezevar->setProgressHandler(nullptr);
}

QString LoginView::statusText() const {
    return note_->text();
}

void LoginView::setWaiting(bool waiting, std::optional<platform::Error> error) {
    waiting_ = waiting;
    button_->setVisible(!waiting);
    cancel_->setVisible(waiting);
    QString text = QString::fromUtf8(waiting ? kWaitingForBrowser : kSignInNeeded);
    // The user's own cancellation needs no message; any other failure says what went wrong.
    const bool canceled = error && error->domain() == signin::kSignInErrorDomain &&
                          error->code() == static_cast<std::int64_t>(signin::SignInErrorCode::canceled);
    if (!waiting && error && !canceled)
        text = QString::fromStdString(platform::format(kSignInFailed, {error->localizedDescription()}));
    note_->setText(text);
    note_->setColor(!waiting && error && !canceled ? Palette::caution() : Palette::textTertiary());
    updateGeometry();
}

}  // namespace brisko::app
