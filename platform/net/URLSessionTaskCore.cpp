// The network side of one task: libcurl transfers per hop, redirects, decisions, TLS trust and events.
#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <ctime>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "platform/base/Clock.hpp"
#include "platform/base/JSON.hpp"
#include "platform/base/Text.hpp"
#include "platform/net/URLSessionCore.hpp"

namespace brisko::platform::detail {

namespace {

constexpr int kMaxRedirects = 16;
constexpr int kMaxTrustChallenges = 3;
constexpr std::string_view kDownloadFilePrefix = "brisko-download-";
constexpr int kResumeDataVersion = 1;
// Room made for a response head's fields at once (most heads have fewer).
constexpr std::size_t kExpectedHeaderFields = 12;
// The encodings offered in "Accept-Encoding", as libcurl takes them.
constexpr char kAcceptEncoding[] = "gzip, deflate";
static_assert(std::string_view(kAcceptEncoding) == ContentDecoder::kAcceptedEncodings);

// The certificate authorities trusted when the configuration names none: libcurl's system bundle, or
// the file OpenSSL's SSL_CERT_FILE names in its place (as other OpenSSL programs honour it).
const char* systemCAFileOverride() {
    static const std::string path = [] {
        const char* value = std::getenv("SSL_CERT_FILE");
        return std::string(value ? value : "");
    }();
    return path.empty() ? nullptr : path.c_str();
}

using Clock = std::chrono::steady_clock;

std::chrono::steady_clock::duration seconds(double s) {
    if (s <= 0) s = 60;
    if (s > 1e8) s = 1e8;
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(s));
}

bool isHTTPScheme(const URL& url) {
    return url.scheme() == "http" || url.scheme() == "https";
}

bool isIPAddress(const std::string& host) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

bool hasLineBreak(std::string_view s) {
    return s.find_first_of("\r\n", 0) != std::string_view::npos || s.find('\0') != std::string_view::npos;
}

// The URL as libcurl gets it: without a user and password, which are sent only in answer to a
// challenge (libcurl would otherwise send them at once, to any server the URL names). libcurl keeps a
// copy of it.
void setTransferURL(CURL* easy, const URL& url) {
    if (!url.percentEncodedUser() && !url.percentEncodedPassword()) {
        curl_easy_setopt(easy, CURLOPT_URL, url.absoluteString().c_str());
        return;
    }
    URLComponents components(url);
    components.percentEncodedUser.reset();
    components.percentEncodedPassword.reset();
    auto bare = components.url();
    curl_easy_setopt(easy, CURLOPT_URL, (bare ? *bare : url).absoluteString().c_str());
}

// "Content-Length" of a request, when it holds a length.
std::optional<std::int64_t> announcedLength(const URLRequest& request) {
    auto value = request.valueForHTTPHeaderField("Content-Length");
    if (!value) return std::nullopt;
    auto v = trimHTTPWhitespace(*value);
    std::int64_t n = -1;
    if (std::from_chars(v.data(), v.data() + v.size(), n).ec != std::errc() || n < 0) return std::nullopt;
    return n;
}

// The challenges a "WWW-Authenticate" value offers: scheme (lower-cased) and realm.
struct AuthOffer {
    std::string scheme;
    std::optional<std::string> realm;
};

std::vector<AuthOffer> parseAuthenticate(std::string_view v) {
    std::vector<AuthOffer> offers;
    std::size_t i = 0;
    auto skip = [&] {
        while (i < v.size() && (v[i] == ' ' || v[i] == '\t' || v[i] == ',')) ++i;
    };
    while (true) {
        skip();
        if (i >= v.size()) break;
        const std::size_t start = i;
        while (i < v.size() && v[i] != ' ' && v[i] != '\t' && v[i] != '=' && v[i] != ',') ++i;
        std::string token(v.substr(start, i - start));
        std::size_t j = i;
        while (j < v.size() && (v[j] == ' ' || v[j] == '\t')) ++j;
        if (j < v.size() && v[j] == '=' && !(j + 1 < v.size() && v[j + 1] == '=')) {
            // An auth-param: name=token or name="quoted string".
            i = j + 1;
            while (i < v.size() && (v[i] == ' ' || v[i] == '\t')) ++i;
            std::string value;
            if (i < v.size() && v[i] == '"') {
                ++i;
                while (i < v.size() && v[i] != '"') {
                    if (v[i] == '\\' && i + 1 < v.size()) ++i;
                    value += v[i++];
                }
                ++i;
            } else {
                while (i < v.size() && v[i] != ',' && v[i] != ' ' && v[i] != '\t') value += v[i++];
            }
            if (!offers.empty() && equalsIgnoringASCIICase(token, "realm")) offers.back().realm = value;
            continue;
        }
        if (token.empty()) {
            ++i;
            continue;
        }
        // A new challenge; a token68 after it ("Negotiate abc==") reads as a param-less token and is skipped.
        for (auto& c : token) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        offers.push_back({std::move(token), std::nullopt});
        while (j < v.size() && v[j] == '=') ++j;
        i = j;
    }
    return offers;
}

// Drops credentials that belong to the old origin from a request that goes to another one.
void stripCrossOriginCredentials(URLRequest& request, const URL& from) {
    if (!request.url() || request.url()->origin() == from.origin()) return;
    request.allHTTPHeaderFields().remove("Authorization");
    request.allHTTPHeaderFields().remove("Cookie");
}

// "bytes 100-999/1000": the first byte and the total (-1 when "*").
std::optional<std::pair<std::int64_t, std::int64_t>> parseContentRange(std::string_view v) {
    v = trimHTTPWhitespace(v);
    if (v.substr(0, 6) != "bytes ") return std::nullopt;
    v.remove_prefix(6);
    auto dash = v.find('-');
    auto slash = v.find('/');
    if (dash == std::string_view::npos || slash == std::string_view::npos || dash > slash) return std::nullopt;
    std::int64_t first = 0, total = -1;
    auto f = v.substr(0, dash);
    if (std::from_chars(f.data(), f.data() + f.size(), first).ec != std::errc()) return std::nullopt;
    auto t = v.substr(slash + 1);
    if (t != "*" && std::from_chars(t.data(), t.data() + t.size(), total).ec != std::errc()) return std::nullopt;
    return std::make_pair(first, total);
}

// Per-connection data for the certificate check: lives with the connection's SSL_CTX.
struct HandshakeContext {
    std::weak_ptr<TaskCore> task;
    std::string host;
    bool isIP = false;
    std::set<Data> pins;
};

void freeHandshakeContext(void*, void* ptr, CRYPTO_EX_DATA*, int, long, void*) {
    delete static_cast<HandshakeContext*>(ptr);
}

int handshakeIndex() {
    static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, &freeHandshakeContext);
    return index;
}

Data derOf(X509* cert) {
    int len = i2d_X509(cert, nullptr);
    if (len <= 0) return {};
    Data out(static_cast<std::size_t>(len));
    unsigned char* p = out.data();
    i2d_X509(cert, &p);
    return out;
}

// Checks the chain and the host name against the session's CA store; a certificate the delegate
// accepted earlier (pinned by its fingerprint) passes too.
int verifyCertificate(X509_STORE_CTX* store, void* arg) {
    auto* hc = static_cast<HandshakeContext*>(arg);
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(store);
    if (hc->isIP) {
        X509_VERIFY_PARAM_set1_ip_asc(param, hc->host.c_str());
    } else {
        X509_VERIFY_PARAM_set1_host(param, hc->host.c_str(), 0);
    }
    const bool trusted = X509_verify_cert(store) == 1;
    std::string reason;
    if (!trusted) reason = X509_verify_cert_error_string(X509_STORE_CTX_get_error(store));
    std::vector<Data> chain;
    X509* leaf = X509_STORE_CTX_get0_cert(store);
    if (leaf) chain.push_back(derOf(leaf));
    if (STACK_OF(X509)* peer = X509_STORE_CTX_get0_untrusted(store)) {
        for (int i = 0; i < sk_X509_num(peer); ++i) {
            X509* c = sk_X509_value(peer, i);
            if (c != leaf && X509_cmp(c, leaf) != 0) chain.push_back(derOf(c));
        }
    }
    auto trust = std::make_shared<const ServerTrust>(hc->host, std::move(chain), trusted, reason);
    bool accept = trusted;
    if (!accept && hc->pins.contains(trust->leafFingerprint())) {
        accept = true;
        X509_STORE_CTX_set_error(store, X509_V_OK);
    }
    if (auto task = hc->task.lock()) task->onServerTrust(trust, accept && !trusted);
    return accept ? 1 : 0;
}

}  // namespace

TaskCore::TaskCore(const std::shared_ptr<SessionCore>& session, URLSessionTask::Kind k)
    : sessionCore(session), kind(k) {}

TaskCore::~TaskCore() {
    if (easy_) curl_easy_cleanup(easy_);
    if (headerList_) curl_slist_free_all(headerList_);
    closeBodyFile();
    if (downloadFile_) std::fclose(downloadFile_);
}

// Controls

std::shared_ptr<URLSession> TaskCore::callerSession() const {
    auto core = sessionCore.lock();
    return core ? core->facade() : nullptr;
}

void TaskCore::resume(std::shared_ptr<URLSessionTask> task) {
    // Whether the session was already being invalidated is decided here, in the caller's order.
    auto core = sessionCore.lock();
    const bool refused = !core || core->invalidating();
    // What the delegate takes part in is asked here, never on the network thread.
    bool decides = true;
    bool metrics = true;
    bool progress = true;
    if (auto d = core ? core->delegate() : nullptr) {
        metrics = d->wantsMetrics(task);
        progress = d->wantsUploadProgress(task);
        if (!hasCompletionHandler && kind != URLSessionTask::Kind::download)
            decides = d->wantsResponseDecision(std::static_pointer_cast<URLSessionDataTask>(task));
    }
    postToNetwork([self = shared_from_this(), task = std::move(task), session = callerSession(), refused, decides,
                   metrics, progress]() mutable {
        if (!self->started_) {
            self->responseDecisionWanted_ = decides;
            self->metricsWanted_ = metrics;
            self->progressWanted_ = progress;
            self->start(std::move(task), std::move(session), refused);
        } else if (self->suspended_ && !self->completed_) {
            self->suspended_ = false;
            self->touch();
            self->applyPause();
        }
    });
}

void TaskCore::suspend() {
    postToNetwork([self = shared_from_this()] {
        if (!self->started_ || self->completed_ || self->suspended_) return;
        self->suspended_ = true;
        self->applyPause();
    });
}

void TaskCore::cancel(std::shared_ptr<URLSessionTask> task) {
    postToNetwork([self = shared_from_this(), task = std::move(task), session = callerSession()]() mutable {
        if (self->completed_) return;
        if (!self->started_ && !self->acquire(std::move(task), std::move(session))) return;
        self->stopTransfer();
        self->complete(makeURLError(URLErrorCode::cancelled, self->current_.url()));
    });
}

void TaskCore::cancelProducingResumeData(std::shared_ptr<URLSessionTask> task,
                                         UniqueFunction<void(std::optional<Data>)> completion) {
    postToNetwork([self = shared_from_this(), task = std::move(task), session = callerSession(),
                   completion = std::move(completion)]() mutable {
        auto deliver = [&](std::optional<Data> data) {
            auto run = [completion = std::move(completion), data = std::move(data)]() mutable {
                completion(std::move(data));
            };
            if (auto core = self->sessionCore.lock()) {
                core->deliver(std::move(run));
            } else {
                run();
            }
        };
        if (self->completed_) {
            deliver(std::nullopt);
            return;
        }
        if (!self->started_ && !self->acquire(std::move(task), std::move(session))) {
            deliver(std::nullopt);
            return;
        }
        self->stopTransfer();
        auto resumeData = self->makeResumeData();
        auto error = makeURLError(URLErrorCode::cancelled, self->current_.url());
        if (resumeData) {
            self->keepDownloadFile_ = true;
            Dictionary info = error.userInfo();
            info[std::string(kURLSessionDownloadTaskResumeData)] = Value(*resumeData);
            error = Error(error.domain(), error.code(), std::move(info));
        }
        // The resume data comes first, then the task's completion (both on the delegate queue).
        deliver(resumeData);
        self->complete(std::move(error));
    });
}

// Start

bool TaskCore::acquire(std::shared_ptr<URLSessionTask> task, std::shared_ptr<URLSession> session) {
    started_ = true;
    core_ = sessionCore.lock();
    task_ = std::move(task);
    if (!core_ || !task_) {
        completed_ = true;
        core_.reset();
        task_.reset();
        return false;
    }
    session_ = std::move(session);
    delegate_ = core_->delegate();
    core_->taskStarted();
    if (delegate_ && metricsWanted_) {
        taskStart_ = Clock::now();
        metrics_.taskIntervalStart = now();
    }
    // The request moves into the transfer: the task object keeps the original (resume data reads it there).
    current_ = std::move(originalRequest);
    return true;
}

void TaskCore::start(std::shared_ptr<URLSessionTask> task, std::shared_ptr<URLSession> session, bool refused) {
    if (!acquire(std::move(task), std::move(session))) return;
    updateTaskState(URLSessionTaskState::running);
    if (!session_ || refused || core_->invalidated()) {
        complete(makeURLError(URLErrorCode::cancelled, current_.url(), "the session was invalidated"));
        return;
    }
    if (kind == URLSessionTask::Kind::download && resumeData && !parseResumeData()) {
        complete(makeURLError(URLErrorCode::badURL, std::nullopt, "the resume data cannot be read"));
        return;
    }
    idleTimeout_ = seconds(current_.timeoutInterval() > 0 ? current_.timeoutInterval()
                                                          : core_->configuration.timeoutIntervalForRequest);
    resourceDeadline_ = Clock::now() + seconds(core_->configuration.timeoutIntervalForResource);
    touch();
    if (uploadFilePath) {
        if (auto error = openBodyFile(*uploadFilePath)) {
            complete(std::move(error));
            return;
        }
        if (uploadFileLength) {
            struct stat st {};
            const std::int64_t size = fstat(bodyFd_, &st) == 0 ? st.st_size : 0;
            if (uploadFileOffset < 0 || *uploadFileLength < 0 || uploadFileOffset > size ||
                *uploadFileLength > size - uploadFileOffset) {
                complete(makeURLError(
                    URLErrorCode::resourceUnavailable, current_.url(),
                    format("bytes %lld to %lld lie beyond the end of %@ (%lld bytes)",
                           {uploadFileOffset, uploadFileOffset + *uploadFileLength, *uploadFilePath, size})));
                return;
            }
            bodyFileStart_ = uploadFileOffset;
            bodyFileSize_ = *uploadFileLength;
        }
    }
    if (kind == URLSessionTask::Kind::download && !openDownloadFile(resumeOffset_ > 0)) {
        complete(makeURLError(URLErrorCode::cannotCreateFile, current_.url(), std::strerror(errno)));
        return;
    }
    armTimers();
    startHop();
}

bool TaskCore::openDownloadFile(bool append) {
    if (downloadFile_) {
        std::fclose(downloadFile_);
        downloadFile_ = nullptr;
    }
    if (downloadPath_.empty()) {
        std::error_code ec;
        auto dir = std::filesystem::temp_directory_path(ec);
        if (ec) dir = "/tmp";
        std::string pattern = (dir / (std::string(kDownloadFilePrefix) + "XXXXXX")).string();
        int fd = mkstemp(pattern.data());
        if (fd < 0) return false;
        downloadPath_ = pattern;
        downloadFile_ = fdopen(fd, "wb");
        if (!downloadFile_) ::close(fd);
    } else {
        downloadFile_ = std::fopen(downloadPath_.c_str(), append ? "ab" : "wb");
    }
    return downloadFile_ != nullptr;
}

// One hop: the request in current_ on a fresh easy handle.
bool TaskCore::startHop() {
    releaseHop();
    statusCode_ = 0;
    httpVersion_.clear();
    headers_.clear();
    inHead_ = false;
    redirectHop_ = false;
    heldBody_.clear();
    decoder_.reset();
    untrustedTrust_.reset();
    responseDecision_ = Decision::none;
    doneWhileDeciding_.reset();
    pausedForDecision_ = false;
    lastReportedSent_ = 0;
    openProgress_.reset();
    pausedForBody_ = false;
    chunkedBody_ = false;
    digestNegotiating_ = false;
    authHop_ = false;
    ++hopNumber_;
    errorBuffer_[0] = 0;
    if (delegate_ && metricsWanted_) hopStartDate_ = now();

    if (!current_.url()) {
        complete(makeURLError(URLErrorCode::badURL, std::nullopt, "the request has no URL"));
        return false;
    }
    const URL& url = *current_.url();
    if (!isHTTPScheme(url)) {
        complete(makeURLError(URLErrorCode::unsupportedURL, url));
        return false;
    }
    if (!url.host() || url.host()->empty()) {
        complete(makeURLError(URLErrorCode::badURL, url, "the URL has no host"));
        return false;
    }
    // A stream is read once: the request's own serves the first sending, the delegate gives the rest.
    const bool streamBody = !bodyDropped_ && usesBodyStream();
    if (streamBody && !nextBodyStream_) {
        if (!requestStreamUsed_ && current_.httpBodyStream()) {
            requestStreamUsed_ = true;
            nextBodyStream_ = current_.httpBodyStream();
        } else {
            requestBodyStream();
            return true;
        }
    }

    auto& multi = core_->multi();
    easy_ = multi.takeEasy();
    if (!easy_) {
        complete(makeURLError(URLErrorCode::unknown, url, "cannot create a transfer"));
        return false;
    }
    multi.prepare(easy_);
    const auto& config = core_->configuration;
    curl_easy_setopt(easy_, CURLOPT_PRIVATE, this);
    setTransferURL(easy_, url);
    if (authCredential_ && authCredential_->origin == url.origin()) {
        curl_easy_setopt(easy_, CURLOPT_HTTPAUTH, authCredential_->curlMethod);
        curl_easy_setopt(easy_, CURLOPT_USERNAME, authCredential_->user.c_str());
        curl_easy_setopt(easy_, CURLOPT_PASSWORD, authCredential_->password.c_str());
        digestNegotiating_ = authCredential_->curlMethod == static_cast<long>(CURLAUTH_DIGEST);
    }
    curl_easy_setopt(easy_, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy_, CURLOPT_NOSIGNAL, 1L);
    // Bodies are decoded here, not by libcurl, which takes a compressed body cut short for a whole one.
    curl_easy_setopt(easy_, CURLOPT_ACCEPT_ENCODING, kAcceptEncoding);
    curl_easy_setopt(easy_, CURLOPT_HTTP_CONTENT_DECODING, 0L);
    curl_easy_setopt(easy_, CURLOPT_FOLLOWLOCATION, 0L);
    // No TCP keepalive: a silent peer ends a transfer through the idle timeout, and libcurl reuses no
    // connection idle for two minutes; probes would cost three system calls per connection and send
    // packets while the app idles between uploads.
    curl_easy_setopt(easy_, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(easy_, CURLOPT_ERRORBUFFER, errorBuffer_);
    curl_easy_setopt(easy_, CURLOPT_HEADERFUNCTION, &TaskCore::headerCallback);
    curl_easy_setopt(easy_, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(easy_, CURLOPT_WRITEFUNCTION, &TaskCore::writeCallback);
    curl_easy_setopt(easy_, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(easy_, CURLOPT_CONNECTTIMEOUT_MS,
                     static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(idleTimeout_).count()));
    long tls = CURL_SSLVERSION_TLSv1_2;
    switch (config.tlsMinimumSupportedProtocolVersion) {
    case TLSProtocolVersion::tls10:
        tls = CURL_SSLVERSION_TLSv1_0;
        break;
    case TLSProtocolVersion::tls11:
        tls = CURL_SSLVERSION_TLSv1_1;
        break;
    case TLSProtocolVersion::tls12:
        tls = CURL_SSLVERSION_TLSv1_2;
        break;
    case TLSProtocolVersion::tls13:
        tls = CURL_SSLVERSION_TLSv1_3;
        break;
    }
    curl_easy_setopt(easy_, CURLOPT_SSLVERSION, tls);
    if (config.tlsTrustedCAFile) {
        curl_easy_setopt(easy_, CURLOPT_CAINFO, config.tlsTrustedCAFile->c_str());
    } else if (const char* systemFile = systemCAFileOverride()) {
        curl_easy_setopt(easy_, CURLOPT_CAINFO, systemFile);
    }
    if (url.scheme() == "https") {
        multi.markTLS(easy_);
        curl_easy_setopt(easy_, CURLOPT_SSL_CTX_FUNCTION, &TaskCore::sslContextCallback);
        curl_easy_setopt(easy_, CURLOPT_SSL_CTX_DATA, this);
        // An accepted pin stands for the host check too (our own check covers the rest).
        curl_easy_setopt(easy_, CURLOPT_SSL_VERIFYHOST, core_->isPinned(url.origin()) ? 0L : 2L);
    }

    // Body: the upload source, else the request's bytes or file (dropped after a redirect to GET).
    hopBody_.reset();
    bool bodyFromFile = false;
    if (!bodyDropped_) {
        if (kind == URLSessionTask::Kind::upload && (uploadData || bodyFd_ >= 0)) {
            hopBody_ = uploadData;
            bodyFromFile = !uploadData;
        } else if (streamBody) {
            auto length = announcedLength(current_);
            chunkedBody_ = !length;
            bodyStream_ = std::make_shared<URLSessionBodyStream>(std::move(nextBodyStream_), length,
                                                                 [weak = weak_from_this(), hop = hopNumber_] {
                                                                     postToNetwork([weak, hop] {
                                                                         if (auto self = weak.lock())
                                                                             self->onBodyStreamReady(hop);
                                                                     });
                                                                 });
            nextBodyStream_.reset();
            bodyStream_->start();
        } else if (current_.httpBody()) {
            hopBody_ = current_.sharedHTTPBody();
        } else if (current_.httpBodyFilePath()) {
            if (bodyFd_ < 0) {
                if (auto error = openBodyFile(*current_.httpBodyFilePath())) {
                    complete(std::move(error));
                    return false;
                }
            }
            bodyFromFile = true;
        }
    }
    std::int64_t bodySize = 0;
    if (hopBody_) {
        bodySize = static_cast<std::int64_t>(hopBody_->size());
    } else if (bodyFromFile) {
        // A whole file is measured again for each hop; a range was checked when the task started.
        if (!(kind == URLSessionTask::Kind::upload && uploadFileLength)) {
            struct stat st {};
            bodyFileSize_ = fstat(bodyFd_, &st) == 0 ? st.st_size : 0;
        }
        bodySize = bodyFileSize_;
        bodyFilePos_ = 0;
    } else if (bodyStream_) {
        bodySize = chunkedBody_ ? kURLSessionTransferSizeUnknown : *announcedLength(current_);
    }
    const bool hasBody = hopBody_ || bodyFromFile || bodyStream_;
    const std::string& method = current_.httpMethod();
    if (method == "HEAD") {
        curl_easy_setopt(easy_, CURLOPT_NOBODY, 1L);
    } else if (method == "GET" && !hasBody) {
        curl_easy_setopt(easy_, CURLOPT_HTTPGET, 1L);
    } else if (hasBody || method == "POST" || method == "PUT" || method == "PATCH") {
        curl_easy_setopt(easy_, CURLOPT_POST, 1L);
        curl_easy_setopt(easy_, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bodySize));
        if (bodyFromFile) {
            curl_easy_setopt(easy_, CURLOPT_READFUNCTION, &TaskCore::readCallback);
            curl_easy_setopt(easy_, CURLOPT_READDATA, this);
            curl_easy_setopt(easy_, CURLOPT_SEEKFUNCTION, &TaskCore::seekCallback);
            curl_easy_setopt(easy_, CURLOPT_SEEKDATA, this);
        } else if (bodyStream_) {
            curl_easy_setopt(easy_, CURLOPT_READFUNCTION, &TaskCore::streamReadCallback);
            curl_easy_setopt(easy_, CURLOPT_READDATA, this);
            curl_easy_setopt(easy_, CURLOPT_SEEKFUNCTION, &TaskCore::streamSeekCallback);
            curl_easy_setopt(easy_, CURLOPT_SEEKDATA, this);
        } else {
            static const char kEmpty[] = "";
            curl_easy_setopt(easy_, CURLOPT_POSTFIELDS,
                             hopBody_ ? reinterpret_cast<const char*>(hopBody_->data()) : kEmpty);
        }
        if (method != "POST") curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else {
        curl_easy_setopt(easy_, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    task_->bytesExpectedToSend_ = bodySize;
    task_->bytesSent_ = 0;
    // Bytes going out count as activity for the idle timeout whoever listens; the delegate hears of them
    // only when it asked to.
    tracksUpload_ = bodySize > 0 || bodyStream_;
    wantsProgress_ = tracksUpload_ && delegate_ && progressWanted_;
    if (tracksUpload_) {
        curl_easy_setopt(easy_, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(easy_, CURLOPT_XFERINFOFUNCTION, &TaskCore::progressCallback);
        curl_easy_setopt(easy_, CURLOPT_XFERINFODATA, this);
    }

    std::string problem;
    if (!buildHeaderList(problem)) {
        complete(makeURLError(URLErrorCode::badURL, url, problem));
        return false;
    }
    curl_easy_setopt(easy_, CURLOPT_HTTPHEADER, headerList_);

    if (!multi.add(easy_)) {
        complete(makeURLError(URLErrorCode::unknown, url, "cannot start the transfer"));
        return false;
    }
    inMulti_ = true;
    applyPause();
    return true;
}

bool TaskCore::buildHeaderList(std::string& problem) {
    const auto& config = core_->configuration;
    std::string line;  // one buffer for every line (libcurl copies each)
    auto append = [this, &line](std::string_view name, std::string_view value) {
        line.assign(name);
        line += value.empty() ? ";" : ": ";
        line += value;
        headerList_ = curl_slist_append(headerList_, line.c_str());
    };
    auto valid = [&problem](std::string_view name, std::string_view value) {
        if (name.empty() || name.find(':') != std::string_view::npos || hasLineBreak(name) || hasLineBreak(value)) {
            problem = "header field \"" + sanitizeUTF8(name.substr(0, 64)) + "\" is not valid";
            return false;
        }
        return true;
    };
    const auto& headers = current_.allHTTPHeaderFields();
    for (auto& [name, value] : headers) {
        if (!valid(name, value)) return false;
        // libcurl computes the body framing itself.
        if (equalsIgnoringASCIICase(name, "Content-Length") || equalsIgnoringASCIICase(name, "Transfer-Encoding"))
            continue;
        append(name, value);
    }
    for (auto& [name, value] : config.httpAdditionalHeaders) {
        if (headers.contains(name) || !valid(name, value)) continue;
        append(name, value);
    }
    if (config.httpCookieStorage && config.httpShouldSetCookies && current_.httpShouldHandleCookies() &&
        !headers.contains("Cookie")) {
        if (auto cookie = config.httpCookieStorage->cookieHeaderForRequest(current_); cookie && !cookie->empty()) {
            if (valid("Cookie", *cookie)) append("Cookie", *cookie);
        }
    }
    if (resumeOffset_ > 0 && kind == URLSessionTask::Kind::download && redirectCount_ == 0) {
        append("Range", "bytes=" + std::to_string(resumeOffset_) + "-");
        if (etag_) {
            append("If-Range", *etag_);
        } else if (lastModified_) {
            append("If-Range", *lastModified_);
        }
    }
    if (chunkedBody_) headerList_ = curl_slist_append(headerList_, "Transfer-Encoding: chunked");
    // No "Expect: 100-continue" round trip before bodies.
    if (!headers.contains("Expect")) headerList_ = curl_slist_append(headerList_, "Expect:");
    return true;
}

void TaskCore::releaseHop() {
    if (easy_) {
        if (core_) {
            if (inMulti_) core_->multi().remove(easy_);
            core_->multi().giveBackEasy(easy_);
        } else {
            curl_easy_cleanup(easy_);
        }
        inMulti_ = false;
        easy_ = nullptr;
    }
    if (bodyStream_) {
        bodyStream_->stop();
        bodyStream_.reset();
    }
    pausedForBody_ = false;
    if (headerList_) {
        curl_slist_free_all(headerList_);
        headerList_ = nullptr;
    }
}

void TaskCore::stopTransfer() {
    if (easy_ && inMulti_ && core_) {
        core_->multi().remove(easy_);
        inMulti_ = false;
    }
}

void TaskCore::applyPause() {
    if (!easy_ || !inMulti_) return;
    int mask = CURLPAUSE_CONT;
    if (suspended_) {
        mask = CURLPAUSE_ALL;
    } else {
        if (pausedForDecision_) mask |= CURLPAUSE_RECV;
        if (pausedForBody_) mask |= CURLPAUSE_SEND;
    }
    curl_easy_pause(easy_, mask);
}

// Timers: one per task, re-armed to the nearest of the idle and the total deadline.

// Read on every header line and body chunk: the coarse monotonic clock (the time of the last tick, on
// steady_clock's scale) costs no counter read, and an idle timeout does not notice its few milliseconds.
void TaskCore::touch() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
    lastActivity_ = Clock::time_point(std::chrono::duration_cast<Clock::duration>(
        std::chrono::seconds(ts.tv_sec) + std::chrono::nanoseconds(ts.tv_nsec)));
}

void TaskCore::armTimers() {
    auto& loop = NetworkLoop::instance();
    if (timer_) loop.cancel(timer_);
    const auto deadline = std::min(lastActivity_ + idleTimeout_, resourceDeadline_);
    timer_ = loop.schedule(deadline, [weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->timer_ = 0;
            self->checkTimers();
        }
    });
}

void TaskCore::checkTimers() {
    if (completed_) return;
    const auto t = Clock::now();
    if (suspended_) touch();  // a suspended task is not subject to timeouts
    if (t >= resourceDeadline_) {
        stopTransfer();
        complete(makeURLError(URLErrorCode::timedOut, current_.url(), "the resource timeout passed"));
        return;
    }
    if (t - lastActivity_ >= idleTimeout_) {
        stopTransfer();
        const double s = std::chrono::duration<double>(idleTimeout_).count();
        complete(makeURLError(URLErrorCode::timedOut, current_.url(), format("no data moved for %g seconds", {s})));
        return;
    }
    armTimers();
}

// Transfer callbacks (network thread, inside libcurl)

std::size_t TaskCore::headerCallback(char* buffer, std::size_t size, std::size_t count, void* userp) {
    auto* self = static_cast<TaskCore*>(userp);
    const std::size_t n = size * count;
    self->touch();
    self->onHeaderLine(std::string_view(buffer, n));
    return self->abortError_ ? 0 : n;
}

void TaskCore::onHeaderLine(std::string_view raw) {
    std::string_view line = raw;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
    if (line.substr(0, 5) == "HTTP/") {
        // A status line starts a response head (a 1xx one or the final one).
        headers_.clear();
        headers_.reserve(kExpectedHeaderFields);
        ignoringBody_ = false;
        inHead_ = true;
        auto sp = line.find(' ');
        httpVersion_ = std::string(line.substr(0, sp));
        int code = 0;
        if (sp != std::string_view::npos) {
            auto rest = line.substr(sp + 1);
            auto end = rest.find(' ');
            auto digits = rest.substr(0, end);
            if (std::from_chars(digits.data(), digits.data() + digits.size(), code).ec != std::errc()) code = 0;
        }
        if (code < 100 || code > 999) {
            abortError_ = makeURLError(URLErrorCode::cannotParseResponse, current_.url(), "bad status line");
            return;
        }
        statusCode_ = code;
        return;
    }
    if (!inHead_) return;  // trailers
    if (line.empty()) {
        inHead_ = false;
        if (statusCode_ >= 100 && statusCode_ < 200) return;  // interim response
        if (statusCode_ == 401 && digestNegotiating_) {
            // libcurl's first Digest round trip learns the nonce and answers it itself.
            for (auto& offer : parseAuthenticate(headers_.get("WWW-Authenticate").value_or(""))) {
                if (offer.scheme != "digest") continue;
                digestNegotiating_ = false;
                ignoringBody_ = true;
                return;
            }
        }
        onHeadComplete();
        return;
    }
    if ((line.front() == ' ' || line.front() == '\t') && !headers_.empty()) {
        // An obsolete folded line continues the previous field.
        auto fields = headers_.fields();
        auto last = fields.back();
        headers_.remove(last.first);
        for (std::size_t i = 0; i + 1 < fields.size(); ++i) {
            if (equalsIgnoringASCIICase(fields[i].first, last.first)) headers_.add(fields[i].first, fields[i].second);
        }
        headers_.add(last.first, last.second + " " + std::string(trimHTTPWhitespace(line)));
        return;
    }
    auto colon = line.find(':');
    if (colon == std::string_view::npos || colon == 0) return;  // not a field: ignored, as browsers do
    headers_.add(trimHTTPWhitespace(line.substr(0, colon)), trimHTTPWhitespace(line.substr(colon + 1)));
}

void TaskCore::onHeadComplete() {
    // Every upload progress event comes before the response.
    if (tracksUpload_) {
        curl_off_t sent = 0;
        if (curl_easy_getinfo(easy_, CURLINFO_SIZE_UPLOAD_T, &sent) == CURLE_OK)
            reportUploadProgress(bodyBytesSent(sent));
    }
    // The head's fields move into the response; the next head (a redirect's) starts from none.
    auto response = std::make_shared<const HTTPURLResponse>(*current_.url(), statusCode_, std::move(httpVersion_),
                                                            std::move(headers_));
    httpVersion_.clear();
    headers_.clear();
    response_ = response;
    decoder_ = ContentDecoder::forContentEncoding(response->valueForHTTPHeaderField("Content-Encoding").value_or(""));
    const auto& config = core_->configuration;
    if (config.httpCookieStorage && config.httpShouldSetCookies && current_.httpShouldHandleCookies()) {
        config.httpCookieStorage->storeCookiesFromResponse(*response, current_);
    }
    const bool redirectStatus =
        statusCode_ == 301 || statusCode_ == 302 || statusCode_ == 303 || statusCode_ == 307 || statusCode_ == 308;
    if (redirectStatus && response->allHeaderFields().contains("Location")) {
        redirectHop_ = true;
        return;
    }
    if (isAuthChallenge()) return;
    onFinalHead();
}

void TaskCore::onFinalHead() {
    {
        std::lock_guard lock(task_->mutex_);
        task_->response_ = response_;
    }
    task_->bytesExpectedToReceive_ = response_->expectedContentLength();
    if (hasCompletionHandler && kind != URLSessionTask::Kind::download && response_->expectedContentLength() > 0) {
        // The whole body is collected: room for the announced length (within the limit) at once.
        const auto& limit = core_->configuration.maximumDecodedBodyLength;
        collected_.reserve(static_cast<std::size_t>(limit ? std::min(response_->expectedContentLength(), *limit)
                                                          : response_->expectedContentLength()));
    }
    auto session = session_;
    auto d = delegate_;
    if (kind == URLSessionTask::Kind::download) {
        etag_ = response_->valueForHTTPHeaderField("ETag");
        lastModified_ = response_->valueForHTTPHeaderField("Last-Modified");
        expectedTotal_ = response_->expectedContentLength();
        if (resumeData) {
            std::int64_t offset = 0;
            if (statusCode_ == 206 && resumeOffset_ > 0) {
                auto range = parseContentRange(response_->valueForHTTPHeaderField("Content-Range").value_or(""));
                if (range && range->first == resumeOffset_) {
                    offset = resumeOffset_;
                    expectedTotal_ = range->second;
                }
            }
            if (offset == 0) {
                // The server sends everything again: start the file over.
                resumeOffset_ = 0;
                if (!openDownloadFile(false)) {
                    abortError_ = makeURLError(URLErrorCode::cannotWriteToFile, current_.url(), std::strerror(errno));
                    return;
                }
            }
            if (d && !hasCompletionHandler) {
                auto t = std::static_pointer_cast<URLSessionDownloadTask>(task_);
                emit([d, session, t, offset, total = expectedTotal_] {
                    d->didResumeAtOffset(session, t, offset, total);
                });
            }
        }
        return;
    }
    if (d && !hasCompletionHandler && responseDecisionWanted_) {
        responseDecision_ = Decision::pending;
        auto t = std::static_pointer_cast<URLSessionDataTask>(task_);
        auto self = shared_from_this();
        emit([d, session, t, response = response_, self] {
            auto answered = std::make_shared<std::atomic<bool>>(false);
            d->didReceiveResponse(session, t, response, [self, answered](URLSessionResponseDisposition disposition) {
                if (answered->exchange(true)) return;
                postToNetwork([self, disposition] { self->onResponseDecision(disposition); });
            });
        });
    }
}

std::size_t TaskCore::writeCallback(char* buffer, std::size_t size, std::size_t count, void* userp) {
    auto* self = static_cast<TaskCore*>(userp);
    self->touch();
    return self->onBody(buffer, size * count);
}

std::size_t TaskCore::onBody(const char* data, std::size_t length) {
    if (abortError_) return 0;
    if (ignoringBody_) return length;
    const bool holding = redirectHop_ || authHop_;
    // libcurl hands a paused chunk over again later: nothing of it is decoded or taken before.
    if (!holding && responseDecision_ == Decision::pending) {
        pausedForDecision_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    auto take = [this, holding](const char* bytes, std::size_t n) {
        return holding ? holdBody(bytes, n) : deliverBody(bytes, n);
    };
    if (!decoder_) return take(data, length) ? length : 0;
    switch (decoder_->decode(data, length, take)) {
    case ContentDecoder::Result::ok:
        return length;
    case ContentDecoder::Result::stopped:
        return 0;
    case ContentDecoder::Result::corrupt:
        abortError_ = makeURLError(URLErrorCode::cannotDecodeContentData, current_.url(), decoder_->problem());
        return 0;
    }
    return 0;
}

bool TaskCore::fitsBodyLimit(std::int64_t taken, std::size_t length) {
    const auto& limit = core_->configuration.maximumDecodedBodyLength;
    if (!limit || static_cast<std::int64_t>(length) <= *limit - taken) return true;
    abortError_ =
        makeURLError(URLErrorCode::dataLengthExceedsMaximum, current_.url(),
                     format("the response body is larger than the session's maximum of %lld bytes", {*limit}));
    return false;
}

bool TaskCore::holdBody(const char* data, std::size_t length) {
    if (!fitsBodyLimit(static_cast<std::int64_t>(heldBody_.size()), length)) return false;
    heldBody_.insert(heldBody_.end(), data, data + length);
    return true;
}

bool TaskCore::deliverBody(const char* data, std::size_t length) {
    if (length == 0) return true;
    if (kind != URLSessionTask::Kind::download && !fitsBodyLimit(task_->bytesReceived_, length)) return false;
    task_->bytesReceived_ += static_cast<std::int64_t>(length);
    if (kind == URLSessionTask::Kind::download) {
        if (!downloadFile_ || std::fwrite(data, 1, length, downloadFile_) != length) {
            abortError_ = makeURLError(URLErrorCode::cannotWriteToFile, current_.url(), std::strerror(errno));
            return false;
        }
        downloadWritten_ += static_cast<std::int64_t>(length);
        if (delegate_ && !hasCompletionHandler) {
            auto d = delegate_;
            auto session = session_;
            auto t = std::static_pointer_cast<URLSessionDownloadTask>(task_);
            const std::int64_t written = resumeOffset_ + downloadWritten_;
            std::int64_t expected = expectedTotal_ >= 0 ? expectedTotal_ : kURLSessionTransferSizeUnknown;
            if (expected >= 0 && expected < written) expected = kURLSessionTransferSizeUnknown;
            emit([d, session, t, n = static_cast<std::int64_t>(length), written, expected] {
                d->didWriteData(session, t, n, written, expected);
            });
        }
        return true;
    }
    if (hasCompletionHandler) {
        collected_.insert(collected_.end(), data, data + length);
    } else if (delegate_) {
        auto d = delegate_;
        auto session = session_;
        auto t = std::static_pointer_cast<URLSessionDataTask>(task_);
        emit([d, session, t, chunk = Data(data, data + length)] { d->didReceiveData(session, t, chunk); });
    }
    return true;
}

std::size_t TaskCore::readCallback(char* buffer, std::size_t size, std::size_t count, void* userp) {
    auto* self = static_cast<TaskCore*>(userp);
    self->touch();
    const std::int64_t left = self->bodyFileSize_ - self->bodyFilePos_;
    if (self->bodyFd_ < 0 || left <= 0) return 0;
    const auto want = static_cast<std::size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(size * count)));
    ssize_t n;
    do {
        n = ::pread(self->bodyFd_, buffer, want, self->bodyFileStart_ + self->bodyFilePos_);
    } while (n < 0 && errno == EINTR);
    if (n <= 0) {
        // The announced length cannot be sent any more: end the task instead of leaving the server waiting.
        self->abortError_ =
            n < 0 ? makeURLError(URLErrorCode::noPermissionsToReadFile, self->current_.url(), std::strerror(errno))
                  : makeURLError(URLErrorCode::resourceUnavailable, self->current_.url(),
                                 "the file ended before the length announced for it");
        return CURL_READFUNC_ABORT;
    }
    self->bodyFilePos_ += n;
    return static_cast<std::size_t>(n);
}

int TaskCore::seekCallback(void* userp, curl_off_t offset, int origin) {
    auto* self = static_cast<TaskCore*>(userp);
    if (self->bodyFd_ < 0 || origin != SEEK_SET) return CURL_SEEKFUNC_CANTSEEK;
    if (offset < 0 || offset > self->bodyFileSize_) return CURL_SEEKFUNC_FAIL;
    self->bodyFilePos_ = offset;
    return CURL_SEEKFUNC_OK;
}

std::optional<Error> TaskCore::openBodyFile(const std::string& path) {
    closeBodyFile();
    bodyFd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (bodyFd_ >= 0) return std::nullopt;
    return makeURLError(errno == ENOENT ? URLErrorCode::fileDoesNotExist : URLErrorCode::noPermissionsToReadFile,
                        current_.url(), path);
}

void TaskCore::closeBodyFile() {
    if (bodyFd_ >= 0) ::close(bodyFd_);
    bodyFd_ = -1;
}

int TaskCore::progressCallback(void* userp, curl_off_t, curl_off_t, curl_off_t, curl_off_t ulnow) {
    auto* self = static_cast<TaskCore*>(userp);
    self->reportUploadProgress(self->bodyBytesSent(ulnow));
    return 0;
}

// libcurl counts a chunked body with its framing; the body's own bytes are those taken from the stream.
std::int64_t TaskCore::bodyBytesSent(curl_off_t uploaded) const {
    return bodyStream_ ? bodyStream_->taken() : static_cast<std::int64_t>(uploaded);
}

void TaskCore::reportUploadProgress(std::int64_t sent) {
    if (sent <= lastReportedSent_) return;
    touch();
    const std::int64_t delta = sent - lastReportedSent_;
    lastReportedSent_ = sent;
    task_->bytesSent_ = sent;
    if (!wantsProgress_) return;
    if (openProgress_ && openProgress_->add(delta, sent)) return;
    auto d = delegate_;
    auto session = session_;
    auto t = task_;
    auto progress = std::make_shared<PendingUploadProgress>(delta, sent);
    const std::int64_t expected = task_->bytesExpectedToSend_;
    emit([d, session, t, progress, expected] {
        auto [bytes, total] = progress->deliver();
        d->didSendBodyData(session, t, bytes, total, expected);
    });
    openProgress_ = std::move(progress);
}

CURLcode TaskCore::sslContextCallback(CURL*, void* sslContext, void* userp) {
    auto* self = static_cast<TaskCore*>(userp);
    auto* ctx = static_cast<SSL_CTX*>(sslContext);
    auto* hc = new HandshakeContext;
    hc->task = self->weak_from_this();
    hc->host = self->current_.url()->host().value_or("");
    hc->isIP = isIPAddress(hc->host);
    if (const auto* pins = self->core_->pins(self->current_.url()->origin())) hc->pins = *pins;
    SSL_CTX_set_ex_data(ctx, handshakeIndex(), hc);
    SSL_CTX_set_cert_verify_callback(ctx, &verifyCertificate, hc);
    return CURLE_OK;
}

void TaskCore::onServerTrust(std::shared_ptr<const ServerTrust> trust, bool acceptedByPin) {
    if (completed_ || acceptedByPin) return;
    if (!trust->evaluate()) {
        untrustedTrust_ = std::move(trust);
        return;
    }
    if (!delegate_) return;
    // A trusted server: the delegate may still refuse it. Later events wait for its answer.
    gated_ = true;
    issueChallenge(std::move(trust), false);
}

void TaskCore::issueChallenge(std::shared_ptr<const ServerTrust> trust, bool untrusted) {
    const URL& url = *current_.url();
    URLAuthenticationChallenge challenge;
    challenge.protectionSpace.host = url.host().value_or("");
    challenge.protectionSpace.port = url.effectivePort().value_or(443);
    challenge.protectionSpace.protocol = url.scheme();
    challenge.protectionSpace.authenticationMethod = std::string(kURLAuthenticationMethodServerTrust);
    challenge.protectionSpace.serverTrust = std::move(trust);
    challenge.previousFailureCount = trustChallenges_;
    ++trustChallenges_;
    askChallenge(std::move(challenge), true,
                 [untrusted](TaskCore& self, URLSessionAuthChallengeDisposition disposition,
                             std::optional<URLCredential> credential) {
                     self.onChallengeAnswer(untrusted, disposition, std::move(credential));
                 });
}

// Hands a challenge to the delegate; its answer comes back to the network thread, once.
void TaskCore::askChallenge(
    URLAuthenticationChallenge challenge, bool ungated,
    UniqueFunction<void(TaskCore&, URLSessionAuthChallengeDisposition, std::optional<URLCredential>)> onAnswer) {
    auto d = delegate_;
    auto session = session_;
    auto t = task_;
    auto self = shared_from_this();
    auto answer = std::make_shared<decltype(onAnswer)>(std::move(onAnswer));
    Event event = [d, session, t, self, answer, challenge = std::move(challenge)] {
        auto answered = std::make_shared<std::atomic<bool>>(false);
        d->didReceiveChallenge(session, t, challenge,
                               [self, answer, answered](URLSessionAuthChallengeDisposition disposition,
                                                        std::optional<URLCredential> credential) {
                                   if (answered->exchange(true)) return;
                                   postToNetwork(
                                       [self, answer, disposition, credential = std::move(credential)]() mutable {
                                           (*answer)(*self, disposition, std::move(credential));
                                       });
                               });
    };
    if (ungated) {
        emitUngated(std::move(event));
    } else {
        emit(std::move(event));
    }
}

void TaskCore::onChallengeAnswer(bool untrustedPath, URLSessionAuthChallengeDisposition disposition,
                                 std::optional<URLCredential> credential) {
    if (completed_) return;
    if (untrustedPath) {
        auto trust = pendingChallengeTrust_;
        pendingChallengeTrust_.reset();
        const bool accepted = disposition == URLSessionAuthChallengeDisposition::useCredential && credential &&
                              credential->serverTrust && trust;
        if (accepted) {
            // Pin the certificate the delegate accepted and send the request again (nothing was sent).
            core_->addPin(current_.url()->origin(), trust->leafFingerprint());
            startHop();
            return;
        }
        std::optional<Error> reason;
        if (trust) trust->evaluate(&reason);
        complete(reason ? *reason : makeURLError(URLErrorCode::serverCertificateUntrusted, current_.url()));
        return;
    }
    if (disposition == URLSessionAuthChallengeDisposition::cancelAuthenticationChallenge) {
        stopTransfer();
        held_.clear();
        gated_ = false;
        complete(makeURLError(URLErrorCode::cancelled, current_.url()));
        return;
    }
    openGate();
}

// Streamed bodies

bool TaskCore::usesBodyStream() const {
    if (kind == URLSessionTask::Kind::upload && (uploadData || uploadFilePath)) return false;
    return streamedUpload || current_.httpBodyStream() != nullptr;
}

void TaskCore::requestBodyStream() {
    if (!delegate_) {
        complete(makeURLError(URLErrorCode::requestBodyStreamExhausted, current_.url(), "no body stream"));
        return;
    }
    awaitingBodyStream_ = true;
    auto d = delegate_;
    auto session = session_;
    auto t = task_;
    auto self = shared_from_this();
    emit([d, session, t, self] {
        auto answered = std::make_shared<std::atomic<bool>>(false);
        d->needNewBodyStream(session, t, [self, answered](std::shared_ptr<InputStream> stream) {
            if (answered->exchange(true)) return;
            postToNetwork([self, stream = std::move(stream)]() mutable { self->onBodyStream(std::move(stream)); });
        });
    });
}

void TaskCore::onBodyStream(std::shared_ptr<InputStream> stream) {
    if (completed_ || !awaitingBodyStream_) return;
    awaitingBodyStream_ = false;
    if (!stream) {
        complete(makeURLError(URLErrorCode::requestBodyStreamExhausted, current_.url(), "no body stream was given"));
        return;
    }
    nextBodyStream_ = std::move(stream);
    startHop();
}

void TaskCore::onBodyStreamReady(std::uint64_t hop) {
    if (completed_ || hop != hopNumber_ || !pausedForBody_) return;
    pausedForBody_ = false;
    applyPause();  // libcurl asks for the body again
}

std::size_t TaskCore::streamReadCallback(char* buffer, std::size_t size, std::size_t count, void* userp) {
    auto* self = static_cast<TaskCore*>(userp);
    if (!self->bodyStream_) return 0;
    auto taken = self->bodyStream_->take(buffer, size * count);
    switch (taken.state) {
    case URLSessionBodyStream::State::bytes:
        self->touch();
        return taken.count;
    case URLSessionBodyStream::State::end:
        return 0;
    case URLSessionBodyStream::State::wait:
        self->pausedForBody_ = true;
        return CURL_READFUNC_PAUSE;
    case URLSessionBodyStream::State::failed: {
        auto error = makeURLError(URLErrorCode::noPermissionsToReadFile, self->current_.url(),
                                  "the body stream could not be read");
        Dictionary info = error.userInfo();
        if (taken.error) info.emplace(std::string(kUnderlyingErrorKey), Value(*taken.error));
        self->abortError_ = Error(error.domain(), error.code(), std::move(info));
        return CURL_READFUNC_ABORT;
    }
    case URLSessionBodyStream::State::shortBody:
        self->abortError_ = makeURLError(URLErrorCode::requestBodyStreamExhausted, self->current_.url(),
                                         "the body stream ended before its Content-Length");
        return CURL_READFUNC_ABORT;
    }
    return CURL_READFUNC_ABORT;
}

// A stream cannot go back; only a body nothing was taken from yet can start over (libcurl asks when
// it sends a request again on a new connection).
int TaskCore::streamSeekCallback(void* userp, curl_off_t offset, int origin) {
    auto* self = static_cast<TaskCore*>(userp);
    if (self->bodyStream_ && origin == SEEK_SET && offset == 0 && self->bodyStream_->taken() == 0)
        return CURL_SEEKFUNC_OK;
    return CURL_SEEKFUNC_CANTSEEK;
}

// HTTP authentication

// A 401 offering Basic or Digest is held as a challenge instead of being delivered.
bool TaskCore::isAuthChallenge() {
    if (statusCode_ != 401) return false;
    std::optional<AuthOffer> chosen;
    for (auto& offer : parseAuthenticate(response_->valueForHTTPHeaderField("WWW-Authenticate").value_or(""))) {
        if (offer.scheme == "digest") {
            chosen = offer;
            break;
        }
        if (offer.scheme == "basic" && !chosen) chosen = offer;
    }
    if (!chosen) return false;
    authHop_ = true;
    authMethod_ = std::string(chosen->scheme == "digest" ? kURLAuthenticationMethodHTTPDigest
                                                         : kURLAuthenticationMethodHTTPBasic);
    authRealm_ = chosen->realm;
    return true;
}

namespace {
std::string protectionSpaceKey(const URLProtectionSpace& space) {
    return space.protocol + "://" + space.host + ":" + std::to_string(space.port) + " " + space.authenticationMethod +
           " " + space.realm.value_or("");
}
}  // namespace

URLProtectionSpace TaskCore::authSpace() const {
    const URL& url = *current_.url();
    URLProtectionSpace space;
    space.host = url.host().value_or("");
    space.port = url.effectivePort().value_or(url.scheme() == "https" ? 443 : 80);
    space.protocol = url.scheme();
    space.authenticationMethod = authMethod_;
    space.realm = authRealm_;
    return space;
}

void TaskCore::onAuthChallenge() {
    releaseHop();
    const URL& url = *current_.url();
    URLAuthenticationChallenge challenge;
    challenge.protectionSpace = authSpace();
    challenge.previousFailureCount = authChallenges_[protectionSpaceKey(challenge.protectionSpace)]++;
    challenge.failureResponse = response_;
    auto user = url.user(), password = url.password();
    if (user && password) challenge.proposedCredential = URLCredential::withUser(*user, *password);
    if (!delegate_) {
        onAuthAnswer(URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
        return;
    }
    askChallenge(
        std::move(challenge), false,
        [](TaskCore& self, URLSessionAuthChallengeDisposition disposition, std::optional<URLCredential> credential) {
            self.onAuthAnswer(disposition, std::move(credential));
        });
}

void TaskCore::onAuthAnswer(URLSessionAuthChallengeDisposition disposition, std::optional<URLCredential> credential) {
    if (completed_ || !authHop_) return;
    switch (disposition) {
    case URLSessionAuthChallengeDisposition::useCredential:
        if (credential && credential->user && credential->password) {
            retryWithCredential(*credential->user, *credential->password);
            return;
        }
        break;
    case URLSessionAuthChallengeDisposition::performDefaultHandling: {
        // The URL's own user and password, once per protection space.
        auto user = current_.url()->user(), password = current_.url()->password();
        if (user && password && urlCredentialTried_.insert(protectionSpaceKey(authSpace())).second) {
            retryWithCredential(*user, *password);
            return;
        }
        break;
    }
    case URLSessionAuthChallengeDisposition::rejectProtectionSpace:
        break;
    case URLSessionAuthChallengeDisposition::cancelAuthenticationChallenge:
        complete(makeURLError(URLErrorCode::cancelled, current_.url()));
        return;
    }
    deliverHeldResponse();
}

void TaskCore::retryWithCredential(std::string user, std::string password) {
    authCredential_ = AuthAnswer{authMethod_ == kURLAuthenticationMethodHTTPDigest ? static_cast<long>(CURLAUTH_DIGEST)
                                                                                   : static_cast<long>(CURLAUTH_BASIC),
                                 std::move(user), std::move(password), current_.url()->origin()};
    authHop_ = false;
    startHop();
}

// Done, redirects and decisions

void TaskCore::onTransferDone(CURLcode rc) {
    auto keep = shared_from_this();
    inMulti_ = false;
    if (completed_) return;
    if (rc == CURLE_OK && !abortError_ && responseDecision_ == Decision::pending) {
        doneWhileDeciding_ = rc;
        return;
    }
    if (easy_) {
        if (delegate_ && metricsWanted_) collectMetrics();
        curl_off_t sent = 0;
        if (curl_easy_getinfo(easy_, CURLINFO_SIZE_UPLOAD_T, &sent) == CURLE_OK)
            task_->bytesSent_ = bodyBytesSent(sent);
    }
    if (abortError_) {
        complete(*abortError_);
        return;
    }
    if (rc != CURLE_OK) {
        if (untrustedTrust_) {
            auto trust = untrustedTrust_;
            untrustedTrust_.reset();
            if (delegate_ && trustChallenges_ < kMaxTrustChallenges) {
                pendingChallengeTrust_ = trust;
                releaseHop();
                issueChallenge(trust, true);
                return;
            }
            std::optional<Error> reason;
            trust->evaluate(&reason);
            complete(*reason);
            return;
        }
        complete(transportError(rc));
        return;
    }
    if (decoder_ && decoder_->isTruncated()) {
        // The connection ended where the server said the body did, but the compressed stream had not.
        complete(makeURLError(URLErrorCode::networkConnectionLost, current_.url(),
                              "the compressed body ends before the end of its stream"));
        return;
    }
    if (redirectHop_) {
        onRedirect();
        return;
    }
    if (authHop_) {
        onAuthChallenge();
        return;
    }
    finishSuccess();
}

void TaskCore::onRedirect() {
    releaseHop();
    if (++redirectCount_ > kMaxRedirects) {
        complete(makeURLError(URLErrorCode::httpTooManyRedirects, current_.url()));
        return;
    }
    metrics_.redirectCount = redirectCount_;
    const URL& from = *current_.url();
    auto location = response_->valueForHTTPHeaderField("Location").value_or("");
    auto next = URL::parse(trimHTTPWhitespace(location), from);
    if (!next) {
        // A Location that is no URL: the 3xx is the answer.
        onRedirectDecision(std::nullopt);
        return;
    }
    URLRequest proposed = current_;
    proposed.setURL(*next);
    const std::string method = current_.httpMethod();
    if (((statusCode_ == 301 || statusCode_ == 302) && method == "POST") ||
        (statusCode_ == 303 && method != "GET" && method != "HEAD")) {
        proposed.setHTTPMethod("GET");
        proposed.setHTTPBody(std::optional<Data>());
        proposed.setHTTPBodyFilePath(std::nullopt);
        proposed.setHTTPBodyStream(nullptr);
        proposed.allHTTPHeaderFields().remove("Content-Type");
        proposed.allHTTPHeaderFields().remove("Content-Length");
    }
    stripCrossOriginCredentials(proposed, from);
    if (delegate_) {
        auto d = delegate_;
        auto session = session_;
        auto t = task_;
        auto self = shared_from_this();
        emit([d, session, t, self, response = response_, proposed = std::move(proposed)]() mutable {
            auto answered = std::make_shared<std::atomic<bool>>(false);
            d->willPerformHTTPRedirection(session, t, response, std::move(proposed),
                                          [self, answered](std::optional<URLRequest> request) {
                                              if (answered->exchange(true)) return;
                                              postToNetwork([self, request = std::move(request)]() mutable {
                                                  self->onRedirectDecision(std::move(request));
                                              });
                                          });
        });
    } else {
        onRedirectDecision(std::move(proposed));
    }
}

void TaskCore::onRedirectDecision(std::optional<URLRequest> request) {
    if (completed_) return;
    if (!request) {
        // Not followed: the 3xx response and its body are the task's result.
        deliverHeldResponse();
        return;
    }
    URLRequest next = std::move(*request);
    if (!next.url()) {
        complete(makeURLError(URLErrorCode::badURL, std::nullopt, "the redirect has no URL"));
        return;
    }
    // Whatever the delegate answered, credentials never travel to another origin.
    stripCrossOriginCredentials(next, *current_.url());
    if (next.httpMethod() == "GET" || next.httpMethod() == "HEAD") bodyDropped_ = true;
    current_ = std::move(next);
    {
        std::lock_guard lock(task_->mutex_);
        task_->currentRequest_ = current_;
    }
    startHop();
}

// A held response (a 3xx not followed, a 401 not answered) and its body become the task's result.
void TaskCore::deliverHeldResponse() {
    redirectHop_ = false;
    authHop_ = false;
    onFinalHead();
    if (abortError_) {
        complete(*abortError_);
        return;
    }
    if (responseDecision_ == Decision::pending) {
        doneWhileDeciding_ = CURLE_OK;
        return;
    }
    Data body = std::move(heldBody_);
    heldBody_.clear();
    if (!deliverBody(reinterpret_cast<const char*>(body.data()), body.size())) {
        complete(*abortError_);
        return;
    }
    finishSuccess();
}

void TaskCore::onResponseDecision(URLSessionResponseDisposition disposition) {
    if (completed_ || responseDecision_ != Decision::pending) return;
    responseDecision_ = Decision::done;
    switch (disposition) {
    case URLSessionResponseDisposition::cancel:
        stopTransfer();
        complete(makeURLError(URLErrorCode::cancelled, current_.url()));
        return;
    case URLSessionResponseDisposition::becomeDownload: {
        auto dataTask = std::static_pointer_cast<URLSessionDataTask>(task_);
        auto download = std::make_shared<URLSessionDownloadTask>(URLSessionTask::Kind::download,
                                                                 core_->nextTaskIdentifier(), core_);
        download->core_ = shared_from_this();
        {
            std::lock_guard lock(task_->mutex_);
            download->originalRequest_ = task_->originalRequest_;
            download->currentRequest_ = current_;
            download->response_ = response_;
            download->state_ = URLSessionTaskState::running;
        }
        core_->registerTask(download);
        kind = URLSessionTask::Kind::download;
        if (!openDownloadFile(false)) {
            stopTransfer();
            complete(makeURLError(URLErrorCode::cannotCreateFile, current_.url(), std::strerror(errno)));
            return;
        }
        {
            // The data task ends here without events of its own; the download task goes on.
            std::lock_guard lock(dataTask->mutex_);
            dataTask->state_ = URLSessionTaskState::completed;
        }
        core_->unregisterTask(dataTask.get());
        task_ = download;
        auto d = delegate_;
        auto session = session_;
        emit([d, session, dataTask, download] { d->didBecomeDownloadTask(session, dataTask, download); });
        break;
    }
    case URLSessionResponseDisposition::allow:
    case URLSessionResponseDisposition::becomeStream:
        break;
    }
    continueAfterDecision();
}

void TaskCore::continueAfterDecision() {
    if (!heldBody_.empty()) {
        Data body = std::move(heldBody_);
        heldBody_.clear();
        if (!deliverBody(reinterpret_cast<const char*>(body.data()), body.size())) {
            stopTransfer();
            complete(*abortError_);
            return;
        }
    }
    if (doneWhileDeciding_) {
        auto rc = *doneWhileDeciding_;
        doneWhileDeciding_.reset();
        onTransferDone(rc);
        return;
    }
    if (pausedForDecision_) {
        pausedForDecision_ = false;
        applyPause();  // libcurl hands over the chunk it kept
    }
}

void TaskCore::finishSuccess() {
    releaseHop();
    if (kind == URLSessionTask::Kind::download) {
        if (downloadFile_) {
            const bool flushed = std::fflush(downloadFile_) == 0;
            std::fclose(downloadFile_);
            downloadFile_ = nullptr;
            if (!flushed) {
                complete(makeURLError(URLErrorCode::cannotWriteToFile, current_.url(), std::strerror(errno)));
                return;
            }
        }
        if (delegate_ && !hasCompletionHandler) {
            auto d = delegate_;
            auto session = session_;
            auto t = std::static_pointer_cast<URLSessionDownloadTask>(task_);
            auto location = URL::fileURLWithPath(downloadPath_);
            emit([d, session, t, location, path = downloadPath_] {
                d->didFinishDownloadingToURL(session, t, location);
                std::error_code ec;
                std::filesystem::remove(path, ec);
            });
            downloadDelivered_ = true;
        }
    }
    complete(std::nullopt);
}

void TaskCore::complete(std::optional<Error> error) {
    if (completed_) return;
    completed_ = true;
    auto keep = shared_from_this();
    if (timer_) {
        NetworkLoop::instance().cancel(timer_);
        timer_ = 0;
    }
    releaseHop();
    closeBodyFile();
    nextBodyStream_.reset();
    awaitingBodyStream_ = false;
    if (downloadFile_) {
        std::fclose(downloadFile_);
        downloadFile_ = nullptr;
    }
    if (!task_) return;  // never started and nothing to report to

    if (kind == URLSessionTask::Kind::download && error && !isURLError(error, URLErrorCode::cancelled)) {
        // A transfer that broke off can go on later from where it stopped.
        if (auto resume = makeResumeData()) {
            keepDownloadFile_ = true;
            Dictionary info = error->userInfo();
            info[std::string(kURLSessionDownloadTaskResumeData)] = Value(*resume);
            error = Error(error->domain(), error->code(), std::move(info));
        }
    }
    const bool removeFile = kind == URLSessionTask::Kind::download && !downloadPath_.empty() && !keepDownloadFile_ &&
                            !downloadDelivered_ && (error || !hasCompletionHandler);
    if (removeFile) {
        std::error_code ec;
        std::filesystem::remove(downloadPath_, ec);
    }
    {
        std::lock_guard lock(task_->mutex_);
        task_->state_ = URLSessionTaskState::completed;
        task_->error_ = error;
        if (response_ && !task_->response_) task_->response_ = response_;
    }
    openGate();
    auto session = session_;
    auto d = delegate_;
    auto t = task_;
    if (d && !metrics_.transactionMetrics.empty()) {
        metrics_.taskIntervalDuration = std::chrono::duration<double>(Clock::now() - taskStart_).count();
        emit([d, session, t, metrics = std::move(metrics_)] { d->didFinishCollectingMetrics(session, t, metrics); });
    }
    auto response = response_;
    if (hasCompletionHandler) {
        if (kind == URLSessionTask::Kind::download && downloadCompletion) {
            std::optional<URL> location;
            if (!error) location = URL::fileURLWithPath(downloadPath_);
            emit([cb = std::move(downloadCompletion), location, response, error,
                  path = error ? std::string() : downloadPath_]() mutable {
                cb(location, response, error);
                if (!path.empty()) {
                    std::error_code ec;
                    std::filesystem::remove(path, ec);
                }
            });
        } else if (dataCompletion) {
            std::optional<Data> body;
            if (!error) body = std::move(collected_);
            Event run = [cb = std::move(dataCompletion), body = std::move(body), response, error]() mutable {
                cb(std::move(body), response, error);
            };
            if (completionPassesOn && !d) {
                run();
            } else {
                emit(std::move(run));
            }
        }
    } else if (d) {
        emit([d, session, t, error] { d->didCompleteWithError(session, t, error); });
    }
    core_->unregisterTask(task_.get());
    core_->taskFinished(session);
    task_.reset();
    session_.reset();
    delegate_.reset();
    core_.reset();
}

void TaskCore::emit(Event event) {
    openProgress_.reset();  // progress after this event must come after it
    if (gated_) {
        held_.push_back(std::move(event));
        return;
    }
    emitUngated(std::move(event));
}

void TaskCore::emitUngated(Event event) {
    openProgress_.reset();
    auto core = core_ ? core_ : sessionCore.lock();
    if (core) core->deliver(std::move(event));
}

void TaskCore::openGate() {
    gated_ = false;
    for (auto& e : held_) emitUngated(std::move(e));
    held_.clear();
}

void TaskCore::updateTaskState(URLSessionTaskState state) {
    std::lock_guard lock(task_->mutex_);
    if (task_->state_ != URLSessionTaskState::completed) task_->state_ = state;
}

void TaskCore::collectMetrics() {
    URLSessionTaskTransactionMetrics m;
    m.request = current_;
    m.response = response_;
    m.fetchStartDate = hopStartDate_;
    m.responseEndDate = now();
    curl_off_t lookup = 0, connect = 0, tls = 0, firstByte = 0;
    curl_easy_getinfo(easy_, CURLINFO_NAMELOOKUP_TIME_T, &lookup);
    curl_easy_getinfo(easy_, CURLINFO_CONNECT_TIME_T, &connect);
    curl_easy_getinfo(easy_, CURLINFO_APPCONNECT_TIME_T, &tls);
    curl_easy_getinfo(easy_, CURLINFO_STARTTRANSFER_TIME_T, &firstByte);
    auto seconds = [](curl_off_t us) { return static_cast<double>(us) / 1e6; };
    m.domainLookupDuration = seconds(lookup);
    m.connectDuration = connect > lookup ? seconds(connect - lookup) : 0;
    m.secureConnectionDuration = tls > connect ? seconds(tls - connect) : 0;
    m.timeToFirstByte = seconds(firstByte);
    long connects = 0;
    curl_easy_getinfo(easy_, CURLINFO_NUM_CONNECTS, &connects);
    m.isReusedConnection = connects == 0;
    long version = 0;
    curl_easy_getinfo(easy_, CURLINFO_HTTP_VERSION, &version);
    m.networkProtocolName = version == CURL_HTTP_VERSION_2_0 ? "h2"
                            : version == CURL_HTTP_VERSION_3 ? "h3"
                                                             : "http/1.1";
    char* ip = nullptr;
    if (curl_easy_getinfo(easy_, CURLINFO_PRIMARY_IP, &ip) == CURLE_OK && ip && *ip) m.remoteAddress = ip;
    long port = 0;
    if (curl_easy_getinfo(easy_, CURLINFO_PRIMARY_PORT, &port) == CURLE_OK && port > 0)
        m.remotePort = static_cast<int>(port);
    metrics_.transactionMetrics.push_back(std::move(m));
}

// Resume data: where a download stopped, so a new task can ask for the rest.

std::optional<Data> TaskCore::makeResumeData() const {
    if (kind != URLSessionTask::Kind::download || downloadPath_.empty() || !current_.url()) return std::nullopt;
    const std::int64_t offset = resumeOffset_ + downloadWritten_;
    if (offset <= 0 || (!etag_ && !lastModified_)) return std::nullopt;
    if (statusCode_ != 200 && statusCode_ != 206) return std::nullopt;
    std::optional<URLRequest> original;
    if (task_) {
        std::lock_guard lock(task_->mutex_);
        original = task_->originalRequest_;
    }
    if (!original) return std::nullopt;
    nlohmann::json j;
    j["version"] = kResumeDataVersion;
    j["url"] = current_.url()->absoluteString();
    j["method"] = current_.httpMethod();
    auto headers = nlohmann::json::array();
    for (auto& [n, v] : original->allHTTPHeaderFields()) headers.push_back({n, v});
    j["headers"] = std::move(headers);
    j["file"] = downloadPath_;
    j["offset"] = offset;
    if (etag_) j["etag"] = *etag_;
    if (lastModified_) j["lastModified"] = *lastModified_;
    j["timeout"] = original->timeoutInterval();
    return toData(j.dump());
}

bool TaskCore::parseResumeData() {
    try {
        auto j = parseJSON(*resumeData, kMaxStoredJSONDepth);
        if (j.value("version", 0) != kResumeDataVersion) return false;
        auto url = URL::parse(j.at("url").get<std::string>());
        if (!url) return false;
        URLRequest request(*url);
        request.setHTTPMethod(j.value("method", std::string("GET")));
        for (auto& h : j.value("headers", nlohmann::json::array())) {
            request.addValue(h.at(1).get<std::string>(), h.at(0).get<std::string>());
        }
        request.setTimeoutInterval(j.value("timeout", URLRequest::kDefaultTimeoutInterval));
        current_ = request;
        {
            std::lock_guard lock(task_->mutex_);
            task_->originalRequest_ = request;
            task_->currentRequest_ = request;
        }
        if (j.contains("etag")) etag_ = j["etag"].get<std::string>();
        if (j.contains("lastModified")) lastModified_ = j["lastModified"].get<std::string>();
        // Only our own partial files are continued: resume data must not point us at any other file.
        std::error_code ec;
        std::filesystem::path file = j.value("file", std::string());
        auto dir = std::filesystem::temp_directory_path(ec);
        const bool ours = !file.empty() && file.parent_path() == (ec ? std::filesystem::path("/tmp") : dir) &&
                          hasPrefix(file.filename().string(), kDownloadFilePrefix) &&
                          std::filesystem::is_regular_file(file, ec) && !std::filesystem::is_symlink(file, ec);
        if (ours) {
            downloadPath_ = file.string();
            auto size = static_cast<std::int64_t>(std::filesystem::file_size(file, ec));
            resumeOffset_ = ec ? 0 : std::min<std::int64_t>(size, j.value("offset", std::int64_t{0}));
            if (resumeOffset_ > 0 && resumeOffset_ < size) std::filesystem::resize_file(file, resumeOffset_, ec);
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

Error TaskCore::transportError(CURLcode rc) const {
    URLErrorCode code = URLErrorCode::unknown;
    switch (rc) {
    case CURLE_OPERATION_TIMEDOUT:
        code = URLErrorCode::timedOut;
        break;
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        code = URLErrorCode::cannotFindHost;
        break;
    case CURLE_COULDNT_CONNECT: {
        long osErrno = 0;
        if (easy_) curl_easy_getinfo(easy_, CURLINFO_OS_ERRNO, &osErrno);
        code = (osErrno == ENETUNREACH || osErrno == ENETDOWN) ? URLErrorCode::notConnectedToInternet
                                                               : URLErrorCode::cannotConnectToHost;
        break;
    }
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
        code = URLErrorCode::networkConnectionLost;
        break;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_USE_SSL_FAILED:
        code = URLErrorCode::secureConnectionFailed;
        break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        code = URLErrorCode::serverCertificateUntrusted;
        break;
    case CURLE_SSL_CERTPROBLEM:
        code = URLErrorCode::clientCertificateRejected;
        break;
    case CURLE_TOO_MANY_REDIRECTS:
        code = URLErrorCode::httpTooManyRedirects;
        break;
    case CURLE_URL_MALFORMAT:
        code = URLErrorCode::badURL;
        break;
    // Schemes are checked before a transfer starts: here it means a reply that is not HTTP
    // (libcurl refuses HTTP/0.9).
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_WEIRD_SERVER_REPLY:
        code = URLErrorCode::cannotParseResponse;
        break;
    case CURLE_BAD_CONTENT_ENCODING:
        code = URLErrorCode::cannotDecodeContentData;
        break;
    case CURLE_FILESIZE_EXCEEDED:
        code = URLErrorCode::dataLengthExceedsMaximum;
        break;
    case CURLE_READ_ERROR:
        code = URLErrorCode::noPermissionsToReadFile;
        break;
    case CURLE_SEND_FAIL_REWIND:
        code = URLErrorCode::requestBodyStreamExhausted;
        break;
    case CURLE_WRITE_ERROR:
        code = URLErrorCode::cannotWriteToFile;
        break;
    default:
        code = URLErrorCode::badServerResponse;
        break;
    }
    std::string detail = errorBuffer_[0] ? std::string(errorBuffer_) : std::string(curl_easy_strerror(rc));
    auto error = makeURLError(code, current_.url(), detail);
    Dictionary info = error.userInfo();
    info.emplace(std::string(kUnderlyingErrorKey),
                 Value(Error(std::string(kCurlErrorDomain), static_cast<int>(rc),
                             {{std::string(kLocalizedDescriptionKey), Value(curl_easy_strerror(rc))}})));
    return Error(error.domain(), error.code(), std::move(info));
}

}  // namespace brisko::platform::detail
