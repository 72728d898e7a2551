// URL responses and the reading of "Content-Type".
#include "platform/net/URLResponse.hpp"

#include <charconv>

#include "platform/base/Text.hpp"

namespace brisko::platform {

std::pair<std::optional<std::string>, std::optional<std::string>> parseContentType(std::string_view value) {
    std::optional<std::string> mime, charset;
    auto semi = value.find(';');
    auto type = trimHTTPWhitespace(value.substr(0, semi));
    if (!type.empty()) mime = asciiLowercase(type);
    while (semi != std::string_view::npos) {
        value = value.substr(semi + 1);
        semi = value.find(';');
        auto param = trimHTTPWhitespace(value.substr(0, semi));
        auto eq = param.find('=');
        if (eq == std::string_view::npos) continue;
        if (!equalsIgnoringASCIICase(trimHTTPWhitespace(param.substr(0, eq)), "charset")) continue;
        auto v = trimHTTPWhitespace(param.substr(eq + 1));
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        if (!v.empty()) charset = asciiLowercase(v);
    }
    return {mime, charset};
}

URLResponse::URLResponse(URL url, std::optional<std::string> mimeType, std::int64_t expectedContentLength,
                         std::optional<std::string> textEncodingName)
    : url_(std::move(url)),
      mimeType_(std::move(mimeType)),
      expectedContentLength_(expectedContentLength),
      textEncodingName_(std::move(textEncodingName)) {}

std::string URLResponse::suggestedFilename() const {
    auto name = url_.lastPathComponent();
    return name.empty() ? std::string("Unknown") : name;
}

namespace {

// A "Content-Length" value: digits only, else unknown.
std::int64_t parseLength(std::string_view value) {
    auto t = trimHTTPWhitespace(value);
    std::int64_t v = 0;
    auto [ptr, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
    if (ec != std::errc() || ptr != t.data() + t.size() || v < 0) return URLResponse::kUnknownLength;
    return v;
}

// Calls `use` with the value of a field as HTTPHeaders::get gives it (nothing when absent), copying it
// only when several fields of that name must be joined.
template <class Use>
auto withValue(const HTTPHeaders& headers, std::string_view name, Use use) {
    const std::string* first = nullptr;
    for (const auto& [n, v] : headers) {
        if (!equalsIgnoringASCIICase(n, name)) continue;
        if (first) {
            const auto joined = headers.get(name);
            return use(std::optional<std::string_view>(*joined));
        }
        first = &v;
    }
    return use(first ? std::optional<std::string_view>(*first) : std::nullopt);
}

std::int64_t expectedLength(const HTTPHeaders& headers) {
    const bool encoded = withValue(headers, "Content-Encoding", [](std::optional<std::string_view> encoding) {
        return encoding && !equalsIgnoringASCIICase(trimHTTPWhitespace(*encoding), "identity");
    });
    if (encoded) return URLResponse::kUnknownLength;
    return withValue(headers, "Content-Length", [](std::optional<std::string_view> length) {
        return length ? parseLength(*length) : URLResponse::kUnknownLength;
    });
}

}  // namespace

HTTPURLResponse::HTTPURLResponse(URL url, int statusCode, std::string httpVersion, HTTPHeaders headers)
    : URLResponse(std::move(url), std::nullopt, expectedLength(headers), std::nullopt),
      statusCode_(statusCode),
      httpVersion_(std::move(httpVersion)),
      headers_(std::move(headers)) {
    withValue(headers_, "Content-Type", [this](std::optional<std::string_view> type) {
        if (!type) return;
        auto [mime, charset] = parseContentType(*type);
        mimeType_ = std::move(mime);
        textEncodingName_ = std::move(charset);
    });
}

std::string HTTPURLResponse::localizedStringForStatusCode(int code) {
    switch (code) {
        case 100:
            return "continue";
        case 101:
            return "switching protocols";
        case 200:
            return "no error";
        case 201:
            return "created";
        case 202:
            return "accepted";
        case 204:
            return "no content";
        case 206:
            return "partial content";
        case 301:
            return "moved permanently";
        case 302:
            return "found";
        case 303:
            return "see other";
        case 304:
            return "not modified";
        case 307:
            return "temporarily redirected";
        case 308:
            return "permanent redirect";
        case 400:
            return "bad request";
        case 401:
            return "unauthorized";
        case 403:
            return "forbidden";
        case 404:
            return "not found";
        case 405:
            return "method not allowed";
        case 408:
            return "request timed out";
        case 409:
            return "conflict";
        case 410:
            return "no longer exists";
        case 413:
            return "request too large";
        case 415:
            return "unsupported media type";
        case 422:
            return "unprocessable entity";
        case 429:
            return "too many requests";
        case 500:
            return "internal server error";
        case 501:
            return "unimplemented";
        case 502:
            return "bad gateway";
        case 503:
            return "service unavailable";
        case 504:
            return "gateway timed out";
        default:
            break;
    }
    if (code >= 100 && code < 200) return "informational";
    if (code >= 200 && code < 300) return "success";
    if (code >= 300 && code < 400) return "redirected";
    if (code >= 400 && code < 500) return "client error";
    if (code >= 500 && code < 600) return "server error";
    return "unknown";
}

std::string HTTPURLResponse::description() const {
    return "<HTTPURLResponse " + url_.description() + " status " + std::to_string(statusCode_) + ">";
}

}  // namespace brisko::platform
