// The recorder with a controllable workspace and clock: starting, stopping, sampling rules, sleep and wake.
#include <doctest/doctest.h>

#include <cmath>
#include <limits>

#include <nlohmann/json.hpp>

#include "app/recording/ActivityTrackingService.hpp"
#include "platform/base/Log.hpp"
#include "platform/base/NotificationCenter.hpp"
#include "platform/desktop/Workspace.hpp"
#include "tests/app/AppTestSupport.hpp"

using namespace brisko::app;
using namespace brisko::app::test;
namespace platform = brisko::platform;

TEST_CASE("starting twice takes one sample, logs once and keeps one pair of timers") {
    RecorderFixture f;
    f.signInUser();
    f.workspace->setFrontmostApplication(app("Editor"));
    platform::LogCapture log;
    f.recorder->start();
    auto collect = f.recorder->collectTimer();
    auto upload = f.recorder->uploadTimer();
    f.recorder->start();
    CHECK(f.recorder->isTracking());
    CHECK(f.buffer->count() == 1);
    CHECK(f.recorder->collectTimer() == collect);
    CHECK(f.recorder->uploadTimer() == upload);
    CHECK(collect->interval() == std::chrono::seconds(30));
    CHECK(upload->interval() == std::chrono::seconds(300));
    CHECK(log.messages() == std::vector<std::string>{"[ActivityTracking] Started: collect=30s, upload=300s"});

    // Each collect tick takes one more sample.
    f.clock->advance(std::chrono::seconds(30));
    collect->fire();
    auto entries = f.buffer->entries();
    REQUIRE(entries.size() == 2);
    CHECK(entries[1].entry.timestamp == platform::iso8601(f.clock->now()));
    f.recorder->stop();
    waitFor([&] { return f.service.ingests().size() == 1; });
}

TEST_CASE("stopping an idle recorder still uploads what the buffer holds and logs") {
    RecorderFixture f;
    f.signInUser();
    f.fill(3);  // for example entries put back by an earlier failed upload
    platform::LogCapture log;
    f.recorder->stop();
    CHECK(log.messages().front() == "[ActivityTracking] Stopped");
    CHECK(f.recorder->collectTimer() == nullptr);
    CHECK(f.recorder->uploadTimer() == nullptr);
    REQUIRE(waitFor([&] { return log.contains("[ActivityTracking] Uploaded 3 entries"); }));
    CHECK(f.service.ingests().size() == 1);

    // With an empty buffer nothing is sent and nothing more is logged.
    log.clear();
    f.recorder->stop();
    platform::MainLoop::runFor(std::chrono::milliseconds(50));
    std::vector<std::string> tracking;  // the account service's pairing may log meanwhile
    for (auto& m : log.messages()) {
        if (m.starts_with("[ActivityTracking]")) tracking.push_back(m);
    }
    CHECK(tracking == std::vector<std::string>{"[ActivityTracking] Stopped"});
    CHECK(f.service.ingests().size() == 1);
}

TEST_CASE("no sample is taken while this app is frontmost or nothing is") {
    RecorderFixture f;
    f.workspace->setFrontmostApplication(app("Editor", "org.example.editor", 7));
    f.accessibility->setTitle(7, "notes.txt");
    f.recorder->start();
    CHECK(f.recorder->latestAppName() == "Editor");
    CHECK(f.recorder->latestWindowTitle() == "notes.txt");

    f.workspace->setFrontmostApplication(app("Brisko Desktop", "com.brisko.desktop", 8));
    f.recorder->captureEntry();
    f.workspace->setFrontmostApplication(std::nullopt);
    f.recorder->captureEntry();
    CHECK(f.buffer->count() == 1);
    CHECK(f.recorder->latestAppName() == "Editor");
    CHECK(f.recorder->latestWindowTitle() == "notes.txt");

    // Two applications without identifiers count as this app too.
    ActivityTrackingService::Dependencies deps{f.workspace, f.accessibility, f.idle, std::nullopt,
                                               f.buffer,    nullptr,         nullptr};
    auto anonymous = ActivityTrackingService::make(deps);
    f.workspace->setFrontmostApplication(app("Anonymous", std::nullopt));
    anonymous->captureEntry();
    CHECK(f.buffer->count() == 1);
}

TEST_CASE("application names are trimmed, with the identifier then Unknown as fallbacks") {
    struct Case {
        std::optional<std::string> name;
        std::optional<std::string> bundle;
        std::string expected;
    };
    const Case cases[] = {
        {"  Editor \n", "org.e", "Editor"},
        {" \t\n ", "org.e", "org.e"},
        {" \t\n ", std::nullopt, "Unknown"},
        {std::nullopt, "org.e", "org.e"},
        {"\xE3\x80\x80\xE3\x80\x80", " org.spaced ",
         " org.spaced "},  // U+3000 only; the fallback stays as it is
        {"\xE3\x80\x80端末\xE3\x80\x80", "org.e", "端末"},
        {"Bad\xff\xfe", "org.e", "Bad\xEF\xBF\xBD\xEF\xBF\xBD"},  // ill-formed bytes become U+FFFD
    };
    for (const auto& c : cases) {
        CAPTURE(c.expected);
        RecorderFixture f;
        f.workspace->setFrontmostApplication(platform::RunningApplication{11, c.name, c.bundle});
        f.recorder->captureEntry();
        auto entries = f.buffer->entries();
        REQUIRE(entries.size() == 1);
        CHECK(entries[0].entry.appName == c.expected);
    }
}

TEST_CASE("idle readings become whole seconds, 0 when unusable") {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        std::optional<double> reading;
        std::int64_t expected;
    };
    const Case cases[] = {{nan, 0},          {-1.0, 0}, {-0.0, 0},         {12.9, 12},
                          {0.0, 0},          {inf, 0},  {std::nullopt, 0}, {9223372036854775808.0, INT64_MAX},
                          {1e300, INT64_MAX}};
    RecorderFixture f;
    f.workspace->setFrontmostApplication(app("Editor"));
    for (const auto& c : cases) {
        f.idle->setSeconds(c.reading);
        f.recorder->captureEntry();
        CHECK(f.buffer->entries().back().entry.idleSeconds == c.expected);
    }
    CHECK_FALSE(idleSecondsFromReading(-0.5).has_value());
    CHECK(idleSecondsFromReading(-0.0) == 0);
}

TEST_CASE("window titles come from the accessibility service; none without permission or when empty") {
    RecorderFixture f;
    f.workspace->setFrontmostApplication(app("Editor", "org.e", 21));
    f.accessibility->setTitle(21, "  spaced title  ");
    f.recorder->captureEntry();
    f.accessibility->setTitle(21, "");
    f.recorder->captureEntry();
    f.accessibility->setTitle(21, "secret");
    f.accessibility->setTrusted(false);
    f.recorder->captureEntry();
    auto entries = f.buffer->entries();
    REQUIRE(entries.size() == 3);
    CHECK(entries[0].entry.windowTitle == "  spaced title  ");
    CHECK_FALSE(entries[1].entry.windowTitle.has_value());
    CHECK_FALSE(entries[2].entry.windowTitle.has_value());
    CHECK_FALSE(f.recorder->latestWindowTitle().has_value());
}

TEST_CASE("sleep while recording samples asleep and uploads; wake samples awake") {
    RecorderFixture f;
    f.signInUser();
    f.workspace->setFrontmostApplication(app("Editor"));
    f.recorder->start();
    platform::LogCapture log;
    f.workspace->notificationCenter().post(std::string(platform::kWorkspaceWillSleepNotification));
    CHECK(log.contains("[ActivityTracking] Mac going to sleep"));
    REQUIRE(waitFor([&] { return f.service.ingests().size() == 1; }));
    auto body = nlohmann::json::parse(f.service.ingests()[0].body);
    REQUIRE(body["entries"].size() == 2);
    CHECK(body["entries"][1]["isAwake"] == false);

    f.workspace->notificationCenter().post(std::string(platform::kWorkspaceDidWakeNotification));
    CHECK(log.contains("[ActivityTracking] Mac woke up"));
    auto entries = f.buffer->entries();
    REQUIRE(entries.size() == 1);
    CHECK(entries[0].entry.isAwake);
    f.recorder->stop();
    waitFor([&] { return f.service.ingests().size() == 2; });
}

TEST_CASE("sleep while idle only marks the machine asleep; the next start samples asleep") {
    RecorderFixture f;
    f.signInUser();
    f.workspace->setFrontmostApplication(app("Editor"));
    platform::LogCapture log;
    f.recorder->handleSleep();
    CHECK_FALSE(f.recorder->isAwake());
    CHECK(f.buffer->count() == 0);
    CHECK(log.contains("[ActivityTracking] Mac going to sleep"));
    f.recorder->start();
    CHECK_FALSE(f.buffer->entries()[0].entry.isAwake);
    f.recorder->handleWake();
    CHECK(f.buffer->entries()[1].entry.isAwake);
    f.recorder->stop();
    waitFor([&] { return f.service.ingests().size() == 1; });
}
