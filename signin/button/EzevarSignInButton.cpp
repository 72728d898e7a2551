// The sign-in button's colours, sizes, painting and press handling.
#include "signin/button/EzevarSignInButton.hpp"

#include <array>
#include <mutex>

#include <QAccessible>
#include <QAccessibleWidget>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>

#include "platform/base/Log.hpp"
#include "signin/SignInResources.hpp"

namespace brisko::signin {

namespace {
constexpr std::string_view kLogCategory = "signin";
constexpr std::string_view kIconMissingLog =
    "Unable to load Ezevar icon image url: unableToLoadEzevarIcon(name: \"ezevar\")";
constexpr std::array<std::string_view, 3> kStyleRaw{"standard", "wide", "icon"};
constexpr std::array<std::string_view, 2> kSchemeRaw{"dark", "light"};
constexpr std::array<std::string_view, 3> kStateRaw{"normal", "disabled", "pressed"};
// Between the icon block (1 point of leading padding, the 38-point square, 1 point) and the title.
constexpr int kIconBlockWidth = 40;
constexpr int kTitleSpacing = 2;
constexpr int kTitleTrailingPadding = 14;

template <class E, std::size_t N>
std::optional<E> fromRaw(const std::array<std::string_view, N>& names, std::string_view raw) {
    for (std::size_t i = 0; i < N; ++i)
        if (names[i] == raw) return static_cast<E>(i);
    return std::nullopt;
}

QColor rgb(int r, int g, int b) {
    return QColor(r, g, b);
}
QColor black(qreal opacity) {
    QColor c(0, 0, 0);
    c.setAlphaF(static_cast<float>(opacity));
    return c;
}

// "Roboto-Bold" as the font database names it.
const QString kFontFamily = QStringLiteral("Roboto");
const QString kFontStyle = QStringLiteral("Bold");

std::once_flag& fontOnce() {
    static std::once_flag once;
    return once;
}
bool& fontRegistered() {
    static bool registered = false;
    return registered;
}

// The button as assistive technologies see it: a push button named by its title, pressed while held,
// with the press action.
class ButtonAccessible : public QAccessibleWidget {
public:
    explicit ButtonAccessible(EzevarSignInButton* button) : QAccessibleWidget(button, QAccessible::Button) {}

    QString text(QAccessible::Text t) const override {
        // A name the owner gave the widget wins, as for every Qt widget.
        if (t == QAccessible::Name && widget()->accessibleName().isEmpty()) return button()->accessibleTitle();
        return QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override {
        QAccessible::State s = QAccessibleWidget::state();
        s.pressed = button()->viewModel()->state() == EzevarSignInButtonState::pressed;
        return s;
    }
    QStringList actionNames() const override { return QStringList{pressAction()} + QAccessibleWidget::actionNames(); }
    void doAction(const QString& name) override {
        if (name == pressAction()) {
            button()->activate();
        } else {
            QAccessibleWidget::doAction(name);
        }
    }

private:
    EzevarSignInButton* button() const { return static_cast<EzevarSignInButton*>(widget()); }
};

QAccessibleInterface* accessibleFactory(const QString& className, QObject* object) {
    if (className != QLatin1String(EzevarSignInButton::staticMetaObject.className()) || !object ||
        !object->isWidgetType())
        return nullptr;
    return new ButtonAccessible(static_cast<EzevarSignInButton*>(object));
}

void installAccessibleFactory() {
    static std::once_flag once;
    std::call_once(once, [] { QAccessible::installFactory(accessibleFactory); });
}
}  // namespace

std::string_view rawValue(EzevarSignInButtonStyle v) {
    return kStyleRaw[static_cast<std::size_t>(v)];
}
std::string_view rawValue(EzevarSignInButtonColorScheme v) {
    return kSchemeRaw[static_cast<std::size_t>(v)];
}
std::string_view rawValue(EzevarSignInButtonState v) {
    return kStateRaw[static_cast<std::size_t>(v)];
}
std::optional<EzevarSignInButtonStyle> buttonStyleFromRawValue(std::string_view raw) {
    return fromRaw<EzevarSignInButtonStyle>(kStyleRaw, raw);
}
std::optional<EzevarSignInButtonColorScheme> colorSchemeFromRawValue(std::string_view raw) {
    return fromRaw<EzevarSignInButtonColorScheme>(kSchemeRaw, raw);
}
std::optional<EzevarSignInButtonState> buttonStateFromRawValue(std::string_view raw) {
    return fromRaw<EzevarSignInButtonState>(kStateRaw, raw);
}
const std::vector<EzevarSignInButtonStyle>& allButtonStyles() {
    static const std::vector<EzevarSignInButtonStyle> all{EzevarSignInButtonStyle::standard,
                                                          EzevarSignInButtonStyle::wide, EzevarSignInButtonStyle::icon};
    return all;
}
const std::vector<EzevarSignInButtonColorScheme>& allColorSchemes() {
    static const std::vector<EzevarSignInButtonColorScheme> all{EzevarSignInButtonColorScheme::dark,
                                                                EzevarSignInButtonColorScheme::light};
    return all;
}
const std::vector<EzevarSignInButtonState>& allButtonStates() {
    static const std::vector<EzevarSignInButtonState> all{
        EzevarSignInButtonState::normal, EzevarSignInButtonState::disabled, EzevarSignInButtonState::pressed};
    return all;
}

QColor SwiftUIButtonStyle::backgroundColor() const {
    const bool dark = scheme == EzevarSignInButtonColorScheme::dark;
    switch (state) {
    case EzevarSignInButtonState::normal:
        return dark ? rgb(66, 133, 244) : rgb(255, 255, 255);
    case EzevarSignInButtonState::pressed:
        return dark ? rgb(51, 103, 214) : rgb(238, 238, 238);
    case EzevarSignInButtonState::disabled:
        return black(20.0 / 255.0);
    }
    return {};
}

QColor SwiftUIButtonStyle::foregroundColor() const {
    if (state == EzevarSignInButtonState::disabled) return black(0.4);
    return scheme == EzevarSignInButtonColorScheme::dark ? rgb(255, 255, 255) : black(137.0 / 255.0);
}

QColor SwiftUIButtonStyle::iconSquareColor() const {
    const bool light = scheme == EzevarSignInButtonColorScheme::light;
    switch (state) {
    case EzevarSignInButtonState::normal:
        return rgb(255, 255, 255);
    case EzevarSignInButtonState::pressed:
        return light ? rgb(238, 238, 238) : rgb(255, 255, 255);
    case EzevarSignInButtonState::disabled:
        return style == EzevarSignInButtonStyle::icon ? rgb(238, 238, 238) : QColor(Qt::transparent);
    }
    return {};
}

QString SwiftUIButtonStyle::title(EzevarSignInButtonStyle style) {
    switch (style) {
    case EzevarSignInButtonStyle::standard:
        return QString::fromStdString(SignInStrings::signInString());
    case EzevarSignInButtonStyle::wide:
        return QString::fromStdString(SignInStrings::signInWithEzevarString());
    case EzevarSignInButtonStyle::icon:
        return {};
    }
    return {};
}

qreal SwiftUIButtonStyle::titleWidth(EzevarSignInButtonStyle style, const QFont& font) {
    return QFontMetricsF(font).horizontalAdvance(title(style));
}

int SwiftUIButtonStyle::minimumWidth(EzevarSignInButtonStyle style, const QFont& font) {
    if (style == EzevarSignInButtonStyle::icon) return kIconStyleWidth;
    return static_cast<int>(std::ceil(titleWidth(style, font))) + kIconBlockWidth + kTitleSpacing +
           kTitleTrailingPadding;
}

EzevarSignInButtonViewModel::EzevarSignInButtonViewModel(EzevarSignInButtonColorScheme scheme,
                                                         EzevarSignInButtonStyle style, EzevarSignInButtonState state,
                                                         QObject* parent)
    : QObject(parent), scheme_(scheme), style_(style), state_(state) {}

void EzevarSignInButtonViewModel::setScheme(EzevarSignInButtonColorScheme scheme) {
    emit willChange();
    scheme_ = scheme;
    emit schemeChanged(scheme);
}

void EzevarSignInButtonViewModel::setStyle(EzevarSignInButtonStyle style) {
    emit willChange();
    style_ = style;
    emit styleChanged(style);
}

void EzevarSignInButtonViewModel::setState(EzevarSignInButtonState state) {
    emit willChange();
    state_ = state;
    emit stateChanged(state);
}

bool EzevarSignInButton::registerFonts() {
    std::call_once(fontOnce(), [] {
        // Roboto-Bold can already be made from the system's fonts (Debian's fonts-roboto).
        if (QFontDatabase::styles(kFontFamily).contains(kFontStyle)) {
            fontRegistered() = true;
            return;
        }
        auto path = SignInResources::pathForResource(kFontName, kFontType);
        if (!path) return;
        fontRegistered() = QFontDatabase::addApplicationFont(QString::fromStdString(path->string())) >= 0;
    });
    return fontRegistered();
}

QPixmap EzevarSignInButton::ezevarIcon() {
    // Loaded each time (a few hundred bytes): a pixmap must not outlive the application object.
    QPixmap pixmap;
    auto path = SignInResources::pathForResource(kIconName, kIconType);
    if (!path || !pixmap.load(QString::fromStdString(path->string()))) {
        static std::once_flag logged;
        std::call_once(logged, [] { platform::log(platform::LogLevel::error, kLogCategory, kIconMissingLog); });
    }
    return pixmap;
}

EzevarSignInButton::EzevarSignInButton(EzevarSignInButtonViewModel* viewModel, Action action, QWidget* parent)
    : QWidget(parent), viewModel_(viewModel), action_(std::move(action)), fontLoaded_(registerFonts()) {
    installAccessibleFactory();
    setAttribute(Qt::WA_TranslucentBackground);
    setFocusPolicy(Qt::StrongFocus);
    setSizePolicy(QSizePolicy::Minimum, QSizePolicy::Fixed);
    setEnabled(viewModel_->state() != EzevarSignInButtonState::disabled);
    connect(viewModel_, &EzevarSignInButtonViewModel::schemeChanged, this, [this] { viewModelChanged(); });
    connect(viewModel_, &EzevarSignInButtonViewModel::styleChanged, this, [this] { viewModelChanged(); });
    connect(viewModel_, &EzevarSignInButtonViewModel::stateChanged, this, [this] { viewModelChanged(); });
}

EzevarSignInButton::EzevarSignInButton(EzevarSignInButtonColorScheme scheme, EzevarSignInButtonStyle style,
                                       EzevarSignInButtonState state, Action action, QWidget* parent)
    : EzevarSignInButton(new EzevarSignInButtonViewModel(scheme, style, state), std::move(action), parent) {
    viewModel_->setParent(this);
}

void EzevarSignInButton::viewModelChanged() {
    setEnabled(viewModel_->state() != EzevarSignInButtonState::disabled);
    updateGeometry();
    update();
    if (QAccessible::isActive()) {
        QAccessibleEvent nameChanged(this, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&nameChanged);
    }
}

QString EzevarSignInButton::accessibleTitle() const {
    const auto style = viewModel_->style();
    return SwiftUIButtonStyle::title(style == EzevarSignInButtonStyle::icon ? EzevarSignInButtonStyle::wide : style);
}

void EzevarSignInButton::activate() {
    if (viewModel_->state() == EzevarSignInButtonState::disabled || !isEnabled()) return;
    if (action_) action_();
}

QFont EzevarSignInButton::buttonFont() const {
    QFont font;
    if (fontLoaded_) {
        font = QFont(kFontFamily);
        font.setWeight(QFont::Bold);
    } else {
        font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
        font.setBold(true);
    }
    font.setPixelSize(SwiftUIButtonStyle::kFontPixelSize);
    return font;
}

QSize EzevarSignInButton::minimumSizeHint() const {
    const int m = SwiftUIButtonStyle::kShadowMargin;
    return {SwiftUIButtonStyle::minimumWidth(viewModel_->style(), buttonFont()) + 2 * m,
            SwiftUIButtonStyle::kHeight + 2 * m};
}

QSize EzevarSignInButton::sizeHint() const {
    return minimumSizeHint();
}

QRect EzevarSignInButton::buttonRect() const {
    const int m = SwiftUIButtonStyle::kShadowMargin;
    QRect r = rect().adjusted(m, m, -m, -m);
    if (viewModel_->style() == EzevarSignInButtonStyle::icon) r.setWidth(SwiftUIButtonStyle::kIconStyleWidth);
    r.setHeight(SwiftUIButtonStyle::kHeight);
    return r;
}

void EzevarSignInButton::paintEvent(QPaintEvent*) {
    const SwiftUIButtonStyle look = viewModel_->buttonStyle();
    const QRectF button = buttonRect();
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);

    QPainterPath shape;
    shape.addRoundedRect(button, SwiftUIButtonStyle::kCornerRadius, SwiftUIButtonStyle::kCornerRadius);
    if (look.hasShadow()) {
        // A soft gray shadow two points down: rings of falling opacity approximate a 2-point blur.
        for (int i = 2; i >= 0; --i) {
            QColor gray(128, 128, 128);
            gray.setAlphaF(0.18f * static_cast<float>(3 - i) / 3.0f);
            QPainterPath ring;
            ring.addRoundedRect(button.translated(0, 2).adjusted(-i, -i, i, i), 2 + i, 2 + i);
            p.fillPath(ring, gray);
        }
    }
    p.fillPath(shape, look.backgroundColor());
    if (hasFocus()) {
        // Around the button, in the shadow's margin: focused and unfocused buttons differ only there.
        const qreal offset = kFocusRingGap + kFocusRingWidth / 2.0;
        QPainterPath ring;
        ring.addRoundedRect(button.adjusted(-offset, -offset, offset, offset),
                            SwiftUIButtonStyle::kCornerRadius + offset, SwiftUIButtonStyle::kCornerRadius + offset);
        p.strokePath(ring, QPen(palette().color(QPalette::Highlight), kFocusRingWidth));
    }
    p.setClipPath(shape);

    const QPixmap icon = ezevarIcon();
    if (look.style == EzevarSignInButtonStyle::icon) {
        QPainterPath square;
        square.addRoundedRect(button, SwiftUIButtonStyle::kCornerRadius, SwiftUIButtonStyle::kCornerRadius);
        p.fillPath(square, look.iconSquareColor());
        p.setPen(QPen(look.backgroundColor(), 1));
        p.setBrush(Qt::NoBrush);
        p.drawRect(button.adjusted(0.5, 0.5, -0.5, -0.5));
        if (!icon.isNull())
            p.drawPixmap(QPointF(button.center().x() - icon.width() / 2.0, button.center().y() - icon.height() / 2.0),
                         icon);
        return;
    }

    const QRectF square(button.left() + 1, button.top() + 1, SwiftUIButtonStyle::kIconSquareSize,
                        SwiftUIButtonStyle::kIconSquareSize);
    QPainterPath squarePath;
    squarePath.addRoundedRect(square, SwiftUIButtonStyle::kCornerRadius, SwiftUIButtonStyle::kCornerRadius);
    p.fillPath(squarePath, look.iconSquareColor());
    if (!icon.isNull())
        p.drawPixmap(QPointF(square.center().x() - icon.width() / 2.0, square.center().y() - icon.height() / 2.0),
                     icon);

    const QFont font = buttonFont();
    const qreal width = SwiftUIButtonStyle::titleWidth(look.style, font);
    const QRectF titleRect(button.left() + kIconBlockWidth + kTitleSpacing, button.top(), width + 1,
                           SwiftUIButtonStyle::kHeight);
    p.setFont(font);
    p.setPen(look.foregroundColor());
    p.drawText(titleRect, Qt::AlignLeft | Qt::AlignVCenter, SwiftUIButtonStyle::title(look.style));
}

void EzevarSignInButton::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    const auto state = viewModel_->state();
    if (state != EzevarSignInButtonState::disabled && state != EzevarSignInButtonState::pressed)
        viewModel_->setState(EzevarSignInButtonState::pressed);
}

void EzevarSignInButton::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mouseReleaseEvent(event);
    if (viewModel_->state() == EzevarSignInButtonState::disabled) return;
    viewModel_->setState(EzevarSignInButtonState::normal);
    if (buttonRect().contains(event->position().toPoint()) && action_) action_();
}

void EzevarSignInButton::keyPressEvent(QKeyEvent* event) {
    const auto state = viewModel_->state();
    switch (event->key()) {
    case Qt::Key_Space:
        if (!event->isAutoRepeat() && state != EzevarSignInButtonState::disabled) {
            spacePressed_ = true;
            if (state != EzevarSignInButtonState::pressed) viewModel_->setState(EzevarSignInButtonState::pressed);
        }
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        if (!event->isAutoRepeat()) activate();
        return;
    default:
        QWidget::keyPressEvent(event);
    }
}

void EzevarSignInButton::keyReleaseEvent(QKeyEvent* event) {
    if (event->key() != Qt::Key_Space) return QWidget::keyReleaseEvent(event);
    if (event->isAutoRepeat() || !spacePressed_) return;
    spacePressed_ = false;
    if (viewModel_->state() == EzevarSignInButtonState::disabled) return;
    viewModel_->setState(EzevarSignInButtonState::normal);
    activate();
}

void EzevarSignInButton::focusInEvent(QFocusEvent* event) {
    QWidget::focusInEvent(event);
    update();
}

void EzevarSignInButton::focusOutEvent(QFocusEvent* event) {
    QWidget::focusOutEvent(event);
    // A Space press that loses the focus ends without a click.
    if (spacePressed_) {
        spacePressed_ = false;
        if (viewModel_->state() == EzevarSignInButtonState::pressed)
            viewModel_->setState(EzevarSignInButtonState::normal);
    }
    update();
}

}  // namespace brisko::signin
