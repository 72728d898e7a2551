// The in-memory cookie store, Set-Cookie parsing and the RFC 6265 matching rules.
#include <doctest/doctest.h>

#include "fetcher/HTTPCookie.hpp"
#include "fetcher/HTTPDate.hpp"
#include "fetcher/SessionCookieStorage.hpp"
#include "platform/base/Clock.hpp"

using namespace brisko;
using namespace brisko::fetcher;

namespace {
HTTPCookie cookie(std::string name, std::string domain, std::string path = "/", bool secure = false) {
    HTTPCookie c;
    c.name = std::move(name);
    c.value = "v";
    c.domain = std::move(domain);
    c.path = std::move(path);
    c.secure = secure;
    return c;
}

std::vector<std::string> names(const std::optional<std::vector<HTTPCookie>>& cookies) {
    std::vector<std::string> out;
    if (cookies) {
        for (const auto& c : *cookies) out.push_back(c.name);
    }
    return out;
}

platform::URL url(const char* text) {
    return *platform::URL::parse(text);
}
}  // namespace

TEST_CASE("cookie lookups follow RFC 6265 domain, path and secure matching") {
    SessionCookieStorage store;
    store.setCookies({cookie("domainwide", ".example.com"), cookie("hostonly", "example.com"),
                      cookie("sub", "www.example.com"), cookie("pathed", ".example.com", "/a"),
                      cookie("secure", ".example.com", "/", true)});

    struct Case {
        const char* url;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"https://example.com/", {"domainwide", "hostonly", "secure"}},
        {"https://www.example.com/", {"domainwide", "sub", "secure"}},
        {"http://deep.www.example.com/", {"domainwide"}},
        {"http://example.com/a", {"domainwide", "hostonly", "pathed"}},
        {"http://example.com/a/b", {"domainwide", "hostonly", "pathed"}},
        {"http://example.com/ab", {"domainwide", "hostonly"}},
        {"http://example.com/b", {"domainwide", "hostonly"}},
        {"http://badexample.com/", {}},
        {"http://example.org/", {}},
    };
    for (const auto& c : cases) {
        CAPTURE(c.url);
        CHECK(names(store.cookiesForURL(url(c.url))) == c.expected);
    }
    CHECK_FALSE(store.cookiesForURL(url("http://example.org/")));
    CHECK_FALSE(store.cookiesForURL(url("file:///tmp/x")));
}

TEST_CASE("local servers share their cookies under every local name") {
    SessionCookieStorage store;
    store.setCookies({cookie("a", "localhost"), cookie("b", "127.0.0.1"), cookie("c", "localhost.local"),
                      cookie("d", "::1"), cookie("e", "example.com")});
    CHECK(names(store.cookiesForURL(url("http://127.0.0.1:8080/"))) ==
          std::vector<std::string>{"a", "b", "c", "d"});
    CHECK(names(store.cookiesForURL(url("http://LOCALHOST/"))) ==
          std::vector<std::string>{"a", "b", "c", "d"});
}

TEST_CASE("storing replaces a namesake, an expired cookie deletes it, and policy never stores nothing") {
    SessionCookieStorage store;
    auto first = cookie("id", ".example.com");
    first.value = "1";
    auto second = first;
    second.value = "2";
    store.setCookie(first);
    store.setCookie(second);
    REQUIRE(store.cookies().size() == 1);
    CHECK(store.cookies()[0].value == "2");

    auto expired = first;
    expired.expiresDate = platform::now() - std::chrono::seconds(1);
    store.setCookie(expired);
    CHECK(store.cookies().empty());

    store.setCookie(first);
    store.setCookieAcceptPolicy(HTTPCookieAcceptPolicy::never);
    store.setCookie(cookie("other", ".example.com"));
    CHECK(names(store.cookiesForURL(url("http://example.com/"))) == std::vector<std::string>{"id"});

    store.setCookieAcceptPolicy(HTTPCookieAcceptPolicy::always);
    store.deleteCookie(first);
    CHECK(store.cookies().empty());
    store.setCookie(cookie("", ".example.com"));
    store.setCookie(cookie("x", ""));
    CHECK(store.cookies().empty());
}

TEST_CASE("a response may set cookies only for its own host or a domain above it") {
    auto parse = [](const char* header, const char* host, const char* path = "/") {
        return HTTPCookie::parse(header, host, path);
    };
    auto hostOnly = parse("sid=1", "www.example.com", "/dir/page");
    REQUIRE(hostOnly);
    CHECK(hostOnly->domain == "www.example.com");
    CHECK(hostOnly->isHostOnly());
    CHECK(hostOnly->path == "/dir");
    CHECK(hostOnly->isSessionOnly());

    auto parent = parse("sid=1; Domain=.Example.com; Path=/; Secure; HttpOnly", "www.example.com");
    REQUIRE(parent);
    CHECK(parent->domain == ".example.com");
    CHECK(parent->secure);
    CHECK(parent->httpOnly);

    CHECK_FALSE(parse("sid=1; Domain=other.com", "www.example.com"));
    CHECK_FALSE(parse("sid=1; Domain=ample.com", "example.com"));
    CHECK_FALSE(parse("sid=1; Domain=0.0.1", "127.0.0.1"));
    CHECK_FALSE(parse("novalue", "example.com"));
    CHECK_FALSE(parse("=1", "example.com"));

    auto store = std::make_shared<SessionCookieStorage>();
    auto evil = cookie("evil", ".other.com");
    store->setCookies({evil, cookie("good", ".example.com")}, url("http://www.example.com/"), std::nullopt);
    CHECK(names(store->cookiesForURL(url("http://www.example.com/"))) == std::vector<std::string>{"good"});
    CHECK(store->cookies().size() == 1);

    store->setCookieAcceptPolicy(HTTPCookieAcceptPolicy::onlyFromMainDocumentDomain);
    store->setCookies({cookie("third", ".tracker.com")}, url("http://ads.tracker.com/"),
                      url("http://news.com/"));
    store->setCookies({cookie("first", ".news.com")}, url("http://img.news.com/"), url("http://news.com/"));
    CHECK(store->cookies().size() == 2);
}

TEST_CASE("no cookie is set for a public suffix, and a secure cookie only over https") {
    struct Case {
        const char* setCookie;
        const char* host;
        const char* domain;  // nullptr: refused
    };
    const Case cases[] = {
        {"a=1; Domain=com", "www.example.com", nullptr},
        {"a=1; Domain=.COM", "www.example.com", nullptr},
        {"a=1; Domain=co.uk", "shop.example.co.uk", nullptr},
        {"a=1; Domain=github.io", "someone.github.io", nullptr},
        {"a=1; Domain=example.co.uk", "shop.example.co.uk", ".example.co.uk"},
        {"a=1; Domain=someone.github.io", "someone.github.io", ".someone.github.io"},
        // A host that is a suffix itself keeps its cookie to itself.
        {"a=1; Domain=github.io", "github.io", "github.io"},
        {"a=1; Domain=localhost", "localhost", ".localhost"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.setCookie);
        CAPTURE(c.host);
        auto parsed = HTTPCookie::parse(c.setCookie, c.host, "/");
        if (!c.domain) {
            CHECK_FALSE(parsed);
        } else {
            REQUIRE(parsed);
            CHECK(parsed->domain == c.domain);
        }
    }

    // A cookie made by hand for a suffix is refused when a response would set it, as is a secure cookie
    // that came over plain http; neither reaches another site.
    SessionCookieStorage store;
    store.setCookies({cookie("suffix", ".com"), cookie("secure", ".example.com", "/", true),
                      cookie("plain", ".example.com")},
                     url("http://www.example.com/"), std::nullopt);
    CHECK(names(store.cookiesForURL(url("https://www.example.com/"))) == std::vector<std::string>{"plain"});
    CHECK(names(store.cookiesForURL(url("https://other.com/"))).empty());
    store.setCookies({cookie("secure", ".example.com", "/", true)}, url("https://www.example.com/"),
                     std::nullopt);
    CHECK(names(store.cookiesForURL(url("https://www.example.com/"))) ==
          std::vector<std::string>{"plain", "secure"});
}

TEST_CASE("Max-Age wins over Expires, and a past date or Max-Age of 0 expires the cookie") {
    platform::ManualClock clockValue;
    auto clock = std::make_shared<platform::ManualClock>(clockValue.now());
    platform::ScopedClock scoped(clock);
    auto both =
        HTTPCookie::parse("a=1; Expires=Wed, 09 Jun 2100 10:18:14 GMT; Max-Age=60", "example.com", "/");
    REQUIRE(both);
    REQUIRE(both->expiresDate);
    CHECK(*both->expiresDate == clock->now() + std::chrono::seconds(60));
    auto dated = HTTPCookie::parse("a=1; Expires=Wed, 09 Jun 2100 10:18:14 GMT", "example.com", "/");
    CHECK(formatHTTPDate(*dated->expiresDate) == "Wed, 09 Jun 2100 10:18:14 GMT");
    CHECK(SessionCookieStorage::hasCookieExpired(*HTTPCookie::parse("a=1; Max-Age=0", "example.com", "/")));
    CHECK(SessionCookieStorage::hasCookieExpired(
        *HTTPCookie::parse("a=1; Expires=Thu, 01 Jan 1970 00:00:01 GMT", "example.com", "/")));
    CHECK(HTTPCookie::requestHeaderValue({cookie("a", "x"), cookie("b", "x")}) == "a=v; b=v");
}

TEST_CASE("HTTP dates are read in their three historical forms") {
    auto expected = parseHTTPDate("Sun, 06 Nov 1994 08:49:37 GMT");
    REQUIRE(expected);
    CHECK(parseHTTPDate("Sunday, 06-Nov-94 08:49:37 GMT") == expected);
    CHECK(parseHTTPDate("Sun Nov  6 08:49:37 1994") == expected);
    CHECK(formatHTTPDate(*expected) == "Sun, 06 Nov 1994 08:49:37 GMT");
    CHECK_FALSE(parseHTTPDate("120"));
    CHECK_FALSE(parseHTTPDate("Sun, 31 Feb 1994 08:49:37 GMT"));
}
