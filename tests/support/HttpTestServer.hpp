// Local HTTP and HTTPS servers for tests: endpoint tables on 127.0.0.1 that record what they receive.
//
// Usage:
//   HttpTestServer server;                              // HTTP on 127.0.0.1, a free port
//   server.on("POST", "/api/x", HttpTestServer::json(200, R"({"ok":true})"));
//   server.require("/api/x", "Authorization");         // 400 "missing header Authorization" without it
//   ... send requests to server.url("/api/x") ...
//   CHECK(server.requestsTo("/api/x").at(0).body == "...");
//
//   HttpTestServer tls(HttpTestServer::Mode::https);    // HTTPS with a certificate for 127.0.0.1 and
//   // "localhost", issued by a test CA made at run time: trust HttpTestServer::caCertificatePath()
//   // (e.g. URLSessionConfiguration::tlsTrustedCAFile); without it the server is untrusted.
//
// Handlers run on the server's worker threads (32). A handler that waits must use server.sleep() (or
// the delayed/chunked helpers), which returns early when the server stops, so that stopping never
// waits for it. stop() (also run by the destructor) closes kept-alive connections at once instead of
// waiting for their keep-alive timeout.
//
// The server never compresses on its own (it ignores the client's "Accept-Encoding"); use gzip() for a
// compressed body.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <regex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <httplib.h>

#include "platform/net/HTTPHeaders.hpp"
#include "platform/net/URL.hpp"

namespace brisko::testing {

// One request as the server received it.
struct RecordedRequest {
    std::string method;
    std::string path;    // without the query, as sent
    std::string target;  // path and query, as sent
    // Header fields, grouped by name (the order between different names is not kept by the parser;
    // RawHttpServer below keeps the wire order).
    platform::HTTPHeaders headers;
    std::string body;
    std::multimap<std::string, std::string> params;  // query (and form) parameters, decoded
    std::string remoteAddress;
    int remotePort = 0;  // the client's port: equal ports mean one reused connection

    std::optional<std::string> header(std::string_view name) const { return headers.get(name); }
    std::optional<std::string> param(const std::string& name) const;
};

class HttpTestServer {
  public:
    enum class Mode { http, https };
    using Handler = std::function<void(const httplib::Request&, httplib::Response&)>;

    explicit HttpTestServer(Mode mode = Mode::http);
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    Mode mode() const { return mode_; }
    int port() const { return port_; }
    // "http://127.0.0.1:PORT" (or https).
    std::string baseURL() const;
    // The base URL followed by a path (and query), e.g. url("/a?b=1").
    platform::URL url(std::string_view pathAndQuery = "/") const;

    // The test CA (PEM) that issued every HTTPS test server's certificate, and that certificate and key.
    static const std::string& caCertificatePath();
    static const std::string& serverCertificatePath();
    static const std::string& serverKeyPath();

    // Endpoints. `path` is an exact path, or a regular expression when it starts with "^". The method
    // is matched exactly ("GET" also answers HEAD); "*" matches any method. The newest matching
    // registration answers; a request nothing matches gets 404 "not found".
    HttpTestServer& on(std::string_view method, std::string_view path, Handler handler);
    // Headers every request to `path` must carry (with that value, when given); a request without
    // them is recorded and answered 400 with the body "missing header <name>".
    HttpTestServer& require(std::string_view path, std::string name, std::optional<std::string> value = {});

    // Requests received, in arrival order.
    std::vector<RecordedRequest> requests() const;
    std::vector<RecordedRequest> requestsTo(std::string_view path) const;
    std::size_t requestCount() const;
    // Waits until at least `count` requests arrived; false on timeout.
    bool waitForRequests(std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    void clearRequests();

    // Waits for `d`, or less when the server stops; true when the whole time passed.
    bool sleep(std::chrono::milliseconds d) const;
    bool stopping() const { return stopping_.load(); }

    // Stops accepting and closes every connection; idempotent.
    void stop();

    // Handler factories.
    // A fixed answer (extra header fields optional).
    static Handler text(int status, std::string body, std::string contentType = "text/plain",
                        platform::HTTPHeaders headers = {});
    static Handler json(int status, std::string body, platform::HTTPHeaders headers = {});
    // A redirect to `location` (absolute or relative).
    static Handler redirect(int status, std::string location);
    // The body gzip-compressed with "Content-Encoding: gzip".
    static Handler gzip(int status, const std::string& body, std::string contentType = "text/plain");
    // 200 with the request's body and Content-Type.
    static Handler echo();
    // HTTP authentication: `then` answers only a request with the right credentials; any other gets
    // 401 "unauthorized" with a challenge for `realm` ("WWW-Authenticate: Basic realm=..." or a Digest
    // one with MD5 and qop "auth", whose response hash is checked against the password).
    static Handler basicAuth(std::string realm, std::string user, std::string password, Handler then);
    static Handler digestAuth(std::string realm, std::string user, std::string password, Handler then);
    // Runs `then` after a pause.
    Handler delayed(std::chrono::milliseconds delay, Handler then);
    // 200 with a chunked body sent piece by piece, pausing `interval` before each piece.
    Handler chunked(std::vector<std::string> pieces, std::chrono::milliseconds interval,
                    std::string contentType = "application/octet-stream");
    // Declares "Content-Length: declaredLength", sends `partial` (shorter), then closes the connection.
    Handler dropAfter(std::string partial, std::size_t declaredLength);
    // Serves `body` with ETag/Last-Modified and byte ranges ("Range: bytes=N-" gives 206 when
    // "If-Range" is absent or matches the ETag), pausing `interval` between pieces of `pieceSize`.
    Handler resumable(std::string body, std::string etag, std::size_t pieceSize = 0,
                      std::chrono::milliseconds interval = std::chrono::milliseconds(0));

  private:
    struct Endpoint {
        std::string method;
        std::string path;
        std::optional<std::regex> pattern;
        Handler handler;
    };
    struct Requirement {
        std::string path;
        std::optional<std::regex> pattern;
        std::string name;
        std::optional<std::string> value;
    };
    static bool matches(const std::string& path, const std::optional<std::regex>& pattern,
                        const std::string& target);
    void dispatch(const httplib::Request& req, httplib::Response& res);
    void record(const httplib::Request& req);
    void closeConnections();

    Mode mode_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<Endpoint> endpoints_;
    std::vector<Requirement> requirements_;
    std::vector<RecordedRequest> requests_;
    std::atomic<bool> stopping_{false};
    bool stopped_ = false;
};

// A bare HTTP/1.1 server that records each request head exactly as it came over the wire (header
// order and spelling kept) and answers every request with one fixed response, closing the connection
// after it. For tests about the order of header fields.
class RawHttpServer {
  public:
    explicit RawHttpServer(
        std::string response = "HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    ~RawHttpServer();
    RawHttpServer(const RawHttpServer&) = delete;
    RawHttpServer& operator=(const RawHttpServer&) = delete;

    int port() const { return port_; }
    platform::URL url(std::string_view pathAndQuery = "/") const;
    // The request heads received so far (request line and header lines, without the final blank line).
    std::vector<std::string> heads() const;
    bool waitForRequests(std::size_t count,
                         std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    // The header names of a head, in order.
    static std::vector<std::string> headerNames(const std::string& head);

  private:
    void serve();
    std::string response_;
    int listenFd_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    mutable std::mutex mutex_;
    mutable std::condition_variable cv_;
    std::vector<std::string> heads_;
};

}  // namespace brisko::testing
