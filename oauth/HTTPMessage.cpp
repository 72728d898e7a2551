// HTTP/1.1 request parsing (incremental) and message serialisation for the loopback listener.
#include "oauth/HTTPMessage.hpp"

#include <algorithm>
#include <cctype>

#include "platform/base/Text.hpp"

namespace brisko::oauth {
namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";

bool isToken(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), [](unsigned char c) {
        return std::isalnum(c) || std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
    });
}

// A Host header that can stand in a URL's authority: letters, digits, '.', '-', ':' and IPv6 brackets.
bool isUsableHost(std::string_view host) {
    return !host.empty() && host.size() <= 255 && std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']';
    });
}

}  // namespace

HTTPMessage HTTPMessage::request(std::string method, std::string target, std::string version) {
    HTTPMessage m;
    m.isRequest_ = true;
    m.method_ = std::move(method);
    m.target_ = std::move(target);
    m.version_ = std::move(version);
    return m;
}

HTTPMessage HTTPMessage::response(int statusCode, std::string version) {
    HTTPMessage m;
    m.statusCode_ = statusCode;
    m.version_ = std::move(version);
    return m;
}

std::optional<URL> HTTPMessage::requestURL(std::string_view fallbackHost) const {
    if (!isRequest_ || target_.empty() || target_.front() != '/') return std::nullopt;
    auto host = headerFieldValue("Host");
    std::string authority = host && isUsableHost(*host) ? *host : std::string(fallbackHost);
    return URL::parse("http://" + authority + target_);
}

Data HTTPMessage::serializedMessage() const {
    std::string head;
    if (isRequest_) {
        head = method_ + " " + target_ + " " + version_ + "\r\n";
    } else {
        head = version_ + " " + std::to_string(statusCode_) + " " + std::string(reasonPhrase(statusCode_)) + "\r\n";
    }
    for (const auto& [name, value] : headers_) head += name + ": " + value + "\r\n";
    head += "\r\n";
    Data out(head.begin(), head.end());
    out.insert(out.end(), body_.begin(), body_.end());
    return out;
}

std::string_view HTTPMessage::reasonPhrase(int statusCode) {
    switch (statusCode) {
        case 200: return "OK";
        case 302: return "Found";
        case 400: return "Bad Request";
        case 404: return "Not Found";
        case 408: return "Request Timeout";
        case 413: return "Content Too Large";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 503: return "Service Unavailable";
        case 505: return "HTTP Version Not Supported";
        default: return statusCode >= 200 && statusCode < 300 ? "OK" : "Unknown";
    }
}

// HTTPRequestParser

HTTPRequestParser::State HTTPRequestParser::append(std::span<const std::uint8_t> bytes) {
    if (state_ == State::tooLarge || state_ == State::malformed) return state_;
    buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    return parse();
}

HTTPRequestParser::State HTTPRequestParser::parse() {
    if (state_ == State::tooLarge || state_ == State::malformed || state_ == State::complete) return state_;
    if (!headLength_) {
        // Resume the search where the last one stopped (minus a partial terminator).
        std::size_t from = scanned_ >= kHeadEnd.size() ? scanned_ - (kHeadEnd.size() - 1) : 0;
        auto it = std::search(buffer_.begin() + static_cast<std::ptrdiff_t>(from), buffer_.end(), kHeadEnd.begin(),
                              kHeadEnd.end());
        if (it == buffer_.end()) {
            scanned_ = buffer_.size();
            if (buffer_.size() > maxRequestSize_) return state_ = State::tooLarge;
            return state_ = State::needMore;
        }
        std::size_t headEnd = static_cast<std::size_t>(it - buffer_.begin());
        headLength_ = headEnd + kHeadEnd.size();
        if (*headLength_ > maxRequestSize_) return state_ = State::tooLarge;
        std::string_view head(reinterpret_cast<const char*>(buffer_.data()), headEnd);
        if (auto s = parseHead(head); s != State::needMore) return state_ = s;
    }
    if (buffer_.size() < *headLength_ + contentLength_) return state_ = State::needMore;
    auto bodyBegin = buffer_.begin() + static_cast<std::ptrdiff_t>(*headLength_);
    auto bodyEnd = bodyBegin + static_cast<std::ptrdiff_t>(contentLength_);
    current_.setBody(Data(bodyBegin, bodyEnd));
    buffer_.erase(buffer_.begin(), bodyEnd);
    headLength_.reset();
    contentLength_ = 0;
    scanned_ = 0;
    return state_ = State::complete;
}

HTTPRequestParser::State HTTPRequestParser::parseHead(std::string_view head) {
    // Empty lines before a request line are tolerated (RFC 9112 section 2.2).
    while (head.starts_with("\r\n")) head.remove_prefix(2);
    auto lineEnd = head.find("\r\n");
    std::string_view requestLine = head.substr(0, lineEnd);
    std::string_view rest = lineEnd == std::string_view::npos ? std::string_view() : head.substr(lineEnd + 2);

    auto sp1 = requestLine.find(' ');
    auto sp2 = sp1 == std::string_view::npos ? sp1 : requestLine.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos) return State::malformed;
    std::string_view method = requestLine.substr(0, sp1);
    std::string_view target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string_view version = requestLine.substr(sp2 + 1);
    if (!isToken(method) || target.empty() || !version.starts_with("HTTP/") || version.size() != 8) {
        return State::malformed;
    }
    if (std::any_of(target.begin(), target.end(), [](unsigned char c) { return c <= 0x20 || c == 0x7F; })) {
        return State::malformed;
    }
    current_ = HTTPMessage::request(std::string(method), std::string(target), std::string(version));

    while (!rest.empty()) {
        auto end = rest.find("\r\n");
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
        auto colon = line.find(':');
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) return State::malformed;
        std::string value = platform::trimWhitespaceAndNewlines(line.substr(colon + 1));
        current_.headers().add(line.substr(0, colon), value);
    }
    // Only "Content-Length" frames a body; a chunked body cannot be framed here and is refused rather
    // than read as the next request.
    if (current_.headerFieldValue("Transfer-Encoding")) return State::malformed;
    auto lengths = current_.headers().values("Content-Length");
    if (lengths.size() > 1) return State::malformed;
    if (!lengths.empty()) {
        const std::string& text = lengths.front();
        if (text.empty() || text.size() > 18 ||
            !std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); })) {
            return State::malformed;
        }
        contentLength_ = std::stoull(text);
        if (*headLength_ + contentLength_ > maxRequestSize_) return State::tooLarge;
    }
    return State::needMore;
}

HTTPMessage HTTPRequestParser::take() {
    HTTPMessage message = std::move(current_);
    current_ = HTTPMessage();
    if (state_ == State::complete) state_ = State::needMore;
    return message;
}

}  // namespace brisko::oauth
