// The loopback TCP and HTTP servers and the redirect handler: the redirect URI, the pages, default
// replies, pipelining, bodies from streams, and abuse from local programs (idle connections, huge and
// trickled requests, peers that stop reading, wrong redirects).
#include <doctest/doctest.h>

#include <arpa/inet.h>
#include <atomic>
#include <future>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <asio/write.hpp>

#include "oauth/AuthorizationService.hpp"
#include "oauth/ErrorUtilities.hpp"
#include "oauth/HTTPServer.hpp"
#include "oauth/RedirectHTTPHandler.hpp"
#include "platform/base/Log.hpp"
#include "tests/oauth/OAuthTestSupport.hpp"
#include "tests/support/PortSockets.hpp"

using namespace brisko;
using namespace brisko::oauth;
using namespace brisko::oauth::test;
using namespace std::chrono;

namespace {

// A plain TCP client to 127.0.0.1 (or ::1).
class Client {
public:
    explicit Client(int port, bool ipv6 = false) {
        if (ipv6) {
            fd_ = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in6 addr{};
            addr.sin6_family = AF_INET6;
            addr.sin6_port = htons(static_cast<std::uint16_t>(port));
            addr.sin6_addr = in6addr_loopback;
            connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        } else {
            fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(static_cast<std::uint16_t>(port));
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        }
    }
    // The port the client's end is bound to.
    int localPort() const {
        sockaddr_storage addr{};
        socklen_t length = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &length);
        return addr.ss_family == AF_INET6 ? ntohs(reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port)
                                          : ntohs(reinterpret_cast<sockaddr_in*>(&addr)->sin_port);
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    // Whether a read met the end of the server's side.
    bool peerClosed() const { return peerClosed_; }
    bool send(std::string_view bytes) {
        while (!bytes.empty()) {
            auto n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }
    // Whether the server has sent something (or closed) within the time.
    bool waitReadable(milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        return ::poll(&p, 1, static_cast<int>(timeout.count())) > 0;
    }
    // At least `count` bytes (fewer when the peer closes first or the time is up).
    std::string readBytes(std::size_t count, milliseconds timeout = seconds(30)) {
        return readUntil([count](const std::string& got) { return got.size() >= count; }, timeout);
    }
    // Everything until the peer closes (or the time is up).
    std::string readToEnd(milliseconds timeout = seconds(10)) {
        return readUntil([](const std::string&) { return false; }, timeout);
    }
    // One response with a Content-Length body (or until close).
    std::string readResponse(milliseconds timeout = seconds(10)) {
        std::string out = readUntil(
            [](const std::string& got) {
                auto head = got.find("\r\n\r\n");
                if (head == std::string::npos) return false;
                auto cl = got.find("Content-Length: ");
                std::size_t length = cl == std::string::npos ? 0 : std::stoul(got.substr(cl + 16, 20));
                return got.size() >= head + 4 + length;
            },
            timeout);
        return out;
    }

private:
    template <class Done> std::string readUntil(Done done, milliseconds timeout) {
        std::string out;
        auto deadline = steady_clock::now() + timeout;
        while (!done(out) && steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buf[65536];
            auto n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) {
                peerClosed_ = true;
                break;
            }
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

    int fd_ = -1;
    bool connected_ = false;
    bool peerClosed_ = false;
};

// Runs the client work on a thread while the main queue (where the handler answers) keeps running.
template <class F> auto whileMainRuns(F&& work) {
    auto future = std::async(std::launch::async, std::forward<F>(work));
    REQUIRE(
        platform::MainLoop::runUntil([&] { return future.wait_for(0s) == std::future_status::ready; }, seconds(30)));
    return future.get();
}

std::string get(int port, std::string_view target) {
    return whileMainRuns([port, t = std::string(target)] {
        Client c(port);
        c.send("GET " + t + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
        return c.readResponse();
    });
}

int status(const std::string& response) {
    return response.size() > 12 ? std::stoi(response.substr(9, 3)) : 0;
}
std::string body(const std::string& response) {
    auto at = response.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : response.substr(at + 4);
}

// A handler listening, with a flow whose redirect URI is the listener's.
struct Listener {
    std::shared_ptr<RedirectHTTPHandler> handler;
    std::optional<URL> redirectURI;
    AuthorizationRequestPtr request;
    std::shared_ptr<ScriptedAgent> agent = std::make_shared<ScriptedAgent>();
    Outcome<AuthorizationResponsePtr> outcome;
    int port = 0;

    explicit Listener(std::optional<URL> successURL = std::nullopt, HTTPServerLimits limits = {})
        : handler(std::make_shared<RedirectHTTPHandler>(successURL, limits)) {
        OptionalError error;
        redirectURI = handler->startHTTPListener(&error);
        REQUIRE(redirectURI);
        port = *redirectURI->port();
        auto config = std::make_shared<const ServiceConfiguration>(*URL::parse("https://idp.test/auth"),
                                                                   *URL::parse("https://idp.test/token"));
        request = AuthorizationRequest::make(config, "client", std::nullopt, {"openid"}, redirectURI, "code", {});
        handler->setCurrentAuthorizationFlow(
            AuthorizationService::presentAuthorizationRequest(request, agent, outcome.callback()));
    }
    std::string redirectTarget(std::string_view code = "abc") const {
        return "/?code=" + std::string(code) + "&state=" + *request->state();
    }
    bool listening() const { return Client(port).connected(); }
};

}  // namespace

TEST_CASE("the listener's redirect URI names 127.0.0.1 and the port it got") {
    auto handler = std::make_shared<RedirectHTTPHandler>();
    OptionalError error;
    auto uri = handler->startHTTPListener(&error);
    REQUIRE(uri);
    CHECK_FALSE(error);
    REQUIRE(handler->server());
    CHECK(handler->server()->hasIPv4Socket());
    CHECK(uri->absoluteString() == "http://127.0.0.1:" + std::to_string(handler->server()->port()) + "/");
    CHECK(handler->server()->port() != 0);
    // The IPv6 loopback socket, when the system has one, listens on the same port.
    if (handler->server()->hasIPv6Socket()) {
        int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 addr{};
        addr.sin6_family = AF_INET6;
        addr.sin6_port = htons(handler->server()->port());
        addr.sin6_addr = in6addr_loopback;
        CHECK(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
        ::close(fd);
    }
    // A port in use cannot be taken again.
    auto other = std::make_shared<RedirectHTTPHandler>();
    OptionalError busy;
    CHECK_FALSE(other->startHTTPListener(&busy, handler->server()->port()));
    REQUIRE(busy);
    CHECK(busy->domain() == kTCPServerErrorDomain);
    CHECK(busy->code() == TCPServerErrorCode::couldNotBindToIPv4Address);
}

TEST_CASE("a request with no flow set is answered 400 with the no-flow page") {
    auto handler = std::make_shared<RedirectHTTPHandler>();
    auto uri = handler->startHTTPListener();
    auto response = get(*uri->port(), "/?code=1");
    CHECK(status(response) == 400);
    CHECK(body(response) == kRedirectNoFlowPage);
    CHECK(response.find("Content-Length: " + std::to_string(kRedirectNoFlowPage.size()) + "\r\n") != std::string::npos);
    CHECK(handler->server());
}

TEST_CASE("redirects for another path (404) or without the request's state (400) leave the flow waiting; the real "
          "redirect completes it and stops the listener") {
    Listener l;
    struct Case {
        std::string target;
        int status;
    };
    // Any local program can reach the port: another path, a guessed state, an error or a code without one.
    for (const auto& c : std::vector<Case>{{"/other?code=x&state=" + *l.request->state(), 404},
                                           {"/?code=x&state=guess", 400},
                                           {"/?error=access_denied", 400},
                                           {"/?code=x", 400},
                                           {"/?error=access_denied&state=guess", 400}}) {
        CAPTURE(c.target);
        auto wrong = get(l.port, c.target);
        CHECK(status(wrong) == c.status);
        CHECK(body(wrong) == kRedirectInvalidPage);
        CHECK(l.outcome.calls == 0);
        CHECK(l.handler->currentAuthorizationFlow());
        CHECK(l.listening());
    }

    auto right = get(l.port, l.redirectTarget());
    CHECK(status(right) == 200);
    CHECK(body(right) == kRedirectCompletionPage);
    CHECK(right.find("Content-Length: " + std::to_string(kRedirectCompletionPage.size()) + "\r\n") !=
          std::string::npos);
    REQUIRE(l.outcome.calls == 1);
    REQUIRE(l.outcome.value);
    CHECK(l.outcome.value->authorizationCode() == "abc");
    CHECK_FALSE(l.handler->currentAuthorizationFlow());
    CHECK_FALSE(l.handler->server());
    CHECK_FALSE(l.listening());
}

TEST_CASE("with a success URL the completing request is sent there") {
    Listener l(*URL::parse("https://example.test/done"));
    auto response = get(l.port, l.redirectTarget());
    CHECK(status(response) == 302);
    CHECK(response.find("Location: https://example.test/done\r\n") != std::string::npos);
    CHECK(body(response) == kRedirectCompletionPage);
}

TEST_CASE("an error redirect with the request's state ends the flow, and the browser is told it failed") {
    Listener l;
    auto response = get(l.port, "/?error=access_denied&state=" + *l.request->state());
    CHECK(status(response) == 200);
    CHECK(body(response) == kRedirectFailurePage);
    REQUIRE(l.outcome.calls == 1);
    REQUIRE(l.outcome.error);
    CHECK(l.outcome.error->domain() == kOAuthAuthorizationErrorDomain);
    CHECK(l.outcome.error->code() == OAuthErrorCode::accessDenied);
    CHECK_FALSE(l.handler->currentAuthorizationFlow());
    CHECK_FALSE(l.handler->server());
}

TEST_CASE("starting another listener, or cancelling, fails the waiting flow with -4") {
    Listener l;
    auto previousPort = l.port;
    auto again = l.handler->startHTTPListener();
    REQUIRE(again);
    REQUIRE(l.outcome.calls == 1);
    CHECK(l.outcome.error->code() == ErrorCode::programCanceledAuthorizationFlow);
    CHECK(l.outcome.error->localizedDescription() == kHTTPListenerCancelledDescription);
    CHECK_FALSE(l.handler->currentAuthorizationFlow());
    CHECK_FALSE(Client(previousPort).connected());
}

TEST_CASE("without a delegate the server answers 500, or 505 for another HTTP version, with an empty body") {
    auto server = HTTPServer::make();
    REQUIRE(server->start());
    int port = server->port();
    auto replies = whileMainRuns([port] {
        std::vector<std::string> out;
        for (std::string version : {"HTTP/1.1", "HTTP/1.0"}) {
            Client c(port);
            c.send("GET / " + version + "\r\n\r\n");
            out.push_back(c.readResponse());
        }
        return out;
    });
    CHECK(replies[0].starts_with("HTTP/1.1 500 "));
    CHECK(replies[0].find("Content-Length: 0\r\n") != std::string::npos);
    CHECK(replies[1].starts_with("HTTP/1.0 505 "));
    CHECK(replies[1].find("Content-Length: 0\r\n") != std::string::npos);
}

TEST_CASE("pipelined requests are answered in order, and a half-closed peer still gets its answers") {
    auto handler = std::make_shared<RedirectHTTPHandler>();
    auto uri = handler->startHTTPListener();
    int port = *uri->port();
    auto replies = whileMainRuns([port] {
        Client c(port);
        c.send("POST /a HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabcGET /b HTTP/1.1\r\n\r\n");
        c.shutdownWrite();
        return c.readToEnd();
    });
    auto first = replies.find("HTTP/1.1 400");
    auto second = replies.find("HTTP/1.1 400", first + 1);
    CHECK(first != std::string::npos);
    CHECK(second != std::string::npos);
}

TEST_CASE("malformed and chunked requests are refused with 400 and the connection closed") {
    auto handler = std::make_shared<RedirectHTTPHandler>();
    int port = *handler->startHTTPListener()->port();
    for (std::string raw :
         {"NOT HTTP\r\n\r\n", "GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
          "GET / HTTP/1.1\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", "GET / HTTP/1.1\r\nbad header\r\n\r\n"}) {
        CAPTURE(raw);
        auto reply = whileMainRuns([port, raw] {
            Client c(port);
            c.send(raw);
            return c.readToEnd();
        });
        CHECK(reply.starts_with("HTTP/1.1 400 "));
        CHECK(reply.find("Connection: close") != std::string::npos);
    }
}

TEST_CASE("the listener under abuse: idle connections, a 10 MB request and a trickled redirect") {
    HTTPServerLimits limits;
    limits.maxConnections = 32;
    Listener l(std::nullopt, limits);

    // 200 connections that never send a byte.
    std::vector<std::unique_ptr<Client>> idle;
    for (int i = 0; i < 200; ++i) idle.push_back(std::make_unique<Client>(l.port));
    platform::MainLoop::runFor(milliseconds(100));
    CHECK(l.handler->server()->connectionCount() <= limits.maxConnections);

    // A request far larger than any redirect: answered 413 after at most the limit, then closed.
    auto huge = whileMainRuns([port = l.port] {
        Client c(port);
        std::string head = "GET /?x=";
        c.send(head);
        std::string chunk(64 * 1024, 'a');
        for (int i = 0; i < 160 && c.send(chunk); ++i) {
        }
        return c.readToEnd();
    });
    CHECK(huge.starts_with("HTTP/1.1 413 "));
    CHECK(l.handler->server()->connectionCount() <= limits.maxConnections);

    // A redirect with the wrong state, and one for another path, leave the flow waiting...
    CHECK(status(get(l.port, "/?code=1&state=wrong")) == 400);
    CHECK(status(get(l.port, "/nope?code=1")) == 404);
    CHECK(l.outcome.calls == 0);

    // ...and the real redirect, sent one byte at a time, still completes it.
    std::string request =
        "GET " + l.redirectTarget("trickled") + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(l.port) + "\r\n\r\n";
    auto reply = whileMainRuns([port = l.port, request] {
        Client c(port);
        for (char ch : request) c.send(std::string_view(&ch, 1));
        return c.readResponse();
    });
    CHECK(status(reply) == 200);
    CHECK(body(reply) == kRedirectCompletionPage);
    REQUIRE(l.outcome.calls == 1);
    CHECK(l.outcome.value->authorizationCode() == "trickled");
}

TEST_CASE("a flood of trickling connections cannot shut the browser's redirect out") {
    // The default limits: 32 connections, and a request deadline longer than this test runs.
    Listener l;
    const std::size_t maxConnections = HTTPServerLimits().maxConnections;
    std::vector<std::unique_ptr<Client>> tricklers;
    for (std::size_t i = 0; i < maxConnections + 8; ++i) {
        tricklers.push_back(std::make_unique<Client>(l.port));
        tricklers.back()->send("GET /");
    }
    // Each sends one more byte of its request every 100 ms, never completing it.
    std::atomic<bool> stop{false};
    std::thread trickle([&] {
        for (int round = 0; round < 300 && !stop; ++round) {
            for (auto& c : tricklers) c->send("a");
            std::this_thread::sleep_for(milliseconds(100));
        }
    });
    platform::MainLoop::runFor(milliseconds(300));
    CHECK(l.handler->server()->connectionCount() <= maxConnections);
    CHECK(l.outcome.calls == 0);

    auto reply = get(l.port, l.redirectTarget("flooded"));
    stop = true;
    trickle.join();
    CHECK(status(reply) == 200);
    CHECK(body(reply) == kRedirectCompletionPage);
    REQUIRE(l.outcome.calls == 1);
    REQUIRE(l.outcome.value);
    CHECK(l.outcome.value->authorizationCode() == "flooded");
}

TEST_CASE("a request that trickles in is answered 408 at its deadline, however often its bytes come") {
    HTTPServerLimits limits;
    limits.requestTimeout = milliseconds(300);
    Listener l(std::nullopt, limits);
    auto [reply, closed] = whileMainRuns([port = l.port] {
        Client c(port);
        c.send("GET /?code=");
        // A byte every 50 ms for at most 20 s: each one would keep an idle timer from firing.
        for (int i = 0; i < 400; ++i) {
            if (c.waitReadable(milliseconds(50))) break;
            c.send("x");
        }
        auto got = c.readToEnd(seconds(5));
        return std::pair(got, c.peerClosed());
    });
    CHECK(reply.starts_with("HTTP/1.1 408 "));
    CHECK(reply.find("Connection: close") != std::string::npos);
    CHECK(closed);
    CHECK(l.outcome.calls == 0);
    // The listener still serves the redirect.
    CHECK(status(get(l.port, l.redirectTarget())) == 200);
    CHECK(l.outcome.calls == 1);
}

TEST_CASE("an idle connection is closed after the idle time") {
    HTTPServerLimits limits;
    limits.idleTimeout = milliseconds(200);
    auto server = HTTPServer::make(limits);
    REQUIRE(server->start());
    int port = server->port();
    auto closedOnItsOwn = whileMainRuns([port] {
        Client c(port);
        // readToEnd returns when the server closes; the bound is far beyond the idle time.
        auto start = steady_clock::now();
        c.readToEnd(seconds(20));
        return steady_clock::now() - start < seconds(20);
    });
    CHECK(closedOnItsOwn);
}

namespace {

std::uint8_t patternByte(std::uint64_t at) {
    return static_cast<std::uint8_t>(at % 251);
}

bool isPattern(std::string_view bytes) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (static_cast<std::uint8_t>(bytes[i]) != patternByte(i)) return false;
    }
    return true;
}

// Gives `total` bytes of a pattern (without end when absent) and fails once `failAfter` bytes are out.
class PatternStream final : public platform::InputStream {
public:
    explicit PatternStream(std::optional<std::uint64_t> total, std::optional<std::uint64_t> failAfter = std::nullopt)
        : total_(total), failAfter_(failAfter) {}
    std::atomic<std::uint64_t> produced{0};
    std::atomic<bool> closed{false};

protected:
    std::int64_t readSource(std::uint8_t* buffer, std::size_t maxLength, std::optional<Error>& error) override {
        std::uint64_t at = produced.load();
        if (failAfter_ && at >= *failAfter_) {
            error = Error("test.stream", 5);
            return -1;
        }
        std::uint64_t n = maxLength;
        if (total_) n = std::min(n, *total_ - at);
        if (failAfter_) n = std::min(n, *failAfter_ - at);
        for (std::uint64_t i = 0; i < n; ++i) buffer[i] = patternByte(at + i);
        produced = at + n;
        return static_cast<std::int64_t>(n);
    }
    void closeSource() override { closed = true; }

private:
    std::optional<std::uint64_t> total_, failAfter_;
};

// A plain TCP delegate that keeps every socket it is handed.
class AcceptingDelegate : public TCPServerDelegate {
public:
    struct Accepted {
        PeerAddress address;
        std::shared_ptr<asio::ip::tcp::socket> socket;
    };
    std::vector<Accepted> accepted;
    void TCPServerDidReceiveConnectionFromAddress(TCPServer&, const PeerAddress& address,
                                                  asio::ip::tcp::socket socket) override {
        CHECK(platform::isMainThread());
        accepted.push_back({address, std::make_shared<asio::ip::tcp::socket>(std::move(socket))});
    }
};

// Records the server's and its connections' messages and answers requests as told (or not at all).
class RecordingDelegate : public HTTPServerDelegate {
public:
    std::function<void(const std::shared_ptr<HTTPServerRequest>&)> answer;
    std::function<void(const std::shared_ptr<HTTPServerRequest>&)> onSent;
    std::vector<std::shared_ptr<HTTPConnection>> made;
    std::vector<std::shared_ptr<HTTPServerRequest>> received, sent;
    int tcpMessages = 0;

    void TCPServerDidReceiveConnectionFromAddress(TCPServer&, const PeerAddress&, asio::ip::tcp::socket) override {
        ++tcpMessages;
    }
    void HTTPServerDidMakeNewConnection(HTTPServer&, const std::shared_ptr<HTTPConnection>& connection) override {
        made.push_back(connection);
    }
    void HTTPConnectionDidReceiveRequest(const std::shared_ptr<HTTPConnection>&,
                                         const std::shared_ptr<HTTPServerRequest>& request) override {
        CHECK(platform::isMainThread());
        received.push_back(request);
        if (answer) answer(request);
    }
    void HTTPConnectionDidSendResponse(const std::shared_ptr<HTTPConnection>&,
                                       const std::shared_ptr<HTTPServerRequest>& request) override {
        if (onSent) onSent(request);
        sent.push_back(request);
    }
};

HTTPMessage textResponse(std::string_view text) {
    HTTPMessage response = HTTPMessage::response(200);
    response.setHeaderFieldValue("Content-Length", std::to_string(text.size()));
    response.setBody(Data(text.begin(), text.end()));
    return response;
}

// Runs whatever the server's queue and then the main queue have ready (a seam, not a wait).
void settle(HTTPServer& server) {
    for (int i = 0; i < 3; ++i) {
        server.queue()->sync([] {});
        platform::MainLoop::drain();
    }
}

std::string bodyOfFirst(const std::string& wire, std::size_t length) {
    auto at = wire.find("\r\n\r\n");
    return at == std::string::npos ? std::string() : wire.substr(at + 4, length);
}

}  // namespace

TEST_CASE("a plain TCP server hands each accepted connection and its peer's address to its delegate") {
    auto server = TCPServer::make();
    auto delegate = std::make_shared<AcceptingDelegate>();
    server->setDelegate(delegate);
    // Kept for service discovery, which has no responder to publish to here.
    server->setType("_http._tcp.");
    server->setName("brisko");
    CHECK(server->type() == "_http._tcp.");
    CHECK(server->name() == "brisko");
    CHECK_FALSE(server->domain());
    REQUIRE(server->start());
    const int port = server->port();
    CHECK(port != 0);
    CHECK(server->hasIPv4Socket());

    Client v4(port);
    REQUIRE(platform::MainLoop::runUntil([&] { return delegate->accepted.size() == 1; }));
    const auto& first = delegate->accepted[0];
    REQUIRE(first.address);
    CHECK(first.address->address() == asio::ip::make_address("127.0.0.1"));
    CHECK(first.address->port() == v4.localPort());
    // The socket is the connection: what the delegate writes reaches the peer, and closing it ends it.
    asio::write(*first.socket, asio::buffer(std::string_view("hello")));
    first.socket->close();
    CHECK(v4.readToEnd() == "hello");
    CHECK(v4.peerClosed());

    if (server->hasIPv6Socket()) {
        Client v6(port, true);
        REQUIRE(platform::MainLoop::runUntil([&] { return delegate->accepted.size() == 2; }));
        REQUIRE(delegate->accepted[1].address);
        CHECK(delegate->accepted[1].address->address() == asio::ip::make_address("::1"));
        CHECK(delegate->accepted[1].address->port() == v6.localPort());
    }

    // Stopping closes the listening sockets only: a connection already handed over still works.
    Client kept(port);
    REQUIRE(platform::MainLoop::runUntil([&] {
        return delegate->accepted.size() >= 2 && delegate->accepted.back().address &&
               delegate->accepted.back().address->port() == kept.localPort();
    }));
    CHECK(server->stop());
    CHECK_FALSE(server->hasIPv4Socket());
    CHECK_FALSE(server->hasIPv6Socket());
    CHECK_FALSE(Client(port).connected());
    asio::write(*delegate->accepted.back().socket, asio::buffer(std::string_view("still")));
    CHECK(kept.readBytes(5) == "still");

    // It starts again on the port it had.
    REQUIRE(server->start());
    CHECK(server->port() == port);
    CHECK(Client(port).connected());
}

TEST_CASE("a TCP server whose delegate is gone closes the connections it accepts") {
    auto server = TCPServer::make();
    REQUIRE(server->start());
    int port = server->port();
    auto closed = whileMainRuns([port] {
        Client c(port);
        c.readToEnd();
        return c.peerClosed();
    });
    CHECK(closed);
}

TEST_CASE("an HTTP server makes, lists and announces a connection for each accepted socket") {
    auto server = HTTPServer::make();
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->answer = [](const auto& request) { request->setResponse(textResponse("ok")); };
    server->setDelegate(delegate);
    REQUIRE(server->start());
    Client c(server->port());
    c.send("GET /x HTTP/1.1\r\nHost: a\r\n\r\n");
    REQUIRE(platform::MainLoop::runUntil([&] { return delegate->made.size() == 1 && delegate->received.size() == 1; }));
    CHECK(delegate->tcpMessages == 0);  // an HTTP server does not send the plain TCP message
    auto connection = delegate->made[0];
    CHECK(delegate->received[0]->connection() == connection);
    CHECK(connection->server() == server);
    CHECK(connection->delegate() == delegate);
    REQUIRE(connection->peerAddress());
    CHECK(connection->peerAddress()->port() == c.localPort());
    CHECK(server->connections() == std::vector{connection});
    CHECK(body(c.readResponse()) == "ok");

    // When the peer ends its side with nothing queued, the connection closes and leaves the list.
    c.shutdownWrite();
    REQUIRE(platform::MainLoop::runUntil([&] { return server->connectionCount() == 0; }));
    CHECK_FALSE(connection->isValid());
    CHECK(server->connections().empty());
    c.readToEnd();
    CHECK(c.peerClosed());
}

TEST_CASE("pipelined requests wait for their answers and go out in order; nextRequest names the oldest unanswered") {
    auto server = HTTPServer::make();
    auto delegate = std::make_shared<RecordingDelegate>();
    server->setDelegate(delegate);
    REQUIRE(server->start());
    Client c(server->port());
    c.send("GET /1 HTTP/1.1\r\n\r\nPOST /2 HTTP/1.1\r\nContent-Length: 5\r\n\r\nhelloGET /3 HTTP/1.1\r\n\r\n");
    REQUIRE(platform::MainLoop::runUntil([&] { return delegate->received.size() == 3; }));
    const auto requests = delegate->received;
    CHECK(requests[0]->request().target() == "/1");
    CHECK(requests[1]->request().target() == "/2");
    CHECK(platform::toString(requests[1]->request().body()) == "hello");
    CHECK(requests[2]->request().target() == "/3");
    auto connection = requests[0]->connection();
    CHECK(connection->nextRequest() == requests[0]);

    // Later requests answered first (one answer replaced before it went out) wait for the first.
    requests[2]->setResponse(textResponse("stale"));
    requests[2]->setResponse(textResponse("third"));
    requests[1]->setResponse(textResponse("second"));
    CHECK(connection->nextRequest() == requests[0]);
    settle(*server);
    CHECK(delegate->sent.empty());

    connection->nextRequest()->setResponse(textResponse("first"));
    CHECK_FALSE(connection->nextRequest());
    std::string expected;
    for (std::string_view text : {"first", "second", "third"}) {
        auto bytes = textResponse(text).serializedMessage();
        expected.append(bytes.begin(), bytes.end());
    }
    CHECK(c.readBytes(expected.size()) == expected);
    REQUIRE(platform::MainLoop::runUntil([&] { return delegate->sent.size() == 3; }));
    CHECK(delegate->sent == requests);
    CHECK(connection->isValid());
}

TEST_CASE("a large response body from a stream arrives whole, and didSendResponse comes only after all of it") {
    constexpr std::uint64_t kTotal = 48ull << 20;  // far beyond what the socket buffers can hold
    auto stream = std::make_shared<PatternStream>(kTotal);
    auto server = HTTPServer::make();
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->answer = [&](const auto& request) {
        HTTPMessage response = HTTPMessage::response(200);
        response.setHeaderFieldValue("Content-Length", std::to_string(kTotal));
        request->setResponseBodyStream(stream);
        request->setResponse(response);
    };
    std::uint64_t producedAtSend = 0;
    bool closedAtSend = false;
    delegate->onSent = [&](const auto&) {
        producedAtSend = stream->produced;
        closedAtSend = stream->closed;
    };
    server->setDelegate(delegate);
    REQUIRE(server->start());
    Client c(server->port());
    c.send("GET /big HTTP/1.1\r\n\r\n");
    REQUIRE(platform::MainLoop::runUntil([&] { return delegate->received.size() == 1; }));
    CHECK(delegate->received[0]->responseBodyStream() == stream);
    // The peer has read nothing, so the body cannot all have been handed over.
    settle(*server);
    CHECK(delegate->sent.empty());

    auto wire = c.readResponse(seconds(60));
    auto got = bodyOfFirst(wire, kTotal);
    CHECK(got.size() == kTotal);
    CHECK(isPattern(got));
    REQUIRE(platform::MainLoop::runUntil([&] { return delegate->sent.size() == 1; }));
    CHECK(producedAtSend == kTotal);
    CHECK(closedAtSend);
}

TEST_CASE("response body streams that fail, fall short, overrun or have no length keep the framing sound") {
    struct Case {
        const char* name;
        std::optional<std::uint64_t> contentLength;
        std::string ownBody;
        std::optional<std::uint64_t> streamTotal;
        std::optional<std::uint64_t> failAfter;
        // Expected: the stream's bytes the peer gets (when the response completes), whether the next
        // pipelined response follows, and the responses reported sent.
        bool completes;
        std::uint64_t streamBytes;
        bool nextFollows;
        std::size_t sentCount;
    };
    const Case cases[] = {
        {"a stream that fails midway", 100000, "", 100000, 40000, false, 0, false, 0},
        {"a stream shorter than its Content-Length", 100000, "", 30000, std::nullopt, false, 0, false, 0},
        {"the message's own body first, the stream the rest", 5 + 20000, "head:", 20000, std::nullopt, true, 20000,
         true, 2},
        {"a stream longer than its Content-Length", 1000, "", 50000, std::nullopt, true, 1000, true, 2},
        {"a stream without Content-Length ends with the connection", std::nullopt, "", 30000, std::nullopt, true, 30000,
         false, 1},
    };
    for (const auto& k : cases) {
        std::string name = k.name;
        CAPTURE(name);
        platform::LogCapture log;
        auto stream = std::make_shared<PatternStream>(k.streamTotal, k.failAfter);
        auto server = HTTPServer::make();
        auto delegate = std::make_shared<RecordingDelegate>();
        delegate->answer = [&](const auto& request) {
            if (request->request().target() != "/stream") {
                request->setResponse(textResponse("after"));
                return;
            }
            HTTPMessage response = HTTPMessage::response(200);
            if (k.contentLength) response.setHeaderFieldValue("Content-Length", std::to_string(*k.contentLength));
            response.setBody(Data(k.ownBody.begin(), k.ownBody.end()));
            request->setResponseBodyStream(stream);
            request->setResponse(response);
        };
        server->setDelegate(delegate);
        REQUIRE(server->start());
        auto [wire, peerClosed] = whileMainRuns([port = server->port()] {
            Client c(port);
            c.send("GET /stream HTTP/1.1\r\n\r\nGET /after HTTP/1.1\r\n\r\n");
            c.shutdownWrite();
            auto got = c.readToEnd(seconds(30));
            return std::pair(got, c.peerClosed());
        });
        CHECK(peerClosed);
        REQUIRE(platform::MainLoop::runUntil([&] { return server->connectionCount() == 0; }));
        settle(*server);
        CHECK(stream->closed);
        CHECK(delegate->sent.size() == k.sentCount);

        auto headEnd = wire.find("\r\n\r\n");
        REQUIRE(headEnd != std::string::npos);
        std::string head = wire.substr(0, headEnd);
        std::string rest = wire.substr(headEnd + 4);
        if (!k.completes) {
            // The peer sees the body end early with the connection, never a response that looks whole.
            CHECK(rest.size() < *k.contentLength);
            CHECK(isPattern(rest));
            CHECK(log.contains("HTTPServer stream error: "));
            continue;
        }
        CHECK_FALSE(log.contains("HTTPServer stream error: "));
        REQUIRE(rest.size() >= k.ownBody.size() + k.streamBytes);
        CHECK(rest.substr(0, k.ownBody.size()) == k.ownBody);
        CHECK(isPattern(rest.substr(k.ownBody.size(), k.streamBytes)));
        std::string after = rest.substr(k.ownBody.size() + k.streamBytes);
        if (k.nextFollows) {
            CHECK(after.starts_with("HTTP/1.1 200 "));
            CHECK(body(after) == "after");
        } else {
            CHECK(head.find("Connection: close") != std::string::npos);
            CHECK(after.empty());
        }
    }
}

TEST_CASE("a peer that stops reading a streamed body is dropped after the idle time, the body read only as sent") {
    HTTPServerLimits limits;
    limits.idleTimeout = milliseconds(200);
    auto server = HTTPServer::make(limits);
    auto endless = std::make_shared<PatternStream>(std::nullopt);
    auto delegate = std::make_shared<RecordingDelegate>();
    delegate->answer = [&](const auto& request) {
        request->setResponseBodyStream(endless);
        request->setResponse(HTTPMessage::response(200));
    };
    server->setDelegate(delegate);
    REQUIRE(server->start());
    Client c(server->port());
    c.send("GET /endless HTTP/1.1\r\n\r\n");
    REQUIRE(platform::MainLoop::runUntil([&] { return delegate->received.size() == 1; }));
    // The bound is far beyond the idle time; the connection goes once writing makes no progress.
    REQUIRE(platform::MainLoop::runUntil([&] { return server->connectionCount() == 0; }, seconds(20)));
    CHECK(endless->closed);
    CHECK(endless->produced < (64ull << 20));
    CHECK(delegate->sent.empty());
}

namespace {
// A connection class with default handling of its own.
class TeapotConnection : public HTTPConnection {
public:
    using HTTPConnection::HTTPConnection;

protected:
    void performDefaultRequestHandling(const std::shared_ptr<HTTPServerRequest>& request) override {
        HTTPMessage response = HTTPMessage::response(418);
        response.setHeaderFieldValue("Content-Length", "0");
        request->setResponse(response);
    }
};
}  // namespace

TEST_CASE("requests a delegate does not answer go to the connection class's default handling") {
    auto server = HTTPServer::make();
    server->setConnectionClass<TeapotConnection>();
    // A plain TCP delegate answers no requests, and an HTTP server does not hand it sockets.
    auto tcpOnly = std::make_shared<AcceptingDelegate>();
    server->setDelegate(tcpOnly);
    REQUIRE(server->start());
    int port = server->port();
    auto reply = whileMainRuns([port] {
        Client c(port);
        c.send("GET / HTTP/1.1\r\n\r\n");
        return c.readResponse();
    });
    CHECK(reply.starts_with("HTTP/1.1 418 "));
    CHECK(tcpOnly->accepted.empty());
    auto connections = server->connections();
    REQUIRE(connections.size() <= 1);
    for (const auto& connection : connections) CHECK(dynamic_cast<TeapotConnection*>(connection.get()));
}

TEST_CASE("with 127.0.0.1 taken on the port, the server listens on ::1 alone and the redirect URI names it") {
    // Another program holds 127.0.0.1 on a port the system chose.
    sockaddr_in addr{};
    const int blocker = brisko::testing::listenOnLoopback(addr, 1);
    REQUIRE(blocker >= 0);
    const std::uint16_t port = ntohs(addr.sin_port);

    auto handler = std::make_shared<RedirectHTTPHandler>();
    OptionalError error;
    auto uri = handler->startHTTPListener(&error, port);
    if (!uri) {
        // A system without IPv6 loopback (or with ::1 taken too) has nothing left to listen on.
        REQUIRE(error);
        CHECK(error->domain() == kTCPServerErrorDomain);
        CHECK(error->code() == TCPServerErrorCode::couldNotBindToIPv4Address);
    } else {
        CHECK_FALSE(handler->server()->hasIPv4Socket());
        CHECK(handler->server()->hasIPv6Socket());
        CHECK(handler->server()->port() == port);
        CHECK(uri->absoluteString() == "http://[::1]:" + std::to_string(port) + "/");

        // A browser's redirect to that URI completes the flow.
        auto config = std::make_shared<const ServiceConfiguration>(*URL::parse("https://idp.test/auth"),
                                                                   *URL::parse("https://idp.test/token"));
        auto request = AuthorizationRequest::make(config, "client", std::nullopt, {"openid"}, uri, "code", {});
        Outcome<AuthorizationResponsePtr> outcome;
        handler->setCurrentAuthorizationFlow(AuthorizationService::presentAuthorizationRequest(
            request, std::make_shared<ScriptedAgent>(), outcome.callback()));
        auto reply = whileMainRuns([port, state = *request->state()] {
            Client c(port, true);
            c.send("GET /?code=v6&state=" + state + " HTTP/1.1\r\nHost: [::1]:" + std::to_string(port) + "\r\n\r\n");
            return c.readResponse();
        });
        CHECK(status(reply) == 200);
        REQUIRE(outcome.calls == 1);
        REQUIRE(outcome.value);
        CHECK(outcome.value->authorizationCode() == "v6");
    }
    ::close(blocker);
}
