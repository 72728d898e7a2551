// The fetcher service against a real server: per-host limits, priorities, the shared session, stopping,
// decorators and the settings its fetchers inherit.
#include <doctest/doctest.h>

#include "fetcher/SessionFetcherService.hpp"
#include "tests/fetcher/FetcherTestSupport.hpp"
#include "tests/support/HttpTestServer.hpp"

using namespace brisko;
using namespace brisko::fetcher;
using namespace brisko::fetcher::testing;
using brisko::testing::HttpTestServer;

namespace {

// A server whose "/gate" requests wait until the test opens the gate; it records the order of arrival.
struct GatedServer {
    HttpTestServer server;
    std::atomic<bool> open{false};
    std::atomic<int> inFlight{0};
    std::atomic<int> maxInFlight{0};

    GatedServer() {
        server.on("GET", "/gate", [this](const httplib::Request& req, httplib::Response& res) {
            int now = ++inFlight;
            int seen = maxInFlight.load();
            while (now > seen && !maxInFlight.compare_exchange_weak(seen, now)) {
            }
            while (!open && server.sleep(std::chrono::milliseconds(5))) {
            }
            --inFlight;
            res.set_content(req.get_param_value("n"), "text/plain");
        });
    }
    platform::URL url(int n) const { return server.url("/gate?n=" + std::to_string(n)); }
    std::vector<std::string> arrivalOrder() const {
        std::vector<std::string> order;
        for (const auto& r : server.requestsTo("/gate")) order.push_back(r.param("n").value_or(""));
        return order;
    }
};

std::shared_ptr<SessionFetcherService> localService() {
    auto service = SessionFetcherService::make();
    service->setAllowLocalhostRequest(true);
    return service;
}

}  // namespace

TEST_CASE("the service runs at most the per-host limit at once and starts the rest as slots free up") {
    FetcherEnvironment env;
    GatedServer gated;
    auto service = localService();
    service->setMaxRunningFetchersPerHost(3);
    std::vector<CompletionRecorder> recorders(12);
    for (int i = 0; i < 12; ++i)
        service->fetcherWithURL(gated.url(i))->beginFetchWithCompletionHandler(recorders[i].handler());

    CHECK(service->numberOfRunningFetchers() == 3);
    CHECK(service->numberOfDelayedFetchers() == 9);
    CHECK(service->numberOfFetchers() == 12);
    REQUIRE(gated.server.waitForRequests(3));
    platform::MainLoop::runFor(std::chrono::milliseconds(100));
    CHECK(gated.server.requestCount() == 3);

    gated.open = true;
    REQUIRE(platform::MainLoop::runUntil([&] {
        return std::all_of(recorders.begin(), recorders.end(), [](auto& r) { return r.count() == 1; });
    }));
    for (int i = 0; i < 12; ++i) CHECK(text(recorders[i].first().data) == std::to_string(i));
    CHECK(gated.maxInFlight <= 3);
    // A fetcher leaves the tables just after its completion was queued.
    CHECK(platform::MainLoop::runUntil([&] { return service->numberOfFetchers() == 0; }));
    CHECK_FALSE(service->issuedFetchers());
}

TEST_CASE("waiting fetchers start lowest priority value first, then in the order they were queued") {
    FetcherEnvironment env;
    GatedServer gated;
    auto service = localService();
    service->setMaxRunningFetchersPerHost(1);
    std::vector<CompletionRecorder> recorders(6);
    const std::int64_t priorities[] = {0, 5, 1, 1, 3, -2};
    for (int i = 0; i < 6; ++i) {
        auto fetcher = service->fetcherWithURL(gated.url(i));
        fetcher->setServicePriority(priorities[i]);
        fetcher->beginFetchWithCompletionHandler(recorders[i].handler());
        if (i == 0) REQUIRE(gated.server.waitForRequests(1));
    }
    CHECK(service->numberOfDelayedFetchers() == 5);
    gated.open = true;
    REQUIRE(platform::MainLoop::runUntil([&] {
        return std::all_of(recorders.begin(), recorders.end(), [](auto& r) { return r.count() == 1; });
    }));
    CHECK(gated.arrivalOrder() == std::vector<std::string>{"0", "5", "2", "3", "4", "1"});
}

TEST_CASE("no fetcher is stranded by a limit of 0, and the never-delay priority skips the queue") {
    FetcherEnvironment env;
    GatedServer gated;
    auto service = localService();
    service->setMaxRunningFetchersPerHost(1);
    std::vector<CompletionRecorder> recorders(4);
    for (int i = 0; i < 3; ++i)
        service->fetcherWithURL(gated.url(i))->beginFetchWithCompletionHandler(recorders[i].handler());
    CHECK(service->numberOfDelayedFetchers() == 2);

    auto urgent = service->fetcherWithURL(gated.url(3));
    urgent->setServicePriority(kServicePriorityNeverDelay);
    urgent->beginFetchWithCompletionHandler(recorders[3].handler());
    REQUIRE(gated.server.waitForRequests(2));

    // Lowered to "no limit" while two wait: they must still start.
    service->setMaxRunningFetchersPerHost(0);
    gated.open = true;
    REQUIRE(platform::MainLoop::runUntil([&] {
        return std::all_of(recorders.begin(), recorders.end(), [](auto& r) { return r.count() == 1; });
    }));
    CHECK(platform::MainLoop::runUntil([&] { return service->numberOfFetchers() == 0; }));
}

TEST_CASE("stopAllFetchers stops running and waiting fetchers without starting the waiting ones") {
    FetcherEnvironment env;
    GatedServer gated;
    auto service = localService();
    service->setMaxRunningFetchersPerHost(2);
    std::vector<CompletionRecorder> recorders(5);
    std::vector<std::shared_ptr<SessionFetcher>> fetchers;
    for (int i = 0; i < 5; ++i) {
        fetchers.push_back(service->fetcherWithURL(gated.url(i)));
        fetchers.back()->beginFetchWithCompletionHandler(recorders[i].handler());
    }
    REQUIRE(gated.server.waitForRequests(2));
    service->stopAllFetchers();
    CHECK(service->numberOfFetchers() == 0);
    CHECK(service->stoppedAllFetchersDate());
    gated.open = true;
    CHECK(service->waitForCompletionOfAllFetchersWithTimeout(5));
    platform::MainLoop::runFor(std::chrono::milliseconds(100));
    CHECK(gated.server.requestCount() == 2);
    for (auto& r : recorders) CHECK(r.count() == 0);
    for (auto& f : fetchers) CHECK_FALSE(f->isFetching());
}

TEST_CASE("a service's fetchers share one session, which is dropped after it has been unused") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("GET", "/a", HttpTestServer::text(200, "a"));
    auto service = localService();
    auto fetchOnce = [&] {
        CompletionRecorder recorder;
        service->fetcherWithURL(server.url("/a"))->beginFetchWithCompletionHandler(recorder.handler());
        REQUIRE(recorder.wait());
        CHECK(text(recorder.first().data) == "a");
    };
    fetchOnce();
    auto session = service->session();
    REQUIRE(session);
    fetchOnce();
    CHECK(service->session() == session);
    auto requests = server.requestsTo("/a");
    REQUIRE(requests.size() == 2);
    CHECK(requests[0].remotePort == requests[1].remotePort);

    // The discard timer runs while no task uses the session; firing it throws the session away.
    auto dispatcher = service->sessionDelegate();
    REQUIRE(dispatcher->discardTimer());
    dispatcher->discardTimer()->fire();
    CHECK_FALSE(service->session());
    CHECK(service->sessionDelegate() != dispatcher);
    fetchOnce();
    CHECK(service->session());
    CHECK(service->session() != session);

    service->setReuseSession(false);
    CHECK_FALSE(service->reuseSession());
    fetchOnce();
    CHECK_FALSE(service->session());
}

TEST_CASE("a fetcher of the shared session hears of its response and metrics when it has blocks for them") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("GET", "/a", HttpTestServer::text(200, "a"));
    auto service = localService();

    auto refusing = service->fetcherWithURL(server.url("/a"));
    std::atomic<int> responses{0};
    refusing->setDidReceiveResponseBlock([&](auto response, auto disposition) {
        CHECK(response->statusCode() == 200);
        ++responses;
        disposition(platform::URLSessionResponseDisposition::cancel);
    });
    auto measured = service->fetcherWithURL(server.url("/a"));
    std::vector<platform::URLSessionTaskMetrics> metrics;
    measured->setMetricsCollectionBlock([&](platform::URLSessionTaskMetrics m) { metrics.push_back(m); });
    auto plain = service->fetcherWithURL(server.url("/a"));

    CompletionRecorder refused, timed, done;
    refusing->beginFetchWithCompletionHandler(refused.handler());
    measured->beginFetchWithCompletionHandler(timed.handler());
    plain->beginFetchWithCompletionHandler(done.handler());
    REQUIRE(refused.wait());
    REQUIRE(timed.wait());
    REQUIRE(done.wait());
    CHECK(responses == 1);
    CHECK(platform::isURLError(refused.first().error, platform::URLErrorCode::cancelled));
    CHECK(text(timed.first().data) == "a");
    REQUIRE(metrics.size() == 1);
    CHECK(metrics[0].transactionMetrics.size() == 1);
    CHECK(text(done.first().data) == "a");
}

TEST_CASE("fetchers inherit the service's settings and queues") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("GET", "/ua", HttpTestServer::text(200, "ok"));
    auto service = localService();
    service->setUserAgent("Service/2.0");
    service->setRetryEnabled(true);
    service->setMaxRetryInterval(15);
    service->setAllowedInsecureSchemes({"http"});
    service->setProperties(platform::Dictionary{{"k", "v"}});

    auto fetcher = service->fetcherWithURL(server.url("/ua"));
    CHECK(fetcher->isRetryEnabled());
    CHECK(fetcher->maxRetryInterval() == 15);
    CHECK(fetcher->propertyForKey("k") == platform::Value("v"));
    CHECK(fetcher->callbackQueue() == platform::DispatchQueue::main());
    CHECK(fetcher->sessionDelegateQueue()->label() == kSessionFetcherDelegateQueueLabel);
    CompletionRecorder recorder;
    fetcher->beginFetchWithCompletionHandler(recorder.handler());
    REQUIRE(recorder.wait());
    CHECK(server.requestsTo("/ua").at(0).header("User-Agent") == "Service/2.0");

    auto concurrent = platform::DispatchQueue::make("fetcher.tests.concurrent");
    service->setConcurrentCallbackQueue(concurrent);
    auto own = service->fetcherWithURL(server.url("/ua"));
    CHECK(own->callbackQueue() != concurrent);
    CHECK(own->callbackQueue()->label() == kSessionFetcherSerialCallbackQueueLabel);
    service->setCallbackQueue(nullptr);
    CHECK(service->callbackQueue() == platform::DispatchQueue::main());
}

TEST_CASE("decorators may change a request before it starts and see every result") {
    FetcherEnvironment env;
    HttpTestServer server;
    server.on("GET", "/d", HttpTestServer::text(200, "decorated"));

    class HeaderDecorator : public FetcherDecoratorProtocol {
      public:
        std::atomic<int> finished{0};
        void fetcherWillStart(const std::shared_ptr<SessionFetcher>& fetcher,
                              WillStartCompletion completion) override {
            auto request = fetcher->request();
            request->setValue(std::string_view("yes"), "X-Decorated");
            completion(request, std::nullopt);
        }
        void fetcherDidFinish(const std::shared_ptr<SessionFetcher>&,
                              const std::optional<platform::Data>& data,
                              const std::optional<platform::Error>&,
                              DidFinishCompletion completion) override {
            if (data && platform::toString(*data) == "decorated") ++finished;
            completion();
        }
    };
    auto service = localService();
    auto decorator = std::make_shared<HeaderDecorator>();
    service->addDecorator(decorator);
    CompletionRecorder recorder;
    service->fetcherWithURL(server.url("/d"))->beginFetchWithCompletionHandler(recorder.handler());
    REQUIRE(recorder.wait());
    CHECK(server.requestsTo("/d").at(0).header("X-Decorated") == "yes");
    CHECK(decorator->finished == 1);

    service->removeDecorator(decorator);
    CHECK(service->decorators().empty());
    service->addDecorator(std::make_shared<HeaderDecorator>());
    CHECK(service->decorators().empty());
}

TEST_CASE("the service's host tables: file URLs count as localhost, URLs without host are never counted") {
    FetcherEnvironment env;
    auto service = localService();
    service->setMaxRunningFetchersPerHost(1);
    auto file = service->fetcherWithURL(platform::URL::fileURLWithPath("/tmp/x"));
    CHECK(service->fetcherShouldBeginFetching(file));
    CHECK(service->runningFetchersByHost().count("localhost") == 1);
    CHECK(service->fetcherShouldBeginFetching(file));
    CHECK(service->numberOfRunningFetchers() == 1);
    auto second = service->fetcherWithURL(platform::URL::fileURLWithPath("/tmp/y"));
    CHECK_FALSE(service->fetcherShouldBeginFetching(second));
    CHECK_FALSE(service->isDelayingFetcher(second));
    auto hostless = service->fetcherWithURLString("data:,hello");
    CHECK(service->fetcherShouldBeginFetching(hostless));
    CHECK(service->numberOfFetchers() == 2);
    CHECK_FALSE(service->issuedFetchersWithRequestURL(*platform::URL::parse("data:,hello")));
    service->fetcherDidStop(file);
    CHECK(service->numberOfDelayedFetchers() == 0);
    second->stopFetching();
    service->stopAllFetchers();
}
