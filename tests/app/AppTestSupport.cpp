// The app tests' shared set-up.
#include "tests/app/AppTestSupport.hpp"

#include <unistd.h>

#include <atomic>
#include <random>

#include "core/App.hpp"
#include "platform/desktop/Workspace.hpp"

namespace brisko::app::test {

QApplication& qtApp() {
    static QApplication* app = [] {
        if (!std::getenv("QT_QPA_PLATFORM")) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        static int argc = 1;
        static char name[] = "app_tests";
        static char* argv[] = {name, nullptr};
        return new QApplication(argc, argv);
    }();
    return *app;
}

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    path_ = std::filesystem::temp_directory_path() /
            ("brisko-app-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return platform::MainLoop::runUntil(done, timeout);
}

RecorderFixture::RecorderFixture(std::string baseURL, std::size_t capacity, bool keepAlive) : service(keepAlive) {
    session = makeCompanionServiceSession(platform::URLSessionConfiguration::defaultSessionConfiguration());
    auth = AuthService::make(AuthService::Dependencies{
        .identity = identity,
        .ezevar = ezevar,
        .session = session,
        .apiBaseURL = baseURL.empty() ? service.baseURL() : baseURL,
        .optionsFilePath =
            [] {
                return std::optional<std::string>(BRISKO_SOURCE_DIR "/resources/EzevarService-Info.plist");
            },
        .computerName = [] { return std::string("Test Machine"); },
    });
    buffer = std::make_shared<ActivityBuffer>(std::make_unique<ActivityBufferFile>(bufferPath()), capacity);
    recorder = ActivityTrackingService::make(ActivityTrackingService::Dependencies{
        .workspace = workspace,
        .accessibility = accessibility,
        .idleTime = idle,
        .mainBundleIdentifier = std::string("com.brisko.desktop"),
        .buffer = buffer,
        .uploader = std::make_shared<ActivityUploader>(buffer, auth, session,
                                                       baseURL.empty() ? service.baseURL() : baseURL),
        .authService = auth,
    });
}

namespace {
// Whether the session still has requests under way (asked on its delegate queue).
bool hasLiveTasks(platform::URLSession& session) {
    auto answer = std::make_shared<std::atomic<int>>(-1);
    session.getAllTasksWithCompletionHandler(
        [answer](std::vector<std::shared_ptr<platform::URLSessionTask>> tasks) { *answer = tasks.empty() ? 0 : 1; });
    platform::MainLoop::runUntil([&] { return *answer >= 0; }, std::chrono::seconds(5));
    return *answer != 0;
}
}  // namespace

RecorderFixture::~RecorderFixture() {
    // Requests a test started without waiting for their end (the pairing after a sign-in, say) end
    // here, while the companion service still answers, and their completions log now rather than in
    // a later test's main loop. Quiet twice in a row: a finished request can start the next one.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (int quiet = 0; quiet < 2 && std::chrono::steady_clock::now() < deadline;) {
        platform::MainLoop::runFor(std::chrono::milliseconds(quiet == 0 ? 1 : 10));
        quiet = hasLiveTasks(*session) ? 0 : quiet + 1;
    }
}

ActivityEntry RecorderFixture::entry(int i) const {
    return ActivityEntry{platform::iso8601(clock->now() + std::chrono::seconds(30 * i)),
                         "App " + std::to_string(i), i, true, "Window " + std::to_string(i)};
}

void RecorderFixture::fill(std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) buffer->appendEntry(entry(static_cast<int>(i)));
}

std::shared_ptr<FakeIdentityUser> RecorderFixture::signInUser(std::string email) {
    auto user = std::make_shared<FakeIdentityUser>(std::move(email));
    if (!auth->didConfigureZudiridi()) {
        // Registers the listener as configureZudiridi does once the options are read.
        auth->configureZudiridi();
    }
    identity->setUser(user);
    waitFor([&] { return auth->isAuthenticated() && auth->currentUser() == user; });
    return user;
}

}  // namespace brisko::app::test
