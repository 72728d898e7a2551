// The upload against a local companion service: chunks, statuses, tokens and the body on the wire.
#include <doctest/doctest.h>

#include <algorithm>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "app/recording/ActivityPayload.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/base/Log.hpp"
#include "tests/app/AppTestSupport.hpp"

using namespace brisko::app;
using namespace brisko::app::test;
namespace platform = brisko::platform;

namespace {
std::size_t entryCount(const FakeCompanionService::Request& r) {
    return nlohmann::json::parse(r.body)["entries"].size();
}
std::string firstApp(const FakeCompanionService::Request& r) {
    return nlohmann::json::parse(r.body)["entries"][0]["appName"];
}
// The recorder's own lines (the account service's pairing may log meanwhile).
std::vector<std::string> trackingLines(const platform::LogCapture& log) {
    std::vector<std::string> out;
    for (auto& m : log.messages()) {
        if (m.starts_with("[ActivityTracking]")) out.push_back(m);
    }
    return out;
}
}  // namespace

TEST_CASE("1234 entries go as chunks of 500, 500 and 234 in buffer order, all with one day") {
    RecorderFixture f;
    f.signInUser();
    f.fill(1234);
    platform::LogCapture log;
    run(f.recorder->upload());
    auto posts = f.service.ingests();
    REQUIRE(posts.size() == 3);
    CHECK(entryCount(posts[0]) == 500);
    CHECK(entryCount(posts[1]) == 500);
    CHECK(entryCount(posts[2]) == 234);
    CHECK(firstApp(posts[1]) == "App 500");
    CHECK(firstApp(posts[2]) == "App 1000");
    const auto day = platform::formatDate(f.clock->now(), "yyyy-MM-dd", platform::TimeZone::local);
    for (auto& p : posts) CHECK(nlohmann::json::parse(p.body)["date"] == day);
    CHECK(trackingLines(log) == std::vector<std::string>{"[ActivityTracking] Uploaded 1234 entries"});
    CHECK(f.buffer->count() == 0);
    CHECK(ActivityBufferFile(f.bufferPath()).load().empty());
}

TEST_CASE("the body is the payload's JSON byte for byte, with the request's headers") {
    RecorderFixture f;
    f.signInUser();
    std::vector<ActivityEntry> entries{{"2025-03-09T14:05:30Z", "  Editor  ", 5, true, "a/b"},
                                       {"2025-03-09T14:06:00Z", " \n ", 0, false, std::nullopt}};
    for (auto& e : entries) f.buffer->appendEntry(e);
    f.clock->set(platform::dateFromTimeIntervalSince1970(1741519530));
    run(f.recorder->upload());
    auto posts = f.service.ingests();
    REQUIRE(posts.size() == 1);
    const auto day = platform::formatDate(f.clock->now(), "yyyy-MM-dd", platform::TimeZone::local);
    CHECK(posts[0].body ==
          "{\"date\":\"" + day +
              "\",\"entries\":[{\"timestamp\":\"2025-03-09T14:05:30Z\",\"appName\":\"Editor\","
              "\"idleSeconds\":5,\"isAwake\":true,\"windowTitle\":\"a\\/b\"},{\"timestamp\":"
              "\"2025-03-09T14:06:00Z\",\"appName\":\"Unknown\",\"idleSeconds\":0,\"isAwake\":false}]}");
    CHECK(posts[0].header("content-type") == "application/json");
    CHECK(posts[0].header("authorization") == "Bearer token-1");
}

TEST_CASE("the day is the Gregorian local day whatever the locale's calendar") {
    const char* previous = std::getenv("LC_ALL");
    std::string saved = previous ? previous : "";
    ::setenv("LC_ALL", "th_TH.UTF-8", 1);  // a Buddhist-calendar locale, where it is installed
    std::setlocale(LC_ALL, "");
    RecorderFixture f;
    f.signInUser();
    f.clock->set(platform::dateFromTimeIntervalSince1970(1741519530));  // 2025-03-09 UTC
    f.fill(1);
    run(f.recorder->upload());
    auto day = nlohmann::json::parse(f.service.ingests().at(0).body)["date"].get<std::string>();
    CHECK(day.substr(0, 4) == "2025");
    if (previous)
        ::setenv("LC_ALL", saved.c_str(), 1);
    else
        ::unsetenv("LC_ALL");
    std::setlocale(LC_ALL, "C");
}

TEST_CASE("statuses decide between delivered, dropped for good and put back") {
    struct Case {
        std::vector<int> replies;  // per attempt
        std::size_t uploaded, requeued, dropped;
    };
    const Case cases[] = {
        {{201}, 500, 0, 0},      {{400}, 0, 0, 500},      {{403}, 0, 0, 500}, {{404}, 0, 0, 500},
        {{422}, 0, 0, 500},      {{408}, 0, 500, 0},      {{425}, 0, 500, 0}, {{429}, 0, 500, 0},
        {{500}, 0, 500, 0},      {{503}, 0, 500, 0},      {{304}, 0, 500, 0}, {{401, 200}, 500, 0, 0},
        {{401, 401}, 0, 500, 0}, {{401, 404}, 0, 0, 500},
    };
    for (const auto& c : cases) {
        CAPTURE(c.replies[0]);
        CAPTURE(c.replies.size());
        RecorderFixture f;
        f.signInUser();
        f.fill(500);
        f.service.scriptIngest(c.replies);
        platform::LogCapture log;
        run(f.recorder->upload());
        CHECK(f.service.ingests().size() == c.replies.size());
        CHECK(f.buffer->count() == c.requeued);
        auto lines = trackingLines(log);
        REQUIRE_FALSE(lines.empty());
        if (c.requeued) {
            CHECK(lines.back().starts_with("[ActivityTracking] Upload failed (uploaded 0, requeued 500): "));
        } else if (c.dropped) {
            CHECK(lines.size() == 2);
            CHECK(lines.front().starts_with("[ActivityTracking] Dropped chunk (permanent HTTP "));
            CHECK(lines.back() == "[ActivityTracking] Uploaded 0 entries (discarded 500)");
        } else {
            CHECK(lines == std::vector<std::string>{"[ActivityTracking] Uploaded 500 entries"});
        }
    }
}

TEST_CASE("a chunk the service accepted is delivered whatever becomes of the reply's body") {
    struct Case {
        std::string what;
        int status;
        std::size_t announced, sent;
        bool delivered;
    };
    const Case cases[] = {
        {"a 200 whose body passes the session's maximum", 200, 256u << 20, 256u << 20, true},
        {"a 201 whose body the connection cuts short", 201, 1000, 10, true},
        {"a 503 whose body the connection cuts short", 503, 1000, 10, false},
    };
    for (const auto& c : cases) {
        CAPTURE(c.what);
        RecorderFixture f;
        f.signInUser();
        f.fill(500);
        f.service.scriptIngest({c.status});
        f.service.answerIngestWithBody(c.announced, c.sent);
        platform::LogCapture log;
        run(f.recorder->upload());
        CHECK(f.service.ingests().size() == 1);
        const auto lines = trackingLines(log);
        REQUIRE_FALSE(lines.empty());
        if (c.delivered) {
            CHECK(f.buffer->count() == 0);
            CHECK(lines == std::vector<std::string>{"[ActivityTracking] Uploaded 500 entries"});
        } else {
            CHECK(f.buffer->count() == 500);
            CHECK(lines.back().starts_with("[ActivityTracking] Upload failed (uploaded 0, requeued 500): "));
        }
    }
}

TEST_CASE("a dropped chunk is logged with its range and the run goes on; a failure puts the rest back") {
    RecorderFixture f;
    f.signInUser();
    f.fill(1234);
    f.service.scriptIngest({400});
    platform::LogCapture log;
    run(f.recorder->upload());
    auto first = f.buffer->entries();
    CHECK(first.empty());
    auto entries = f.entry(0);
    auto last = f.entry(499);
    CHECK(trackingLines(log) == std::vector<std::string>{
                                "[ActivityTracking] Dropped chunk (permanent HTTP 400): 500 entries, range " +
                                    entries.timestamp + " - " + last.timestamp + ", firstApp=App 0",
                                "[ActivityTracking] Uploaded 734 entries (discarded 500)"});

    f.service.clear();
    log.clear();
    f.fill(1234);
    f.service.scriptIngest({200, 503});
    run(f.recorder->upload());
    CHECK(f.service.ingests().size() == 2);
    CHECK(trackingLines(log) ==
          std::vector<std::string>{
              "[ActivityTracking] Upload failed (uploaded 500, requeued 734): 送信エラー: HTTP 503"});
    auto rest = f.buffer->entries();
    REQUIRE(rest.size() == 734);
    CHECK(rest.front().entry.appName == "App 500");
}

TEST_CASE("a network error or a bad address puts everything back with the error's description") {
    SUBCASE("connection refused") {
        int closedPort;
        {
            FakeCompanionService probe;
            closedPort = probe.port();
        }
        RecorderFixture f("http://127.0.0.1:" + std::to_string(closedPort));
        f.signInUser();
        f.fill(600);
        platform::LogCapture log;
        run(f.recorder->upload());
        CHECK(f.buffer->count() == 600);
        REQUIRE_FALSE(trackingLines(log).empty());
        CHECK(trackingLines(log).back().starts_with(
            "[ActivityTracking] Upload failed (uploaded 0, requeued 600): "));
    }
    SUBCASE("invalid address") {
        RecorderFixture f("https://bad host");
        f.signInUser();
        f.fill(2);
        platform::LogCapture log;
        run(f.recorder->upload());
        CHECK(f.buffer->count() == 2);
        CHECK(trackingLines(log) ==
              std::vector<std::string>{
                  "[ActivityTracking] Upload failed (uploaded 0, requeued 2): 送信先URLが不正です"});
    }
    SUBCASE("the base address is trimmed of blanks and slashes") {
        RecorderFixture probe;
        RecorderFixture f("  " + probe.service.baseURL() + "/// \n");
        f.signInUser();
        f.fill(1);
        run(f.recorder->upload());
        CHECK(f.service.ingests().empty());
        CHECK(probe.service.ingests().size() == 1);
        // Pairing joins its path the same way (no "//api/...").
        run(f.auth->registerDesktopCompanion());
        CHECK(probe.service.requests("POST", FakeCompanionService::kPairingPath).size() >= 1);
    }
}

TEST_CASE("the Authorization header is the user's token, absent without one, and replaced after a 401") {
    RecorderFixture f;
    SUBCASE("signed in") {
        auto user = f.signInUser();
        f.fill(1);
        f.service.scriptIngest({401, 200});
        run(f.recorder->upload());
        auto posts = f.service.ingests();
        REQUIRE(posts.size() == 2);
        CHECK(posts[0].header("authorization") == "Bearer token-1");
        CHECK(posts[1].header("authorization") == "Bearer refreshed-1");
        CHECK(posts[0].body == posts[1].body);
        CHECK(user->forcedRefreshes == 1);
    }
    SUBCASE("the token call fails: sent without it") {
        auto user = f.signInUser();
        user->tokenFails = true;
        f.fill(1);
        run(f.recorder->upload());
        REQUIRE(f.service.ingests().size() == 1);
        CHECK_FALSE(f.service.ingests()[0].header("authorization").has_value());
    }
    SUBCASE("the forced refresh fails: the run is put back with the account service's message") {
        auto user = f.signInUser();
        user->refreshFails = true;
        f.fill(3);
        f.service.scriptIngest({401});
        platform::LogCapture log;
        run(f.recorder->upload());
        CHECK(f.service.ingests().size() == 1);
        CHECK(f.buffer->count() == 3);
        REQUIRE(trackingLines(log).size() == 1);
        CHECK(trackingLines(log)[0].starts_with("[ActivityTracking] Upload failed (uploaded 0, requeued 3): "));
    }
}

TEST_CASE("nothing is sent while nobody is signed in; the samples go out after the next sign-in") {
    RecorderFixture f;
    f.fill(3);
    platform::LogCapture log;
    run(f.recorder->upload());
    CHECK(f.service.ingests().empty());
    CHECK(trackingLines(log).empty());
    CHECK(f.buffer->count() == 3);
    f.signInUser();
    run(f.recorder->upload());
    auto posts = f.service.ingests();
    REQUIRE(posts.size() == 1);
    CHECK(entryCount(posts[0]) == 3);
    CHECK(posts[0].header("authorization") == "Bearer token-1");
}

TEST_CASE("one account's samples never reach the service under another account's token") {
    SUBCASE("a switch of account without a sign-out") {
        RecorderFixture f;
        f.signInUser();
        f.workspace->setFrontmostApplication(app("Editor"));
        f.recorder->captureEntry();  // A's sample
        auto b = std::make_shared<FakeIdentityUser>("b@example.com", "token-b", "uid-b");
        f.identity->setUser(b);
        f.recorder->captureEntry();  // taken the moment B is current: B's
        REQUIRE(waitFor([&] { return f.auth->currentUser() == b; }));
        run(f.recorder->upload());
        auto posts = f.service.ingests();
        REQUIRE(posts.size() == 1);
        CHECK(entryCount(posts[0]) == 1);
        CHECK(posts[0].header("authorization") == "Bearer token-b");
        CHECK(f.buffer->liveCount() == 0);
    }
    SUBCASE("a relaunch that restores nobody, then another account signs in") {
        TempDir keep;
        {
            RecorderFixture a;
            a.signInUser();
            a.fill(2);  // nobody's until an upload or a sign-in gives them to A
            a.buffer->adoptAccount("uid-1");
            a.buffer->flush();
            std::filesystem::copy_file(a.bufferPath(), keep / "activity-buffer.jsonl");
        }
        RecorderFixture f;
        std::filesystem::copy_file(keep / "activity-buffer.jsonl", f.bufferPath(),
                                   std::filesystem::copy_options::overwrite_existing);
        f.buffer = std::make_shared<ActivityBuffer>(std::make_unique<ActivityBufferFile>(f.bufferPath()));
        f.recorder = ActivityTrackingService::make(ActivityTrackingService::Dependencies{
            .workspace = f.workspace,
            .buffer = f.buffer,
            .uploader = std::make_shared<ActivityUploader>(f.buffer, f.auth, f.session, f.service.baseURL()),
            .authService = f.auth,
        });
        f.buffer->appendEntry(f.entry(7));  // taken while nobody is signed in: B's once B signs in
        platform::LogCapture log;
        auto b = std::make_shared<FakeIdentityUser>("b@example.com", "token-b", "uid-b");
        f.auth->configureZudiridi();
        f.identity->setUser(b);
        REQUIRE(waitFor([&] { return f.auth->currentUser() == b; }));
        run(f.recorder->upload());
        auto posts = f.service.ingests();
        REQUIRE(posts.size() == 1);
        CHECK(entryCount(posts[0]) == 1);
        CHECK(firstApp(posts[0]) == "App 7");
        const auto lines = log.messages();
        CHECK(std::count(lines.begin(), lines.end(),
                         "[ActivityTracking] Discarded 2 undelivered entries at sign-out") == 1);
    }
}

TEST_CASE("a redirect that would turn the POST into a GET fails the chunk; 307 and 308 are followed") {
    // Through the companion service session as in the app, and through the uploader's own session when
    // it is handed a plain one.
    for (bool plainSession : {false, true}) {
        for (int status : {301, 302, 303, 307, 308}) {
            CAPTURE(plainSession);
            CAPTURE(status);
            RecorderFixture f;
            f.signInUser();
            f.fill(3);
            f.service.scriptIngest({status});
            if (plainSession) {
                ActivityUploader uploader(f.buffer, f.auth,
                                          platform::URLSession::sessionWithConfiguration(
                                              platform::URLSessionConfiguration::defaultSessionConfiguration()),
                                          f.service.baseURL());
                run(uploader.upload());
            } else {
                run(f.recorder->upload());
            }
            const bool followed = status == 307 || status == 308;
            auto arrived = f.service.requests("POST", FakeCompanionService::kRedirectTarget);
            CHECK(arrived.size() == (followed ? 1u : 0u));
            CHECK(f.service.requests("GET", FakeCompanionService::kRedirectTarget).empty());
            if (followed) CHECK(entryCount(arrived[0]) == 3);
            CHECK(f.buffer->count() == (followed ? 0u : 3u));
        }
    }
}

TEST_CASE("pairing and uploads share one connection; pairing's redirects are followed as before") {
    SUBCASE("one connection") {
        RecorderFixture f({}, ActivityBuffer::kCapacity, true);
        // The pairing's reply is held until the log is watched and the main loop drained: an earlier test's
        // pairing finishing late on the main loop logs the same line, and must not let the upload start
        // while this pairing still holds the connection.
        f.service.holdReplies();
        f.signInUser();
        REQUIRE(waitFor([&] { return !f.service.requests("POST", FakeCompanionService::kPairingPath).empty(); }));
        platform::MainLoop::drain();
        platform::LogCapture log;
        f.service.releaseReplies();
        REQUIRE(waitFor([&] { return log.contains("[Companion] Desktop Companion ペアリング完了"); }));
        f.fill(3);
        run(f.recorder->upload());
        REQUIRE(f.service.ingests().size() == 1);
        const auto requests = f.service.requests();
        REQUIRE(requests.size() == 2);
        CHECK(requests[0].path == FakeCompanionService::kPairingPath);
        CHECK(requests[1].clientPort == requests[0].clientPort);
    }
    SUBCASE("a 302 to the pairing POST is followed with a GET, as by a session without a delegate") {
        RecorderFixture f;
        f.service.script("POST", FakeCompanionService::kPairingPath, {302});
        f.signInUser();
        CHECK(waitFor([&] { return !f.service.requests("GET", FakeCompanionService::kRedirectTarget).empty(); }));
    }
}

TEST_CASE("overlapping uploads send disjoint entries and a failure keeps capture order") {
    RecorderFixture f;
    f.signInUser();
    f.fill(3);
    f.service.scriptIngest({503});
    // The first run is under way (its request arrived, its reply held back) when the second one starts.
    f.service.holdReplies();
    bool firstDone = false;
    platform::spawn(platform::DispatchQueue::main(), f.recorder->upload(),
                    [&](std::exception_ptr) { firstDone = true; });
    REQUIRE(waitFor([&] { return f.service.ingests().size() == 1; }));
    f.buffer->appendEntry(f.entry(3));
    bool secondDone = false;
    platform::spawn(platform::DispatchQueue::main(), f.recorder->upload(),
                    [&](std::exception_ptr) { secondDone = true; });
    REQUIRE(waitFor([&] { return f.service.ingests().size() == 2; }));
    f.service.releaseReplies();
    REQUIRE(waitFor([&] { return firstDone && secondDone; }));
    auto posts = f.service.ingests();
    REQUIRE(posts.size() == 2);
    CHECK(entryCount(posts[0]) + entryCount(posts[1]) == 4);
    // Whichever failed, what is left is in capture order.
    auto left = f.buffer->entries();
    for (std::size_t i = 1; i < left.size(); ++i) CHECK(left[i - 1].sequence < left[i].sequence);
}

TEST_CASE("a crash during an upload loses nothing: taken entries stay on disk until delivered") {
    RecorderFixture f;
    f.signInUser();
    f.fill(700);
    f.service.scriptIngest({200, 503});
    run(f.recorder->upload());
    // 500 delivered and forgotten, 200 put back; the file agrees with memory.
    CHECK(ActivityBufferFile(f.bufferPath()).load().size() == 200);
    auto batch = f.buffer->takeBuffer("uid-1");  // an upload takes them, then the process dies
    CHECK(ActivityBufferFile(f.bufferPath()).load().size() == 200);
}
