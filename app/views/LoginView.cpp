// The sign-in screen's column.
#include "app/views/LoginView.hpp"

#include <QVBoxLayout>

#include "app/views/BriskoMark.hpp"
#include "app/views/CapsuleButton.hpp"
#include "app/views/Palette.hpp"
#include "app/views/SystemFont.hpp"
#include "app/views/TextLabel.hpp"
#include "app/views/Wordmark.hpp"

namespace brisko::app {

namespace {
constexpr const char* kSignInNeeded = "利用するにはログインが必要です";
constexpr const char* kSignInButton = "Ezevar でログイン";
}  // namespace

LoginView::LoginView(CompanionViewModel* vm, QWidget* parent) : QWidget(parent), vm_(vm) {
    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(32, 32, 32, 32);
    column->setSpacing(18);
    column->addStretch(1);
    column->addWidget(new BriskoMark(56), 0, Qt::AlignHCenter);
    column->addWidget(new Wordmark(Wordmark::signInStyle()), 0, Qt::AlignHCenter);
    auto* note = new TextLabel(QString::fromUtf8(kSignInNeeded), systemFont(12), Palette::textTertiary());
    note->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    column->addWidget(note, 0, Qt::AlignHCenter);
    button_ = new CapsuleButton(QString::fromUtf8(kSignInButton), CapsuleButton::Style{
                                                                      .font = systemFont(13, QFont::DemiBold),
                                                                      .textColor = Palette::accentInk(),
                                                                      .fill = Palette::accent(),
                                                                      .stroke = std::nullopt,
                                                                      .horizontalPadding = 20,
                                                                      .verticalPadding = 9,
                                                                  });
    auto* padded = new QWidget;  // the button is padded 4 on top
    auto* paddedLayout = new QVBoxLayout(padded);
    paddedLayout->setContentsMargins(0, 4, 0, 0);
    paddedLayout->addWidget(button_);
    column->addWidget(padded, 0, Qt::AlignHCenter);
    column->addStretch(1);
    connect(button_, &QAbstractButton::clicked, this, &LoginView::signInRequested);
}

}  // namespace brisko::app
