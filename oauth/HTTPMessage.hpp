// HTTP/1.1 messages of the loopback listener: an incremental request parser and response serialisation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "oauth/OAuthTypes.hpp"
#include "platform/net/HTTPHeaders.hpp"

namespace brisko::oauth {

inline constexpr std::string_view kHTTPVersion1_1 = "HTTP/1.1";

class HTTPMessage {
  public:
    static HTTPMessage request(std::string method, std::string target, std::string version);
    // A response with the status; the reason phrase is the standard one for the status.
    static HTTPMessage response(int statusCode, std::string version = std::string(kHTTPVersion1_1));

    bool isRequest() const { return isRequest_; }
    const std::string& method() const { return method_; }
    const std::string& target() const { return target_; }
    const std::string& version() const { return version_; }
    int statusCode() const { return statusCode_; }

    std::optional<std::string> headerFieldValue(std::string_view name) const { return headers_.get(name); }
    void setHeaderFieldValue(std::string_view name, std::string_view value) { headers_.set(name, value); }
    const platform::HTTPHeaders& headers() const { return headers_; }
    platform::HTTPHeaders& headers() { return headers_; }

    const Data& body() const { return body_; }
    void setBody(Data body) { body_ = std::move(body); }

    // The absolute URL of a request: "http://" + its "Host" header (or the fallback when it has none or
    // an unusable one) + its target; nothing for a target that is not a path.
    std::optional<URL> requestURL(std::string_view fallbackHost) const;

    // Status line (or request line), headers and body.
    Data serializedMessage() const;

    static std::string_view reasonPhrase(int statusCode);

  private:
    bool isRequest_ = false;
    std::string method_;
    std::string target_;
    std::string version_{kHTTPVersion1_1};
    int statusCode_ = 0;
    platform::HTTPHeaders headers_;
    Data body_;
};

// Takes requests off a byte stream as the bytes arrive, scanning each byte once. A request larger than
// the limit (head and body together) or a malformed head stops the parser for good.
class HTTPRequestParser {
  public:
    enum class State { needMore, complete, tooLarge, malformed };

    explicit HTTPRequestParser(std::size_t maxRequestSize) : maxRequestSize_(maxRequestSize) {}

    // Appends bytes; answers the state after them. When complete, take() gives the request; the bytes
    // after it stay buffered as the start of the next one (call parse() again for it).
    State append(std::span<const std::uint8_t> bytes);
    State parse();
    HTTPMessage take();
    std::size_t bufferedBytes() const { return buffer_.size(); }

  private:
    State parseHead(std::string_view head);

    std::size_t maxRequestSize_;
    Data buffer_;
    std::size_t scanned_ = 0;  // bytes of buffer_ already searched for the end of the head
    std::optional<std::size_t> headLength_;
    std::size_t contentLength_ = 0;
    HTTPMessage current_;
    State state_ = State::needMore;
};

}  // namespace brisko::oauth
