// Local HTTP(S) test servers over cpp-httplib, the run-time test CA, and the raw header recorder.
#include "tests/support/HttpTestServer.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>

#include "tests/support/PortSockets.hpp"

namespace brisko::testing {

namespace {

// The test CA and a server certificate for 127.0.0.1 and localhost, made once per process.
struct TestCertificates {
    std::filesystem::path dir;
    std::string caPath, certPath, keyPath;

    TestCertificates() {
        std::error_code ec;
        auto base = std::filesystem::temp_directory_path(ec);
        if (ec) base = "/tmp";
        std::string pattern = (base / "brisko-test-tls-XXXXXX").string();
        if (!mkdtemp(pattern.data())) throw std::runtime_error("cannot create the test TLS folder");
        dir = pattern;
        caPath = (dir / "ca.pem").string();
        certPath = (dir / "server.pem").string();
        keyPath = (dir / "server.key").string();

        EVP_PKEY* caKey = EVP_EC_gen("P-256");
        EVP_PKEY* serverKey = EVP_EC_gen("P-256");
        X509* ca = makeCertificate(caKey, nullptr, caKey, "Brisko Test CA", 1, true);
        X509* server = makeCertificate(serverKey, ca, caKey, "127.0.0.1", 2, false);
        writePEM(caPath, [&](FILE* f) { return PEM_write_X509(f, ca); });
        writePEM(certPath, [&](FILE* f) { return PEM_write_X509(f, server); });
        writePEM(keyPath, [&](FILE* f) {
            return PEM_write_PrivateKey(f, serverKey, nullptr, nullptr, 0, nullptr, nullptr);
        });
        X509_free(ca);
        X509_free(server);
        EVP_PKEY_free(caKey);
        EVP_PKEY_free(serverKey);
    }
    ~TestCertificates() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    static void addExtension(X509* cert, X509* issuer, int nid, const char* value) {
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, issuer ? issuer : cert, cert, nullptr, nullptr, 0);
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
        if (!ext) throw std::runtime_error("cannot make a certificate extension");
        X509_add_ext(cert, ext, -1);
        X509_EXTENSION_free(ext);
    }

    static X509* makeCertificate(EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, const char* commonName,
                                 long serial, bool isCA) {
        X509* cert = X509_new();
        X509_set_version(cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert), serial);
        X509_gmtime_adj(X509_getm_notBefore(cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert), 60L * 60 * 24 * 365);
        X509_set_pubkey(cert, key);
        X509_NAME* name = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Brisko Tests"), -1, -1, 0);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
        X509_set_issuer_name(cert, issuer ? X509_get_subject_name(issuer) : name);
        if (isCA) {
            addExtension(cert, issuer, NID_basic_constraints, "critical,CA:TRUE");
            addExtension(cert, issuer, NID_key_usage, "critical,keyCertSign,cRLSign");
            addExtension(cert, issuer, NID_subject_key_identifier, "hash");
        } else {
            addExtension(cert, issuer, NID_basic_constraints, "critical,CA:FALSE");
            addExtension(cert, issuer, NID_key_usage, "critical,digitalSignature,keyEncipherment");
            addExtension(cert, issuer, NID_ext_key_usage, "serverAuth");
            addExtension(cert, issuer, NID_subject_alt_name, "IP:127.0.0.1,DNS:localhost");
            addExtension(cert, issuer, NID_authority_key_identifier, "keyid");
        }
        if (!X509_sign(cert, issuerKey, EVP_sha256()))
            throw std::runtime_error("cannot sign a test certificate");
        return cert;
    }

    template <class Write>
    static void writePEM(const std::string& path, Write write) {
        FILE* f = std::fopen(path.c_str(), "w");
        if (!f || !write(f)) throw std::runtime_error("cannot write " + path);
        std::fclose(f);
    }
};

const TestCertificates& certificates() {
    static const TestCertificates certs;
    return certs;
}

// The header fields of the request a worker thread is handling, before the server changed them.
httplib::Headers& originalHeaders() {
    thread_local httplib::Headers headers;
    return headers;
}

std::optional<std::regex> patternFor(std::string_view path) {
    if (!path.empty() && path.front() == '^') return std::regex(std::string(path));
    return std::nullopt;
}

std::string gzipCompress(const std::string& input) {
    z_stream zs{};
    if (deflateInit2(&zs, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return {};
    std::string out(deflateBound(&zs, input.size()) + 32, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input.data()));
    zs.avail_in = static_cast<uInt>(input.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    deflate(&zs, Z_FINISH);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

}  // namespace

std::optional<std::string> RecordedRequest::param(const std::string& name) const {
    auto it = params.find(name);
    if (it == params.end()) return std::nullopt;
    return it->second;
}

HttpTestServer::HttpTestServer(Mode mode) : mode_(mode) {
    if (mode == Mode::https) {
        const auto& certs = certificates();
        server_ = std::make_unique<httplib::SSLServer>(certs.certPath.c_str(), certs.keyPath.c_str());
    } else {
        server_ = std::make_unique<httplib::Server>();
    }
    server_->new_task_queue = [] { return new httplib::ThreadPool(32); };
    server_->set_keep_alive_max_count(1000);
    server_->set_tcp_nodelay(true);
    server_->set_keep_alive_timeout(5);
    server_->set_read_timeout(10);
    server_->set_pre_routing_handler([](const httplib::Request& req, httplib::Response&) {
        // The body is read after this point: the request is recorded when dispatched, with the
        // header fields as they came.
        originalHeaders() = req.headers;
        // The server never compresses or slices bodies by itself: handlers decide.
        auto& mutableRequest = const_cast<httplib::Request&>(req);
        mutableRequest.headers.erase("Accept-Encoding");
        mutableRequest.ranges.clear();
        return httplib::Server::HandlerResponse::Unhandled;
    });
    auto any = [this](const httplib::Request& req, httplib::Response& res) { dispatch(req, res); };
    const char* all = "/.*";
    server_->Get(all, any);
    server_->Post(all, any);
    server_->Put(all, any);
    server_->Patch(all, any);
    server_->Delete(all, any);
    server_->Options(all, any);
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("the test server cannot bind 127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

HttpTestServer::~HttpTestServer() {
    stop();
}

void HttpTestServer::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopped_) return;
        stopped_ = true;
        stopping_ = true;
    }
    cv_.notify_all();
    server_->stop();
    closeConnections();
    if (thread_.joinable()) thread_.join();
}

// Workers wait on kept-alive connections until their timeout; shutting those sockets down wakes them.
void HttpTestServer::closeConnections() {
    // Only accepted connections of this server: local port ours, and a peer.
    forEachSocketOnPort(port_, [](int fd) {
        sockaddr_in peer{};
        socklen_t length = sizeof(peer);
        if (getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &length) == 0) ::shutdown(fd, SHUT_RDWR);
    });
}

std::string HttpTestServer::baseURL() const {
    return std::string(mode_ == Mode::https ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

platform::URL HttpTestServer::url(std::string_view pathAndQuery) const {
    auto u = platform::URL::parse(baseURL() + std::string(pathAndQuery));
    if (!u) throw std::invalid_argument("not a valid test URL path: " + std::string(pathAndQuery));
    return *u;
}

const std::string& HttpTestServer::caCertificatePath() {
    return certificates().caPath;
}
const std::string& HttpTestServer::serverCertificatePath() {
    return certificates().certPath;
}
const std::string& HttpTestServer::serverKeyPath() {
    return certificates().keyPath;
}

HttpTestServer& HttpTestServer::on(std::string_view method, std::string_view path, Handler handler) {
    std::lock_guard lock(mutex_);
    endpoints_.push_back(
        Endpoint{std::string(method), std::string(path), patternFor(path), std::move(handler)});
    return *this;
}

HttpTestServer& HttpTestServer::require(std::string_view path, std::string name,
                                        std::optional<std::string> value) {
    std::lock_guard lock(mutex_);
    requirements_.push_back(
        Requirement{std::string(path), patternFor(path), std::move(name), std::move(value)});
    return *this;
}

bool HttpTestServer::matches(const std::string& path, const std::optional<std::regex>& pattern,
                             const std::string& target) {
    return pattern ? std::regex_match(target, *pattern) : path == target;
}

void HttpTestServer::record(const httplib::Request& req) {
    RecordedRequest r;
    r.method = req.method;
    r.target = req.target;
    auto q = req.target.find('?');
    r.path = req.target.substr(0, q);
    for (auto& [name, value] : originalHeaders()) {
        if (name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" || name == "LOCAL_PORT")
            continue;
        r.headers.add(name, value);
    }
    r.body = req.body;
    for (auto& [k, v] : req.params) r.params.emplace(k, v);
    r.remoteAddress = req.remote_addr;
    r.remotePort = req.remote_port;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(std::move(r));
    }
    cv_.notify_all();
}

void HttpTestServer::dispatch(const httplib::Request& req, httplib::Response& res) {
    record(req);
    const std::string path = req.target.substr(0, req.target.find('?'));
    const std::string method = req.method == "HEAD" ? std::string("GET") : req.method;
    Handler handler;
    {
        std::lock_guard lock(mutex_);
        for (auto& r : requirements_) {
            if (!matches(r.path, r.pattern, path)) continue;
            const bool present = req.has_header(r.name);
            if (!present || (r.value && req.get_header_value(r.name) != *r.value)) {
                res.status = 400;
                res.set_content("missing header " + r.name, "text/plain");
                return;
            }
        }
        for (auto it = endpoints_.rbegin(); it != endpoints_.rend(); ++it) {
            if ((it->method == method || it->method == "*") && matches(it->path, it->pattern, path)) {
                handler = it->handler;
                break;
            }
        }
    }
    if (!handler) {
        res.status = 404;
        res.set_content("not found", "text/plain");
        return;
    }
    handler(req, res);
}

std::vector<RecordedRequest> HttpTestServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<RecordedRequest> HttpTestServer::requestsTo(std::string_view path) const {
    std::lock_guard lock(mutex_);
    std::vector<RecordedRequest> out;
    for (auto& r : requests_) {
        if (r.path == path) out.push_back(r);
    }
    return out;
}

std::size_t HttpTestServer::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool HttpTestServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void HttpTestServer::clearRequests() {
    std::lock_guard lock(mutex_);
    requests_.clear();
}

bool HttpTestServer::sleep(std::chrono::milliseconds d) const {
    std::unique_lock lock(mutex_);
    return !cv_.wait_for(lock, d, [&] { return stopping_.load(); });
}

HttpTestServer::Handler HttpTestServer::text(int status, std::string body, std::string contentType,
                                             platform::HTTPHeaders headers) {
    return [status, body = std::move(body), contentType = std::move(contentType),
            headers = std::move(headers)](const httplib::Request&, httplib::Response& res) {
        res.status = status;
        for (auto& [n, v] : headers) res.set_header(n.c_str(), v);
        res.set_content(body, contentType.c_str());
    };
}

HttpTestServer::Handler HttpTestServer::json(int status, std::string body, platform::HTTPHeaders headers) {
    return text(status, std::move(body), "application/json", std::move(headers));
}

HttpTestServer::Handler HttpTestServer::redirect(int status, std::string location) {
    return [status, location = std::move(location)](const httplib::Request&, httplib::Response& res) {
        res.status = status;
        res.set_header("Location", location);
        res.set_content("redirecting", "text/plain");
    };
}

HttpTestServer::Handler HttpTestServer::gzip(int status, const std::string& body, std::string contentType) {
    return [status, compressed = gzipCompress(body), contentType = std::move(contentType)](
               const httplib::Request&, httplib::Response& res) {
        res.status = status;
        res.set_header("Content-Encoding", "gzip");
        res.set_content(compressed, contentType.c_str());
    };
}

namespace {

std::string md5Hex(const std::string& text) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(text.data(), text.size(), digest, &length, EVP_md5(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; ++i) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

// The name="value" (or name=value) pairs of a Digest "Authorization" value.
std::map<std::string, std::string> digestParams(std::string_view v) {
    std::map<std::string, std::string> out;
    std::size_t i = 0;
    while (i < v.size()) {
        while (i < v.size() && (v[i] == ' ' || v[i] == ',')) ++i;
        std::size_t eq = v.find('=', i);
        if (eq == std::string_view::npos) break;
        std::string name(v.substr(i, eq - i));
        i = eq + 1;
        std::string value;
        if (i < v.size() && v[i] == '"') {
            std::size_t end = v.find('"', i + 1);
            value = std::string(v.substr(i + 1, end - i - 1));
            i = end == std::string_view::npos ? v.size() : end + 1;
        } else {
            std::size_t end = v.find(',', i);
            value = std::string(v.substr(i, end == std::string_view::npos ? std::string_view::npos : end - i));
            i = end == std::string_view::npos ? v.size() : end;
        }
        out[name] = value;
    }
    return out;
}

HttpTestServer::Handler challengeUnless(std::function<bool(const httplib::Request&)> authorized,
                                        std::string challenge, HttpTestServer::Handler then) {
    return [authorized = std::move(authorized), challenge = std::move(challenge),
            then = std::move(then)](const httplib::Request& req, httplib::Response& res) {
        if (authorized(req)) {
            then(req, res);
            return;
        }
        res.status = 401;
        res.set_header("WWW-Authenticate", challenge);
        res.set_content("unauthorized", "text/plain");
    };
}

}  // namespace

HttpTestServer::Handler HttpTestServer::basicAuth(std::string realm, std::string user, std::string password,
                                                  Handler then) {
    const std::string plain = user + ":" + password;
    std::string encoded(4 * ((plain.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                  reinterpret_cast<const unsigned char*>(plain.data()), static_cast<int>(plain.size()));
    encoded.resize(static_cast<std::size_t>(n));
    return challengeUnless(
        [expected = "Basic " + encoded](const httplib::Request& req) {
            return req.get_header_value("Authorization") == expected;
        },
        "Basic realm=\"" + realm + "\"", std::move(then));
}

HttpTestServer::Handler HttpTestServer::digestAuth(std::string realm, std::string user, std::string password,
                                                   Handler then) {
    static constexpr std::string_view kNonce = "5d1e3a0b7c";
    return challengeUnless(
        [realm, user, password](const httplib::Request& req) {
            auto header = req.get_header_value("Authorization");
            if (header.rfind("Digest ", 0) != 0) return false;
            auto p = digestParams(std::string_view(header).substr(7));
            if (p["username"] != user || p["realm"] != realm || p["nonce"] != kNonce) return false;
            const std::string ha1 = md5Hex(user + ":" + realm + ":" + password);
            const std::string ha2 = md5Hex(req.method + ":" + p["uri"]);
            const std::string expected =
                md5Hex(ha1 + ":" + p["nonce"] + ":" + p["nc"] + ":" + p["cnonce"] + ":" + p["qop"] + ":" + ha2);
            return p["qop"] == "auth" && p["response"] == expected;
        },
        "Digest realm=\"" + realm + "\", qop=\"auth\", nonce=\"" + std::string(kNonce) + "\", algorithm=MD5",
        std::move(then));
}

HttpTestServer::Handler HttpTestServer::echo() {
    return [](const httplib::Request& req, httplib::Response& res) {
        res.status = 200;
        auto type = req.get_header_value("Content-Type");
        res.set_content(req.body, type.empty() ? "application/octet-stream" : type.c_str());
    };
}

HttpTestServer::Handler HttpTestServer::delayed(std::chrono::milliseconds delay, Handler then) {
    return [this, delay, then = std::move(then)](const httplib::Request& req, httplib::Response& res) {
        if (!sleep(delay)) {
            res.status = 503;
            return;
        }
        then(req, res);
    };
}

HttpTestServer::Handler HttpTestServer::chunked(std::vector<std::string> pieces,
                                                std::chrono::milliseconds interval, std::string contentType) {
    auto shared = std::make_shared<const std::vector<std::string>>(std::move(pieces));
    return [this, shared, interval, contentType = std::move(contentType)](const httplib::Request&,
                                                                          httplib::Response& res) {
        res.status = 200;
        auto index = std::make_shared<std::size_t>(0);
        res.set_chunked_content_provider(
            contentType.c_str(), [this, shared, interval, index](std::size_t, httplib::DataSink& sink) {
                if (*index >= shared->size()) {
                    sink.done();
                    return true;
                }
                if (!sleep(interval)) return false;
                const auto& piece = (*shared)[(*index)++];
                return sink.write(piece.data(), piece.size());
            });
    };
}

HttpTestServer::Handler HttpTestServer::dropAfter(std::string partial, std::size_t declaredLength) {
    return [partial = std::move(partial), declaredLength](const httplib::Request&, httplib::Response& res) {
        res.status = 200;
        res.set_content_provider(declaredLength, "application/octet-stream",
                                 [partial](std::size_t, std::size_t, httplib::DataSink& sink) {
                                     sink.write(partial.data(), partial.size());
                                     return false;  // ends the response early: the connection is closed
                                 });
    };
}

HttpTestServer::Handler HttpTestServer::resumable(std::string body, std::string etag, std::size_t pieceSize,
                                                  std::chrono::milliseconds interval) {
    auto shared = std::make_shared<const std::string>(std::move(body));
    return [this, shared, etag = std::move(etag), pieceSize, interval](const httplib::Request& req,
                                                                       httplib::Response& res) {
        std::size_t start = 0;
        const auto range = req.get_header_value("Range");
        const bool ifRangeOK = !req.has_header("If-Range") || req.get_header_value("If-Range") == etag;
        if (range.rfind("bytes=", 0) == 0 && ifRangeOK) {
            start = std::strtoull(range.c_str() + 6, nullptr, 10);
            if (start > shared->size()) start = shared->size();
        }
        res.set_header("ETag", etag);
        res.set_header("Accept-Ranges", "bytes");
        if (start > 0) {
            res.status = 206;
            res.set_header("Content-Range", "bytes " + std::to_string(start) + "-" +
                                                std::to_string(shared->size() - 1) + "/" +
                                                std::to_string(shared->size()));
        } else {
            res.status = 200;
        }
        const std::size_t length = shared->size() - start;
        const std::size_t piece = pieceSize ? pieceSize : std::max<std::size_t>(length, 1);
        res.set_content_provider(length, "application/octet-stream",
                                 [this, shared, start, piece, interval](
                                     std::size_t offset, std::size_t remaining, httplib::DataSink& sink) {
                                     if (offset > 0 && interval.count() > 0 && !sleep(interval)) return false;
                                     const std::size_t n = std::min(piece, remaining);
                                     return sink.write(shared->data() + start + offset, n);
                                 });
    };
}

// RawHttpServer

RawHttpServer::RawHttpServer(std::string response) : response_(std::move(response)) {
    sockaddr_in addr{};
    listenFd_ = testing::listenOnLoopback(addr, 16);
    if (listenFd_ < 0) throw std::runtime_error("the raw test server cannot bind 127.0.0.1");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { serve(); });
}

RawHttpServer::~RawHttpServer() {
    stopping_ = true;
    ::shutdown(listenFd_, SHUT_RDWR);
    if (thread_.joinable()) thread_.join();
    ::close(listenFd_);
}

platform::URL RawHttpServer::url(std::string_view pathAndQuery) const {
    return *platform::URL::parse("http://127.0.0.1:" + std::to_string(port_) + std::string(pathAndQuery));
}

void RawHttpServer::serve() {
    while (!stopping_) {
        pollfd p{listenFd_, POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::string data;
        char buf[4096];
        std::size_t headEnd = std::string::npos;
        while (headEnd == std::string::npos && !stopping_) {
            pollfd c{fd, POLLIN, 0};
            if (::poll(&c, 1, 2000) <= 0) break;
            auto n = ::recv(fd, buf, sizeof(buf), 0);
            if (n <= 0) break;
            data.append(buf, static_cast<std::size_t>(n));
            headEnd = data.find("\r\n\r\n");
        }
        if (headEnd != std::string::npos) {
            // Read a declared body so the client is not cut off mid-send.
            std::string head = data.substr(0, headEnd);
            std::size_t bodyLength = 0;
            for (auto& name : {"\r\nContent-Length:", "\r\ncontent-length:"}) {
                auto at = head.find(name);
                if (at != std::string::npos)
                    bodyLength = std::strtoull(head.c_str() + at + std::strlen(name), nullptr, 10);
            }
            while (data.size() < headEnd + 4 + bodyLength) {
                pollfd c{fd, POLLIN, 0};
                if (::poll(&c, 1, 2000) <= 0) break;
                auto n = ::recv(fd, buf, sizeof(buf), 0);
                if (n <= 0) break;
                data.append(buf, static_cast<std::size_t>(n));
            }
            {
                std::lock_guard lock(mutex_);
                heads_.push_back(std::move(head));
            }
            cv_.notify_all();
            ::send(fd, response_.data(), response_.size(), MSG_NOSIGNAL);
        }
        ::shutdown(fd, SHUT_RDWR);
        ::close(fd);
    }
}

std::vector<std::string> RawHttpServer::heads() const {
    std::lock_guard lock(mutex_);
    return heads_;
}

bool RawHttpServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return heads_.size() >= count; });
}

std::vector<std::string> RawHttpServer::headerNames(const std::string& head) {
    std::vector<std::string> names;
    std::size_t pos = head.find("\r\n");
    while (pos != std::string::npos) {
        pos += 2;
        auto end = head.find("\r\n", pos);
        auto line = head.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        auto colon = line.find(':');
        if (colon != std::string::npos) names.push_back(line.substr(0, colon));
        pos = end;
    }
    return names;
}

}  // namespace brisko::testing
