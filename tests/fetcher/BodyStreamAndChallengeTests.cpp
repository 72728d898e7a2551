// The fetcher's streamed uploads and HTTP authentication against a real local server, and the stream
// read by a simulated fetch.
#include <doctest/doctest.h>

#include "fetcher/SessionFetcher.hpp"
#include "fetcher/SessionFetcherService.hpp"
#include "platform/net/InputStream.hpp"
#include "platform/net/URLError.hpp"
#include "tests/fetcher/FetcherTestSupport.hpp"
#include "tests/support/HttpTestServer.hpp"

using namespace brisko;
using namespace brisko::fetcher;
using namespace brisko::fetcher::testing;
using brisko::testing::HttpTestServer;

namespace {

// A provider handing out a fresh stream of `body` each time, counting the calls.
SessionFetcher::BodyStreamProvider providerOf(std::string body, std::shared_ptr<std::atomic<int>> calls) {
    return [body = std::move(body), calls](SessionFetcher::BodyStreamProviderResponse response) {
        ++*calls;
        response(platform::InputStream::inputStreamWithData(platform::toData(body)));
    };
}

// A stream whose reads fail at once.
class BrokenStream : public platform::InputStream {
protected:
    std::int64_t readSource(std::uint8_t*, std::size_t, std::optional<platform::Error>& error) override {
        error = platform::Error::posix(EIO, "broken test stream");
        return -1;
    }
};

}  // namespace

TEST_CASE("a body-stream provider uploads its stream as a POST, from a fetcher or a service's fetcher") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("POST", "/upload", HttpTestServer::echo());
    server.on("POST", "/moved", HttpTestServer::redirect(307, "/upload"));
    auto service = SessionFetcherService::make();
    service->setAllowLocalhostRequest(true);
    const std::string body(200000, 'z');
    struct Case {
        const char* name;
        bool fromService;
        const char* path;
        int streams;
    };
    for (auto c : {Case{"own session", false, "/upload", 1}, Case{"service session", true, "/upload", 1},
                   Case{"redirected by 307", true, "/moved", 2}}) {
        CAPTURE(std::string(c.name));
        server.clearRequests();
        auto fetcher = c.fromService ? service->fetcherWithURL(server.url(c.path))
                                     : SessionFetcher::fetcherWithURL(server.url(c.path));
        fetcher->setAllowLocalhostRequest(true);
        fetcher->setRequestValue("application/octet-stream", "Content-Type");
        auto calls = std::make_shared<std::atomic<int>>(0);
        fetcher->setBodyStreamProvider(providerOf(body, calls));
        std::int64_t sent = 0;
        fetcher->setSendProgressBlock([&](std::int64_t, std::int64_t total, std::int64_t) { sent = total; });
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        CAPTURE(recorder.first().error ? recorder.first().error->description() : std::string());
        CHECK_FALSE(recorder.first().error);
        CHECK((text(recorder.first().data) == body));
        CHECK(fetcher->request()->httpMethod() == "POST");
        CHECK(calls->load() == c.streams);
        CHECK(sent == static_cast<std::int64_t>(body.size()));
        REQUIRE_FALSE(server.requestsTo("/upload").empty());
        CHECK(server.requestsTo("/upload")[0].header("Transfer-Encoding") == "chunked");
    }
}

TEST_CASE("the fetcher's credential answers a Basic challenge; a wrong one is cancelled after three failures") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("GET", "/private",
              HttpTestServer::basicAuth("vault", "ada", "s3cret", HttpTestServer::text(200, "welcome")));
    struct Case {
        const char* name;
        std::optional<platform::URLCredential> credential;
        bool viaService;
        std::size_t requests;
        std::optional<int> code;  // the fetch's error code, else success
    };
    const Case cases[] = {
        {"right password", platform::URLCredential::withUser("ada", "s3cret"), false, 2, std::nullopt},
        {"right password from the service", platform::URLCredential::withUser("ada", "s3cret"), true, 2, std::nullopt},
        // The first request, then one per failed credential until the fourth challenge is cancelled.
        {"wrong password", platform::URLCredential::withUser("ada", "nope"), false, 4, -999},
        {"no credential: the 401 is the answer", std::nullopt, false, 1, 401},
    };
    for (const auto& c : cases) {
        CAPTURE(std::string(c.name));
        server.clearRequests();
        std::shared_ptr<SessionFetcher> fetcher;
        if (c.viaService) {
            auto service = SessionFetcherService::make();
            service->setAllowLocalhostRequest(true);
            service->setCredential(c.credential);
            fetcher = service->fetcherWithURL(server.url("/private"));
        } else {
            fetcher = SessionFetcher::fetcherWithURL(server.url("/private"));
            fetcher->setAllowLocalhostRequest(true);
            fetcher->setCredential(c.credential);
        }
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        CHECK(server.requestCount() == c.requests);
        if (c.code) {
            REQUIRE(recorder.first().error);
            CHECK(recorder.first().error->code() == *c.code);
        } else {
            CHECK_FALSE(recorder.first().error);
            CHECK(text(recorder.first().data) == "welcome");
        }
    }
}

TEST_CASE("a simulated fetch reads the provider's stream as the body, or fails with its error") {
    FetcherEnvironment env;
    auto ok = std::make_shared<const platform::HTTPURLResponse>(*platform::URL::parse("https://api.invalid/x"), 200,
                                                                "HTTP/1.1", platform::HTTPHeaders{});
    struct Case {
        const char* name;
        std::function<std::shared_ptr<platform::InputStream>()> stream;
        std::int64_t reported;  // body length seen by the send-progress block
        bool fails;
    };
    const Case cases[] = {
        {"a stream longer than one read",
         [] { return platform::InputStream::inputStreamWithData(platform::toData(std::string(1300, 'q'))); }, 1300,
         false},
        {"a broken stream", [] { return std::make_shared<BrokenStream>(); }, 0, true},
    };
    for (const auto& c : cases) {
        CAPTURE(std::string(c.name));
        auto fetcher = SessionFetcher::fetcherWithURLString("https://api.invalid/x");
        fetcher->setBodyStreamProvider(
            [stream = c.stream](SessionFetcher::BodyStreamProviderResponse response) { response(stream()); });
        fetcher->setTestBlock([ok](std::shared_ptr<SessionFetcher>, SessionFetcher::TestResponse reply) {
            reply(ok, platform::toData("simulated"), std::nullopt);
        });
        std::int64_t reported = 0;
        fetcher->setSendProgressBlock([&](std::int64_t, std::int64_t, std::int64_t total) { reported = total; });
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        CHECK(reported == c.reported);
        if (c.fails) {
            REQUIRE(recorder.first().error);
            CHECK(recorder.first().error->domain() == platform::kPOSIXErrorDomain);
            CHECK(recorder.first().error->code() == EIO);
        } else {
            CHECK_FALSE(recorder.first().error);
            CHECK(text(recorder.first().data) == "simulated");
        }
    }
}
