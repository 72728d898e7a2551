// Background sessions: identifiers with metadata, the user-defaults record and reconnection at launch.
#include <doctest/doctest.h>

#include "fetcher/SessionFetcher.hpp"
#include "platform/storage/UserDefaults.hpp"
#include "tests/fetcher/FetcherTestSupport.hpp"
#include "tests/support/HttpTestServer.hpp"

using namespace brisko;
using namespace brisko::fetcher;
using namespace brisko::fetcher::testing;
using brisko::testing::HttpTestServer;

namespace {
std::vector<std::string> persistedIdentifiers() {
    std::vector<std::string> out;
    if (auto array =
            platform::UserDefaults::standard()->arrayForKey(kSessionFetcherPersistedDestinationKey)) {
        for (const auto& v : *array) out.push_back(*v.string());
    }
    return out;
}
}  // namespace

TEST_CASE("a session identifier carries the fetch's state and the caller's values") {
    FetcherEnvironment env;
    auto bare = SessionFetcher::fetcherWithURLString("https://example.invalid/");
    auto identifier = bare->createSessionIdentifierWithMetadata(std::nullopt);
    CHECK(identifier.size() == std::string(kSessionIdentifierPrefix).size() + 1 + 36);
    CHECK(identifier.rfind(std::string(kSessionIdentifierPrefix) + "_", 0) == 0);
    CHECK_FALSE(bare->sessionIdentifierMetadata());

    auto rich = SessionFetcher::fetcherWithURLString("https://example.invalid/");
    rich->setDestinationFileURL(platform::URL::fileURLWithPath("/tmp/out file.bin"));
    rich->setSessionUserInfo(platform::Dictionary{{"job", "42"}});
    rich->setClientWillReconnectBackgroundSession(true);
    auto richIdentifier = rich->createSessionIdentifierWithMetadata(platform::Dictionary{{"extra", "x"}});
    auto metadata = rich->sessionIdentifierMetadata();
    REQUIRE(metadata);
    CHECK(metadata->at("job") == platform::Value("42"));
    CHECK(metadata->at("_clientWillReconnect") == platform::Value("YES"));

    // Another process would rebuild the fetcher from the identifier alone.
    rich.reset();
    auto rebuilt = SessionFetcher::fetcherWithSessionIdentifier(richIdentifier);
    REQUIRE(rebuilt);
    CHECK(rebuilt->wasCreatedFromBackgroundSession());
    CHECK(rebuilt->destinationFileURL()->path() == "/tmp/out file.bin");
    CHECK(rebuilt->clientWillReconnectBackgroundSession());
    auto info = rebuilt->sessionUserInfo();
    REQUIRE(info);
    CHECK(info->count("job") == 1);
    CHECK(info->count("extra") == 1);
    CHECK(info->count("_destURL") == 0);
    CHECK(rebuilt->description().find("<from bg session>") != std::string::npos);
    CHECK(SessionFetcher::fetcherWithSessionIdentifier(richIdentifier) == rebuilt);
    CHECK_FALSE(SessionFetcher::fetcherWithSessionIdentifier("org.other.session_1234"));

    // A damaged record whose metadata nests 100,000 levels deep gives a fetcher without metadata.
    const std::string deep = std::string(100'000, '[') + std::string(100'000, ']');
    auto damaged = SessionFetcher::fetcherWithSessionIdentifier(std::string(kSessionIdentifierPrefix) +
                                                                "_0F2E_{\"job\":" + deep + "}");
    REQUIRE(damaged);
    CHECK_FALSE(damaged->sessionIdentifierMetadata());
}

TEST_CASE("a background fetch is recorded in user defaults while it runs, and forgotten when it ends") {
    FetcherEnvironment env;
    HttpTestServer server;
    std::vector<std::string> duringFetch;
    server.on("GET", "/bg", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content("background", "text/plain");
    });
    // A stale record of a fetcher from an earlier run is dropped when a new one is added.
    platform::UserDefaults::standard()->setObject(
        platform::Value(platform::Array{platform::Value(std::string(kSessionIdentifierPrefix) + "_stale")}),
        kSessionFetcherPersistedDestinationKey);

    auto fetcher = SessionFetcher::fetcherWithURL(server.url("/bg"));
    fetcher->setAllowLocalhostRequest(true);
    fetcher->setUseBackgroundSession(true);
    fetcher->setDidReceiveResponseBlock([&](auto, auto disposition) {
        duringFetch = persistedIdentifiers();
        disposition(platform::URLSessionResponseDisposition::allow);
    });
    CompletionRecorder recorder;
    fetcher->beginFetchWithCompletionHandler(recorder.handler());
    REQUIRE(recorder.wait());
    CHECK(text(recorder.first().data) == "background");
    CHECK(fetcher->usingBackgroundSession());
    REQUIRE(fetcher->sessionIdentifier());
    CHECK(duringFetch == std::vector<std::string>{*fetcher->sessionIdentifier()});
    CHECK_FALSE(platform::UserDefaults::standard()->objectForKey(kSessionFetcherPersistedDestinationKey));
}

TEST_CASE("a recorded background session that no longer exists fails with -4 and leaves the record") {
    FetcherEnvironment env;
    // A process that ended during a background download left this record behind.
    auto previous = SessionFetcher::fetcherWithURLString("https://example.invalid/file");
    previous->setDestinationFileURL(platform::URL::fileURLWithPath("/tmp/never-written"));
    auto identifier = previous->createSessionIdentifierWithMetadata(std::nullopt);
    previous.reset();
    platform::UserDefaults::standard()->setObject(
        platform::Value(platform::Array{platform::Value(identifier)}),
        kSessionFetcherPersistedDestinationKey);

    auto fetchers = SessionFetcher::fetchersForBackgroundSessions();
    REQUIRE(fetchers.size() == 1);
    auto fetcher = fetchers[0];
    CHECK(fetcher->wasCreatedFromBackgroundSession());
    CompletionRecorder recorder;
    fetcher->setCompletionHandler(recorder.handler());
    REQUIRE(recorder.wait(std::chrono::seconds(5)));
    REQUIRE(recorder.first().error);
    CHECK(recorder.first().error->domain() == kSessionFetcherErrorDomain);
    CHECK(recorder.first().error->code() == -4);
    CHECK_FALSE(platform::UserDefaults::standard()->objectForKey(kSessionFetcherPersistedDestinationKey));
}
