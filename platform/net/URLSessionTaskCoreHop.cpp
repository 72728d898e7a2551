// One hop of a task: the request in a libcurl easy handle (URL, TLS, method, body source, header fields).
#include <sys/stat.h>

#include <charconv>
#include <cstdlib>

#include "platform/base/Text.hpp"
#include "platform/net/URLSessionCore.hpp"

namespace brisko::platform::detail {

namespace {

// Bodies up to this size fit in a new connection's send buffer at once (16 KiB by default on Linux).
constexpr std::int64_t kBodyBytesSentAtOnce = 16 * 1024;

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

bool isHTTPScheme(const URL& url) {
    return url.scheme() == "http" || url.scheme() == "https";
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

}  // namespace

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
    // A body the socket takes at once needs no watching for the idle timeout: libcurl's progress calls
    // are then left off (they cost every turn of the transfer), unless the delegate listens.
    wantsProgress_ = (bodySize > 0 || bodyStream_) && delegate_ && progressWanted_;
    tracksUpload_ = bodyStream_ || bodySize > kBodyBytesSentAtOnce || wantsProgress_;
    sendsBody_ = bodySize > 0 || bodyStream_;
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

}  // namespace brisko::platform::detail
