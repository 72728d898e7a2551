// The fetcher against a real local server: completion, status errors, redirects, authorizers, stopping,
// notifications, cookies, the user agent, downloads and the insecure-scheme rules.
#include <filesystem>
#include <fstream>
#include <thread>

#include <doctest/doctest.h>

#include "fetcher/SessionFetcher.hpp"
#include "fetcher/SessionFetcherService.hpp"
#include "platform/storage/FileSystem.hpp"
#include "platform/base/Log.hpp"
#include "platform/net/URLError.hpp"
#include "tests/fetcher/FetcherTestSupport.hpp"
#include "tests/support/HttpTestServer.hpp"

using namespace brisko;
using namespace brisko::fetcher;
using namespace brisko::fetcher::testing;
using brisko::testing::HttpTestServer;

namespace {

std::shared_ptr<SessionFetcher> localFetcher(const platform::URL& url) {
    auto fetcher = SessionFetcher::fetcherWithURL(url);
    fetcher->setAllowLocalhostRequest(true);
    return fetcher;
}

// An authorizer that adds "Authorization: Bearer token-N", N counting the authorizations.
class CountingAuthorizer : public FetcherAuthorizationProtocol {
  public:
    std::atomic<int> authorizations{0};
    std::atomic<int> primes{0};
    bool primeAnswer = true;

    bool authorizeRequest(std::shared_ptr<platform::URLRequest> request, Completion completion) override {
        int n = ++authorizations;
        request->setValue(std::string_view("Bearer token-" + std::to_string(n)), "Authorization");
        completion(std::nullopt);
        return true;
    }
    void stopAuthorization() override {}
    void stopAuthorizationForRequest(const platform::URLRequest&) override {}
    bool isAuthorizingRequest(const platform::URLRequest&) override { return false; }
    bool isAuthorizedRequest(const platform::URLRequest& request) override {
        return request.valueForHTTPHeaderField("Authorization").has_value();
    }
    bool canAuthorize() override { return true; }
    std::optional<std::string> userEmail() override { return std::nullopt; }
    bool shouldAuthorizeAllRequests() override { return false; }
    void setShouldAuthorizeAllRequests(bool) override {}
    std::optional<bool> primeForRefresh() override {
        ++primes;
        return primeAnswer;
    }
};

// A server on a second loopback address, another origin than the test servers on 127.0.0.1. It answers
// each request with the next of its statuses (the last one repeats; a 401 challenges for Basic) and
// records the "Authorization" field each request carried.
class ForeignOriginServer {
  public:
    explicit ForeignOriginServer(std::vector<int> statuses) : statuses_(std::move(statuses)) {
        server_.Get("/landing", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            authorizations_.push_back(req.get_header_value("Authorization"));
            res.status = statuses_.at(std::min(answered_++, statuses_.size() - 1));
            if (res.status == 401) res.set_header("WWW-Authenticate", "Basic realm=\"foreign\"");
            res.set_header("Connection", "close");
            res.set_content("foreign " + std::to_string(res.status), "text/plain");
        });
        port_ = server_.bind_to_any_port("127.0.0.2");
        REQUIRE(port_ > 0);
        thread_ = std::thread([this] { server_.listen_after_bind(); });
    }
    ~ForeignOriginServer() {
        server_.stop();
        thread_.join();
    }
    std::string url() const { return "http://127.0.0.2:" + std::to_string(port_) + "/landing"; }
    std::vector<std::string> authorizations() const {
        std::lock_guard lock(mutex_);
        return authorizations_;
    }

  private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<int> statuses_;
    std::size_t answered_ = 0;
    std::vector<std::string> authorizations_;
};

}  // namespace

TEST_CASE("a fetch completes exactly once on the callback queue with the body and no error") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("GET", "/hello", HttpTestServer::json(200, R"({"ok":true})"));
    server.on("GET", "/empty", HttpTestServer::text(200, ""));

    SUBCASE("main queue by default") {
        CompletionRecorder recorder;
        auto fetcher = localFetcher(server.url("/hello"));
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        CHECK(recorder.count() == 1);
        CHECK(recorder.first().onExpectedQueue);
        CHECK(text(recorder.first().data) == R"({"ok":true})");
        CHECK_FALSE(recorder.first().error);
        CHECK(fetcher->statusCode() == 200);
        CHECK_FALSE(fetcher->isFetching());
    }
    SUBCASE("a queue of the caller's") {
        auto queue = platform::DispatchQueue::make("fetcher.tests.callbacks");
        CompletionRecorder recorder(queue);
        auto fetcher = localFetcher(server.url("/hello"));
        fetcher->setCallbackQueue(queue);
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        CHECK(recorder.count() == 1);
        CHECK(recorder.first().onExpectedQueue);
    }
    SUBCASE("an empty body gives empty data, never none") {
        CompletionRecorder recorder;
        localFetcher(server.url("/empty"))->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        REQUIRE(recorder.first().data);
        CHECK(recorder.first().data->empty());
        CHECK_FALSE(recorder.first().error);
    }
    SUBCASE("a fetcher the caller let go of still completes") {
        CompletionRecorder recorder;
        localFetcher(server.url("/hello"))->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        CHECK(text(recorder.first().data) == R"({"ok":true})");
    }
}

TEST_CASE("a status of 300 or more is an HTTPStatus error carrying the body and its content type") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("GET", "/missing", HttpTestServer::json(404, R"({"error":"nope"})"));
    server.on("GET", "/bare", HttpTestServer::text(500, ""));

    CompletionRecorder withBody;
    localFetcher(server.url("/missing"))->beginFetchWithCompletionHandler(withBody.handler());
    REQUIRE(withBody.wait());
    auto error = withBody.first().error;
    REQUIRE(error);
    CHECK(error->domain() == kSessionFetcherStatusDomain);
    CHECK(error->code() == 404);
    REQUIRE(error->userInfoValue("data"));
    CHECK(platform::toString(*error->userInfoValue("data")->data()) == R"({"error":"nope"})");
    REQUIRE(error->userInfoValue("data_content_type"));
    CHECK(*error->userInfoValue("data_content_type")->string() == "application/json");
    CHECK(text(withBody.first().data) == R"({"error":"nope"})");

    CompletionRecorder empty;
    localFetcher(server.url("/bare"))->beginFetchWithCompletionHandler(empty.handler());
    REQUIRE(empty.wait());
    REQUIRE(empty.first().error);
    CHECK(empty.first().error->code() == 500);
    CHECK(empty.first().error->userInfo().empty());
    CHECK_FALSE(empty.first().data);
}

TEST_CASE("transport failures pass through as URL errors") {
    FetcherEnvironment env;
    int closedPort;
    {
        HttpTestServer gone;
        closedPort = gone.port();
    }
    CompletionRecorder recorder;
    localFetcher(*platform::URL::parse("http://127.0.0.1:" + std::to_string(closedPort) + "/x"))
        ->beginFetchWithCompletionHandler(recorder.handler());
    REQUIRE(recorder.wait());
    REQUIRE(recorder.first().error);
    CHECK(recorder.first().error->domain() == platform::kURLErrorDomain);
    CHECK(recorder.first().error->code() == static_cast<int>(platform::URLErrorCode::cannotConnectToHost));
}

TEST_CASE("no error of a fetch carries the password of the request's URL") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("GET", "/slow", server.delayed(std::chrono::seconds(2), HttpTestServer::text(200, "late")));
    int closedPort;
    {
        HttpTestServer gone;
        closedPort = gone.port();
    }
    auto withPassword = [](std::string url) {
        return *platform::URL::parse(url.replace(url.find("://") + 3, 0, "ada:s3cret@"));
    };
    auto check = [&](const std::optional<platform::Error>& error, const platform::URL& url) {
        REQUIRE(error);
        CHECK(error->description().find("s3cret") == std::string::npos);
        const auto* failing = error->userInfoValue(platform::kURLErrorFailingURLStringErrorKey);
        REQUIRE(failing);
        CHECK(*failing->string() == url.withoutPassword().absoluteString());
        CHECK(failing->string()->find("ada@") != std::string::npos);
    };

    SUBCASE("refused as an insecure request") {
        auto url = withPassword("http://127.0.0.2:1/x");
        CompletionRecorder recorder;
        SessionFetcher::fetcherWithURL(url)->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        CHECK(recorder.first().error->code() == static_cast<int>(SessionFetcherErrorCode::insecureRequest));
        check(recorder.first().error, url);
    }
    SUBCASE("begun again while it runs") {
        auto url = withPassword(server.url("/slow").absoluteString());
        auto fetcher = localFetcher(url);
        CompletionRecorder running, again;
        fetcher->beginFetchWithCompletionHandler(running.handler());
        REQUIRE(
            platform::MainLoop::runUntil([&] { return fetcher->sessionTask() != nullptr; }, std::chrono::seconds(5)));
        fetcher->beginFetchWithCompletionHandler(again.handler());
        REQUIRE(again.wait());
        CHECK(again.first().error->code() == static_cast<int>(SessionFetcherErrorCode::downloadFailed));
        check(again.first().error, url);
        fetcher->stopFetching();
    }
    SUBCASE("a transport failure") {
        auto url = withPassword("http://127.0.0.1:" + std::to_string(closedPort) + "/x");
        CompletionRecorder recorder;
        localFetcher(url)->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        CHECK(recorder.first().error->domain() == platform::kURLErrorDomain);
        check(recorder.first().error, url);
    }
}

TEST_CASE("redirects keep credentials within an origin and drop them on the way to another") {
    FetcherEnvironment env;
    HttpTestServer origin;
    HttpTestServer other;
    other.on("GET", "/landing", HttpTestServer::text(200, "other"));
    origin.on("GET", "/landing", HttpTestServer::text(200, "same"));
    origin.on("GET", "/same", HttpTestServer::redirect(302, "/landing"));
    origin.on("GET", "/away", HttpTestServer::redirect(302, other.baseURL() + "/landing"));

    auto fetchWithCredentials = [&](const std::string& path) {
        auto fetcher = localFetcher(origin.url(path));
        fetcher->setRequestValue(std::string("Bearer secret"), "Authorization");
        fetcher->setRequestValue(std::string("session=1"), "Cookie");
        fetcher->setRequestValue(std::string("kept"), "X-Custom");
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        return recorder.first();
    };

    auto same = fetchWithCredentials("/same");
    CHECK(text(same.data) == "same");
    auto landed = origin.requestsTo("/landing");
    REQUIRE(landed.size() == 1);
    CHECK(landed[0].header("Authorization") == "Bearer secret");
    CHECK(landed[0].header("X-Custom") == "kept");

    auto away = fetchWithCredentials("/away");
    CHECK(text(away.data) == "other");
    auto foreign = other.requestsTo("/landing");
    REQUIRE(foreign.size() == 1);
    CHECK_FALSE(foreign[0].header("Authorization"));
    CHECK_FALSE(foreign[0].header("Cookie"));
    CHECK(foreign[0].header("X-Custom") == "kept");
}

TEST_CASE("after a redirect to another origin, neither the authorizer nor the caller's credential applies") {
    FetcherEnvironment env;
    HttpTestServer origin;
    auto authorizer = std::make_shared<CountingAuthorizer>();
    auto fetchAway = [&](ForeignOriginServer& foreign, bool retry) {
        origin.on("GET", "/away", HttpTestServer::redirect(302, foreign.url()));
        auto fetcher = localFetcher(origin.url("/away"));
        fetcher->setAllowedInsecureSchemes({"http"});
        fetcher->setAuthorizer(authorizer);
        fetcher->setCredential(platform::URLCredential::withUser("user", "password"));
        fetcher->setRetryEnabled(retry);
        fetcher->setMinRetryInterval(0.01);
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        return recorder.first();
    };

    SUBCASE("a 503 retried at the redirected address goes out unsigned") {
        ForeignOriginServer foreign({503, 503, 200});
        auto done = fetchAway(foreign, true);
        CHECK_FALSE(done.error);
        CHECK(text(done.data) == "foreign 200");
        CHECK(foreign.authorizations() == std::vector<std::string>{"", "", ""});
    }
    SUBCASE("a 401 there primes no refresh and is answered with no credential") {
        ForeignOriginServer foreign({401});
        auto done = fetchAway(foreign, false);
        REQUIRE(done.error);
        CHECK(done.error->domain() == kSessionFetcherStatusDomain);
        CHECK(done.error->code() == 401);
        CHECK(authorizer->primes == 0);
        CHECK(foreign.authorizations() == std::vector<std::string>{""});
    }
    // The origin itself was signed once, before the redirect.
    CHECK(authorizer->authorizations == 1);
    REQUIRE(origin.requestsTo("/away").size() == 1);
    CHECK(origin.requestsTo("/away")[0].header("Authorization") == "Bearer token-1");
}

TEST_CASE("a redirect never downgrades https nor switches to a foreign scheme") {
    auto url = [](const char* s) { return platform::URL::parse(s); };
    CHECK(SessionFetcher::redirectURLWithOriginalRequestURL(url("https://a/x"), url("http://b/y"))
              ->absoluteString() == "https://b/y");
    CHECK(SessionFetcher::redirectURLWithOriginalRequestURL(url("http://a/x"), url("https://b/y"))
              ->absoluteString() == "https://b/y");
    CHECK(SessionFetcher::redirectURLWithOriginalRequestURL(url("https://a/x"), url("ftp://b/y"))->scheme() ==
          "https");
    CHECK(SessionFetcher::redirectURLWithOriginalRequestURL(std::nullopt, url("http://b/y"))
              ->absoluteString() == "http://b/y");
}

TEST_CASE("an authorizer signs the request before it goes out and once more after a 401") {
    FetcherEnvironment env;
    HttpTestServer server;
    std::atomic<int> calls{0};
    server.on("GET", "/private", [&](const httplib::Request& req, httplib::Response& res) {
        ++calls;
        // The first token is refused; a fresh one is accepted.
        if (req.get_header_value("Authorization") == "Bearer token-2") {
            res.status = 200;
            res.set_content("secret", "text/plain");
        } else {
            res.status = 401;
            res.set_content("expired", "text/plain");
        }
    });
    auto authorizer = std::make_shared<CountingAuthorizer>();

    SUBCASE("a refresh primed by the authorizer is retried once, even with retry off") {
        auto fetcher = localFetcher(server.url("/private"));
        fetcher->setAuthorizer(authorizer);
        fetcher->setMinRetryInterval(0.01);
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        CHECK(text(recorder.first().data) == "secret");
        CHECK(authorizer->authorizations == 2);
        CHECK(authorizer->primes == 1);
        auto seen = server.requestsTo("/private");
        REQUIRE(seen.size() == 2);
        CHECK(seen[0].header("Authorization") == "Bearer token-1");
        CHECK(seen[1].header("Authorization") == "Bearer token-2");
    }
    SUBCASE("an authorizer that cannot refresh leaves the 401 to the caller") {
        authorizer->primeAnswer = false;
        auto fetcher = localFetcher(server.url("/private"));
        fetcher->setAuthorizer(authorizer);
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        REQUIRE(recorder.first().error);
        CHECK(recorder.first().error->code() == 401);
        CHECK(calls == 1);
    }
    SUBCASE("an authorization failure fails the fetch before anything is sent") {
        class FailingAuthorizer : public CountingAuthorizer {
          public:
            bool authorizeRequest(std::shared_ptr<platform::URLRequest>, Completion completion) override {
                completion(platform::Error("test.auth", 7));
                return true;
            }
        };
        auto fetcher = localFetcher(server.url("/private"));
        fetcher->setAuthorizer(std::make_shared<FailingAuthorizer>());
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        REQUIRE(recorder.first().error);
        CHECK(recorder.first().error->domain() == "test.auth");
        CHECK(calls == 0);
    }
}

TEST_CASE("stopping a fetch: no completion by default, a cancel error when asked for, notifications paired") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("GET", "/slow",
              server.delayed(std::chrono::milliseconds(2000), HttpTestServer::text(200, "late")));
    server.on("GET", "/fast", HttpTestServer::text(200, "quick"));

    SUBCASE("default: the completion never runs") {
        auto fetcher = localFetcher(server.url("/slow"));
        NotificationCounter started(kSessionFetcherStartedNotification, fetcher.get());
        NotificationCounter stopped(kSessionFetcherStoppedNotification, fetcher.get());
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(server.waitForRequests(1));
        fetcher->stopFetching();
        CHECK_FALSE(fetcher->isFetching());
        platform::MainLoop::runFor(std::chrono::milliseconds(200));
        CHECK(recorder.count() == 0);
        CHECK(fetcher->userStoppedFetching());
        CHECK(started.count() == 1);
        CHECK(stopped.count() == 1);
    }
    SUBCASE("with stopFetchingTriggersCompletionHandler: one completion with code -7") {
        auto fetcher = localFetcher(server.url("/slow"));
        fetcher->setStopFetchingTriggersCompletionHandler(true);
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(server.waitForRequests(1));
        fetcher->stopFetching();
        REQUIRE(recorder.wait());
        CHECK(recorder.count() == 1);
        REQUIRE(recorder.first().error);
        CHECK(recorder.first().error->domain() == kSessionFetcherErrorDomain);
        CHECK(recorder.first().error->code() == -7);
        CHECK(recorder.first().error->localizedDescription() == "Operation cancelled");
    }
    SUBCASE("a completed fetch posts one started, one stopped and one completion-invoked notification") {
        auto fetcher = localFetcher(server.url("/fast"));
        NotificationCounter started(kSessionFetcherStartedNotification, fetcher.get());
        NotificationCounter stopped(kSessionFetcherStoppedNotification, fetcher.get());
        NotificationCounter invoked(kSessionFetcherCompletionInvokedNotification, fetcher.get());
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        platform::MainLoop::runFor(std::chrono::milliseconds(50));
        CHECK(started.count() == 1);
        CHECK(stopped.count() == 1);
        CHECK(invoked.count() == 1);
    }
    SUBCASE("a second begin on a running fetcher fails with -1") {
        auto fetcher = localFetcher(server.url("/slow"));
        CompletionRecorder first, second;
        fetcher->beginFetchWithCompletionHandler(first.handler());
        REQUIRE(server.waitForRequests(1));
        fetcher->beginFetchWithCompletionHandler(second.handler());
        REQUIRE(second.wait());
        REQUIRE(second.first().error);
        CHECK(second.first().error->code() == -1);
        fetcher->stopFetching();
    }
    SUBCASE("waitForCompletionWithTimeout returns once the callbacks ran") {
        auto fetcher = localFetcher(server.url("/fast"));
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        CHECK(fetcher->waitForCompletionWithTimeout(10));
        CHECK(recorder.count() == 1);
    }
}

TEST_CASE("a fetch that ends off the main queue wakes it only for the notifications someone observes") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("GET", "/fast", HttpTestServer::text(200, "quick"));
    auto queue = platform::DispatchQueue::make("com.brisko.test.fetcherCallbacks");
    // Begins the fetch, with its session events and callbacks on `queue`, and waits for them there without
    // running the main queue.
    auto fetchOffMain = [&](const std::shared_ptr<SessionFetcher>& fetcher) {
        fetcher->setCallbackQueue(queue);
        fetcher->setSessionDelegateQueue(queue);
        CompletionRecorder recorder(queue);
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        for (int i = 0; i < 1000 && recorder.count() == 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        REQUIRE(recorder.count() == 1);
        CHECK(recorder.first().onExpectedQueue);
        queue->sync([] {});  // the completion-invoked notification follows the completion there
    };
    auto& mainContext = platform::MainLoop::context();
    platform::MainLoop::drain();

    SUBCASE("nobody observes: nothing is queued on the main queue") {
        fetchOffMain(localFetcher(server.url("/fast")));
        if (mainContext.stopped()) mainContext.restart();
        CHECK(mainContext.poll() == 0);
    }
    SUBCASE("an observer of the fetcher hears its stopped and completion-invoked notifications on the main queue") {
        auto fetcher = localFetcher(server.url("/fast"));
        NotificationCounter stopped(kSessionFetcherStoppedNotification, fetcher.get());
        NotificationCounter invoked(kSessionFetcherCompletionInvokedNotification, fetcher.get());
        fetchOffMain(fetcher);
        CHECK(stopped.count() == 0);
        platform::MainLoop::drain();
        CHECK(stopped.count() == 1);
        CHECK(invoked.count() == 1);
    }
}

TEST_CASE("the insecure-scheme rules refuse plain http unless the scheme or the local host is allowed") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("GET", "/", HttpTestServer::text(200, "ok"));
    auto run = [&](std::shared_ptr<SessionFetcher> fetcher) {
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        return recorder.first();
    };

    platform::LogCapture logs;
    auto refused = run(SessionFetcher::fetcherWithURL(server.url("/")));
    REQUIRE(refused.error);
    CHECK(refused.error->domain() == kSessionFetcherErrorDomain);
    CHECK(refused.error->code() == -5);
    CHECK(logs.contains("Insecure fetch disallowed for " + server.url("/").absoluteString()));

    auto byScheme = SessionFetcher::fetcherWithURL(server.url("/"));
    byScheme->setAllowedInsecureSchemes({"HTTP"});
    CHECK(text(run(byScheme).data) == "ok");

    CHECK(text(run(localFetcher(server.url("/"))).data) == "ok");

    auto notLocal = SessionFetcher::fetcherWithURLString("http://127.0.0.2:1/");
    notLocal->setAllowLocalhostRequest(true);
    CHECK(run(notLocal).error->code() == -5);

    // No platform transport security stands behind the rules here: an app that does not allow arbitrary
    // loads keeps them.
    SessionFetcher::setAppAllowsInsecureRequestsForTesting(false);
    CHECK(run(SessionFetcher::fetcherWithURL(server.url("/"))).error->code() == -5);
}

TEST_CASE("cookies set by responses are stored in the fetcher's store and sent back by RFC 6265") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("GET", "/login", [](const httplib::Request&, httplib::Response& res) {
        res.set_header("Set-Cookie", "sid=abc; Path=/app");
        res.set_content("in", "text/plain");
    });
    server.on("GET", "/app/page", HttpTestServer::text(200, "page"));
    server.on("GET", "/application", HttpTestServer::text(200, "other"));

    auto storage = std::make_shared<SessionCookieStorage>();
    auto fetch = [&](const std::string& path) {
        auto fetcher = localFetcher(server.url(path));
        fetcher->setCookieStorage(storage);
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
    };
    fetch("/login");
    REQUIRE(storage->cookies().size() == 1);
    CHECK(storage->cookies()[0].domain == "127.0.0.1");
    fetch("/app/page");
    fetch("/application");
    CHECK(server.requestsTo("/app/page").at(0).header("Cookie") == "sid=abc");
    CHECK_FALSE(server.requestsTo("/application").at(0).header("Cookie"));
}

TEST_CASE("a request without a User-Agent gets the provider's text") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("GET", "/ua", HttpTestServer::text(200, "ok"));

    auto cached = localFetcher(server.url("/ua"));
    cached->setUserAgentProvider(std::make_shared<UserAgentStringProvider>("Cached/1.0"));
    CompletionRecorder first;
    cached->beginFetchWithCompletionHandler(first.handler());
    REQUIRE(first.wait());

    // A provider with nothing cached is asked off the fetcher's queues.
    auto computed = localFetcher(server.url("/ua"));
    auto standard = std::make_shared<StandardUserAgentProvider>();
    computed->setUserAgentProvider(standard);
    CompletionRecorder second;
    computed->beginFetchWithCompletionHandler(second.handler());
    REQUIRE(second.wait());

    auto seen = server.requestsTo("/ua");
    REQUIRE(seen.size() == 2);
    CHECK(seen[0].header("User-Agent") == "Cached/1.0");
    CHECK(seen[1].header("User-Agent") == standardUserAgentString(nullptr));
    CHECK(standard->cachedUserAgent() == standardUserAgentString(nullptr));
}

TEST_CASE("a body turns a GET into a POST and the body reaches the server") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("POST", "/echo", HttpTestServer::echo());
    auto fetcher = localFetcher(server.url("/echo"));
    fetcher->setBodyData(platform::toData("payload"));
    fetcher->setRetryEnabled(true);
    CompletionRecorder recorder;
    fetcher->beginFetchWithCompletionHandler(recorder.handler());
    REQUIRE(recorder.wait());
    CHECK(text(recorder.first().data) == "payload");
    CHECK(fetcher->request()->httpMethod() == "POST");
    CHECK(fetcher->maxRetryInterval() == 600.0);
}

TEST_CASE("progress made before a fetch finished reaches the caller, ahead of the completion") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("POST", "/echo", HttpTestServer::echo());
    const std::int64_t length = 100000;
    auto queue = platform::DispatchQueue::make("fetcher.tests.held-callbacks");
    auto fetcher = localFetcher(server.url("/echo"));
    fetcher->setCallbackQueue(queue);
    fetcher->setBodyData(platform::toData(std::string(static_cast<std::size_t>(length), 'p')));
    fetcher->setRequestValue("application/octet-stream", "Content-Type");
    // Touched only on `queue`, read once the completion came.
    std::int64_t lastSent = 0, lastReceived = 0;
    bool completed = false;
    int afterCompletion = 0;
    fetcher->setSendProgressBlock([&](std::int64_t, std::int64_t total, std::int64_t) {
        lastSent = total;
        afterCompletion += completed;
    });
    fetcher->setReceivedProgressBlock([&](std::int64_t, std::int64_t total) {
        lastReceived = total;
        afterCompletion += completed;
    });
    // The callback queue is held until the finished fetch has released its callbacks, so every progress
    // call is still waiting in the queue by then.
    queue->async([fetcher] {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (fetcher->sendProgressBlock() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    CompletionRecorder recorder(queue);
    auto handler = recorder.handler();
    fetcher->beginFetchWithCompletionHandler([&, handler](std::optional<platform::Data> data,
                                                          std::optional<platform::Error> error) {
        completed = true;
        handler(std::move(data), std::move(error));
    });
    REQUIRE(recorder.wait());
    CAPTURE(recorder.first().error ? recorder.first().error->description() : std::string());
    CHECK_FALSE(recorder.first().error);
    CHECK_FALSE(fetcher->sendProgressBlock());
    queue->sync([&] {
        CHECK(lastSent == length);
        CHECK(lastReceived == length);
        CHECK(afterCompletion == 0);
    });
}

TEST_CASE("downloads go to the destination file, and a file that cannot be written is an error") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("GET", "/file", HttpTestServer::text(200, "file contents"));
    server.on("GET", "/gone", HttpTestServer::text(404, std::string(500, 'x')));
    server.on("GET", "/huge-gone", HttpTestServer::text(404, std::string(30000, 'x')));
    auto folder = std::filesystem::temp_directory_path() / ("fetcher-dl-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    auto destination = folder / "sub" / "out.txt";

    auto download = [&](const std::string& path, const std::filesystem::path& to) {
        auto fetcher = localFetcher(server.url(path));
        fetcher->setDestinationFileURL(platform::URL::fileURLWithPath(to.string()));
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        return recorder.first();
    };

    SUBCASE("the file replaces what was there") {
        std::filesystem::create_directories(destination.parent_path());
        std::ofstream(destination) << "old";
        auto done = download("/file", destination);
        CHECK_FALSE(done.error);
        CHECK_FALSE(done.data);
        std::ifstream in(destination);
        std::string contents((std::istreambuf_iterator<char>(in)), {});
        CHECK(contents == "file contents");
    }
    SUBCASE("a failed download keeps a small body for the error, not a large one") {
        auto small = download("/gone", folder / "small");
        REQUIRE(small.error);
        CHECK(small.error->code() == 404);
        CHECK(small.error->userInfoValue("data")->data()->size() == 500);
        auto large = download("/huge-gone", folder / "large");
        REQUIRE(large.error);
        CHECK_FALSE(large.error->userInfoValue("data"));
    }
    SUBCASE("a destination that cannot be written fails the fetch") {
        std::ofstream(folder / "blocker") << "a file where a folder should be";
        auto failed = download("/file", folder / "blocker" / "out.txt");
        REQUIRE(failed.error);
        CHECK(failed.error->domain() != kSessionFetcherStatusDomain);
    }
    std::filesystem::remove_all(folder);
}

TEST_CASE("https: the server's certificate is checked unless invalid certificates are allowed") {
    FetcherEnvironment env;
    HttpTestServer server(HttpTestServer::Mode::https);
    server.on("GET", "/secure", HttpTestServer::text(200, "tls"));

    auto fetch = [&](bool trustCA, bool allowInvalid) {
        auto fetcher = SessionFetcher::fetcherWithURL(server.url("/secure"));
        if (trustCA) {
            platform::URLSessionConfiguration configuration;
            configuration.tlsTrustedCAFile = HttpTestServer::caCertificatePath();
            fetcher->setConfiguration(configuration);
        }
        fetcher->setAllowInvalidServerCertificates(allowInvalid);
        CompletionRecorder recorder;
        fetcher->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        return recorder.first();
    };
    CHECK(text(fetch(true, false).data) == "tls");
    auto untrusted = fetch(false, false);
    REQUIRE(untrusted.error);
    CHECK(untrusted.error->domain() == platform::kURLErrorDomain);
    CHECK(text(fetch(false, true).data) == "tls");
}
