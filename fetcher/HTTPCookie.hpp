// One HTTP cookie, read from "Set-Cookie" headers under the rules of RFC 6265.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/Value.hpp"

namespace brisko::fetcher {

struct HTTPCookie {
    std::string name;
    std::string value;
    // A domain cookie's domain starts with "." and covers the domain and its subdomains; a cookie set
    // without a Domain attribute keeps the bare host and is sent to that host only.
    std::string domain;
    std::string path;
    std::optional<platform::Date> expiresDate;  // none: a session cookie
    bool secure = false;
    bool httpOnly = false;
    std::optional<std::string> sameSite;

    bool isSessionOnly() const { return !expiresDate; }
    bool isHostOnly() const { return !domain.empty() && domain.front() != '.'; }
    bool operator==(const HTTPCookie&) const = default;

    // The cookies of the "Set-Cookie" header values of a response from that host and path. Cookies whose
    // Domain attribute does not cover the host are dropped (RFC 6265 section 5.3), as are malformed ones.
    static std::vector<HTTPCookie> cookiesFromSetCookieHeaders(const std::vector<std::string>& values,
                                                               std::string_view requestHost,
                                                               std::string_view requestPath);
    // One "Set-Cookie" value; nothing when it is malformed or the host may not set it.
    static std::optional<HTTPCookie> parse(std::string_view setCookie, std::string_view requestHost,
                                           std::string_view requestPath);

    // The "Cookie" request header value for these cookies, "name=value; name2=value2".
    static std::string requestHeaderValue(const std::vector<HTTPCookie>& cookies);
};

// RFC 6265 section 5.1.3: the host equals the domain, or ends with "." + domain and is not an IP address.
bool domainMatches(std::string_view host, std::string_view domain);
// RFC 6265 section 5.1.4: "/a" covers "/a" and "/a/b" but not "/ab".
bool pathMatches(std::string_view requestPath, std::string_view cookiePath);
// RFC 6265 section 5.1.4: the directory of the request path, the default path of a cookie.
std::string defaultCookiePath(std::string_view requestPath);
bool isIPAddress(std::string_view host);

}  // namespace brisko::fetcher
