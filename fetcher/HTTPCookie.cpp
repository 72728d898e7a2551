// Parsing "Set-Cookie" values and the RFC 6265 domain and path matching rules.
#include "fetcher/HTTPCookie.hpp"

#include <arpa/inet.h>

#include <chrono>
#include <limits>

#include "fetcher/HTTPDate.hpp"
#include "fetcher/internal/PublicSuffixes.hpp"
#include "platform/base/Clock.hpp"
#include "platform/net/HTTPHeaders.hpp"
#include "platform/base/Text.hpp"

namespace brisko::fetcher {

using platform::trimHTTPWhitespace;

bool isIPAddress(std::string_view host) {
    std::string h(host);
    if (h.size() >= 2 && h.front() == '[' && h.back() == ']') h = h.substr(1, h.size() - 2);
    unsigned char buf[16];
    return inet_pton(AF_INET, h.c_str(), buf) == 1 || inet_pton(AF_INET6, h.c_str(), buf) == 1;
}

bool domainMatches(std::string_view host, std::string_view domain) {
    std::string h = platform::asciiLowercase(host);
    std::string d = platform::asciiLowercase(domain);
    if (!d.empty() && d.front() == '.') d.erase(0, 1);
    if (d.empty()) return false;
    if (h == d) return true;
    if (isIPAddress(h)) return false;
    return h.size() > d.size() && platform::hasSuffix(h, d) && h[h.size() - d.size() - 1] == '.';
}

bool pathMatches(std::string_view requestPath, std::string_view cookiePath) {
    if (requestPath.empty()) requestPath = "/";
    if (requestPath == cookiePath) return true;
    if (!platform::hasPrefix(requestPath, cookiePath)) return false;
    return (!cookiePath.empty() && cookiePath.back() == '/') || requestPath[cookiePath.size()] == '/';
}

std::string defaultCookiePath(std::string_view requestPath) {
    if (requestPath.empty() || requestPath.front() != '/') return "/";
    auto last = requestPath.rfind('/');
    if (last == 0) return "/";
    return std::string(requestPath.substr(0, last));
}

std::optional<HTTPCookie> HTTPCookie::parse(std::string_view setCookie, std::string_view requestHost,
                                            std::string_view requestPath) {
    auto semicolon = setCookie.find(';');
    std::string_view pair = setCookie.substr(0, semicolon);
    auto equals = pair.find('=');
    if (equals == std::string_view::npos) return std::nullopt;
    HTTPCookie cookie;
    cookie.name = std::string(trimHTTPWhitespace(pair.substr(0, equals)));
    cookie.value = std::string(trimHTTPWhitespace(pair.substr(equals + 1)));
    if (cookie.name.empty()) return std::nullopt;

    std::optional<platform::Date> expires;
    std::optional<platform::Date> maxAgeExpiry;
    std::string domainAttribute;
    std::string pathAttribute;
    std::string_view rest = semicolon == std::string_view::npos ? std::string_view() : setCookie.substr(semicolon + 1);
    while (!rest.empty()) {
        auto next = rest.find(';');
        std::string_view av = rest.substr(0, next);
        rest = next == std::string_view::npos ? std::string_view() : rest.substr(next + 1);
        auto eq = av.find('=');
        std::string key = platform::asciiLowercase(trimHTTPWhitespace(av.substr(0, eq)));
        std::string_view value =
            eq == std::string_view::npos ? std::string_view() : trimHTTPWhitespace(av.substr(eq + 1));
        if (key == "expires") {
            if (auto d = parseHTTPDate(value)) expires = d;
        } else if (key == "max-age") {
            // A leading "-" or digits only; anything else leaves the attribute out.
            bool negative = !value.empty() && value.front() == '-';
            std::string_view digits = negative ? value.substr(1) : value;
            if (digits.empty() || digits.find_first_not_of("0123456789") != std::string_view::npos) continue;
            long long seconds = 0;
            for (char c : digits) {
                if (seconds > std::numeric_limits<long long>::max() / 20) break;
                seconds = seconds * 10 + (c - '0');
            }
            if (negative || seconds == 0) {
                maxAgeExpiry = platform::Date{};
            } else {
                seconds = std::min<long long>(seconds, 400LL * 24 * 3600 * 100);
                maxAgeExpiry = platform::now() + std::chrono::seconds(seconds);
            }
        } else if (key == "domain") {
            if (value.empty()) continue;
            std::string d = platform::asciiLowercase(value);
            if (d.front() == '.') d.erase(0, 1);
            domainAttribute = d;
        } else if (key == "path") {
            pathAttribute = (value.empty() || value.front() != '/') ? std::string() : std::string(value);
        } else if (key == "secure") {
            cookie.secure = true;
        } else if (key == "httponly") {
            cookie.httpOnly = true;
        } else if (key == "samesite") {
            cookie.sameSite = std::string(value);
        }
    }
    cookie.expiresDate = maxAgeExpiry ? maxAgeExpiry : expires;

    std::string host = platform::asciiLowercase(requestHost);
    if (host.empty()) return std::nullopt;
    if (!domainAttribute.empty() && internal::isPublicSuffix(domainAttribute)) {
        // A public suffix is no one's domain: a host that is such a suffix itself gets a host-only cookie,
        // any other host's cookie for it would go to every site under it (RFC 6265 section 5.3, step 5).
        if (domainAttribute != host) return std::nullopt;
        domainAttribute.clear();
    }
    if (!domainAttribute.empty()) {
        // A server may set a cookie for its own domain or a parent of it, never for another one.
        if (!domainMatches(host, domainAttribute)) return std::nullopt;
        cookie.domain = domainAttribute == host && isIPAddress(host) ? host : "." + domainAttribute;
    } else {
        cookie.domain = host;
    }
    cookie.path = pathAttribute.empty() ? defaultCookiePath(requestPath) : pathAttribute;
    return cookie;
}

std::vector<HTTPCookie> HTTPCookie::cookiesFromSetCookieHeaders(const std::vector<std::string>& values,
                                                                std::string_view requestHost,
                                                                std::string_view requestPath) {
    std::vector<HTTPCookie> out;
    for (const auto& v : values) {
        if (auto c = parse(v, requestHost, requestPath)) out.push_back(std::move(*c));
    }
    return out;
}

std::string HTTPCookie::requestHeaderValue(const std::vector<HTTPCookie>& cookies) {
    std::string out;
    for (const auto& c : cookies) {
        if (!out.empty()) out += "; ";
        out += c.name;
        out += '=';
        out += c.value;
    }
    return out;
}

}  // namespace brisko::fetcher
