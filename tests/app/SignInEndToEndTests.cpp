// Signing in through the browser, end to end: the real binary under Xvfb, the Ezevar stand-in (a real
// OpenID provider behind our shim, over HTTPS), Debian's chromium as the desktop's default browser
// (driven by puppeteer-core), the local identity service and a local companion service. The sign-in
// button is clicked, the user signs in on the stand-in's page, the redirect comes back to the app
// through its URL scheme, the app pairs, records and uploads with the identity service's ID token for
// that account; sign-out unpairs and removes the Ezevar state from the keychain.
#include <doctest/doctest.h>
#include <unistd.h>

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QProcess>
#include <QProcessEnvironment>
#include <QScreen>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "platform/storage/FileKeychain.hpp"
#include "tests/app/FakeCompanionService.hpp"
#include "tests/app/TrayMenuDriver.hpp"
#include "tests/platform/desktop/DesktopTestSupport.hpp"
#include "tests/platform/desktop/x11/X11TestWindow.hpp"
#include "tests/support/HttpTestServer.hpp"
#include "tests/support/ezevar/EzevarStandIn.hpp"
#include "tests/support/identity-service/IdentityService.hpp"

using namespace brisko::app::test;
using brisko::testing::EzevarStandIn;
using brisko::testing::HttpTestServer;
using brisko::testing::IdentityService;

namespace {

// The options file's API key, which the local identity service must accept.
constexpr const char* kAPIKey = "placeholder-api-key";
constexpr const char* kLogin = "e2e-user@example.test";

bool pump(const std::function<bool()>& done, int timeoutMs = 30000) {
    return brisko::test::processEventsUntil(done, std::chrono::milliseconds(timeoutMs));
}

QGuiApplication& guiApp() {
    static QGuiApplication* app = [] {
        static int argc = 1;
        static char name[] = "signin_e2e_tests";
        static char* argv[] = {name, nullptr};
        return new QGuiApplication(argc, argv);
    }();
    return *app;
}

QImage screenshot() {
    return guiApp().primaryScreen()->grabWindow(0).toImage().convertToFormat(QImage::Format_RGB32);
}

bool near(QRgb pixel, const QColor& color, int tolerance = 12) {
    return std::abs(qRed(pixel) - color.red()) <= tolerance && std::abs(qGreen(pixel) - color.green()) <= tolerance &&
           std::abs(qBlue(pixel) - color.blue()) <= tolerance;
}

// Teal: the accent colour and the avatar's gradient from it to the muted colour (blue at least as
// strong as green, unlike the green of the "connected" line).
bool teal(QRgb p) {
    return qGreen(p) > qRed(p) + 40 && qBlue(p) > qRed(p) + 40 && qBlue(p) >= qGreen(p);
}

// The bounding box of the lowest run of screen rows holding teal: the sign-in button on the sign-in
// screen (the mark above it is another run), the avatar on the account card.
std::optional<QRect> lowestAccentArea(const QImage& image) {
    int bottom = -1, top = -1, left = image.width(), right = -1;
    for (int y = image.height() - 1; y >= 0; --y) {
        int count = 0;
        for (int x = 0; x < image.width(); ++x) {
            if (!teal(image.pixel(x, y))) continue;
            ++count;
            if (bottom >= 0 || count >= 3) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
        }
        if (count >= 3) {
            if (bottom < 0) bottom = y;
            top = y;
        } else if (bottom >= 0) {
            break;
        }
    }
    if (bottom < 0) return std::nullopt;
    return QRect(QPoint(left, top), QPoint(right, bottom));
}

bool click(QPoint at) {
    return QProcess::execute(QStringLiteral("xdotool"),
                             {QStringLiteral("mousemove"), QString::number(at.x()), QString::number(at.y()),
                              QStringLiteral("click"), QStringLiteral("1")}) == 0;
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

struct Process {
    QProcess process;
    Process(const QProcessEnvironment& env, const QString& program, const QStringList& args) {
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::ForwardedChannels);
        process.start(program, args);
        process.waitForStarted(10000);
    }
    ~Process() {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000)) {
                process.kill();
                process.waitForFinished(5000);
            }
        }
    }
};

}  // namespace

TEST_CASE("a new user signs in through the browser, records under that account, and signs out") {
    guiApp();
    EzevarStandIn ezevar;
    IdentityService identity(IdentityService::Options{.apiKey = kAPIKey});
    FakeCompanionService companion;
    StatusNotifierWatcher watcher;
    REQUIRE_MESSAGE(watcher.start(), "needs a session bus of its own (dbus-run-session)");
    brisko::test::TemporaryFolder folder;
    const std::filesystem::path home = folder.path();
    const std::string handoff = std::string(BRISKO_SOURCE_DIR) + "/tests/support/ezevar/browser-handoff.sh";
    const std::filesystem::path browserFile = home / "browser-url";

    // chromium-signin.mjs is the desktop's default browser: $BROWSER and the https handler of the
    // user's desktop entries both hand the URL to it.
    writeFile(home / "data/applications/brisko-test-browser.desktop",
              "[Desktop Entry]\nType=Application\nName=Test browser\nExec=" + handoff +
                  " %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\n");
    writeFile(home / "config/mimeapps.list",
              "[Default Applications]\nx-scheme-handler/https=brisko-test-browser.desktop\n"
              "x-scheme-handler/http=brisko-test-browser.desktop\n");

    auto env = QProcessEnvironment::systemEnvironment();
    auto set = [&](const char* name, const std::string& value) {
        env.insert(QString::fromUtf8(name), QString::fromStdString(value));
    };
    set("HOME", home.string());
    set("XDG_DATA_HOME", (home / "data").string());
    set("XDG_CONFIG_HOME", (home / "config").string());
    set("XDG_CACHE_HOME", (home / "cache").string());
    set("XDG_RUNTIME_DIR", home.string());
    set("BRISKO_RESOURCES_DIR", std::string(BRISKO_SOURCE_DIR) + "/resources");
    set("BRISKO_SERVICE_URL", companion.baseURL());
    set("BRISKO_IDENTITY_EMULATOR_HOST", identity.emulatorHostAndPort());
    set("BRISKO_EZEVAR_SERVER", ezevar.host());
    set("BRISKO_EZEVAR_CA_FILE", HttpTestServer::caCertificatePath());
    set("BRISKO_KEYCHAIN", "file");
    set("BROWSER", handoff);
    set("BRISKO_TEST_BROWSER_FILE", browserFile.string());
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));

    Process app(env, QStringLiteral(BRISKO_APP_BINARY), {});
    REQUIRE(pump([&] { return !watcher.RegisteredStatusNotifierItems().isEmpty(); }));
    Process browser(env, QStringLiteral("node"),
                    {QStringLiteral(BRISKO_SOURCE_DIR "/tests/support/ezevar/chromium-signin.mjs"),
                     QStringLiteral("--url-file"), QString::fromStdString(browserFile.string()),
                     QStringLiteral("--scheme"), QStringLiteral("com.ezevarusercontent.apps.000000000000-placeholder"),
                     QStringLiteral("--app"), QStringLiteral(BRISKO_APP_BINARY), QStringLiteral("--login"),
                     QString::fromUtf8(kLogin), QStringLiteral("--timeout"), QStringLiteral("90")});

    // The sign-in screen's button is the lowest area of the accent colour on screen.
    std::optional<QRect> button;
    REQUIRE(pump([&] { return (button = lowestAccentArea(screenshot())).has_value() && button->width() > 60; }));
    REQUIRE(click(button->center()));
    REQUIRE_MESSAGE(pump([&] { return std::filesystem::exists(browserFile); }), "the app opened no page");
    CHECK(readFile(browserFile).find("/o/oauth2/v2/auth?") != std::string::npos);

    // The browser signs in and the second launch hands the redirect over; the app exchanges the code,
    // signs in to the identity service and pairs.
    REQUIRE(browser.process.waitForFinished(120000));
    CHECK(browser.process.exitCode() == 0);
    REQUIRE(pump([&] { return !companion.requests("POST", FakeCompanionService::kPairingPath).empty(); }, 60000));
    const auto pairing = companion.requests("POST", FakeCompanionService::kPairingPath).front();
    const std::string bearer = pairing.header("authorization").value_or("");
    REQUIRE(bearer.rfind("Bearer ", 0) == 0);
    const std::string idToken = bearer.substr(7);
    const auto claims = IdentityService::jwtClaims(idToken);
    REQUIRE(claims.is_object());
    const std::string localID = claims.value("user_id", claims.value("sub", std::string()));
    REQUIRE(identity.account(localID).has_value());
    CHECK_FALSE(identity.requestsTo("verifyAssertion").empty());
    CHECK_FALSE(ezevar.requestsTo("/token").empty());
    // The Ezevar state is in the keychain (the file store here).
    std::vector<brisko::platform::KeychainItem> items;
    brisko::platform::KeychainQuery query;
    query.service = "auth";
    query.account = "OAuth";
    query.useDataProtectionKeychain = true;
    brisko::platform::FileKeychain keychain(home / "data/brisko-desktop/keychain-items.plist");
    CHECK(keychain.copyMatching(query, items) == brisko::platform::errSecSuccess);

    // Recording delivers samples with the same account's token (a sample needs another application
    // in front).
    brisko::test::X11TestWindow probe(
        {.wmClass = std::make_pair(std::string("brisko-probe"), std::string("BriskoProbe")),
         .netWmName = "サインイン後の記録",
         .pid = static_cast<std::uint32_t>(::getpid())});
    probe.activate();
    REQUIRE(watcher.click(QStringLiteral("記録を開始")));
    brisko::test::processEventsFor(std::chrono::milliseconds(500));
    REQUIRE(watcher.click(QStringLiteral("記録を停止")));
    REQUIRE(pump([&] { return !companion.ingests().empty(); }, 60000));
    for (const auto& upload : companion.ingests()) {
        const std::string token = upload.header("authorization").value_or("").substr(7);
        const auto uploadClaims = IdentityService::jwtClaims(token);
        CHECK(uploadClaims.value("user_id", uploadClaims.value("sub", std::string())) == localID);
    }

    // Sign-out: the button at the right end of the account card, level with the avatar.
    QProcess::execute(QStringLiteral("xdotool"),
                      {QStringLiteral("search"), QStringLiteral("--name"), QStringLiteral("^Brisko Desktop$"),
                       QStringLiteral("windowactivate")});
    std::optional<QRect> avatar;
    REQUIRE(pump([&] { return (avatar = lowestAccentArea(screenshot())).has_value(); }));
    // The window shows the account: the wide sign-in button gave way to the account card's avatar.
    CHECK(avatar->width() < 50);
    CHECK(avatar->height() < 50);
    const QImage image = screenshot();
    if (const char* keep = std::getenv("BRISKO_E2E_SCREENSHOT")) image.save(QString::fromUtf8(keep));
    const int y = avatar->center().y();
    // The card runs from left of the avatar to where the window's background starts again; the button's
    // label is the rightmost light text inside it, level with the avatar.
    const QColor cardColor = QColor::fromRgb(image.pixel(avatar->left() - 6, y));
    int cardRight = -1;
    for (int x = avatar->right() + 1; x < image.width(); ++x) {
        if (!near(image.pixel(x, y), cardColor, 3) && !near(image.pixel(x, y - 12), cardColor, 3) &&
            !near(image.pixel(x, y + 12), cardColor, 3)) {
            // Three rows differing at once: the card's edge, not a letter.
            cardRight = x;
            break;
        }
    }
    REQUIRE(cardRight > 0);
    int label = -1;
    for (int x = cardRight - 1; x > avatar->right() && label < 0; --x)
        for (int dy = -3; dy <= 3; ++dy) {
            const QRgb p = image.pixel(x, y + dy);
            if (qRed(p) > 110 && std::abs(qRed(p) - qGreen(p)) < 16 && std::abs(qRed(p) - qBlue(p)) < 16) {
                label = x;
                break;
            }
        }
    INFO("avatar " << avatar->x() << "," << avatar->y() << " " << avatar->width() << "x" << avatar->height()
                   << " card right " << cardRight);
    REQUIRE(label > 0);
    REQUIRE(click(QPoint(label - 15, y)));
    REQUIRE(pump([&] { return !companion.requests("DELETE", FakeCompanionService::kPairingPath).empty(); }, 30000));
    CHECK(pump([&] { return keychain.copyMatching(query, items) == brisko::platform::errSecItemNotFound; }, 10000));
}
