// URL responses: the response head of a transfer, and its HTTP form with status and header fields.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/net/HTTPHeaders.hpp"
#include "platform/net/URL.hpp"

namespace brisko::platform {

// What every response has: the final URL (after redirects), the MIME type and text encoding taken
// from "Content-Type", and the expected body length (-1 when unknown).
class URLResponse {
  public:
    static constexpr std::int64_t kUnknownLength = -1;

    URLResponse(URL url, std::optional<std::string> mimeType, std::int64_t expectedContentLength,
                std::optional<std::string> textEncodingName);
    virtual ~URLResponse() = default;

    const URL& url() const { return url_; }
    const std::optional<std::string>& mimeType() const { return mimeType_; }
    std::int64_t expectedContentLength() const { return expectedContentLength_; }
    const std::optional<std::string>& textEncodingName() const { return textEncodingName_; }
    // The last path component of the URL, or "Unknown" when empty.
    std::string suggestedFilename() const;

  protected:
    URL url_;
    std::optional<std::string> mimeType_;
    std::int64_t expectedContentLength_;
    std::optional<std::string> textEncodingName_;
};

class HTTPURLResponse : public URLResponse {
  public:
    // A response as received: MIME type, encoding and expected length are derived from the headers
    // ("Content-Type" parameters; "Content-Length" unless a "Content-Encoding" other than identity
    // makes the decoded length differ).
    HTTPURLResponse(URL url, int statusCode, std::string httpVersion, HTTPHeaders headers);

    int statusCode() const { return statusCode_; }
    // "HTTP/1.1", "HTTP/2"...
    const std::string& httpVersion() const { return httpVersion_; }
    const HTTPHeaders& allHeaderFields() const { return headers_; }
    std::optional<std::string> valueForHTTPHeaderField(std::string_view name) const {
        return headers_.get(name);
    }

    // The platform's short text for a status ("not found" for 404, "server error" for 5xx...).
    static std::string localizedStringForStatusCode(int statusCode);

    std::string description() const;

  private:
    int statusCode_;
    std::string httpVersion_;
    HTTPHeaders headers_;
};

// Splits a "Content-Type" value: the lower-cased MIME type and the charset parameter, if any.
std::pair<std::optional<std::string>, std::optional<std::string>> parseContentType(std::string_view value);

}  // namespace brisko::platform
