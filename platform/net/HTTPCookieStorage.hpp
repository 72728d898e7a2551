// The hook through which a URL session asks a cookie store for cookies and hands it new ones.
#pragma once

#include <optional>
#include <string>

#include "platform/net/URLRequest.hpp"
#include "platform/net/URLResponse.hpp"

namespace brisko::platform {

class URLSessionTask;

// A URL session never keeps cookies itself. When its configuration has a cookie storage and a
// request handles cookies (URLRequest::httpShouldHandleCookies and the configuration's
// httpShouldSetCookies), the session asks the storage for the "Cookie" header of each request it
// sends (the first and each redirect) unless the request already has one, and hands it every
// response head (redirects included) so it can read "Set-Cookie". Both calls come from the network
// thread and must not block for long.
class HTTPCookieStorage {
  public:
    virtual ~HTTPCookieStorage() = default;

    // The "Cookie" header value for the request (its URL and main document URL), or nothing.
    virtual std::optional<std::string> cookieHeaderForRequest(const URLRequest& request) = 0;
    // Stores the cookies of a response head ("Set-Cookie" fields: response.allHeaderFields().values()).
    // `request` is the request that received it.
    virtual void storeCookiesFromResponse(const HTTPURLResponse& response, const URLRequest& request) = 0;
};

}  // namespace brisko::platform
