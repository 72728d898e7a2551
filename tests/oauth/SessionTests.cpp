// Interactive flows against a scripted agent: redirect matching, the state check, single completion,
// cancel and the desktop agent's browser opening.
#include <doctest/doctest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "oauth/AuthorizationService.hpp"
#include "oauth/ErrorUtilities.hpp"
#include "oauth/ExternalUserAgentMac.hpp"
#include "oauth/TokenUtilities.hpp"
#include "tests/oauth/OAuthTestSupport.hpp"
#include "tests/support/oidc/FakeOpenIDProvider.hpp"

using namespace brisko;
using namespace brisko::oauth;
using namespace brisko::oauth::test;

namespace {

URL url(std::string_view text) {
    return *URL::parse(text);
}

ServiceConfigurationPtr configuration() {
    return std::make_shared<const ServiceConfiguration>(url("https://idp.test/auth"), url("https://idp.test/token"),
                                                        url("https://idp.test"));
}

AuthorizationRequestPtr request(std::string responseType = "code") {
    return AuthorizationRequest::make(configuration(), "client", std::nullopt, {"openid"},
                                      url("com.example.app:/oauth2callback"), responseType, {});
}

struct Flow {
    AuthorizationRequestPtr request;
    std::shared_ptr<ScriptedAgent> agent = std::make_shared<ScriptedAgent>();
    Outcome<AuthorizationResponsePtr> outcome;
    std::shared_ptr<AuthorizationSession> session;

    explicit Flow(AuthorizationRequestPtr r = oauth::AuthorizationRequestPtr()) : request(r ? r : ::request()) {
        session = AuthorizationService::presentAuthorizationRequest(request, agent, outcome.callback());
    }
    URL redirect(std::string_view query) const { return url("com.example.app:/oauth2callback?" + std::string(query)); }
    std::string state() const { return "state=" + *request->state(); }
};

}  // namespace

TEST_CASE("redirects match by scheme (any case), user, host, port and path, not by query or fragment") {
    struct Case {
        std::string candidate;
        bool matches;
    };
    const URL redirect = url("http://127.0.0.1:8080/cb");
    for (const auto& c : std::vector<Case>{{"HTTP://127.0.0.1:8080/cb", true},
                                           {"http://127.0.0.1:8080/cb?code=1#x", true},
                                           {"http://127.0.0.1:8080/a/../cb", true},
                                           {"http://127.0.0.1:8080/cb/", false},
                                           {"http://127.0.0.1:8080/CB", false},
                                           {"http://127.0.0.1:8081/cb", false},
                                           {"http://127.0.0.1/cb", false},
                                           {"http://user@127.0.0.1:8080/cb", false},
                                           {"http://localhost:8080/cb", false}}) {
        CAPTURE(c.candidate);
        CHECK(AuthorizationSession::URLMatchesRedirectionURL(url(c.candidate), redirect) == c.matches);
    }
    CHECK_FALSE(AuthorizationSession::URLMatchesRedirectionURL(url("http://IDP.test/cb"), url("http://idp.test/cb")));
}

TEST_CASE("a matching redirect with the request's state and a code finishes the flow once") {
    Flow flow;
    CHECK(flow.agent->presentCount == 1);
    CHECK(flow.agent->presentedURL == flow.request->authorizationRequestURL());
    CHECK_FALSE(flow.session->resumeExternalUserAgentFlowWithURL(url("other.app:/oauth2callback?code=1")));
    CHECK(flow.outcome.calls == 0);
    CHECK(flow.session->resumeExternalUserAgentFlowWithURLOutcome(flow.redirect("code=abc&" + flow.state())) ==
          RedirectOutcome::completed);
    CHECK(flow.outcome.calls == 1);
    REQUIRE(flow.outcome.value);
    CHECK(flow.outcome.value->authorizationCode() == "abc");
    CHECK(flow.agent->dismissCount == 1);
    // A second redirect is refused and changes nothing; a late cancel still answers its caller.
    CHECK_FALSE(flow.session->resumeExternalUserAgentFlowWithURL(flow.redirect("code=def&" + flow.state())));
    bool cancelled = false;
    flow.session->cancelWithCompletion([&] { cancelled = true; });
    CHECK(cancelled);
    CHECK(flow.outcome.calls == 1);
}

TEST_CASE("the state is checked first, for error redirects too, and a missing state is refused") {
    struct Case {
        std::string name;
        std::function<std::string(const Flow&)> query;
        std::string domain;
        std::int64_t code;
    };
    const std::vector<Case> cases{
        {"error with the wrong state", [](const Flow&) { return std::string("error=access_denied&state=forged"); },
         std::string(kOAuthAuthorizationErrorDomain), OAuthErrorCode::clientErrorStateMismatch},
        {"error without state", [](const Flow&) { return std::string("error=access_denied"); },
         std::string(kOAuthAuthorizationErrorDomain), OAuthErrorCode::clientErrorStateMismatch},
        {"code without state", [](const Flow&) { return std::string("code=abc"); },
         std::string(kOAuthAuthorizationErrorDomain), OAuthErrorCode::clientErrorStateMismatch},
        {"two states", [](const Flow& f) { return "code=abc&" + f.state() + "&" + f.state(); },
         std::string(kOAuthAuthorizationErrorDomain), OAuthErrorCode::clientErrorStateMismatch},
        {"error with the right state", [](const Flow& f) { return "error=access_denied&" + f.state(); },
         std::string(kOAuthAuthorizationErrorDomain), OAuthErrorCode::accessDenied},
        {"neither code nor error", [](const Flow& f) { return "foo=bar&" + f.state(); },
         std::string(kGeneralErrorDomain), ErrorCode::invalidRedirectError},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        const bool wrongState = c.code == OAuthErrorCode::clientErrorStateMismatch;
        // Handed over by a listener, a redirect that does not answer the request leaves the flow waiting;
        // one that does finishes it.
        Flow listened;
        CHECK(listened.session->resumeExternalUserAgentFlowWithURLOutcome(listened.redirect(c.query(listened))) ==
              (wrongState ? RedirectOutcome::wrongState : RedirectOutcome::failed));
        CHECK(listened.outcome.calls == (wrongState ? 0 : 1));
        CHECK(listened.agent->dismissCount == (wrongState ? 0 : 1));
        listened.session->cancel();  // the scripted agent holds the waiting flow
        // Handed over by the agent, every one of them finishes the flow with its error.
        Flow flow;
        CHECK(flow.session->resumeExternalUserAgentFlowWithURL(flow.redirect(c.query(flow))));
        REQUIRE(flow.outcome.calls == 1);
        CHECK_FALSE(flow.outcome.value);
        REQUIRE(flow.outcome.error);
        CHECK(flow.outcome.error->domain() == c.domain);
        CHECK(flow.outcome.error->code() == c.code);
    }
}

TEST_CASE("a state mismatch error keeps the redirect's parameters with the code and the expected state redacted") {
    Flow flow;
    flow.session->resumeExternalUserAgentFlowWithURL(flow.redirect("code=secret-code-value&state=forged"));
    REQUIRE(flow.outcome.error);
    const auto& info = flow.outcome.error->userInfo();
    CHECK(*info.at("state").string() == "forged");
    CHECK(*info.at("code").string() == "secret...[redacted]");
    const std::string description = flow.outcome.error->localizedDescription();
    CHECK(description.find("secret-code-value") == std::string::npos);
    // Whoever reads the error (a log) must not learn the state that would answer the request.
    CHECK(description.find(*flow.request->state()) == std::string::npos);
    CHECK(description.starts_with("State mismatch, expecting " + TokenUtilities::redact(*flow.request->state()) +
                                  " but got forged in authorization response "));
}

TEST_CASE("a front-channel ID token of a hybrid flow passes the same checks as an exchanged one") {
    testing::FakeOpenIDProvider fake;
    auto config = std::make_shared<const ServiceConfiguration>(
        url("https://idp.test/auth"), url("https://idp.test/token"), *URL::parse(fake.issuer()));
    auto hybrid = AuthorizationRequest::make(config, "client", std::nullopt, {"openid"},
                                             url("com.example.app:/oauth2callback"), "code id_token", {});
    struct Case {
        std::string name;
        std::function<void(Dictionary&)> change;
        std::optional<std::string> failure;
    };
    for (const auto& c : std::vector<Case>{
             {"valid", [](Dictionary&) {}, std::nullopt},
             {"other audience", [](Dictionary& d) { d["aud"] = "someone-else"; }, "Audience mismatch"},
             {"replayed nonce", [](Dictionary& d) { d["nonce"] = "old"; }, "Nonce mismatch"},
             {"other issuer", [](Dictionary& d) { d["iss"] = "https://evil.test"; }, "Issuer mismatch"},
         }) {
        CAPTURE(c.name);
        Dictionary claims = fake.validClaims("client", hybrid->nonce());
        c.change(claims);
        Flow flow(hybrid);
        // The hybrid flow's default response mode puts the parameters in the fragment.
        flow.session->resumeExternalUserAgentFlowWithURL(
            url("com.example.app:/oauth2callback#code=abc&id_token=" + testing::FakeOpenIDProvider::idToken(claims) +
                "&" + flow.state()));
        REQUIRE(flow.outcome.calls == 1);
        if (c.failure) {
            REQUIRE(flow.outcome.error);
            CHECK(flow.outcome.error->code() == ErrorCode::IDTokenFailedValidationError);
            CHECK(flow.outcome.error->localizedDescription() == *c.failure);
        } else {
            CHECK_FALSE(flow.outcome.error);
            REQUIRE(flow.outcome.value);
            CHECK(flow.outcome.value->idToken());
        }
    }
}

TEST_CASE("cancelling, a refusing agent and an agent that fails the flow itself") {
    SUBCASE("cancel") {
        Flow flow;
        bool done = false;
        flow.session->cancelWithCompletion([&] { done = true; });
        CHECK(done);
        REQUIRE(flow.outcome.error);
        CHECK(flow.outcome.error->code() == ErrorCode::userCanceledAuthorizationFlow);
        CHECK(flow.outcome.error->localizedDescription() == "Authorization flow was cancelled.");
    }
    SUBCASE("refusing agent") {
        auto agent = std::make_shared<ScriptedAgent>();
        agent->answer = false;
        Outcome<AuthorizationResponsePtr> outcome;
        AuthorizationService::presentAuthorizationRequest(request(), agent, outcome.callback());
        REQUIRE(outcome.calls == 1);
        CHECK(outcome.error->code() == ErrorCode::safariOpenError);
        CHECK(outcome.error->localizedDescription() == "Unable to open Safari.");
    }
    SUBCASE("agent fails, then refuses") {
        auto agent = std::make_shared<ScriptedAgent>();
        agent->answer = false;
        agent->whilePresenting = [](ExternalUserAgentSession& s) {
            s.failExternalUserAgentFlowWithError(Error("agent", 7));
        };
        Outcome<AuthorizationResponsePtr> outcome;
        AuthorizationService::presentAuthorizationRequest(request(), agent, outcome.callback());
        CHECK(outcome.calls == 1);
        CHECK(outcome.error->domain() == "agent");
    }
}

TEST_CASE("an end-session flow checks its state and finishes once") {
    auto config =
        std::make_shared<const ServiceConfiguration>(url("https://idp.test/auth"), url("https://idp.test/token"),
                                                     std::nullopt, std::nullopt, url("https://idp.test/end"));
    auto end = EndSessionRequest::make(config, "hint", url("com.example.app:/logout"), StringMap{});
    for (bool rightState : {true, false}) {
        auto agent = std::make_shared<ScriptedAgent>();
        Outcome<EndSessionResponsePtr> outcome;
        auto session = AuthorizationService::presentEndSessionRequest(end, agent, outcome.callback());
        std::string state = rightState ? *end->state() : "forged";
        CHECK(session->resumeExternalUserAgentFlowWithURL(url("com.example.app:/logout?state=" + state)));
        REQUIRE(outcome.calls == 1);
        CHECK((outcome.value != nullptr) == rightState);
        if (!rightState) CHECK(outcome.error->code() == OAuthErrorCode::clientErrorStateMismatch);
    }
}

TEST_CASE("the desktop agent opens the request once at a time and reports a browser that cannot open") {
    std::vector<std::string> opened;
    bool canOpen = true;
    auto agent = std::make_shared<ExternalUserAgentMac>();
    agent->setURLOpener([&](std::string_view u) {
        opened.emplace_back(u);
        return canOpen;
    });
    Outcome<AuthorizationResponsePtr> first;
    auto session = AuthorizationService::presentAuthorizationRequest(request(), agent, first.callback());
    CHECK(opened.size() == 1);
    CHECK(agent->externalUserAgentFlowInProgress());
    Outcome<AuthorizationResponsePtr> second;
    AuthorizationService::presentAuthorizationRequest(request(), agent, second.callback());
    CHECK(opened.size() == 1);
    CHECK(second.error->code() == ErrorCode::safariOpenError);
    CHECK(first.calls == 0);
    session->cancel();
    CHECK(first.error->code() == ErrorCode::userCanceledAuthorizationFlow);
    CHECK_FALSE(agent->externalUserAgentFlowInProgress());

    canOpen = false;
    Outcome<AuthorizationResponsePtr> third;
    AuthorizationService::presentAuthorizationRequest(request(), agent, third.callback());
    REQUIRE(third.calls == 1);
    CHECK(third.error->code() == ErrorCode::browserOpenError);
    CHECK(third.error->localizedDescription() == "Unable to open the browser.");
    bool dismissed = false;
    agent->dismissExternalUserAgentAnimated(true, [&] { dismissed = true; });
    CHECK(dismissed);
}

TEST_CASE("the desktop agent hands the URL to the user's browser through xdg-open and $BROWSER") {
    namespace fs = std::filesystem;
    auto dir = fs::temp_directory_path() / ("brisko-browser-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    auto script = dir / "browser.sh";
    auto seen = dir / "seen.txt";
    {
        std::ofstream out(script);
        out << "#!/bin/sh\nprintf '%s' \"$1\" > '" << (dir / "tmp.txt").string() << "' && mv '"
            << (dir / "tmp.txt").string() << "' '" << seen.string() << "'\n";
    }
    fs::permissions(script, fs::perms::owner_all);
    // A desktop-less environment, so that xdg-open goes to $BROWSER.
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION",
                             "GNOME_DESKTOP_SESSION_ID"}) {
        ::unsetenv(name);
    }
    ::setenv("BROWSER", script.c_str(), 1);

    auto agent = std::make_shared<ExternalUserAgentMac>();
    Outcome<AuthorizationResponsePtr> outcome;
    auto r = request();
    auto session = AuthorizationService::presentAuthorizationRequest(r, agent, outcome.callback());
    CHECK(outcome.calls == 0);
    // The opener runs detached: wait (bounded) for the browser to have been given the URL.
    for (int i = 0; i < 500 && !fs::exists(seen); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    REQUIRE(fs::exists(seen));
    std::ifstream in(seen);
    std::string given((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    CHECK(given == r->authorizationRequestURL().absoluteString());
    session->cancel();
    ::unsetenv("BROWSER");
    fs::remove_all(dir);
}
