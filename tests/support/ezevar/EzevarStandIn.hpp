// The Ezevar stand-in for tests: starts ezevar-standin.mjs (a real OpenID provider behind our Ezevar
// shim) over HTTPS on 127.0.0.1 with the test CA, and a scripted browser that signs in on its pages.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/net/URL.hpp"
#include "platform/net/URLSessionConfiguration.hpp"

namespace brisko::testing {

class EzevarStandIn {
public:
    static constexpr std::string_view kClientID = "000000000000-placeholder.apps.ezevarusercontent.com";

    struct Request {
        std::string method;
        std::string path;
        std::string target;  // path and query as received
    };

    // Starts the stand-in and waits until it listens; throws std::runtime_error when it cannot start.
    explicit EzevarStandIn(std::string clientID = std::string(kClientID));
    ~EzevarStandIn();
    EzevarStandIn(const EzevarStandIn&) = delete;
    EzevarStandIn& operator=(const EzevarStandIn&) = delete;

    int port() const { return port_; }
    // "127.0.0.1:PORT", what the sign-in layer takes as its Ezevar host.
    std::string host() const;
    std::string baseURL() const { return "https://" + host(); }
    const std::string& clientID() const { return clientID_; }
    // A URL-session configuration that trusts the test CA.
    static platform::URLSessionConfiguration trustingConfiguration();

    // Every request received so far, in order (from the stand-in's own record).
    std::vector<Request> requests() const;
    std::vector<Request> requestsTo(std::string_view path) const;
    // Changes the stand-in's behaviour: {"offlineAccess": false} stops refresh tokens,
    // {"accessTokenTTL": 30} issues access tokens with 30 s to live, {"userInfoNesting": N} adds a member
    // nested N levels deep to user-info replies, {"userInfoStatus": 403} makes user-info answer 403.
    void configure(std::string_view json) const;

private:
    std::string clientID_;
    int pid_ = -1;
    int port_ = 0;
};

// A browser without a screen: follows redirects with a cookie jar, fills in the stand-in's login form
// (any login is accepted) and consent form, and stops at the redirect to the app (a URL of another
// scheme than https), which it returns, or at the page of a loopback listener, whose address it
// returns. Trusts the test CA. Bounded: at most 20 pages.
class ScriptedBrowser {
public:
    explicit ScriptedBrowser(std::string login = "dev@example.test") : login_(std::move(login)) {}
    // The redirect to the app, or nothing when the pages led nowhere (the reason in lastError()).
    std::optional<std::string> signIn(std::string_view authorizationURL);
    // Follows the pages and answers the consent form with "deny" by leaving it (the provider's abort).
    std::optional<std::string> denyConsent(std::string_view authorizationURL);
    const std::string& lastError() const { return lastError_; }
    // The pages seen, in order (URLs), for messages.
    const std::vector<std::string>& visited() const { return visited_; }

private:
    std::optional<std::string> run(std::string_view url, bool deny);
    std::string login_;
    std::string lastError_;
    std::vector<std::string> visited_;
    std::string cookieJar_;
};

}  // namespace brisko::testing
