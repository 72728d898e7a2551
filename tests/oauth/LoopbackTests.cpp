// The loopback listener and redirect handler: the redirect URI, the pages, default replies, pipelining,
// and abuse from local programs (idle connections, huge and trickled requests, wrong redirects).
#include <doctest/doctest.h>

#include <arpa/inet.h>
#include <future>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "oauth/AuthorizationService.hpp"
#include "oauth/ErrorUtilities.hpp"
#include "oauth/RedirectHTTPHandler.hpp"
#include "tests/oauth/OAuthTestSupport.hpp"

using namespace brisko;
using namespace brisko::oauth;
using namespace brisko::oauth::test;
using namespace std::chrono;

namespace {

// A plain TCP client to 127.0.0.1.
class Client {
  public:
    explicit Client(int port) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<std::uint16_t>(port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    }
    ~Client() { ::close(fd_); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    bool send(std::string_view bytes) {
        while (!bytes.empty()) {
            auto n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) return false;
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
        return true;
    }
    void shutdownWrite() { ::shutdown(fd_, SHUT_WR); }
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
                std::size_t length = cl == std::string::npos ? 0 : std::stoul(got.substr(cl + 16));
                return got.size() >= head + 4 + length;
            },
            timeout);
        return out;
    }

  private:
    template <class Done>
    std::string readUntil(Done done, milliseconds timeout) {
        std::string out;
        auto deadline = steady_clock::now() + timeout;
        while (!done(out) && steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0) continue;
            char buf[4096];
            auto n = ::recv(fd_, buf, sizeof buf, 0);
            if (n <= 0) break;
            out.append(buf, static_cast<std::size_t>(n));
        }
        return out;
    }

    int fd_ = -1;
    bool connected_ = false;
};

// Runs the client work on a thread while the main queue (where the handler answers) keeps running.
template <class F>
auto whileMainRuns(F&& work) {
    auto future = std::async(std::launch::async, std::forward<F>(work));
    REQUIRE(platform::MainLoop::runUntil([&] { return future.wait_for(0s) == std::future_status::ready; }, seconds(30)));
    return future.get();
}

std::string get(int port, std::string_view target) {
    return whileMainRuns([port, t = std::string(target)] {
        Client c(port);
        c.send("GET " + t + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n");
        return c.readResponse();
    });
}

int status(const std::string& response) { return response.size() > 12 ? std::stoi(response.substr(9, 3)) : 0; }
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

TEST_CASE("a wrong path is answered 404 and the flow waits; the real redirect completes it and stops the listener") {
    Listener l;
    auto wrong = get(l.port, "/other?code=x&state=" + *l.request->state());
    CHECK(status(wrong) == 404);
    CHECK(body(wrong) == kRedirectInvalidPage);
    CHECK(l.outcome.calls == 0);
    CHECK(l.handler->currentAuthorizationFlow());

    auto right = get(l.port, l.redirectTarget());
    CHECK(status(right) == 200);
    CHECK(body(right) == kRedirectCompletionPage);
    CHECK(right.find("Content-Length: " + std::to_string(kRedirectCompletionPage.size()) + "\r\n") != std::string::npos);
    REQUIRE(l.outcome.calls == 1);
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

TEST_CASE("a redirect that fails the flow tells the browser it failed, not that it completed") {
    for (std::string target : {"/?code=abc&state=forged", "/?error=access_denied&state="}) {
        CAPTURE(target);
        Listener l;
        if (target.ends_with("state=")) target += *l.request->state();
        auto response = get(l.port, target);
        CHECK(body(response) == kRedirectFailurePage);
        REQUIRE(l.outcome.calls == 1);
        CHECK(l.outcome.error);
        CHECK_FALSE(l.handler->server());
    }
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
    for (std::string raw : {"NOT HTTP\r\n\r\n", "GET / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
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
    CHECK(status(get(l.port, "/nope?code=1")) == 404);
    CHECK(l.outcome.calls == 0);

    // ...and the real redirect, sent one byte at a time, still completes it.
    std::string request = "GET " + l.redirectTarget("trickled") + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(l.port) +
                          "\r\n\r\n";
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
