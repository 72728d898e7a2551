// The fetcher's cookie store: storing, replacing, expiring and looking up cookies per RFC 6265.
#include "fetcher/SessionCookieStorage.hpp"
#include "fetcher/internal/HeaderFields.hpp"
#include "fetcher/internal/PublicSuffixes.hpp"

#include <algorithm>

#include "platform/base/Clock.hpp"
#include "platform/base/Text.hpp"

namespace brisko::fetcher {

namespace {

bool isLocalHost(std::string_view host) {
    return platform::equalsIgnoringASCIICase(host, "localhost") || host == "::1" || host == "[::1]" ||
           host == "127.0.0.1";
}

bool sameIdentity(const HTTPCookie& a, const HTTPCookie& b) {
    return a.name == b.name && a.domain == b.domain && a.path == b.path;
}

bool isExpired(const HTTPCookie& cookie, platform::Date now) {
    return cookie.expiresDate && *cookie.expiresDate < now;
}

}  // namespace

bool SessionCookieStorage::hasCookieExpired(const HTTPCookie& cookie) {
    return isExpired(cookie, platform::now());
}

std::vector<HTTPCookie> SessionCookieStorage::cookies() const {
    std::lock_guard lock(mutex_);
    return cookies_;
}

void SessionCookieStorage::internalSetCookie(const HTTPCookie& cookie) {
    if (policy_ == HTTPCookieAcceptPolicy::never) return;
    if (cookie.name.empty() || cookie.domain.empty() || cookie.path.empty()) return;
    auto it = std::find_if(cookies_.begin(), cookies_.end(),
                           [&](const HTTPCookie& c) { return sameIdentity(c, cookie); });
    if (it != cookies_.end()) cookies_.erase(it);
    // An expired cookie only deletes its namesake.
    if (!hasCookieExpired(cookie)) cookies_.push_back(cookie);
}

void SessionCookieStorage::removeExpiredCookies() const {
    auto now = platform::now();
    std::erase_if(cookies_, [&](const HTTPCookie& c) { return isExpired(c, now); });
}

void SessionCookieStorage::setCookie(const HTTPCookie& cookie) {
    std::lock_guard lock(mutex_);
    internalSetCookie(cookie);
}

void SessionCookieStorage::setCookies(const std::vector<HTTPCookie>& cookies) {
    std::lock_guard lock(mutex_);
    removeExpiredCookies();
    for (const auto& c : cookies) internalSetCookie(c);
}

void SessionCookieStorage::setCookies(const std::vector<HTTPCookie>& cookies,
                                      const std::optional<platform::URL>& url,
                                      const std::optional<platform::URL>& mainDocumentURL) {
    std::lock_guard lock(mutex_);
    if (policy_ == HTTPCookieAcceptPolicy::never) return;
    std::string host = url ? platform::asciiLowercase(url->host().value_or("")) : std::string();
    if (policy_ == HTTPCookieAcceptPolicy::onlyFromMainDocumentDomain) {
        auto mainHost = mainDocumentURL ? mainDocumentURL->host().value_or("") : std::string();
        if (mainHost.empty() || host.empty() || !domainMatches(host, mainHost)) return;
    }
    removeExpiredCookies();
    bool secureURL = url && platform::equalsIgnoringASCIICase(url->scheme(), "https");
    for (const auto& c : cookies) {
        if (url) {
            // A response may only set cookies for its own host or a domain that covers it, never for a
            // public suffix, and a secure cookie only over https.
            bool allowed = c.isHostOnly() ? platform::equalsIgnoringASCIICase(c.domain, host)
                                          : domainMatches(host, c.domain) &&
                                                !internal::isPublicSuffix(platform::asciiLowercase(
                                                    std::string_view(c.domain).substr(1)));
            if (!allowed || (c.secure && !secureURL)) continue;
        }
        internalSetCookie(c);
    }
}

void SessionCookieStorage::deleteCookie(const HTTPCookie& cookie) {
    std::lock_guard lock(mutex_);
    auto it = std::find_if(cookies_.begin(), cookies_.end(),
                           [&](const HTTPCookie& c) { return sameIdentity(c, cookie); });
    if (it != cookies_.end()) cookies_.erase(it);
}

std::vector<HTTPCookie> SessionCookieStorage::cookiesFor(std::string_view rawHost, std::string_view path,
                                                         std::string_view scheme) const {
    std::lock_guard lock(mutex_);
    removeExpiredCookies();
    std::vector<HTTPCookie> out;
    std::string host = platform::asciiLowercase(rawHost);
    if (host.empty()) return out;
    bool local = isLocalHost(host);
    bool https = platform::equalsIgnoringASCIICase(scheme, "https");
    for (const auto& c : cookies_) {
        std::string domain = platform::asciiLowercase(c.domain);
        bool domainOK;
        if (local) {
            // Local servers answer under several names; a cookie of one is a cookie of all.
            std::string bare = domain.front() == '.' ? domain.substr(1) : domain;
            domainOK = isLocalHost(bare) || bare == "localhost.local";
        } else if (c.isHostOnly()) {
            domainOK = domain == host;
        } else {
            domainOK = domainMatches(host, domain);
        }
        if (!domainOK) continue;
        if (!pathMatches(path, c.path)) continue;
        if (c.secure && !https) continue;
        out.push_back(c);
    }
    return out;
}

std::optional<std::vector<HTTPCookie>> SessionCookieStorage::cookiesForURL(const platform::URL& url) const {
    auto found = cookiesFor(url.host().value_or(""), url.path(), url.scheme());
    if (found.empty()) return std::nullopt;
    return found;
}

std::optional<std::string> SessionCookieStorage::cookieHeaderForURL(const platform::URL& url) const {
    auto found = cookiesForURL(url);
    if (!found) return std::nullopt;
    return HTTPCookie::requestHeaderValue(*found);
}

std::optional<std::string> SessionCookieStorage::cookieHeaderForRequest(const platform::URLRequest& request) {
    if (!request.url()) return std::nullopt;
    return cookieHeaderForURL(*request.url());
}

void SessionCookieStorage::storeCookiesFromResponse(const platform::HTTPURLResponse& response,
                                                    const platform::URLRequest& request) {
    auto values = response.allHeaderFields().values(internal::kSetCookieField);
    if (values.empty()) return;
    const auto& url = request.url() ? *request.url() : response.url();
    setCookies(HTTPCookie::cookiesFromSetCookieHeaders(values, url.host().value_or(""), url.path()), url,
               std::nullopt);
}

void SessionCookieStorage::removeAllCookies() {
    std::lock_guard lock(mutex_);
    cookies_.clear();
}

HTTPCookieAcceptPolicy SessionCookieStorage::cookieAcceptPolicy() const {
    std::lock_guard lock(mutex_);
    return policy_;
}

void SessionCookieStorage::setCookieAcceptPolicy(HTTPCookieAcceptPolicy policy) {
    std::lock_guard lock(mutex_);
    policy_ = policy;
}

}  // namespace brisko::fetcher
