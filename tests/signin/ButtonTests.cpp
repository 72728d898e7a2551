// The sign-in button under a real X server: sizes, colours, state changes on press, texts in English and
// Japanese, screenshots of every style, scheme and state compared with references in the repository,
// the keyboard, the focus ring and what assistive technologies see.
#include <cstdlib>
#include <filesystem>

#include <QAccessible>
#include <QApplication>
#include <QFontInfo>
#include <QImage>
#include <QLineEdit>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>
#include <QVBoxLayout>

#include <doctest/doctest.h>

#include "platform/base/Log.hpp"
#include "signin/SignInResources.hpp"
#include "signin/button/EzevarSignInButton.hpp"

using namespace brisko::signin;

namespace {

QApplication& qtApp() {
    static QApplication* app = [] {
        static int argc = 1;
        static char name[] = "signin_button_tests";
        static char* argv[] = {name, nullptr};
        return new QApplication(argc, argv);
    }();
    return *app;
}

struct Language {
    explicit Language(const char* language) {
        if (const char* old = std::getenv("LANGUAGE")) previous_ = old;
        setenv("LANGUAGE", language, 1);
    }
    ~Language() {
        if (previous_.empty()) {
            unsetenv("LANGUAGE");
        } else {
            setenv("LANGUAGE", previous_.c_str(), 1);
        }
    }
    std::string previous_;
};

// The button as it is drawn at its minimum size (a standard or wide one given extra room grows).
QImage render(EzevarSignInButtonStyle style, EzevarSignInButtonColorScheme scheme, EzevarSignInButtonState state) {
    qtApp();
    EzevarSignInButton button(scheme, style, state, [] {});
    button.resize(button.minimumSizeHint());
    return button.grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

// Pixels whose channels differ by more than 24 (anti-aliasing and hinting differences).
int differingPixels(const QImage& a, const QImage& b) {
    if (a.size() != b.size()) return a.width() * a.height() + 1;
    int count = 0;
    for (int y = 0; y < a.height(); ++y)
        for (int x = 0; x < a.width(); ++x) {
            const QRgb p = a.pixel(x, y), q = b.pixel(x, y);
            if (std::abs(qRed(p) - qRed(q)) > 24 || std::abs(qGreen(p) - qGreen(q)) > 24 ||
                std::abs(qBlue(p) - qBlue(q)) > 24 || std::abs(qAlpha(p) - qAlpha(q)) > 24)
                ++count;
        }
    return count;
}

std::filesystem::path referencePath(const std::string& name) {
    return std::filesystem::path(BRISKO_SOURCE_DIR) / "tests/signin/references" / (name + ".png");
}

void compareWithReference(const QImage& image, const std::string& name) {
    const auto path = referencePath(name);
    if (std::getenv("BRISKO_UPDATE_REFERENCES")) {
        REQUIRE(image.save(QString::fromStdString(path.string())));
        return;
    }
    QImage reference(QString::fromStdString(path.string()));
    REQUIRE_MESSAGE(!reference.isNull(), "missing reference " << path.string());
    reference = reference.convertToFormat(QImage::Format_ARGB32);
    INFO(name);
    CHECK(reference.size() == image.size());
    // A small tolerance: at most 2 % of the pixels may differ beyond the per-channel threshold.
    CHECK(differingPixels(reference, image) <= image.width() * image.height() / 50);
}

QColor colorAt(const QImage& image, QPoint p) {
    return QColor::fromRgba(image.pixel(p));
}

}  // namespace

TEST_CASE("every style, scheme and state looks like its reference") {
    Language english("en");
    for (auto style : allButtonStyles())
        for (auto scheme : allColorSchemes())
            for (auto state : allButtonStates())
                compareWithReference(render(style, scheme, state), std::string(rawValue(style)) + "-" +
                                                                       std::string(rawValue(scheme)) + "-" +
                                                                       std::string(rawValue(state)));
}

TEST_CASE("the titles are English by default and Japanese for a Japanese user") {
    {
        Language english("en");
        CHECK(SwiftUIButtonStyle::title(EzevarSignInButtonStyle::standard) == "Sign in");
        CHECK(SwiftUIButtonStyle::title(EzevarSignInButtonStyle::wide) == "Sign in with Ezevar");
        CHECK(SwiftUIButtonStyle::title(EzevarSignInButtonStyle::icon).isEmpty());
    }
    {
        Language japanese("ja");
        CHECK(SwiftUIButtonStyle::title(EzevarSignInButtonStyle::wide) == QString::fromUtf8("Ezevar でログイン"));
        compareWithReference(render(EzevarSignInButtonStyle::wide, EzevarSignInButtonColorScheme::light,
                                    EzevarSignInButtonState::normal),
                             "wide-light-normal-ja");
    }
    {
        // A language without a table falls back to English, never to a placeholder.
        Language other("fr");
        CHECK(SignInStrings::signInString() == "Sign in");
        CHECK(SignInStrings::localizedStringForKey("Unknown key", "Unknown key") == "Unknown key");
    }
}

TEST_CASE("sizes: 40 high, icon 40 wide, wide exceeds standard by the difference of the titles") {
    qtApp();
    Language english("en");
    EzevarSignInButton standard(EzevarSignInButtonColorScheme::dark, EzevarSignInButtonStyle::standard,
                                EzevarSignInButtonState::normal, [] {});
    EzevarSignInButton wide(EzevarSignInButtonColorScheme::dark, EzevarSignInButtonStyle::wide,
                            EzevarSignInButtonState::normal, [] {});
    EzevarSignInButton icon(EzevarSignInButtonColorScheme::dark, EzevarSignInButtonStyle::icon,
                            EzevarSignInButtonState::normal, [] {});
    CHECK(standard.fontLoaded());
    const QFont font = standard.buttonFont();
    const int difference = SwiftUIButtonStyle::minimumWidth(EzevarSignInButtonStyle::wide, font) -
                           SwiftUIButtonStyle::minimumWidth(EzevarSignInButtonStyle::standard, font);
    const qreal titles = SwiftUIButtonStyle::titleWidth(EzevarSignInButtonStyle::wide, font) -
                         SwiftUIButtonStyle::titleWidth(EzevarSignInButtonStyle::standard, font);
    CHECK(std::abs(difference - titles) <= 1.0);
    CHECK(SwiftUIButtonStyle::minimumWidth(EzevarSignInButtonStyle::icon, font) == 40);
    for (auto* button : {&standard, &wide, &icon}) {
        button->resize(button->minimumSizeHint());
        CHECK(button->buttonRect().height() == 40);
    }
    icon.resize(300, icon.minimumSizeHint().height());
    CHECK(icon.buttonRect().width() == 40);
    wide.resize(400, wide.minimumSizeHint().height());
    CHECK(wide.buttonRect().width() == 400 - 2 * SwiftUIButtonStyle::kShadowMargin);
}

TEST_CASE("a press darkens a normal dark button until it ends and runs the action; a disabled one ignores it") {
    qtApp();
    int clicks = 0;
    EzevarSignInButton button(EzevarSignInButtonColorScheme::dark, EzevarSignInButtonStyle::wide,
                              EzevarSignInButtonState::normal, [&] { ++clicks; });
    button.resize(button.minimumSizeHint());
    const QPoint inside = button.buttonRect().center() + QPoint(30, 0);
    QTest::mousePress(&button, Qt::LeftButton, {}, inside);
    CHECK(button.viewModel()->state() == EzevarSignInButtonState::pressed);
    CHECK(colorAt(button.grab().toImage(), inside) == QColor(51, 103, 214));
    QTest::mouseRelease(&button, Qt::LeftButton, {}, inside);
    CHECK(button.viewModel()->state() == EzevarSignInButtonState::normal);
    CHECK(colorAt(button.grab().toImage(), inside) == QColor(66, 133, 244));
    CHECK(clicks == 1);

    button.viewModel()->setState(EzevarSignInButtonState::disabled);
    QTest::mousePress(&button, Qt::LeftButton, {}, inside);
    QTest::mouseRelease(&button, Qt::LeftButton, {}, inside);
    CHECK(button.viewModel()->state() == EzevarSignInButtonState::disabled);
    CHECK(clicks == 1);
    const auto look = button.viewModel()->buttonStyle();
    CHECK_FALSE(look.hasShadow());
    CHECK(look.backgroundColor() == QColor(0, 0, 0, 20));
    CHECK(look.foregroundColor().alphaF() == doctest::Approx(0.4).epsilon(0.01));
}

TEST_CASE("the view model announces each change before it happens, and a style change redraws") {
    qtApp();
    EzevarSignInButtonViewModel model(EzevarSignInButtonColorScheme::light, EzevarSignInButtonStyle::wide,
                                      EzevarSignInButtonState::normal);
    EzevarSignInButtonStyle seenBefore = EzevarSignInButtonStyle::standard;
    QObject::connect(&model, &EzevarSignInButtonViewModel::willChange, [&] { seenBefore = model.style(); });
    QSignalSpy styleChanged(&model, &EzevarSignInButtonViewModel::styleChanged);
    EzevarSignInButton button(&model, [] {});
    const int wideWidth = button.minimumSizeHint().width();
    model.setStyle(EzevarSignInButtonStyle::icon);
    CHECK(seenBefore == EzevarSignInButtonStyle::wide);
    CHECK(styleChanged.count() == 1);
    CHECK(button.minimumSizeHint().width() < wideWidth);
    CHECK(button.minimumSizeHint().width() == 40 + 2 * SwiftUIButtonStyle::kShadowMargin);
}

TEST_CASE("raw values round-trip and unknown ones give nothing") {
    for (auto style : allButtonStyles()) CHECK(buttonStyleFromRawValue(rawValue(style)) == style);
    for (auto scheme : allColorSchemes()) CHECK(colorSchemeFromRawValue(rawValue(scheme)) == scheme);
    for (auto state : allButtonStates()) CHECK(buttonStateFromRawValue(rawValue(state)) == state);
    CHECK_FALSE(buttonStyleFromRawValue("Wide"));
    CHECK_FALSE(colorSchemeFromRawValue(""));
    CHECK_FALSE(buttonStateFromRawValue("hover"));
    CHECK(allButtonStyles().size() == 3);
}

TEST_CASE("a second button finds the font already registered") {
    qtApp();
    EzevarSignInButton first(EzevarSignInButtonColorScheme::dark, EzevarSignInButtonStyle::standard,
                             EzevarSignInButtonState::normal, [] {});
    EzevarSignInButton second(EzevarSignInButtonColorScheme::light, EzevarSignInButtonStyle::standard,
                              EzevarSignInButtonState::normal, [] {});
    CHECK(first.fontLoaded());
    CHECK(second.fontLoaded());
    CHECK(EzevarSignInButton::registerFonts());
}

TEST_CASE("the button's Roboto-Bold comes from the system's fonts, not from a copy in the bundle") {
    qtApp();
    CHECK_FALSE(SignInResources::pathForResource(kFontName, kFontType));
    EzevarSignInButton button(EzevarSignInButtonColorScheme::dark, EzevarSignInButtonStyle::wide,
                              EzevarSignInButtonState::normal, [] {});
    CHECK(button.fontLoaded());
    const QFontInfo font(button.buttonFont());
    CHECK(font.family() == "Roboto");
    CHECK(font.bold());
}

TEST_CASE("without the resource bundle the button draws English titles and no icon, and says so once") {
    qtApp();
    brisko::platform::LogCapture log;
    SignInResources::setFrameworkBundle(std::nullopt);
    CHECK(SwiftUIButtonStyle::title(EzevarSignInButtonStyle::wide) == "Sign in with Ezevar");
    CHECK(EzevarSignInButton::ezevarIcon().isNull());
    EzevarSignInButton button(EzevarSignInButtonColorScheme::dark, EzevarSignInButtonStyle::icon,
                              EzevarSignInButtonState::normal, [] {});
    button.resize(button.minimumSizeHint());
    const QImage image = button.grab().toImage();
    CHECK(colorAt(image, button.buttonRect().center()) == QColor(255, 255, 255));
    SignInResources::resetFrameworkBundle();
    CHECK(log.contains("Unable to load Ezevar icon image url"));
}

namespace {
// A window holding a line edit and the button, shown and active, so that focus and keys behave as for
// a user.
struct ButtonWindow {
    QWidget window;
    QLineEdit* before = new QLineEdit(&window);
    EzevarSignInButton* button;

    ButtonWindow(EzevarSignInButtonColorScheme scheme, EzevarSignInButtonStyle style, std::function<void()> action) {
        qtApp();
        button = new EzevarSignInButton(scheme, style, EzevarSignInButtonState::normal, std::move(action), &window);
        auto* layout = new QVBoxLayout(&window);
        layout->addWidget(before);
        layout->addWidget(button);
        window.show();
        window.activateWindow();
        REQUIRE(QTest::qWaitForWindowActive(&window));
        before->setFocus(Qt::OtherFocusReason);
    }
    // The button alone, as drawn now.
    QImage image() const { return button->grab().toImage().convertToFormat(QImage::Format_ARGB32); }
};
}  // namespace

TEST_CASE("Tab reaches the button; Space presses and releases it like the mouse, Return and Enter click it") {
    int clicks = 0;
    ButtonWindow w(EzevarSignInButtonColorScheme::dark, EzevarSignInButtonStyle::wide, [&] { ++clicks; });
    QTest::keyClick(w.before, Qt::Key_Tab);
    REQUIRE(w.button->hasFocus());

    QTest::keyPress(w.button, Qt::Key_Space);
    CHECK(w.button->viewModel()->state() == EzevarSignInButtonState::pressed);
    CHECK(clicks == 0);
    QTest::keyRelease(w.button, Qt::Key_Space);
    CHECK(w.button->viewModel()->state() == EzevarSignInButtonState::normal);
    CHECK(clicks == 1);
    QTest::keyClick(w.button, Qt::Key_Return);
    CHECK(clicks == 2);
    QTest::keyClick(w.button, Qt::Key_Enter, Qt::KeypadModifier);
    CHECK(clicks == 3);

    // A Space press that loses the focus ends without a click.
    QTest::keyPress(w.button, Qt::Key_Space);
    w.before->setFocus(Qt::OtherFocusReason);
    CHECK(w.button->viewModel()->state() == EzevarSignInButtonState::normal);
    QTest::keyRelease(w.button, Qt::Key_Space);
    CHECK(clicks == 3);

    // Disabled: out of the Tab order, and keys do nothing.
    w.button->viewModel()->setState(EzevarSignInButtonState::disabled);
    QTest::keyClick(w.before, Qt::Key_Tab);
    CHECK_FALSE(w.button->hasFocus());
    for (auto key : {Qt::Key_Space, Qt::Key_Return, Qt::Key_Enter}) QTest::keyClick(w.button, key);
    CHECK(w.button->viewModel()->state() == EzevarSignInButtonState::disabled);
    CHECK(clicks == 3);
}

TEST_CASE(
    "focus shows a ring around the button in every style and scheme, and leaves the button's pixels as they are") {
    Language english("en");
    for (auto style : allButtonStyles())
        for (auto scheme : allColorSchemes())
            for (auto state : {EzevarSignInButtonState::normal, EzevarSignInButtonState::pressed}) {
                const std::string name = std::string(rawValue(style)) + "-" + std::string(rawValue(scheme)) + "-" +
                                         std::string(rawValue(state));
                INFO(name);
                ButtonWindow w(scheme, style, [] {});
                w.button->viewModel()->setState(state);
                const QImage unfocused = w.image();
                w.button->setFocus(Qt::TabFocusReason);
                REQUIRE(w.button->hasFocus());
                const QImage focused = w.image();
                REQUIRE(focused.size() == unfocused.size());

                const QRect button = w.button->buttonRect();
                int inside = 0, ring = 0;
                for (int y = 0; y < focused.height(); ++y)
                    for (int x = 0; x < focused.width(); ++x) {
                        if (focused.pixel(x, y) == unfocused.pixel(x, y)) continue;
                        if (button.contains(x, y)) {
                            ++inside;
                        } else {
                            ++ring;
                        }
                    }
                CHECK(inside == 0);
                // Around all four sides: at least the button's perimeter.
                CHECK(ring >= 2 * (button.width() + button.height()));
                const QColor left = QColor::fromRgba(focused.pixel(button.left() - 2, button.center().y()));
                CHECK(left == w.button->palette().color(QPalette::Highlight));
                // The state the user sees is the one the reference shows.
                CHECK(w.button->viewModel()->state() == state);
            }
}

TEST_CASE("assistive technologies see a push button named by its title in the current language, in every style") {
    int clicks = 0;
    ButtonWindow w(EzevarSignInButtonColorScheme::light, EzevarSignInButtonStyle::standard, [&] { ++clicks; });
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(w.button);
    REQUIRE(accessible);
    CHECK(accessible->role() == QAccessible::Button);
    CHECK(accessible->state().focusable);
    auto* model = w.button->viewModel();
    struct Case {
        const char* language;
        EzevarSignInButtonStyle style;
        QString name;
    };
    const Case cases[] = {
        {"en", EzevarSignInButtonStyle::standard, QStringLiteral("Sign in")},
        {"en", EzevarSignInButtonStyle::wide, QStringLiteral("Sign in with Ezevar")},
        // No title is shown, but it is still the sign-in button.
        {"en", EzevarSignInButtonStyle::icon, QStringLiteral("Sign in with Ezevar")},
        {"ja", EzevarSignInButtonStyle::wide, QString::fromUtf8("Ezevar でログイン")},
        {"ja", EzevarSignInButtonStyle::icon, QString::fromUtf8("Ezevar でログイン")},
    };
    for (const auto& c : cases) {
        Language language(c.language);
        model->setStyle(c.style);
        const std::string name = std::string(c.language) + " " + std::string(rawValue(c.style));
        INFO(name);
        CHECK(accessible->text(QAccessible::Name) == c.name);
    }
    {
        Language japanese("ja");
        model->setStyle(EzevarSignInButtonStyle::standard);
        CHECK(accessible->text(QAccessible::Name) == SwiftUIButtonStyle::title(EzevarSignInButtonStyle::standard));
        CHECK_FALSE(accessible->text(QAccessible::Name).isEmpty());
    }

    // Its press action clicks it, unless it is disabled.
    QAccessibleActionInterface* actions = accessible->actionInterface();
    REQUIRE(actions);
    CHECK(actions->actionNames().contains(QAccessibleActionInterface::pressAction()));
    actions->doAction(QAccessibleActionInterface::pressAction());
    CHECK(clicks == 1);
    model->setState(EzevarSignInButtonState::disabled);
    CHECK(accessible->state().disabled);
    actions->doAction(QAccessibleActionInterface::pressAction());
    CHECK(clicks == 1);
}
