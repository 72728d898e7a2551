// Simulated fetches: test blocks answer in place of the network, for one fetcher, all fetchers or a service.
#include <filesystem>
#include <fstream>

#include <doctest/doctest.h>

#include "fetcher/SessionFetcher.hpp"
#include "fetcher/SessionFetcherService.hpp"
#include "tests/fetcher/FetcherTestSupport.hpp"
#include "tests/support/HttpTestServer.hpp"

using namespace brisko;
using namespace brisko::fetcher;
using namespace brisko::fetcher::testing;
using brisko::testing::HttpTestServer;

namespace {
std::shared_ptr<const platform::HTTPURLResponse> response(int status, platform::HTTPHeaders headers = {}) {
    return std::make_shared<const platform::HTTPURLResponse>(*platform::URL::parse("https://api.invalid/x"),
                                                             status, "HTTP/1.1", std::move(headers));
}

SessionFetcher::TestBlock answering(std::shared_ptr<const platform::HTTPURLResponse> r,
                                    std::optional<platform::Data> data,
                                    std::optional<platform::Error> error) {
    return [r, data, error](std::shared_ptr<SessionFetcher>, SessionFetcher::TestResponse reply) {
        reply(r, data, error);
    };
}
}  // namespace

TEST_CASE("a test block answers the fetch without touching the network") {
    FetcherEnvironment env;
    auto fetcher = SessionFetcher::fetcherWithURLString("https://api.invalid/x");
    fetcher->setTestBlock(answering(response(200, {{"Content-Type", "text/plain"}}),
                                    platform::toData("simulated"), std::nullopt));
    bool sawResponse = false;
    fetcher->setDidReceiveResponseBlock([&](auto r, auto disposition) {
        sawResponse = r && r->statusCode() == 200;
        disposition(platform::URLSessionResponseDisposition::allow);
    });
    CompletionRecorder recorder;
    fetcher->beginFetchWithCompletionHandler(recorder.handler());
    REQUIRE(recorder.wait());
    CHECK(recorder.count() == 1);
    CHECK(text(recorder.first().data) == "simulated");
    CHECK_FALSE(recorder.first().error);
    CHECK(sawResponse);
    CHECK(fetcher->statusCode() == 200);
}

TEST_CASE("simulated data and progress arrive in pieces") {
    FetcherEnvironment env;
    auto fetcher = SessionFetcher::fetcherWithURLString("https://api.invalid/x");
    fetcher->setTestBlock(answering(response(200), platform::toData("0123456789"), std::nullopt));
    fetcher->setTestBlockAccumulateDataChunkCount(3);
    fetcher->setBodyData(platform::toData("abcdefghij"));
    std::vector<std::size_t> pieces;
    std::vector<std::int64_t> sent;
    std::string assembled;
    fetcher->setAccumulateDataBlock([&](std::optional<platform::Data> piece) {
        if (!piece) return;
        pieces.push_back(piece->size());
        assembled += platform::toString(*piece);
    });
    fetcher->setSendProgressBlock(
        [&](std::int64_t bytes, std::int64_t, std::int64_t) { sent.push_back(bytes); });
    CompletionRecorder recorder;
    fetcher->beginFetchWithCompletionHandler(recorder.handler());
    REQUIRE(recorder.wait());
    CHECK(pieces == std::vector<std::size_t>{4, 4, 2});
    CHECK(sent == std::vector<std::int64_t>{4, 4, 2});
    CHECK(assembled == "0123456789");
}

TEST_CASE("simulated failures end through the same retry and status paths as real ones") {
    FetcherEnvironment env;
    int asked = 0;
    auto countingRetry = [&](bool, std::optional<platform::Error>, SessionFetcher::RetryResponse reply) {
        ++asked;
        reply(false);
    };

    SUBCASE("a 500 response without an error becomes a status error, no retry decision") {
        auto fetcher = SessionFetcher::fetcherWithURLString("https://api.invalid/x");
        fetcher->setRetryEnabled(true);
        fetcher->setRetryBlock(countingRetry);
        fetcher->setTestBlock(answering(response(500), platform::toData("oops"), std::nullopt));
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        CHECK(recorder.first().error->domain() == kSessionFetcherStatusDomain);
        CHECK(recorder.first().error->code() == 500);
        CHECK(asked == 0);
    }
    SUBCASE("a supplied 503 error goes through the retry decision") {
        auto fetcher = SessionFetcher::fetcherWithURLString("https://api.invalid/x");
        fetcher->setRetryEnabled(true);
        fetcher->setRetryBlock(countingRetry);
        fetcher->setTestBlock(answering(response(503), std::nullopt,
                                        platform::Error(std::string(kSessionFetcherStatusDomain), 503)));
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        CHECK(recorder.first().error->code() == 503);
        CHECK(asked == 1);
    }
}

TEST_CASE("stopping a simulated fetch drops the guarded callbacks but not the decision blocks") {
    FetcherEnvironment env;
    // On the main queue every simulated callback is queued before the first one runs.
    auto fetcher = SessionFetcher::fetcherWithURLString("https://api.invalid/x");
    fetcher->setTestBlock(answering(response(200), platform::toData("data"), std::nullopt));
    std::atomic<int> responses{0}, chunks{0}, caches{0};
    std::weak_ptr<SessionFetcher> weak = fetcher;
    // The response block runs first on the callback queue and stops the fetch there.
    fetcher->setDidReceiveResponseBlock([&, weak](auto, auto disposition) {
        ++responses;
        if (auto f = weak.lock()) f->stopFetching();
        disposition(platform::URLSessionResponseDisposition::allow);
    });
    fetcher->setAccumulateDataBlock([&](std::optional<platform::Data>) { ++chunks; });
    fetcher->setWillCacheURLResponseBlock([&](platform::CachedURLResponse, auto reply) {
        ++caches;
        reply(std::nullopt);
    });
    CompletionRecorder recorder;
    fetcher->beginFetchWithCompletionHandler(recorder.handler());
    REQUIRE(platform::MainLoop::runUntil([&] { return caches > 0; }, std::chrono::seconds(5)));
    platform::MainLoop::runFor(std::chrono::milliseconds(50));
    CHECK(responses == 1);
    CHECK(chunks == 0);
    CHECK(caches == 1);
    CHECK(recorder.count() == 0);
}

TEST_CASE("a global test block that answers nothing lets the fetch go to the network") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("GET", "/real", HttpTestServer::text(200, "network"));
    int consulted = 0;
    SessionFetcher::setGlobalTestBlock(
        [&](std::shared_ptr<SessionFetcher>, SessionFetcher::TestResponse reply) {
            ++consulted;
            reply(nullptr, std::nullopt, std::nullopt);
        });
    auto fetcher = SessionFetcher::fetcherWithURL(server.url("/real"));
    fetcher->setAllowLocalhostRequest(true);
    CompletionRecorder recorder;
    fetcher->beginFetchWithCompletionHandler(recorder.handler());
    REQUIRE(recorder.wait());
    CHECK(consulted == 1);
    CHECK(text(recorder.first().data) == "network");
    CHECK(server.requestCount() == 1);
}

TEST_CASE("a mock service answers every fetcher it makes") {
    FetcherEnvironment env;
    auto service =
        SessionFetcherService::mockFetcherServiceWithFakedData(platform::toData(R"({"a":1})"), std::nullopt);
    std::vector<CompletionRecorder> recorders(3);
    for (auto& recorder : recorders) {
        auto fetcher = service->fetcherWithURLString("http://api.invalid/thing");
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
    }
    for (auto& recorder : recorders) {
        REQUIRE(recorder.wait());
        CHECK(text(recorder.first().data) == R"({"a":1})");
    }
    auto failing = SessionFetcherService::mockFetcherServiceWithFakedData(
        platform::toData("bad"), platform::Error(std::string(platform::kURLErrorDomain), -1009));
    CompletionRecorder failed;
    failing->fetcherWithURLString("http://api.invalid/thing")
        ->beginFetchWithCompletionHandler(failed.handler());
    REQUIRE(failed.wait());
    CHECK(failed.first().error->code() == -1009);
}

TEST_CASE("a simulated download is written to the destination file") {
    FetcherEnvironment env;
    auto path =
        std::filesystem::temp_directory_path() / ("fetcher-sim-" + std::to_string(::getpid()) + ".bin");
    auto fetcher = SessionFetcher::fetcherWithURLString("https://api.invalid/file");
    fetcher->setDestinationFileURL(platform::URL::fileURLWithPath(path.string()));
    fetcher->setTestBlock(answering(response(200), platform::toData("downloaded"), std::nullopt));
    CompletionRecorder recorder;
    fetcher->beginFetchWithCompletionHandler(recorder.handler());
    REQUIRE(recorder.wait());
    CHECK_FALSE(recorder.first().error);
    std::ifstream in(path);
    std::string contents((std::istreambuf_iterator<char>(in)), {});
    CHECK(contents == "downloaded");
    std::filesystem::remove(path);
}
