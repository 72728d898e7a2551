// A URL request: method, URL, ordered headers, body (bytes, a file or a stream), timeout and policies.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/net/HTTPHeaders.hpp"
#include "platform/net/InputStream.hpp"
#include "platform/net/URL.hpp"
#include "platform/base/Value.hpp"

namespace brisko::platform {

enum class URLRequestCachePolicy {
    useProtocolCachePolicy = 0,
    reloadIgnoringLocalCacheData = 1,
    returnCacheDataElseLoad = 2,
    returnCacheDataDontLoad = 3,
    reloadIgnoringLocalAndRemoteCacheData = 4,
    reloadRevalidatingCacheData = 5,
};

// A value type: copies are independent (the body bytes are shared copy-on-write, so copying a request
// with a large body is cheap).
class URLRequest {
  public:
    static constexpr double kDefaultTimeoutInterval = 60.0;

    URLRequest() = default;
    explicit URLRequest(std::optional<URL> url,
                        URLRequestCachePolicy cachePolicy = URLRequestCachePolicy::useProtocolCachePolicy,
                        double timeoutInterval = kDefaultTimeoutInterval)
        : url_(std::move(url)), cachePolicy_(cachePolicy), timeoutInterval_(timeoutInterval) {}

    const std::optional<URL>& url() const { return url_; }
    void setURL(std::optional<URL> url) { url_ = std::move(url); }

    // "GET" unless set; an empty method reads as "GET".
    const std::string& httpMethod() const { return method_; }
    void setHTTPMethod(std::string_view method) {
        method_ = method.empty() ? std::string("GET") : std::string(method);
    }

    const HTTPHeaders& allHTTPHeaderFields() const { return headers_; }
    HTTPHeaders& allHTTPHeaderFields() { return headers_; }
    void setAllHTTPHeaderFields(HTTPHeaders headers) { headers_ = std::move(headers); }
    std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const {
        return headers_.get(name);
    }
    // setValue:forHTTPHeaderField: (no value removes the field).
    void setValue(const std::optional<std::string>& value, std::string_view name) {
        headers_.set(name, value);
    }
    void setValue(std::string_view value, std::string_view name) { headers_.set(name, value); }
    void setValue(const char* value, std::string_view name) { headers_.set(name, std::string_view(value)); }
    void setValue(const std::string& value, std::string_view name) {
        headers_.set(name, std::string_view(value));
    }
    void addValue(std::string_view value, std::string_view name) { headers_.add(name, value); }

    // Body bytes; nullptr when the request has none.
    const Data* httpBody() const { return body_.get(); }
    std::shared_ptr<const Data> sharedHTTPBody() const { return body_; }
    void setHTTPBody(std::optional<Data> body) {
        body_ = body ? std::make_shared<const Data>(std::move(*body)) : nullptr;
        if (body_) bodyStream_.reset();
    }
    void setHTTPBody(std::shared_ptr<const Data> body) {
        body_ = std::move(body);
        if (body_) bodyStream_.reset();
    }

    // Body read from a file when there are no body bytes (used by upload tasks from a file).
    const std::optional<std::string>& httpBodyFilePath() const { return bodyFilePath_; }
    void setHTTPBodyFilePath(std::optional<std::string> path) { bodyFilePath_ = std::move(path); }

    // Body read from a stream (HTTPBodyStream), sent as it is read: chunked unless the request sets
    // "Content-Length". Setting a stream drops the body bytes and setting body bytes drops the stream,
    // as only one of them can be sent. A stream can be read once: a copy of the request shares it, and
    // when the body must be sent again the session asks its delegate for a new one (needNewBodyStream).
    const std::shared_ptr<InputStream>& httpBodyStream() const { return bodyStream_; }
    void setHTTPBodyStream(std::shared_ptr<InputStream> stream) {
        bodyStream_ = std::move(stream);
        if (bodyStream_) body_.reset();
    }

    // Idle timeout in seconds: the request fails with -1001 when no data moves for this long. A value
    // of 0 or less means the session's timeoutIntervalForRequest.
    double timeoutInterval() const { return timeoutInterval_; }
    void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }

    URLRequestCachePolicy cachePolicy() const { return cachePolicy_; }
    void setCachePolicy(URLRequestCachePolicy p) { cachePolicy_ = p; }

    // Whether the session's cookie storage adds "Cookie" and stores "Set-Cookie" for this request.
    bool httpShouldHandleCookies() const { return shouldHandleCookies_; }
    void setHTTPShouldHandleCookies(bool v) { shouldHandleCookies_ = v; }

    bool allowsCellularAccess() const { return allowsCellularAccess_; }
    void setAllowsCellularAccess(bool v) { allowsCellularAccess_ = v; }

    // The URL of the document that caused this load (used by cookie policies).
    const std::optional<URL>& mainDocumentURL() const { return mainDocumentURL_; }
    void setMainDocumentURL(std::optional<URL> url) { mainDocumentURL_ = std::move(url); }

    // "<URL>" or "<no URL>", for log lines.
    std::string description() const;

    bool operator==(const URLRequest& other) const;

  private:
    std::optional<URL> url_;
    std::string method_ = "GET";
    HTTPHeaders headers_;
    std::shared_ptr<const Data> body_;
    std::optional<std::string> bodyFilePath_;
    std::shared_ptr<InputStream> bodyStream_;
    URLRequestCachePolicy cachePolicy_ = URLRequestCachePolicy::useProtocolCachePolicy;
    double timeoutInterval_ = kDefaultTimeoutInterval;
    bool shouldHandleCookies_ = true;
    bool allowsCellularAccess_ = true;
    std::optional<URL> mainDocumentURL_;
};

}  // namespace brisko::platform
