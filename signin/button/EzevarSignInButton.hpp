// Ezevar's branded sign-in button as a Qt widget: three styles, two colour schemes, three states; it runs
// the caller's action when clicked.
#pragma once

#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include <QColor>
#include <QFont>
#include <QObject>
#include <QPixmap>
#include <QSize>
#include <QString>
#include <QWidget>

namespace brisko::signin {

enum class EzevarSignInButtonStyle { standard, wide, icon };
enum class EzevarSignInButtonColorScheme { dark, light };
enum class EzevarSignInButtonState { normal, disabled, pressed };

// Raw values ("standard", "dark", "pressed"...), construction from them (nothing for unknown text) and
// every case in order.
std::string_view rawValue(EzevarSignInButtonStyle v);
std::string_view rawValue(EzevarSignInButtonColorScheme v);
std::string_view rawValue(EzevarSignInButtonState v);
std::optional<EzevarSignInButtonStyle> buttonStyleFromRawValue(std::string_view raw);
std::optional<EzevarSignInButtonColorScheme> colorSchemeFromRawValue(std::string_view raw);
std::optional<EzevarSignInButtonState> buttonStateFromRawValue(std::string_view raw);
const std::vector<EzevarSignInButtonStyle>& allButtonStyles();
const std::vector<EzevarSignInButtonColorScheme>& allColorSchemes();
const std::vector<EzevarSignInButtonState>& allButtonStates();

// How one combination of style, state and scheme looks: sizes, colours and the painting.
struct SwiftUIButtonStyle {
    static constexpr int kHeight = 40;
    static constexpr int kIconStyleWidth = 40;
    static constexpr int kIconSquareSize = 38;
    static constexpr qreal kCornerRadius = 2;
    static constexpr int kFontPixelSize = 14;
    // Room around the button for its shadow (radius 2, 2 points down).
    static constexpr int kShadowMargin = 4;

    EzevarSignInButtonStyle style;
    EzevarSignInButtonState state;
    EzevarSignInButtonColorScheme scheme;

    QColor backgroundColor() const;
    QColor foregroundColor() const;
    QColor iconSquareColor() const;
    bool hasShadow() const { return state != EzevarSignInButtonState::disabled; }
    // The title of the style ("" for the icon style).
    static QString title(EzevarSignInButtonStyle style);
    // The width of the title on one line in the button font.
    static qreal titleWidth(EzevarSignInButtonStyle style, const QFont& font);
    // Icon: 40; the others: the title width plus 56 (they grow with the space they are given).
    static int minimumWidth(EzevarSignInButtonStyle style, const QFont& font);
};

// The button's observable state; observers hear `willChange` before any value changes.
class EzevarSignInButtonViewModel : public QObject {
    Q_OBJECT
public:
    EzevarSignInButtonViewModel(EzevarSignInButtonColorScheme scheme, EzevarSignInButtonStyle style,
                                EzevarSignInButtonState state, QObject* parent = nullptr);

    EzevarSignInButtonColorScheme scheme() const { return scheme_; }
    EzevarSignInButtonStyle style() const { return style_; }
    EzevarSignInButtonState state() const { return state_; }
    void setScheme(EzevarSignInButtonColorScheme scheme);
    void setStyle(EzevarSignInButtonStyle style);
    void setState(EzevarSignInButtonState state);
    SwiftUIButtonStyle buttonStyle() const { return {style_, state_, scheme_}; }

signals:
    void willChange();
    void schemeChanged(brisko::signin::EzevarSignInButtonColorScheme scheme);
    void styleChanged(brisko::signin::EzevarSignInButtonStyle style);
    void stateChanged(brisko::signin::EzevarSignInButtonState state);

private:
    EzevarSignInButtonColorScheme scheme_;
    EzevarSignInButtonStyle style_;
    EzevarSignInButtonState state_;
};

class EzevarSignInButton : public QWidget {
    Q_OBJECT
public:
    using Action = std::function<void()>;

    // Keeps the view model (shared with its owner) and the action.
    EzevarSignInButton(EzevarSignInButtonViewModel* viewModel, Action action, QWidget* parent = nullptr);
    EzevarSignInButton(EzevarSignInButtonColorScheme scheme, EzevarSignInButtonStyle style,
                       EzevarSignInButtonState state, Action action, QWidget* parent = nullptr);

    EzevarSignInButtonViewModel* viewModel() const { return viewModel_; }
    bool fontLoaded() const { return fontLoaded_; }
    // Roboto-Bold at 14 pixels when it could be loaded, else the bold system font.
    QFont buttonFont() const;
    // The button itself, inside the widget's shadow margin.
    QRect buttonRect() const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // Finds "Roboto-Bold" among the system's fonts, else registers it from the resource bundle, once per
    // process; true when the font can be used.
    static bool registerFonts();
    // The Ezevar icon; a null pixmap (and one log line) when it cannot be loaded.
    static QPixmap ezevarIcon();

    // What assistive technologies announce: the title in the current language; the icon-only style,
    // which shows no title, is announced as the wide one ("Sign in with Ezevar").
    QString accessibleTitle() const;
    // Runs the action as a click does, unless the button is disabled (keyboard and assistive access).
    void activate();

    // Room between the button and its focus ring, and the ring's width; both lie inside the shadow
    // margin, so focus never changes the button's own pixels.
    static constexpr int kFocusRingGap = 1;
    static constexpr int kFocusRingWidth = 2;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    // Space presses and releases the button like the mouse; Return and Enter click it.
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;

private:
    void viewModelChanged();

    EzevarSignInButtonViewModel* viewModel_;
    Action action_;
    bool fontLoaded_;
    // A press made with Space and not yet released.
    bool spacePressed_ = false;
};

}  // namespace brisko::signin
