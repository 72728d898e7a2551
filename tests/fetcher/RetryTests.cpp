// Retry and backoff against a real server; the retry timer is fired by the test instead of waited for.
#include <doctest/doctest.h>

#include "fetcher/HTTPDate.hpp"
#include "fetcher/SessionFetcher.hpp"
#include "platform/base/Clock.hpp"
#include "platform/net/URLError.hpp"
#include "tests/fetcher/FetcherTestSupport.hpp"
#include "tests/support/HttpTestServer.hpp"

using namespace brisko;
using namespace brisko::fetcher;
using namespace brisko::fetcher::testing;
using brisko::testing::HttpTestServer;

namespace {

// Runs a fetch, firing each retry timer as soon as it is set; returns the waits the fetcher chose.
struct RetryRun {
    std::vector<double> waits;
    Completion completion;
};

RetryRun runWithRetries(const std::shared_ptr<SessionFetcher>& fetcher,
                        std::function<void()> beforeEachFire = {}) {
    CompletionRecorder recorder;
    RetryRun run;
    fetcher->beginFetchWithCompletionHandler(recorder.handler());
    while (true) {
        bool progressed = platform::MainLoop::runUntil(
            [&] { return recorder.count() > 0 || fetcher->retryTimer(); }, std::chrono::seconds(10));
        REQUIRE(progressed);
        if (recorder.count() > 0) break;
        auto timer = fetcher->retryTimer();
        run.waits.push_back(fetcher->lastRetryInterval());
        if (beforeEachFire) beforeEachFire();
        timer->fire();
        REQUIRE(run.waits.size() < 50);
    }
    platform::MainLoop::runFor(std::chrono::milliseconds(20));
    CHECK(recorder.count() == 1);
    run.completion = recorder.first();
    return run;
}

std::shared_ptr<SessionFetcher> retryingFetcher(const platform::URL& url, double minInterval) {
    auto fetcher = SessionFetcher::fetcherWithURL(url);
    fetcher->setAllowLocalhostRequest(true);
    fetcher->setRetryEnabled(true);
    fetcher->setMinRetryInterval(minInterval);
    return fetcher;
}

// Answers with `failure` the first `failures` times, then 200 "ok".
HttpTestServer::Handler failingThenOK(std::shared_ptr<std::atomic<int>> calls, int failures,
                                      HttpTestServer::Handler failure) {
    return [calls, failures, failure](const httplib::Request& req, httplib::Response& res) {
        if (++*calls <= failures) {
            failure(req, res);
        } else {
            res.status = 200;
            res.set_content("ok", "text/plain");
        }
    };
}

}  // namespace

TEST_CASE(
    "a GET failing with 503 waits 1.5, 3, 6, 12, 24 and 48 s, then delivers the error with its retry count") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("GET", "/busy", HttpTestServer::text(503, "busy"));
    NotificationCounter delayStarted(kSessionFetcherRetryDelayStartedNotification);

    auto fetcher = retryingFetcher(server.url("/busy"), 1.5);
    auto run = runWithRetries(fetcher);
    CHECK(run.waits == std::vector<double>{1.5, 3, 6, 12, 24, 48});
    CHECK(fetcher->maxRetryInterval() == 60.0);
    REQUIRE(run.completion.error);
    CHECK(run.completion.error->code() == 503);
    CHECK(run.completion.error->userInfoValue(kSessionFetcherNumberOfRetriesDoneKey)->integer() == 6);
    CHECK(run.completion.error->userInfoValue(kSessionFetcherElapsedIntervalWithRetriesKey)
              ->number()
              .has_value());
    CHECK(run.completion.error->userInfoValue("data"));
    CHECK(server.requestsTo("/busy").size() == 7);
    CHECK(delayStarted.count() == 6);
}

TEST_CASE("transient transport failures are retried, others are not") {
    FetcherEnvironment env;
    HttpTestServer server;
    auto calls = std::make_shared<std::atomic<int>>(0);

    SUBCASE("-1001: the request timed out") {
        server.on("GET", "/slow",
                  failingThenOK(
                      calls, 1,
                      server.delayed(std::chrono::milliseconds(1500), HttpTestServer::text(200, "late"))));
        platform::URLRequest request(server.url("/slow"));
        request.setTimeoutInterval(0.2);
        auto fetcher = retryingFetcher(server.url("/slow"), 1.0);
        fetcher->setRequest(request);
        auto run = runWithRetries(fetcher);
        CHECK(run.waits.size() == 1);
        CHECK(text(run.completion.data) == "ok");
        CHECK_FALSE(run.completion.error);
    }
    SUBCASE("-1005: the connection was lost") {
        server.on("GET", "/drop", failingThenOK(calls, 2, server.dropAfter("par", 100)));
        auto run = runWithRetries(retryingFetcher(server.url("/drop"), 1.0));
        CHECK(run.waits == std::vector<double>{1.0, 2.0});
        CHECK(text(run.completion.data) == "ok");
    }
    SUBCASE("502, 504 and 408 are retried like 503") {
        for (int status : {502, 504, 408}) {
            *calls = 0;
            auto path = "/status" + std::to_string(status);
            server.on("GET", path, failingThenOK(calls, 1, HttpTestServer::text(status, "x")));
            auto run = runWithRetries(retryingFetcher(server.url(path), 1.0));
            CHECK(run.waits.size() == 1);
            CHECK_FALSE(run.completion.error);
        }
    }
    SUBCASE("404 and 500 are delivered at once") {
        server.on("GET", "/404", HttpTestServer::text(404, "no"));
        server.on("GET", "/500", HttpTestServer::text(500, "no", "text/plain", {{"Retry-After", "1"}}));
        CHECK(runWithRetries(retryingFetcher(server.url("/404"), 1.0)).waits.empty());
        auto run = runWithRetries(retryingFetcher(server.url("/500"), 1.0));
        CHECK(run.waits.empty());
        CHECK(run.completion.error->code() == 500);
    }
    SUBCASE("with retry off a 503 is delivered at once") {
        server.on("GET", "/busy", HttpTestServer::text(503, "busy"));
        auto fetcher = SessionFetcher::fetcherWithURL(server.url("/busy"));
        fetcher->setAllowLocalhostRequest(true);
        auto run = runWithRetries(fetcher);
        CHECK(run.waits.empty());
        CHECK(run.completion.error->code() == 503);
    }
}

TEST_CASE("a retry block has the last word") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("GET", "/busy", HttpTestServer::text(503, "busy"));
    server.on("GET", "/teapot", HttpTestServer::text(418, "tea"));
    std::vector<std::pair<bool, std::int64_t>> asked;

    auto refusing = retryingFetcher(server.url("/busy"), 1.0);
    refusing->setRetryBlock(
        [&](bool suggested, std::optional<platform::Error> error, SessionFetcher::RetryResponse reply) {
            asked.emplace_back(suggested, error ? error->code() : 0);
            reply(false);
        });
    auto refused = runWithRetries(refusing);
    CHECK(refused.waits.empty());
    CHECK(asked == std::vector<std::pair<bool, std::int64_t>>{{true, 503}});

    asked.clear();
    int answers = 0;
    auto insisting = retryingFetcher(server.url("/teapot"), 1.0);
    insisting->setRetryBlock(
        [&](bool suggested, std::optional<platform::Error> error, SessionFetcher::RetryResponse reply) {
            asked.emplace_back(suggested, error ? error->code() : 0);
            reply(++answers < 3);
        });
    auto insisted = runWithRetries(insisting);
    CHECK(insisted.waits.size() == 2);
    CHECK(asked.size() == 3);
    CHECK_FALSE(asked[0].first);
}

TEST_CASE("Retry-After sets the wait within the limits, with a floor, and never retries forever") {
    FetcherEnvironment env;
    auto clock = std::make_shared<platform::ManualClock>(platform::now());
    platform::ScopedClock scopedClock(clock);
    HttpTestServer server;

    SUBCASE("a number of seconds, capped by the maximum") {
        server.on("GET", "/later", HttpTestServer::text(503, "", "text/plain", {{"Retry-After", "5"}}));
        auto fetcher = retryingFetcher(server.url("/later"), 1.0);
        fetcher->setMaxRetryInterval(4);
        auto run = runWithRetries(fetcher, [&] { clock->advance(std::chrono::seconds(4)); });
        // Retries stop once three times the maximum has passed since the first request.
        CHECK(run.waits.size() >= 3);
        CHECK(run.waits.size() <= 4);
        for (double wait : run.waits) CHECK(wait == 4);
        CHECK(run.completion.error->code() == 503);
    }
    SUBCASE("a date ten seconds ahead") {
        auto when = formatHTTPDate(clock->now() + std::chrono::seconds(10));
        server.on("GET", "/date", HttpTestServer::text(503, "", "text/plain", {{"Retry-After", when}}));
        auto fetcher = retryingFetcher(server.url("/date"), 1.0);
        int fired = 0;
        auto run = runWithRetries(fetcher, [&] {
            if (++fired == 1) fetcher->setRetryEnabled(false);
        });
        REQUIRE(run.waits.size() == 1);
        CHECK(run.waits[0] == doctest::Approx(10).epsilon(0.15));
    }
    SUBCASE("\"0\" again and again: a one-second floor and the total time limit") {
        server.on("GET", "/now", HttpTestServer::text(503, "", "text/plain", {{"Retry-After", "0"}}));
        auto fetcher = retryingFetcher(server.url("/now"), 0.01);
        fetcher->setMaxRetryInterval(2);
        auto run = runWithRetries(fetcher, [&] { clock->advance(std::chrono::seconds(1)); });
        for (double wait : run.waits) CHECK(wait >= 1.0);
        // Three times the maximum (6 s) since the first request, one second per retry.
        CHECK(run.waits.size() <= 7);
        CHECK(run.completion.error->code() == 503);
    }
}

TEST_CASE("retry settings: zero means unset or a fresh random minimum") {
    auto fetcher = SessionFetcher::fetcherWithURLString("https://example.invalid/");
    fetcher->setMaxRetryInterval(0);
    CHECK(fetcher->maxRetryInterval() == -1);
    for (int i = 0; i < 20; ++i) {
        fetcher->setMinRetryInterval(0);
        CHECK(fetcher->minRetryInterval() >= 1.0);
        CHECK(fetcher->minRetryInterval() < 2.0);
    }
    fetcher->setRetryEnabled(true);
    CHECK(fetcher->retryFactor() == 2.0);
    CHECK(SessionFetcher::isRetryError(platform::makeURLError(platform::URLErrorCode::timedOut)));
    CHECK(
        SessionFetcher::isRetryError(platform::makeURLError(platform::URLErrorCode::networkConnectionLost)));
    CHECK_FALSE(
        SessionFetcher::isRetryError(platform::makeURLError(platform::URLErrorCode::notConnectedToInternet)));
    CHECK_FALSE(SessionFetcher::isRetryError(platform::Error(std::string(kSessionFetcherStatusDomain), 500)));
}
