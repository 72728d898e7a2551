// URL sessions against real local HTTP and HTTPS servers.
#include <doctest/doctest.h>

#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

#include <zlib.h>

#include "platform/base/Async.hpp"
#include "platform/net/URLSession.hpp"
#include "tests/support/HttpTestServer.hpp"
#include "tests/support/PortSockets.hpp"

using namespace brisko::platform;
using brisko::testing::HttpTestServer;
using brisko::testing::RawHttpServer;
using namespace std::chrono_literals;

namespace {

std::string text(const Data& d) {
    return std::string(d.begin(), d.end());
}

// Records a session's delegate events in order ("response 200", "data", "complete", ...), with
// decisions the test can set.
class Recorder : public URLSessionDelegate {
public:
    std::function<std::optional<URLRequest>(const HTTPURLResponse&, URLRequest)> redirectDecision;
    std::function<std::pair<URLSessionAuthChallengeDisposition, std::optional<URLCredential>>(
        const URLAuthenticationChallenge&)>
        challengeDecision;
    URLSessionResponseDisposition responseDisposition = URLSessionResponseDisposition::allow;

    void willPerformHTTPRedirection(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
                                    const std::shared_ptr<const HTTPURLResponse>& response, URLRequest newRequest,
                                    RedirectCompletion completion) override {
        add("redirect " + std::to_string(response->statusCode()));
        {
            std::lock_guard lock(mutex_);
            proposed_.push_back(newRequest);
        }
        completion(redirectDecision ? redirectDecision(*response, std::move(newRequest))
                                    : std::optional(std::move(newRequest)));
    }
    void didReceiveChallenge(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
                             const URLAuthenticationChallenge& challenge, ChallengeCompletion completion) override {
        const auto& trust = challenge.protectionSpace.serverTrust;
        add(std::string("challenge ") + (!trust ? "http" : trust->evaluate() ? "trusted" : "untrusted"));
        if (challengeDecision) {
            auto [d, c] = challengeDecision(challenge);
            completion(d, std::move(c));
        } else {
            completion(URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
        }
    }
    void didReceiveResponse(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>&,
                            const std::shared_ptr<const HTTPURLResponse>& response,
                            ResponseCompletion completion) override {
        add("response " + std::to_string(response->statusCode()));
        completion(responseDisposition);
    }
    void didReceiveData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>&,
                        const Data& data) override {
        std::lock_guard lock(mutex_);
        if (events_.empty() || events_.back() != "data") events_.push_back("data");
        body_.insert(body_.end(), data.begin(), data.end());
    }
    void didSendBodyData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&, std::int64_t,
                         std::int64_t total, std::int64_t expected) override {
        std::lock_guard lock(mutex_);
        if (events_.empty() || events_.back() != "sent") events_.push_back("sent");
        sent_ = total;
        expectedToSend_ = expected;
    }
    void didBecomeDownloadTask(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDataTask>&,
                               const std::shared_ptr<URLSessionDownloadTask>&) override {
        add("became download");
    }
    void didResumeAtOffset(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDownloadTask>&,
                           std::int64_t offset, std::int64_t) override {
        add("resumed at " + std::to_string(offset));
    }
    void didWriteData(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDownloadTask>&, std::int64_t,
                      std::int64_t total, std::int64_t) override {
        std::lock_guard lock(mutex_);
        if (events_.empty() || events_.back() != "write") events_.push_back("write");
        written_ = total;
        cv_.notify_all();
    }
    void didFinishDownloadingToURL(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionDownloadTask>&,
                                   const URL& location) override {
        std::ifstream in(location.path(), std::ios::binary);
        std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::lock_guard lock(mutex_);
        events_.push_back("downloaded");
        downloaded_ = content;
        downloadPath_ = location.path();
    }
    void didFinishCollectingMetrics(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
                                    const URLSessionTaskMetrics& metrics) override {
        std::lock_guard lock(mutex_);
        events_.push_back("metrics");
        metrics_ = metrics;
    }
    void didCompleteWithError(const std::shared_ptr<URLSession>&, const std::shared_ptr<URLSessionTask>&,
                              const std::optional<Error>& error) override {
        std::lock_guard lock(mutex_);
        events_.push_back("complete");
        error_ = error;
        ++completions_;
        cv_.notify_all();
    }
    void didBecomeInvalidWithError(const std::shared_ptr<URLSession>&, const std::optional<Error>&) override {
        add("invalid");
    }

    bool waitForCompletions(int n, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return completions_ >= n; });
    }
    bool waitForEvent(const std::string& e, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout,
                            [&] { return std::find(events_.begin(), events_.end(), e) != events_.end(); });
    }
    bool waitForWritten(std::int64_t n, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, timeout, [&] { return written_ >= n; });
    }
    std::vector<std::string> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }
    std::string body() {
        std::lock_guard lock(mutex_);
        return text(body_);
    }
    std::optional<Error> error() {
        std::lock_guard lock(mutex_);
        return error_;
    }
    int completions() {
        std::lock_guard lock(mutex_);
        return completions_;
    }
    std::vector<URLRequest> proposed() {
        std::lock_guard lock(mutex_);
        return proposed_;
    }
    std::string downloaded() {
        std::lock_guard lock(mutex_);
        return downloaded_;
    }
    std::string downloadPath() {
        std::lock_guard lock(mutex_);
        return downloadPath_;
    }
    std::int64_t sent() {
        std::lock_guard lock(mutex_);
        return sent_;
    }
    URLSessionTaskMetrics metrics() {
        std::lock_guard lock(mutex_);
        return metrics_;
    }

private:
    void add(std::string e) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(e));
        cv_.notify_all();
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    std::vector<std::string> events_;
    Data body_;
    std::optional<Error> error_;
    int completions_ = 0;
    std::vector<URLRequest> proposed_;
    std::string downloaded_, downloadPath_;
    std::int64_t sent_ = 0, expectedToSend_ = 0, written_ = 0;
    URLSessionTaskMetrics metrics_;
};

// The outcome of a completion-handler task, waited for by the test.
struct Outcome {
    std::optional<Data> data;
    std::shared_ptr<const HTTPURLResponse> response;
    std::optional<Error> error;
    int calls = 0;
};

class Waiter {
public:
    URLSession::DataCompletion handler() {
        return [this](std::optional<Data> d, std::shared_ptr<const HTTPURLResponse> r, std::optional<Error> e) {
            std::lock_guard lock(mutex_);
            outcome_.data = std::move(d);
            outcome_.response = std::move(r);
            outcome_.error = std::move(e);
            ++outcome_.calls;
            cv_.notify_all();
        };
    }
    Outcome wait(std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex_);
        REQUIRE(cv_.wait_for(lock, timeout, [&] { return outcome_.calls > 0; }));
        return outcome_;
    }
    int calls() {
        std::lock_guard lock(mutex_);
        return outcome_.calls;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    Outcome outcome_;
};

Outcome fetch(const std::shared_ptr<URLSession>& session, URLRequest request, std::chrono::milliseconds timeout = 10s) {
    Waiter w;
    session->dataTaskWithRequest(std::move(request), w.handler())->resume();
    return w.wait(timeout);
}

URLRequest post(const URL& url, const std::string& body, const std::string& contentType = "application/json") {
    URLRequest r(url);
    r.setHTTPMethod("POST");
    r.setValue(contentType, "Content-Type");
    r.setHTTPBody(toData(body));
    return r;
}

std::shared_ptr<URLSession>
sessionWith(std::shared_ptr<URLSessionDelegate> delegate,
            URLSessionConfiguration config = URLSessionConfiguration::defaultSessionConfiguration()) {
    return URLSession::sessionWithConfiguration(std::move(config), std::move(delegate));
}

int closedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    REQUIRE(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) == 0);
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

}  // namespace

TEST_CASE("a GET delivers the body and a response read from the server's head") {
    HttpTestServer server;
    server.on("GET", "/hello", HttpTestServer::text(200, "hi there", "text/plain; charset=utf-8", {{"X-Extra", "1"}}));
    auto session = sessionWith(nullptr);
    auto out = fetch(session, URLRequest(server.url("/hello?x=1")));
    REQUIRE_FALSE(out.error);
    REQUIRE(out.response);
    CHECK(out.calls == 1);
    CHECK(text(*out.data) == "hi there");
    CHECK(out.response->statusCode() == 200);
    CHECK(out.response->httpVersion() == "HTTP/1.1");
    CHECK(out.response->mimeType() == "text/plain");
    CHECK(out.response->textEncodingName() == "utf-8");
    CHECK(out.response->expectedContentLength() == 8);
    CHECK(out.response->valueForHTTPHeaderField("x-extra") == "1");
    CHECK(out.response->url() == server.url("/hello?x=1"));
    REQUIRE(server.requests().size() == 1);
    CHECK(server.requests()[0].target == "/hello?x=1");
    CHECK(server.requests()[0].header("Accept-Encoding"));
}

TEST_CASE("any HTTP status is a response, not an error") {
    HttpTestServer server;
    server.on("GET", "/missing", HttpTestServer::json(404, R"({"error":"nope"})"));
    auto out = fetch(sessionWith(nullptr), URLRequest(server.url("/missing")));
    CHECK_FALSE(out.error);
    CHECK(out.response->statusCode() == 404);
    CHECK(text(*out.data) == R"({"error":"nope"})");
}

TEST_CASE("a POST sends its body, headers and method; session headers fill in what the request lacks") {
    HttpTestServer server;
    server.on("POST", "/ingest", HttpTestServer::echo());
    server.on("PUT", "/put", HttpTestServer::echo());
    server.on("DELETE", "/del", HttpTestServer::text(204, ""));
    auto config = URLSessionConfiguration::defaultSessionConfiguration();
    config.httpAdditionalHeaders.set("X-Session", "s");
    config.httpAdditionalHeaders.set("Authorization", "Bearer session");
    auto session = sessionWith(nullptr, config);

    auto request = post(server.url("/ingest"), R"({"date":"2024-01-01","entries":[]})");
    request.setValue("Bearer token", "Authorization");
    request.setValue("999", "Content-Length");  // wrong on purpose: the session frames the body itself
    auto out = fetch(session, request);
    REQUIRE_FALSE(out.error);
    CHECK(text(*out.data) == R"({"date":"2024-01-01","entries":[]})");
    auto got = server.requestsTo("/ingest").at(0);
    CHECK(got.method == "POST");
    CHECK(got.header("Content-Type") == "application/json");
    CHECK(got.header("Authorization") == "Bearer token");
    CHECK(got.header("X-Session") == "s");
    CHECK(got.header("Content-Length") == std::to_string(got.body.size()));
    CHECK_FALSE(got.header("Expect"));

    URLRequest put(server.url("/put"));
    put.setHTTPMethod("PUT");
    put.setHTTPBody(toData("abc"));
    CHECK(text(*fetch(session, put).data) == "abc");
    URLRequest del(server.url("/del"));
    del.setHTTPMethod("DELETE");
    CHECK(fetch(session, del).response->statusCode() == 204);
    CHECK(server.requestsTo("/del").at(0).method == "DELETE");

    // A header value with a line break would smuggle a second field: refused.
    URLRequest bad(server.url("/ingest"));
    bad.setValue("a\r\nX-Injected: 1", "X-Value");
    auto refused = fetch(session, bad);
    CHECK(isURLError(refused.error, URLErrorCode::badURL));
}

TEST_CASE("header fields go on the wire in the request's order, session headers after them") {
    RawHttpServer raw;
    auto config = URLSessionConfiguration::defaultSessionConfiguration();
    config.httpAdditionalHeaders.set("X-Zulu", "z");
    auto session = sessionWith(nullptr, config);
    URLRequest request(raw.url("/order"));
    request.setValue("3", "X-Third");
    request.setValue("1", "X-First");
    request.setValue("2", "X-Second");
    request.setValue("", "X-Empty");
    auto out = fetch(session, request);
    REQUIRE_FALSE(out.error);
    REQUIRE(raw.waitForRequests(1));
    auto names = RawHttpServer::headerNames(raw.heads().at(0));
    auto pos = [&](const std::string& n) { return std::find(names.begin(), names.end(), n) - names.begin(); };
    CHECK(pos("X-Third") < pos("X-First"));
    CHECK(pos("X-First") < pos("X-Second"));
    CHECK(pos("X-Second") < pos("X-Zulu"));
    CHECK(pos("X-Zulu") < static_cast<long>(names.size()));
    CHECK(raw.heads().at(0).find("\r\nX-Empty:") != std::string::npos);
}

TEST_CASE("delegate events come in order with the completion last and once") {
    HttpTestServer server;
    server.on("POST", "/echo", HttpTestServer::echo());
    auto recorder = std::make_shared<Recorder>();
    auto session = sessionWith(recorder);
    auto task = session->dataTaskWithRequest(post(server.url("/echo"), std::string(100000, 'x')));
    CHECK(task->state() == URLSessionTaskState::suspended);
    task->resume();
    REQUIRE(recorder->waitForCompletions(1));
    CHECK(recorder->events() == std::vector<std::string>{"sent", "response 200", "data", "metrics", "complete"});
    CHECK(recorder->body() == std::string(100000, 'x'));
    CHECK_FALSE(recorder->error());
    CHECK(recorder->sent() == 100000);
    CHECK(task->state() == URLSessionTaskState::completed);
    CHECK(task->countOfBytesExpectedToSend() == 100000);
    CHECK(task->countOfBytesSent() == 100000);
    CHECK(task->countOfBytesReceived() == 100000);
    CHECK(task->response()->statusCode() == 200);
    auto metrics = recorder->metrics();
    REQUIRE(metrics.transactionMetrics.size() == 1);
    CHECK(metrics.transactionMetrics[0].networkProtocolName == "http/1.1");
    task->cancel();  // after completion: no second completion
    std::this_thread::sleep_for(50ms);
    CHECK(recorder->completions() == 1);
}

TEST_CASE("on the network queue, events, completions and a sequence of requests run where transfers end") {
    HttpTestServer server;
    server.on("POST", "/echo", HttpTestServer::echo());
    const auto& network = URLSession::networkQueue();

    // A delegate on that queue hears the usual events, in the usual order, on the queue itself.
    auto recorder = std::make_shared<Recorder>();
    auto session =
        URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration(), recorder, network);
    session->dataTaskWithRequest(post(server.url("/echo"), std::string(50000, 'y')))->resume();
    REQUIRE(recorder->waitForCompletions(1));
    CHECK(recorder->events() == std::vector<std::string>{"sent", "response 200", "data", "metrics", "complete"});
    CHECK(recorder->body() == std::string(50000, 'y'));

    // A completion handler of such a session runs on the queue, once.
    auto plain =
        URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration(), nullptr, network);
    std::atomic<bool> onQueue{false};
    Waiter w;
    plain
        ->dataTaskWithRequest(post(server.url("/echo"), "z"),
                              [&onQueue, &network, h = w.handler()](auto d, auto r, auto e) mutable {
                                  onQueue = network->isCurrent();
                                  h(std::move(d), std::move(r), std::move(e));
                              })
        ->resume();
    CHECK(text(*w.wait().data) == "z");
    CHECK(onQueue);

    // A sequence of requests awaited one after another by a coroutine on the queue; only its end comes
    // back to this thread. Each step sees the queue as current.
    std::mutex m;
    std::condition_variable cv;
    std::optional<std::string> result;
    auto sequence = [](std::shared_ptr<URLSession> s, URL url, const DispatchQueue* queue) -> Task<std::string> {
        std::string joined;
        for (int i = 0; i < 20; ++i) {
            auto reply = co_await s->data(post(url, std::to_string(i)));
            if (!queue->isCurrent()) co_return "left the queue";
            joined += text(reply.data) + ",";
        }
        co_return joined;
    };
    spawn(network, sequence(plain, server.url("/echo"), network.get()), [&](std::exception_ptr, std::string r) {
        std::lock_guard lock(m);
        result = std::move(r);
        cv.notify_all();
    });
    std::unique_lock lock(m);
    REQUIRE(cv.wait_for(lock, 10s, [&] { return result.has_value(); }));
    CHECK(*result == "0,1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,18,19,");
}

TEST_CASE("a session reuses its connection for later requests to the same server") {
    HttpTestServer server;
    server.on("GET", "/a", HttpTestServer::text(200, "a"));
    auto session = sessionWith(nullptr);
    fetch(session, URLRequest(server.url("/a")));
    fetch(session, URLRequest(server.url("/a")));
    auto requests = server.requestsTo("/a");
    REQUIRE(requests.size() == 2);
    CHECK(requests[0].remotePort == requests[1].remotePort);
}

TEST_CASE("a finished session's connections never carry another session's requests") {
    HttpTestServer server;
    server.on("GET", "/a", HttpTestServer::text(200, "a"));
    // More sessions than finished pools are kept, each ended one way or the other.
    for (int i = 0; i < 8; ++i) {
        auto session = sessionWith(nullptr);
        auto first = fetch(session, URLRequest(server.url("/a")));
        auto second = fetch(session, URLRequest(server.url("/a")));
        CHECK_FALSE(first.error);
        CHECK_FALSE(second.error);
        if (i % 2 == 0) session->finishTasksAndInvalidate();
    }
    auto requests = server.requestsTo("/a");
    REQUIRE(requests.size() == 16);
    std::set<int> ports;
    for (std::size_t i = 0; i < requests.size(); i += 2) {
        CHECK(requests[i].remotePort == requests[i + 1].remotePort);  // within a session: one connection
        ports.insert(requests[i].remotePort);
    }
    CHECK(ports.size() == 8);  // across sessions: a connection each
}

namespace {
// Whether a socket of this system is still connecting to local `port` (SYN sent, no answer yet).
bool connectingTo(int port) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);
    char wanted[16];
    std::snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        if (remote.ends_with(wanted) && state == "02") return true;
    }
    return false;
}
}  // namespace

TEST_CASE("a finished session leaves alone the descriptors that its cancelled transfers' connections had") {
    // libcurl closes the socket of a transfer taken off while it connects itself, not through the
    // session's close callback; the number it had goes to whoever opens a descriptor next. Ending the
    // finished pool's connections must not reach the descriptors that now carry those numbers.
    //
    // A listener that never accepts, its one queue place taken: connections to it stay connecting.
    sockaddr_in address{};
    const int listener = brisko::testing::listenOnLoopback(address, 0);
    REQUIRE(listener >= 0);
    const int queued = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    REQUIRE(::connect(queued, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
    const int port = ntohs(address.sin_port);

    auto recorder = std::make_shared<Recorder>();
    auto session = sessionWith(recorder);
    auto task =
        session->dataTaskWithRequest(URLRequest(*URL::parse("http://127.0.0.1:" + std::to_string(port) + "/")));
    task->resume();
    bool connecting = false;
    for (int i = 0; i < 1000 && !(connecting = connectingTo(port)); ++i) std::this_thread::sleep_for(5ms);
    REQUIRE(connecting);
    task->cancel();
    REQUIRE(recorder->waitForCompletions(1));
    CHECK(isURLError(recorder->error(), URLErrorCode::cancelled));

    // The lowest free numbers, the closed socket's among them.
    struct Pipe {
        int fds[2];
        ino_t inodes[2];
    };
    std::vector<Pipe> pipes(8);
    auto inode = [](int fd) {
        struct stat st {};
        return ::fstat(fd, &st) == 0 ? st.st_ino : ino_t{0};
    };
    for (auto& p : pipes) {
        REQUIRE(::pipe2(p.fds, O_CLOEXEC) == 0);
        for (int i = 0; i < 2; ++i) p.inodes[i] = inode(p.fds[i]);
    }
    session->finishTasksAndInvalidate();
    REQUIRE(recorder->waitForEvent("invalid"));
    for (auto& p : pipes) {
        bool intact = true;
        for (int i = 0; i < 2; ++i) {
            CAPTURE(p.fds[i]);
            CHECK(inode(p.fds[i]) == p.inodes[i]);
            intact = intact && inode(p.fds[i]) == p.inodes[i];
        }
        if (intact) {
            CHECK(::write(p.fds[1], "x", 1) == 1);
            char byte = 0;
            CHECK(::read(p.fds[0], &byte, 1) == 1);
        }
        ::close(p.fds[0]);
        ::close(p.fds[1]);
    }
    ::close(queued);
    ::close(listener);
}

TEST_CASE("a TLS server one session's delegate accepted is judged afresh by the next session") {
    HttpTestServer server(HttpTestServer::Mode::https);
    server.on("GET", "/secure", HttpTestServer::text(200, "secret"));
    auto accepting = std::make_shared<Recorder>();
    accepting->challengeDecision = [](const URLAuthenticationChallenge& c) {
        return std::make_pair(URLSessionAuthChallengeDisposition::useCredential,
                              std::optional(URLCredential::forTrust(c.protectionSpace.serverTrust)));
    };
    for (int i = 0; i < 3; ++i) {
        auto trusting = sessionWith(accepting);
        trusting->dataTaskWithRequest(URLRequest(server.url("/secure")))->resume();
        REQUIRE(accepting->waitForCompletions(i + 1));
        CHECK_FALSE(accepting->error());
        trusting->finishTasksAndInvalidate();
        REQUIRE(accepting->waitForEvent("invalid"));

        auto out = fetch(sessionWith(nullptr), URLRequest(server.url("/secure")));
        CHECK(isURLError(out.error, URLErrorCode::serverCertificateUntrusted));
    }
    auto events = accepting->events();
    CHECK(std::count(events.begin(), events.end(), "challenge untrusted") == 3);
    CHECK(server.requestsTo("/secure").size() == 3);
}

TEST_CASE("the per-host connection limit makes requests share one connection") {
    HttpTestServer server;
    server.on("GET", "/slow", server.delayed(50ms, HttpTestServer::text(200, "ok")));
    auto config = URLSessionConfiguration::defaultSessionConfiguration();
    config.httpMaximumConnectionsPerHost = 1;
    auto session = sessionWith(nullptr, config);
    std::vector<std::unique_ptr<Waiter>> waiters;
    for (int i = 0; i < 4; ++i) {
        waiters.push_back(std::make_unique<Waiter>());
        session->dataTaskWithRequest(URLRequest(server.url("/slow")), waiters.back()->handler())->resume();
    }
    for (auto& w : waiters) CHECK_FALSE(w->wait().error);
    auto requests = server.requestsTo("/slow");
    REQUIRE(requests.size() == 4);
    for (auto& r : requests) CHECK(r.remotePort == requests[0].remotePort);
}

TEST_CASE("redirects are followed, and the delegate can change or refuse them") {
    HttpTestServer server;
    server.on("GET", "/start", HttpTestServer::redirect(302, "/next?from=start"));
    server.on("GET", "/next", HttpTestServer::text(200, "arrived"));
    server.on("POST", "/see-other", HttpTestServer::redirect(303, "/next"));
    server.on("POST", "/temporary", HttpTestServer::redirect(307, "/echo"));
    server.on("POST", "/echo", HttpTestServer::echo());
    server.on("GET", "/loop", HttpTestServer::redirect(302, "/loop"));

    SUBCASE("without a delegate the session follows") {
        auto out = fetch(sessionWith(nullptr), URLRequest(server.url("/start")));
        CHECK(text(*out.data) == "arrived");
        CHECK(out.response->url() == server.url("/next?from=start"));
    }
    SUBCASE("the delegate sees the proposed request and may refuse it: the 3xx is the result") {
        auto recorder = std::make_shared<Recorder>();
        recorder->redirectDecision = [](const HTTPURLResponse&, const URLRequest&) { return std::nullopt; };
        auto session = sessionWith(recorder);
        session->dataTaskWithRequest(URLRequest(server.url("/start")))->resume();
        REQUIRE(recorder->waitForCompletions(1));
        CHECK(recorder->events() ==
              std::vector<std::string>{"redirect 302", "response 302", "data", "metrics", "complete"});
        CHECK(recorder->body() == "redirecting");
        REQUIRE(recorder->proposed().size() == 1);
        CHECK(recorder->proposed()[0].url() == server.url("/next?from=start"));
        CHECK(server.requestsTo("/next").empty());
    }
    SUBCASE("the delegate may answer a changed request") {
        auto recorder = std::make_shared<Recorder>();
        recorder->redirectDecision = [&](const HTTPURLResponse&, URLRequest r) {
            r.setValue("yes", "X-Changed");
            return std::optional(std::move(r));
        };
        auto session = sessionWith(recorder);
        auto out = fetch(session, URLRequest(server.url("/start")));
        CHECK(text(*out.data) == "arrived");
        CHECK(server.requestsTo("/next").at(0).header("X-Changed") == "yes");
    }
    SUBCASE("303 turns a POST into a GET without body; 307 keeps method and body") {
        auto session = sessionWith(nullptr);
        auto out = fetch(session, post(server.url("/see-other"), "payload"));
        CHECK(text(*out.data) == "arrived");
        auto next = server.requestsTo("/next").at(0);
        CHECK(next.method == "GET");
        CHECK(next.body.empty());
        CHECK_FALSE(next.header("Content-Type"));
        auto kept = fetch(session, post(server.url("/temporary"), "payload"));
        CHECK(text(*kept.data) == "payload");
        CHECK(server.requestsTo("/echo").at(0).method == "POST");
    }
    SUBCASE("an endless redirect loop fails with -1007") {
        auto out = fetch(sessionWith(nullptr), URLRequest(server.url("/loop")));
        CHECK(isURLError(out.error, URLErrorCode::httpTooManyRedirects));
    }
}

TEST_CASE("a redirect keeps Authorization and Cookie within the origin and drops them for another") {
    HttpTestServer other;
    other.on("GET", "/landing", HttpTestServer::text(200, "other"));
    HttpTestServer server;
    server.on("GET", "/same", HttpTestServer::redirect(302, "/landing"));
    server.on("GET", "/landing", HttpTestServer::text(200, "same"));
    server.on("GET", "/away", HttpTestServer::redirect(302, other.baseURL() + "/landing"));
    auto recorder = std::make_shared<Recorder>();
    // A delegate that hands back the request with the credentials put back: still not sent away.
    recorder->redirectDecision = [](const HTTPURLResponse&, URLRequest r) {
        r.setValue("Bearer secret", "Authorization");
        return std::optional(std::move(r));
    };
    auto session = sessionWith(recorder);
    URLRequest request(server.url("/same"));
    request.setValue("Bearer secret", "Authorization");
    request.setValue("sid=1", "Cookie");
    CHECK(text(*fetch(session, request).data) == "same");
    auto same = server.requestsTo("/landing").at(0);
    CHECK(same.header("Authorization") == "Bearer secret");
    CHECK(same.header("Cookie") == "sid=1");

    request.setURL(server.url("/away"));
    CHECK(text(*fetch(session, request).data) == "other");
    auto proposed = recorder->proposed().back();
    CHECK_FALSE(proposed.valueForHTTPHeaderField("Authorization"));
    CHECK_FALSE(proposed.valueForHTTPHeaderField("Cookie"));
    auto away = other.requestsTo("/landing").at(0);
    CHECK_FALSE(away.header("Authorization"));
    CHECK_FALSE(away.header("Cookie"));
}

TEST_CASE("transport failures map to the platform's URL error codes") {
    HttpTestServer server;
    server.on("GET", "/slow", server.delayed(5s, HttpTestServer::text(200, "late")));
    server.on("GET", "/drop", server.dropAfter("only part", 1000));
    auto session = sessionWith(nullptr);

    SUBCASE("no data within the request's timeout: -1001") {
        URLRequest r(server.url("/slow"));
        r.setTimeoutInterval(0.3);
        auto started = std::chrono::steady_clock::now();
        auto out = fetch(session, r);
        CHECK(isURLError(out.error, URLErrorCode::timedOut));
        CHECK(std::chrono::steady_clock::now() - started < 3s);
        CHECK(out.error->userInfoValue(kURLErrorFailingURLStringErrorKey)->string() != nullptr);
    }
    SUBCASE("the session's idle timeout applies when the request has none") {
        auto config = URLSessionConfiguration::defaultSessionConfiguration();
        config.timeoutIntervalForRequest = 0.3;
        URLRequest r(server.url("/slow"));
        r.setTimeoutInterval(0);
        auto out = fetch(sessionWith(nullptr, config), r);
        CHECK(isURLError(out.error, URLErrorCode::timedOut));
    }
    SUBCASE("a refused connection: -1004 with libcurl's message") {
        auto url = *URL::parse("http://127.0.0.1:" + std::to_string(closedPort()) + "/x");
        auto out = fetch(session, URLRequest(url));
        REQUIRE(isURLError(out.error, URLErrorCode::cannotConnectToHost));
        CHECK(out.error->localizedDescription().find("Could not connect to the server.") == 0);
        CHECK(out.error->localizedDescription().find("127.0.0.1") != std::string::npos);
        CHECK(*out.error->userInfoValue(kURLErrorFailingURLStringErrorKey)->string() == url.absoluteString());
        CHECK(out.error->userInfoValue(kURLErrorFailingURLErrorKey)->object<const URL>());
    }
    SUBCASE("an unknown host: -1003") {
        auto out = fetch(session, URLRequest(*URL::parse("http://no-such-host.invalid/")));
        CHECK(isURLError(out.error, URLErrorCode::cannotFindHost));
    }
    SUBCASE("a connection closed mid-body: -1005") {
        auto out = fetch(session, URLRequest(server.url("/drop")));
        CHECK(isURLError(out.error, URLErrorCode::networkConnectionLost));
    }
    SUBCASE("TLS spoken to a plain HTTP server: -1200") {
        auto url = *URL::parse("https://127.0.0.1:" + std::to_string(server.port()) + "/slow");
        CHECK(isURLError(fetch(session, URLRequest(url)).error, URLErrorCode::secureConnectionFailed));
    }
    SUBCASE("a reply that is not HTTP: -1017") {
        RawHttpServer garbage("this is not HTTP\r\n\r\n");
        auto out = fetch(session, URLRequest(garbage.url("/")));
        REQUIRE(out.error);
        CHECK_MESSAGE(isURLError(out.error, URLErrorCode::cannotParseResponse), out.error->description());
    }
    SUBCASE("a URL the session cannot fetch: -1002, or -1000 without a URL") {
        CHECK(isURLError(fetch(session, URLRequest(*URL::parse("ftp://127.0.0.1/x"))).error,
                         URLErrorCode::unsupportedURL));
        CHECK(isURLError(fetch(session, URLRequest()).error, URLErrorCode::badURL));
    }
}

TEST_CASE("a reply whose head or framing cannot be trusted is a network error, not a response") {
    auto session = sessionWith(nullptr);
    struct Case {
        std::string name;
        std::string reply;
        std::vector<URLErrorCode> codes;  // any of these
    };
    const std::vector<Case> broken = {
        {"two Content-Length fields that disagree",
         "HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 12\r\n\r\nhello world!",
         {URLErrorCode::cannotParseResponse}},
        {"one Content-Length field listing values that disagree",
         "HTTP/1.1 200 OK\r\nContent-Length: 12, 5\r\n\r\nhello world!",
         {URLErrorCode::cannotParseResponse}},
        {"a Content-Length that is no number",
         "HTTP/1.1 200 OK\r\nContent-Length: twelve\r\n\r\nhello world!",
         {URLErrorCode::cannotParseResponse}},
        {"a status line and nothing more",
         "HTTP/1.1 200 OK\r\n",
         {URLErrorCode::networkConnectionLost, URLErrorCode::cannotParseResponse}},
        {"a status line without its line end",
         "HTTP/1.1 200 OK",
         {URLErrorCode::networkConnectionLost, URLErrorCode::cannotParseResponse}},
        {"a head cut short after a field",
         "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n",
         {URLErrorCode::networkConnectionLost, URLErrorCode::cannotParseResponse}},
    };
    for (const auto& c : broken) {
        CAPTURE(c.name);
        RawHttpServer server(c.reply);
        auto out = fetch(session, URLRequest(server.url("/")));
        CHECK_MESSAGE(out.error, "delivered as a response");
        if (!out.error) continue;
        CHECK_MESSAGE(std::find_if(c.codes.begin(), c.codes.end(),
                                   [&](URLErrorCode code) { return isURLError(out.error, code); }) != c.codes.end(),
                      out.error->description());
        CHECK_FALSE(out.data);
    }
    // The same length given twice, or a list of one length, frames the body as one field would.
    for (std::string fields : {"Content-Length: 5\r\nContent-Length: 5\r\n", "Content-Length: 5, 5\r\n"}) {
        CAPTURE(fields);
        RawHttpServer server(std::string("HTTP/1.1 200 OK\r\n") + fields + "\r\nhello");
        auto out = fetch(session, URLRequest(server.url("/")));
        REQUIRE_FALSE(out.error);
        CHECK(text(*out.data) == "hello");
    }
}

TEST_CASE("every error a session reports says what went wrong, not that the error is unknown") {
    const std::string unknown(urlErrorSentence(URLErrorCode::unknown));
    for (auto code : {URLErrorCode::cancelled,
                      URLErrorCode::badURL,
                      URLErrorCode::timedOut,
                      URLErrorCode::unsupportedURL,
                      URLErrorCode::cannotFindHost,
                      URLErrorCode::cannotConnectToHost,
                      URLErrorCode::networkConnectionLost,
                      URLErrorCode::httpTooManyRedirects,
                      URLErrorCode::resourceUnavailable,
                      URLErrorCode::notConnectedToInternet,
                      URLErrorCode::badServerResponse,
                      URLErrorCode::cannotDecodeContentData,
                      URLErrorCode::cannotParseResponse,
                      URLErrorCode::requestBodyStreamExhausted,
                      URLErrorCode::fileDoesNotExist,
                      URLErrorCode::noPermissionsToReadFile,
                      URLErrorCode::dataLengthExceedsMaximum,
                      URLErrorCode::secureConnectionFailed,
                      URLErrorCode::serverCertificateUntrusted,
                      URLErrorCode::clientCertificateRejected,
                      URLErrorCode::cannotCreateFile,
                      URLErrorCode::cannotWriteToFile}) {
        CAPTURE(static_cast<int>(code));
        CHECK(urlErrorSentence(code) != unknown);
    }
    CHECK(urlErrorSentence(URLErrorCode::dataLengthExceedsMaximum) == "resource exceeds maximum size");
}

TEST_CASE("cancel ends a task with -999 and exactly one completion") {
    HttpTestServer server;
    server.on("GET", "/slow", server.chunked({"a", "b", "c", "d"}, 300ms));
    auto recorder = std::make_shared<Recorder>();
    auto session = sessionWith(recorder);

    SUBCASE("while the body arrives") {
        auto task = session->dataTaskWithRequest(URLRequest(server.url("/slow")));
        task->resume();
        REQUIRE(recorder->waitForEvent("response 200"));
        task->cancel();
        task->cancel();
        REQUIRE(recorder->waitForCompletions(1));
        std::this_thread::sleep_for(100ms);
        CHECK(recorder->completions() == 1);
        CHECK(isURLError(recorder->error(), URLErrorCode::cancelled));
        CHECK(recorder->events().back() == "complete");
        CHECK(task->state() == URLSessionTaskState::completed);
    }
    SUBCASE("before it was ever resumed") {
        auto task = session->dataTaskWithRequest(URLRequest(server.url("/slow")));
        task->cancel();
        REQUIRE(recorder->waitForCompletions(1));
        CHECK(isURLError(recorder->error(), URLErrorCode::cancelled));
        CHECK(server.requestCount() == 0);
    }
    SUBCASE("with a completion handler") {
        Waiter w;
        auto task = session->dataTaskWithRequest(URLRequest(server.url("/slow")), w.handler());
        task->resume();
        REQUIRE(server.waitForRequests(1));
        task->cancel();
        auto out = w.wait();
        CHECK(isURLError(out.error, URLErrorCode::cancelled));
        CHECK_FALSE(out.data);
        std::this_thread::sleep_for(50ms);
        CHECK(w.calls() == 1);
        CHECK(recorder->completions() == 0);
    }
}

TEST_CASE("the response decision can cancel the task or turn it into a download") {
    HttpTestServer server;
    server.on("GET", "/file", HttpTestServer::text(200, "file content"));
    auto recorder = std::make_shared<Recorder>();
    auto session = sessionWith(recorder);
    SUBCASE("cancel") {
        recorder->responseDisposition = URLSessionResponseDisposition::cancel;
        session->dataTaskWithRequest(URLRequest(server.url("/file")))->resume();
        REQUIRE(recorder->waitForCompletions(1));
        CHECK(isURLError(recorder->error(), URLErrorCode::cancelled));
        CHECK(recorder->body().empty());
    }
    SUBCASE("become download") {
        recorder->responseDisposition = URLSessionResponseDisposition::becomeDownload;
        session->dataTaskWithRequest(URLRequest(server.url("/file")))->resume();
        REQUIRE(recorder->waitForCompletions(1));
        CHECK_FALSE(recorder->error());
        auto events = recorder->events();
        CHECK(std::find(events.begin(), events.end(), "became download") != events.end());
        CHECK(recorder->downloaded() == "file content");
        CHECK(recorder->body().empty());
        CHECK_FALSE(std::filesystem::exists(recorder->downloadPath()));
    }
}

TEST_CASE("an upload task sends a file as the body") {
    HttpTestServer server;
    server.on("POST", "/upload", HttpTestServer::echo());
    auto path = std::filesystem::temp_directory_path() / ("brisko-upload-test-" + std::to_string(::getpid()));
    std::string content(300000, 'u');
    content += "end";
    std::ofstream(path, std::ios::binary) << content;
    auto recorder = std::make_shared<Recorder>();
    auto session = sessionWith(recorder);
    URLRequest request(server.url("/upload"));
    request.setHTTPMethod("POST");
    request.setValue("application/octet-stream", "Content-Type");
    auto task = session->uploadTaskWithRequest(request, URL::fileURLWithPath(path.string()));
    task->resume();
    REQUIRE(recorder->waitForCompletions(1));
    CHECK_FALSE(recorder->error());
    CHECK(recorder->body() == content);
    CHECK(recorder->sent() == static_cast<std::int64_t>(content.size()));
    CHECK(task->countOfBytesExpectedToSend() == static_cast<std::int64_t>(content.size()));
    std::filesystem::remove(path);

    Waiter w;
    session->uploadTaskWithRequest(request, URL::fileURLWithPath("/nonexistent/file"), w.handler())->resume();
    CHECK(isURLError(w.wait().error, URLErrorCode::fileDoesNotExist));
}

TEST_CASE("an upload task sends a range of a file, read in place") {
    HttpTestServer server;
    server.on("POST", "/upload", HttpTestServer::echo());
    auto path = std::filesystem::temp_directory_path() / ("brisko-range-test-" + std::to_string(::getpid()));
    std::string content;
    for (int i = 0; i < 200000; ++i) content += static_cast<char>('a' + i % 26);
    std::ofstream(path, std::ios::binary) << content;
    auto file = URL::fileURLWithPath(path.string());
    auto recorder = std::make_shared<Recorder>();
    auto session = sessionWith(recorder);
    URLRequest request(server.url("/upload"));
    request.setHTTPMethod("POST");
    request.setValue("application/octet-stream", "Content-Type");

    struct Range {
        std::int64_t offset, length;
    };
    for (auto range : {Range{12345, 100000}, Range{0, 200000}, Range{199999, 1}, Range{5000, 0}}) {
        CAPTURE(range.offset);
        Waiter w;
        auto task = session->uploadTaskWithRequest(request, file, range.offset, range.length, w.handler());
        task->resume();
        auto outcome = w.wait();
        REQUIRE_FALSE(outcome.error);
        CHECK(text(*outcome.data) == content.substr(range.offset, range.length));
        CHECK(task->countOfBytesExpectedToSend() == range.length);
    }

    SUBCASE("a range beyond the end of the file fails before anything is sent: -1008") {
        for (auto range : {Range{150000, 50001}, Range{200001, 0}, Range{-1, 10}}) {
            Waiter w;
            session->uploadTaskWithRequest(request, file, range.offset, range.length, w.handler())->resume();
            CHECK(isURLError(w.wait().error, URLErrorCode::resourceUnavailable));
        }
        CHECK(server.requestsTo("/upload").size() == 4);
    }
    std::filesystem::remove(path);
}

TEST_CASE("a delegate that takes no response decision, metrics or upload progress is not asked for them") {
    HttpTestServer server;
    server.on("POST", "/echo", HttpTestServer::echo());
    struct Quiet : Recorder {
        bool progress = true;
        bool wantsResponseDecision(const std::shared_ptr<URLSessionDataTask>&) override { return false; }
        bool wantsMetrics(const std::shared_ptr<URLSessionTask>&) override { return false; }
        bool wantsUploadProgress(const std::shared_ptr<URLSessionTask>&) override { return progress; }
    };
    struct Case {
        bool progress;
        std::vector<std::string> events;
    };
    // A body larger than a send buffer, and one that goes out at once.
    for (const std::size_t size : {std::size_t{100000}, std::size_t{1000}}) {
        for (const auto& c : {Case{true, {"sent", "data", "complete"}}, Case{false, {"data", "complete"}}}) {
            CAPTURE(size);
            CAPTURE(c.progress);
            auto recorder = std::make_shared<Quiet>();
            recorder->progress = c.progress;
            auto session = sessionWith(recorder);
            auto task = session->dataTaskWithRequest(post(server.url("/echo"), std::string(size, 'q')));
            task->resume();
            REQUIRE(recorder->waitForCompletions(1));
            CHECK(recorder->events() == c.events);
            CHECK(recorder->body() == std::string(size, 'q'));
            CHECK_FALSE(recorder->error());
            REQUIRE(task->response());
            CHECK(task->response()->statusCode() == 200);
            // The task's own count is kept either way.
            CHECK(task->countOfBytesSent() == static_cast<std::int64_t>(size));
        }
    }
}

TEST_CASE("an upload whose bytes keep moving is not idle, whether or not anyone hears of its progress") {
    // A server that takes the body slowly: 512 KiB every 40 ms, so the first 16 MiB of a 24 MiB body
    // take well over a second to go out, longer than the request's idle timeout, while bytes move all
    // the time. The last 8 MiB it reads at once: the two kernels hold some megabytes between the ends,
    // so the client's last bytes leave long before the server reads them, and a slow tail would leave
    // the client waiting for the reply with nothing moving.
    constexpr std::size_t kBodySize = 24u << 20;
    constexpr std::size_t kFastTail = 8u << 20;
    sockaddr_in addr{};
    const int listener = brisko::testing::listenOnLoopback(addr);
    REQUIRE(listener >= 0);
    const auto url = *URL::parse("http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/slow-reader");
    std::atomic<bool> stop{false};
    std::thread server([&] {
        while (!stop) {
            pollfd p{listener, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            int fd = ::accept(listener, nullptr, nullptr);
            if (fd < 0) continue;
            std::string head;
            std::size_t body = 0;
            std::vector<char> buffer(512 << 10);
            bool inBody = false;
            while (!stop && body < kBodySize) {
                const ssize_t n = ::recv(fd, buffer.data(), buffer.size(), 0);
                if (n <= 0) break;
                std::size_t used = 0;
                if (!inBody) {
                    head.append(buffer.data(), static_cast<std::size_t>(n));
                    const auto end = head.find("\r\n\r\n");
                    if (end == std::string::npos) continue;
                    inBody = true;
                    body = head.size() - (end + 4);
                    used = static_cast<std::size_t>(n);
                }
                if (used == 0) body += static_cast<std::size_t>(n);
                if (body < kBodySize - kFastTail) std::this_thread::sleep_for(40ms);
            }
            const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok";
            if (body >= kBodySize) (void)::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
            ::close(fd);
        }
    });
    struct NoProgress : URLSessionDelegate {
        bool wantsUploadProgress(const std::shared_ptr<URLSessionTask>&) override { return false; }
    };
    for (auto delegate : {std::shared_ptr<URLSessionDelegate>(), std::shared_ptr<URLSessionDelegate>(
                                                                      std::make_shared<NoProgress>())}) {
        CAPTURE(static_cast<bool>(delegate));
        URLRequest request = post(url, std::string(kBodySize, 'u'), "application/octet-stream");
        request.setTimeoutInterval(0.75);
        auto out = fetch(sessionWith(delegate), request, 30s);
        CHECK_MESSAGE(!out.error, (out.error ? out.error->localizedDescription() : std::string()));
        CHECK((out.data && text(*out.data) == "ok"));
    }
    stop = true;
    server.join();
    ::close(listener);
}

TEST_CASE("idle connections are kept for the next requests, however many ran at once") {
    HttpTestServer server;
    server.on("GET", "/slow", server.delayed(50ms, HttpTestServer::text(200, "ok")));
    auto session = sessionWith(nullptr);  // six connections per host
    auto burst = [&] {
        std::vector<std::unique_ptr<Waiter>> waiters;
        for (int i = 0; i < 6; ++i) {
            waiters.push_back(std::make_unique<Waiter>());
            session->dataTaskWithRequest(URLRequest(server.url("/slow")), waiters.back()->handler())->resume();
        }
        for (auto& w : waiters) CHECK_FALSE(w->wait().error);
    };
    burst();
    burst();
    auto requests = server.requestsTo("/slow");
    REQUIRE(requests.size() == 12);
    std::set<int> first, second;
    for (std::size_t i = 0; i < 6; ++i) first.insert(requests[i].remotePort);
    for (std::size_t i = 6; i < 12; ++i) second.insert(requests[i].remotePort);
    CHECK(first.size() == 6);
    CHECK(second == first);
}

TEST_CASE("a download goes to a temporary file and resumes from where it was cancelled") {
    HttpTestServer server;
    std::string body;
    for (int i = 0; i < 4000; ++i) body += std::to_string(i % 10);
    server.on("GET", "/big", server.resumable(body, "\"v1\"", 500, 100ms));
    auto recorder = std::make_shared<Recorder>();
    auto session = sessionWith(recorder);

    auto task = session->downloadTaskWithRequest(URLRequest(server.url("/big")));
    task->resume();
    REQUIRE(recorder->waitForWritten(1000));
    std::optional<Data> resumeData;
    std::mutex m;
    std::condition_variable cv;
    bool got = false;
    task->cancelByProducingResumeData([&](std::optional<Data> d) {
        std::lock_guard lock(m);
        resumeData = std::move(d);
        got = true;
        cv.notify_all();
    });
    {
        std::unique_lock lock(m);
        REQUIRE(cv.wait_for(lock, 5s, [&] { return got; }));
    }
    REQUIRE(recorder->waitForCompletions(1));
    REQUIRE(resumeData);
    auto error = recorder->error();
    REQUIRE(isURLError(error, URLErrorCode::cancelled));
    CHECK(error->userInfoValue(kURLSessionDownloadTaskResumeData));

    auto resumed = session->downloadTaskWithResumeData(*resumeData);
    resumed->resume();
    REQUIRE(recorder->waitForCompletions(2));
    CHECK_FALSE(recorder->error());
    CHECK(recorder->downloaded() == body);
    auto events = recorder->events();
    auto resumedAt = std::find_if(events.begin(), events.end(), [](auto& e) { return e.rfind("resumed at ", 0) == 0; });
    REQUIRE(resumedAt != events.end());
    CHECK(*resumedAt != "resumed at 0");
    auto last = server.requestsTo("/big").back();
    CHECK(last.header("Range").value_or("").rfind("bytes=", 0) == 0);
    CHECK(last.header("If-Range") == "\"v1\"");
    CHECK_FALSE(std::filesystem::exists(recorder->downloadPath()));

    // Resume data that names a file outside the session's own downloads is not followed there.
    auto tampered = toData(std::string(R"({"version":1,"url":")") + server.url("/big").absoluteString() +
                           R"(","file":"/etc/passwd","offset":10,"etag":"\"v1\""})");
    session->downloadTaskWithResumeData(tampered)->resume();
    REQUIRE(recorder->waitForCompletions(3));
    CHECK(recorder->downloaded() == body);
    CHECK_FALSE(server.requestsTo("/big").back().header("Range"));
}

TEST_CASE("a download with a completion handler hands over the file") {
    HttpTestServer server;
    server.on("GET", "/f", HttpTestServer::text(200, "contents"));
    auto session = sessionWith(nullptr);
    std::mutex m;
    std::condition_variable cv;
    std::string content;
    bool done = false;
    session
        ->downloadTaskWithRequest(URLRequest(server.url("/f")),
                                  [&](const std::optional<URL>& location, const std::shared_ptr<const HTTPURLResponse>&,
                                      const std::optional<Error>& e) {
                                      std::lock_guard lock(m);
                                      REQUIRE_FALSE(e);
                                      std::ifstream in(location->path());
                                      std::getline(in, content);
                                      done = true;
                                      cv.notify_all();
                                  })
        ->resume();
    std::unique_lock lock(m);
    REQUIRE(cv.wait_for(lock, 10s, [&] { return done; }));
    CHECK(content == "contents");
}

TEST_CASE("a gzip body arrives decompressed") {
    HttpTestServer server;
    std::string original(50000, 'z');
    server.on("GET", "/gz", HttpTestServer::gzip(200, original, "application/json"));
    auto out = fetch(sessionWith(nullptr), URLRequest(server.url("/gz")));
    REQUIRE_FALSE(out.error);
    CHECK(text(*out.data) == original);
    CHECK(out.response->valueForHTTPHeaderField("Content-Encoding") == "gzip");
    CHECK(out.response->expectedContentLength() == URLResponse::kUnknownLength);
}

namespace {
// `body` compressed by zlib: 31 window bits make a gzip member, 15 a zlib stream, -15 bare deflate.
std::string compressed(const std::string& body, int windowBits) {
    z_stream z{};
    REQUIRE(deflateInit2(&z, Z_BEST_COMPRESSION, Z_DEFLATED, windowBits, 9, Z_DEFAULT_STRATEGY) == Z_OK);
    std::string out(deflateBound(&z, body.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(body.data()));
    z.avail_in = static_cast<uInt>(body.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    REQUIRE(deflate(&z, Z_FINISH) == Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Answers with `body` as it stands and the given "Content-Encoding".
HttpTestServer::Handler encoded(std::string body, std::string encoding) {
    return [body = std::move(body), encoding = std::move(encoding)](const httplib::Request&, httplib::Response& res) {
        res.set_header("Content-Encoding", encoding);
        res.set_content(body, "text/plain");
    };
}
}  // namespace

TEST_CASE("a compressed body is data only when its stream ends cleanly") {
    HttpTestServer server;
    std::string original;
    for (int i = 0; i < 3000; ++i) original += "line " + std::to_string(i) + "\n";
    const std::string gzip = compressed(original, 31);
    server.on("GET", "/zlib", encoded(compressed(original, 15), "deflate"));
    server.on("GET", "/raw", encoded(compressed(original, -15), "deflate"));
    server.on("GET", "/members", encoded(gzip + compressed("and more", 31), "gzip"));
    server.on("GET", "/cut", encoded(gzip.substr(0, gzip.size() / 2), "gzip"));
    server.on("GET", "/bogus", encoded(original, "gzip"));
    server.on("GET", "/trailing", encoded(gzip + "junk", "gzip"));
    server.on("GET", "/brotli", encoded(original, "br"));
    auto session = sessionWith(nullptr);
    auto get = [&](const char* path) { return fetch(session, URLRequest(server.url(path))); };

    CHECK(text(*get("/zlib").data) == original);
    CHECK(text(*get("/raw").data) == original);
    CHECK(text(*get("/members").data) == original + "and more");
    // Half a gzip member, with a Content-Length that matches what was sent: the connection ended early.
    auto cut = get("/cut");
    CHECK_MESSAGE(isURLError(cut.error, URLErrorCode::networkConnectionLost), cut.error->description());
    CHECK_FALSE(cut.data);
    for (const char* path : {"/bogus", "/trailing", "/brotli"}) {
        CAPTURE(path);
        auto out = get(path);
        CHECK(isURLError(out.error, URLErrorCode::cannotDecodeContentData));
        CHECK_FALSE(out.data);
    }
    CHECK(server.requestsTo("/zlib").at(0).header("Accept-Encoding") == "gzip, deflate");
}

TEST_CASE("a body past the session's maximum fails with -1103, compressed or not; downloads have no limit") {
    HttpTestServer server;
    const std::string twoMiB(2 * 1024 * 1024, 'x');
    server.on("GET", "/big", HttpTestServer::text(200, twoMiB));
    server.on("GET", "/exact", HttpTestServer::text(200, twoMiB.substr(0, 1024 * 1024)));
    // 64 MiB of zeros in a gzip member of about 64 KiB.
    const std::string bomb = compressed(std::string(64 * 1024 * 1024, '\0'), 31);
    CHECK(bomb.size() < 100 * 1024);
    server.on("GET", "/bomb", encoded(bomb, "gzip"));
    auto config = URLSessionConfiguration::defaultSessionConfiguration();
    config.maximumDecodedBodyLength = 1024 * 1024;
    auto limited = sessionWith(nullptr, config);

    auto big = fetch(limited, URLRequest(server.url("/big")));
    REQUIRE(isURLError(big.error, URLErrorCode::dataLengthExceedsMaximum));
    CHECK(big.error->localizedDescription().find("resource exceeds maximum size") == 0);
    CHECK(big.error->localizedDescription().find("1048576") != std::string::npos);
    CHECK(fetch(limited, URLRequest(server.url("/exact"))).data->size() == 1024 * 1024);
    // The default limit stops the bomb as it inflates (32 MiB of it, which takes a while under
    // ThreadSanitizer on a busy machine).
    CHECK(isURLError(fetch(sessionWith(nullptr), URLRequest(server.url("/bomb")), 60s).error,
                     URLErrorCode::dataLengthExceedsMaximum));

    SUBCASE("also for a delegate's data task") {
        auto recorder = std::make_shared<Recorder>();
        sessionWith(recorder, config)->dataTaskWithRequest(URLRequest(server.url("/big")))->resume();
        REQUIRE(recorder->waitForCompletions(1));
        CHECK(isURLError(recorder->error(), URLErrorCode::dataLengthExceedsMaximum));
    }
    SUBCASE("but not for a download to a file") {
        std::mutex m;
        std::condition_variable cv;
        std::optional<std::uintmax_t> size;
        std::optional<Error> error;
        limited
            ->downloadTaskWithRequest(
                URLRequest(server.url("/big")),
                [&](std::optional<URL> location, std::shared_ptr<const HTTPURLResponse>, std::optional<Error> e) {
                    std::lock_guard lock(m);
                    error = std::move(e);
                    size = location ? std::filesystem::file_size(location->path()) : 0;
                    cv.notify_all();
                })
            ->resume();
        std::unique_lock lock(m);
        REQUIRE(cv.wait_for(lock, 10s, [&] { return size.has_value(); }));
        CHECK_FALSE(error);
        CHECK(*size == twoMiB.size());
    }
}

TEST_CASE("TLS: an untrusted server fails with -1202 unless trusted by CA file or by the delegate") {
    HttpTestServer server(HttpTestServer::Mode::https);
    server.on("GET", "/secure", HttpTestServer::text(200, "secret"));

    SUBCASE("the system CA store does not know the test CA") {
        auto out = fetch(sessionWith(nullptr), URLRequest(server.url("/secure")));
        REQUIRE(isURLError(out.error, URLErrorCode::serverCertificateUntrusted));
        CHECK(server.requestCount() == 0);
    }
    SUBCASE("the configuration's CA file makes it trusted; the delegate is asked once per connection") {
        auto config = URLSessionConfiguration::defaultSessionConfiguration();
        config.tlsTrustedCAFile = HttpTestServer::caCertificatePath();
        auto recorder = std::make_shared<Recorder>();
        auto session = sessionWith(recorder, config);
        session->dataTaskWithRequest(URLRequest(server.url("/secure")))->resume();
        REQUIRE(recorder->waitForCompletions(1));
        CHECK_FALSE(recorder->error());
        CHECK(recorder->body() == "secret");
        session->dataTaskWithRequest(URLRequest(server.url("/secure")))->resume();
        REQUIRE(recorder->waitForCompletions(2));
        auto events = recorder->events();
        CHECK(std::count(events.begin(), events.end(), "challenge trusted") == 1);
        CHECK(events.front() == "challenge trusted");
    }
    SUBCASE("the delegate may accept the untrusted server") {
        auto recorder = std::make_shared<Recorder>();
        recorder->challengeDecision = [](const URLAuthenticationChallenge& c) {
            CHECK(c.protectionSpace.authenticationMethod == kURLAuthenticationMethodServerTrust);
            CHECK(c.protectionSpace.host == "127.0.0.1");
            CHECK_FALSE(c.protectionSpace.serverTrust->certificateChain().empty());
            return std::make_pair(URLSessionAuthChallengeDisposition::useCredential,
                                  std::optional(URLCredential::forTrust(c.protectionSpace.serverTrust)));
        };
        auto session = sessionWith(recorder);
        session->dataTaskWithRequest(URLRequest(server.url("/secure")))->resume();
        REQUIRE(recorder->waitForCompletions(1));
        CHECK_FALSE(recorder->error());
        CHECK(recorder->body() == "secret");
        CHECK(recorder->events().front() == "challenge untrusted");
    }
    SUBCASE("a delegate that refuses an untrusted server gets -1202; refusing a trusted one cancels") {
        auto recorder = std::make_shared<Recorder>();
        recorder->challengeDecision = [](const URLAuthenticationChallenge&) {
            return std::make_pair(URLSessionAuthChallengeDisposition::cancelAuthenticationChallenge,
                                  std::optional<URLCredential>());
        };
        sessionWith(recorder)->dataTaskWithRequest(URLRequest(server.url("/secure")))->resume();
        REQUIRE(recorder->waitForCompletions(1));
        CHECK(isURLError(recorder->error(), URLErrorCode::serverCertificateUntrusted));

        auto config = URLSessionConfiguration::defaultSessionConfiguration();
        config.tlsTrustedCAFile = HttpTestServer::caCertificatePath();
        sessionWith(recorder, config)->dataTaskWithRequest(URLRequest(server.url("/secure")))->resume();
        REQUIRE(recorder->waitForCompletions(2));
        CHECK(isURLError(recorder->error(), URLErrorCode::cancelled));
        auto events = recorder->events();
        CHECK(std::find(events.begin(), events.end(), "response 200") == events.end());
    }
}

TEST_CASE("invalidation: running tasks finish, then the delegate hears that the session became invalid") {
    HttpTestServer server;
    server.on("GET", "/slow", server.delayed(200ms, HttpTestServer::text(200, "done")));
    auto recorder = std::make_shared<Recorder>();
    auto session = sessionWith(recorder);

    SUBCASE("finish tasks") {
        session->dataTaskWithRequest(URLRequest(server.url("/slow")))->resume();
        session->finishTasksAndInvalidate();
        REQUIRE(recorder->waitForEvent("invalid"));
        auto events = recorder->events();
        CHECK(events.back() == "invalid");
        CHECK(std::find(events.begin(), events.end(), "complete") != events.end());
        CHECK_FALSE(recorder->error());
        CHECK(session->isInvalidated());
        CHECK_FALSE(session->delegate());
        Waiter w;
        session->dataTaskWithRequest(URLRequest(server.url("/slow")), w.handler())->resume();
        CHECK(isURLError(w.wait().error, URLErrorCode::cancelled));
    }
    SUBCASE("cancel tasks") {
        session->dataTaskWithRequest(URLRequest(server.url("/slow")))->resume();
        session->invalidateAndCancel();
        REQUIRE(recorder->waitForEvent("invalid"));
        CHECK(isURLError(recorder->error(), URLErrorCode::cancelled));
        CHECK(recorder->events().back() == "invalid");
    }
}

TEST_CASE("a session with a cookie storage sends its cookies and hands it every Set-Cookie") {
    struct Store : HTTPCookieStorage {
        std::mutex m;
        std::vector<std::string> stored;
        std::optional<std::string> cookieHeaderForRequest(const URLRequest& r) override {
            return r.url()->path() == "/second" ? std::optional<std::string>("a=1") : std::nullopt;
        }
        void storeCookiesFromResponse(const HTTPURLResponse& response, const URLRequest&) override {
            std::lock_guard lock(m);
            for (auto& v : response.allHeaderFields().values("Set-Cookie")) stored.push_back(v);
        }
    };
    HttpTestServer server;
    server.on("GET", "/first", [](const httplib::Request&, httplib::Response& res) {
        res.status = 302;
        res.set_header("Location", "/second");
        res.set_header("Set-Cookie", "a=1; Path=/");
        res.set_header("Set-Cookie", "b=2; Expires=Wed, 21 Oct 2037 07:28:00 GMT");
    });
    server.on("GET", "/second", HttpTestServer::text(200, "ok"));
    auto store = std::make_shared<Store>();
    auto config = URLSessionConfiguration::defaultSessionConfiguration();
    config.httpCookieStorage = store;
    auto session = sessionWith(nullptr, config);
    CHECK(text(*fetch(session, URLRequest(server.url("/first"))).data) == "ok");
    CHECK(store->stored == std::vector<std::string>{"a=1; Path=/", "b=2; Expires=Wed, 21 Oct 2037 07:28:00 GMT"});
    CHECK(server.requestsTo("/second").at(0).header("Cookie") == "a=1");
    CHECK_FALSE(server.requestsTo("/first").at(0).header("Cookie"));

    URLRequest noCookies(server.url("/second"));
    noCookies.setHTTPShouldHandleCookies(false);
    fetch(session, noCookies);
    CHECK_FALSE(server.requestsTo("/second").at(1).header("Cookie"));
}

TEST_CASE("a suspended task moves no data until resumed") {
    HttpTestServer server;
    server.on("GET", "/pieces", server.chunked({"1", "2", "3"}, 200ms));
    auto recorder = std::make_shared<Recorder>();
    auto session = sessionWith(recorder);
    auto task = session->dataTaskWithRequest(URLRequest(server.url("/pieces")));
    task->resume();
    REQUIRE(recorder->waitForEvent("response 200"));
    task->suspend();
    CHECK(task->state() == URLSessionTaskState::suspended);
    std::this_thread::sleep_for(300ms);
    CHECK(recorder->completions() == 0);
    task->resume();
    REQUIRE(recorder->waitForCompletions(1));
    CHECK(recorder->body() == "123");
}

TEST_CASE("the coroutine form returns body and response and throws transport errors") {
    HttpTestServer server;
    server.on("POST", "/echo", HttpTestServer::echo());
    auto session = URLSession::shared();
    auto result = runOnMainLoop(session->data(post(server.url("/echo"), "ping")));
    CHECK(text(result.data) == "ping");
    CHECK(result.response->statusCode() == 200);
    auto uploaded = runOnMainLoop(session->upload(post(server.url("/echo"), ""), toData("pong")));
    CHECK(text(uploaded.data) == "pong");

    auto url = *URL::parse("http://127.0.0.1:" + std::to_string(closedPort()) + "/");
    try {
        runOnMainLoop(session->data(URLRequest(url)));
        FAIL("no error thrown");
    } catch (const ErrorException& e) {
        CHECK(e.error().code() == static_cast<int>(URLErrorCode::cannotConnectToHost));
    }
    // The shared session cannot be invalidated.
    session->invalidateAndCancel();
    CHECK_FALSE(session->isInvalidated());
}
