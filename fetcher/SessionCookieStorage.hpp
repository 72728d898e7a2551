// The in-memory cookie store that fetchers use in place of a shared cookie jar.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fetcher/HTTPCookie.hpp"
#include "platform/net/HTTPCookieStorage.hpp"
#include "platform/net/URL.hpp"

namespace brisko::fetcher {

enum class HTTPCookieAcceptPolicy { always = 0, never = 1, onlyFromMainDocumentDomain = 2 };

// Cookies live only as long as the process. Lookups follow RFC 6265: a host-only cookie goes to its
// host alone, a domain cookie to the domain and its subdomains, a path covers itself and what lies
// below it, and a secure cookie only travels over https.
class SessionCookieStorage : public platform::HTTPCookieStorage {
  public:
    std::vector<HTTPCookie> cookies() const;
    void setCookie(const HTTPCookie& cookie);
    void setCookies(const std::vector<HTTPCookie>& cookies);
    // Stores the cookies a response from `url` set; each must be one that url's host may set.
    void setCookies(const std::vector<HTTPCookie>& cookies, const std::optional<platform::URL>& url,
                    const std::optional<platform::URL>& mainDocumentURL);
    void deleteCookie(const HTTPCookie& cookie);
    // The cookies to send with a request to the URL, in stored order; nothing when none matches.
    std::optional<std::vector<HTTPCookie>> cookiesForURL(const platform::URL& url) const;
    void removeAllCookies();

    // The "Cookie" header value for a request to `url`, or nothing when no cookie matches.
    std::optional<std::string> cookieHeaderForURL(const platform::URL& url) const;

    // The session's hooks: the "Cookie" header of each request it sends, the "Set-Cookie" fields of each
    // response head (storeCookies:forTask: stores under the accept policy with no main document).
    std::optional<std::string> cookieHeaderForRequest(const platform::URLRequest& request) override;
    void storeCookiesFromResponse(const platform::HTTPURLResponse& response,
                                  const platform::URLRequest& request) override;

    HTTPCookieAcceptPolicy cookieAcceptPolicy() const;
    void setCookieAcceptPolicy(HTTPCookieAcceptPolicy policy);

    // Expired when the expiry date has passed; a session cookie never expires here.
    static bool hasCookieExpired(const HTTPCookie& cookie);

    // The lookup on its parts, for callers that hold no URL object.
    std::vector<HTTPCookie> cookiesFor(std::string_view host, std::string_view path,
                                       std::string_view scheme) const;

  private:
    void internalSetCookie(const HTTPCookie& cookie);
    void removeExpiredCookies() const;

    mutable std::mutex mutex_;
    mutable std::vector<HTTPCookie> cookies_;
    HTTPCookieAcceptPolicy policy_ = HTTPCookieAcceptPolicy::always;
};

}  // namespace brisko::fetcher
