// HTTP authentication: 401 challenges with Basic and Digest against a local server.
#include <doctest/doctest.h>

#include "platform/net/URLSession.hpp"
#include "tests/platform/base/TaskEventRecorder.hpp"
#include "tests/support/HttpTestServer.hpp"

using namespace brisko::platform;
using brisko::testing::HttpTestServer;
using brisko::testing::TaskEventRecorder;
using Disposition = URLSessionAuthChallengeDisposition;

namespace {

TaskEventRecorder::Answer use(const std::string& user, const std::string& password) {
    return {Disposition::useCredential, URLCredential::withUser(user, password)};
}

std::shared_ptr<URLSession> sessionFor(std::shared_ptr<TaskEventRecorder> delegate) {
    return URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration(),
                                                std::move(delegate));
}

URL withUserInfo(const URL& url, const std::string& userInfo) {
    auto text = url.absoluteString();
    return *URL::parse(text.replace(text.find("//") + 2, 0, userInfo + "@"));
}

// "/basic" and "/digest" answer "welcome" to user "ada" with password "s3cret" in realm "vault".
void serveWelcome(HttpTestServer& server) {
    server.on("GET", "/basic",
              HttpTestServer::basicAuth("vault", "ada", "s3cret", HttpTestServer::text(200, "welcome")));
    server.on("GET", "/digest",
              HttpTestServer::digestAuth("vault", "ada", "s3cret", HttpTestServer::text(200, "welcome")));
}

}  // namespace

TEST_CASE("a 401 with Basic or Digest becomes a challenge, and the right credential gets the resource") {
    HttpTestServer server;
    serveWelcome(server);
    struct Case {
        const char* path;
        std::string_view method;
    };
    for (auto c :
         {Case{"/basic", kURLAuthenticationMethodHTTPBasic}, Case{"/digest", kURLAuthenticationMethodHTTPDigest}}) {
        CAPTURE(std::string(c.path));
        auto delegate = std::make_shared<TaskEventRecorder>();
        delegate->answerChallenge = [](const URLAuthenticationChallenge&) { return use("ada", "s3cret"); };
        auto session = sessionFor(delegate);
        session->dataTaskWithRequest(URLRequest(server.url(c.path)))->resume();
        delegate->waitForCompletion();
        CHECK_FALSE(delegate->error());
        CHECK(delegate->status() == 200);
        CHECK(delegate->body() == "welcome");
        auto challenges = delegate->challenges();
        REQUIRE(challenges.size() == 1);
        const auto& space = challenges[0].protectionSpace;
        CHECK(space.host == "127.0.0.1");
        CHECK(space.port == server.port());
        CHECK(space.protocol == "http");
        CHECK(space.authenticationMethod == c.method);
        CHECK(space.realm == "vault");
        CHECK_FALSE(space.isProxy);
        CHECK(challenges[0].previousFailureCount == 0);
        REQUIRE(challenges[0].failureResponse);
        CHECK(challenges[0].failureResponse->statusCode() == 401);
        CHECK_FALSE(challenges[0].proposedCredential);
        session->finishTasksAndInvalidate();
    }
}

TEST_CASE("a wrong password is challenged again with a growing failure count until the delegate gives up") {
    HttpTestServer server;
    serveWelcome(server);
    struct Case {
        const char* path;
        Disposition giveUp;
        std::optional<int> code;  // the error, else the 401 is delivered
    };
    for (auto c : {Case{"/basic", Disposition::rejectProtectionSpace, std::nullopt},
                   Case{"/basic", Disposition::cancelAuthenticationChallenge, -999},
                   Case{"/digest", Disposition::performDefaultHandling, std::nullopt},
                   Case{"/digest", Disposition::cancelAuthenticationChallenge, -999}}) {
        CAPTURE(std::string(c.path));
        CAPTURE(static_cast<int>(c.giveUp));
        auto delegate = std::make_shared<TaskEventRecorder>();
        delegate->answerChallenge = [&](const URLAuthenticationChallenge& challenge) -> TaskEventRecorder::Answer {
            if (challenge.previousFailureCount > 2) return {c.giveUp, std::nullopt};
            return use("ada", "wrong");
        };
        auto session = sessionFor(delegate);
        session->dataTaskWithRequest(URLRequest(server.url(c.path)))->resume();
        delegate->waitForCompletion();
        std::vector<int> counts;
        for (auto& challenge : delegate->challenges()) counts.push_back(challenge.previousFailureCount);
        CHECK(counts == std::vector<int>{0, 1, 2, 3});
        if (c.code) {
            REQUIRE(delegate->error());
            CHECK(delegate->error()->code() == *c.code);
        } else {
            CHECK_FALSE(delegate->error());
            CHECK(delegate->status() == 401);
            CHECK(delegate->body() == "unauthorized");
        }
        session->finishTasksAndInvalidate();
    }
}

TEST_CASE("default handling answers with the URL's own user and password once, else delivers the 401") {
    HttpTestServer server;
    serveWelcome(server);
    struct Case {
        const char* userInfo;
        int status;
        std::size_t requests;
    };
    for (auto c : {Case{"ada:s3cret", 200, 2}, Case{"ada:wrong", 401, 2}, Case{"", 401, 1}}) {
        CAPTURE(std::string(c.userInfo));
        server.clearRequests();
        auto url = *c.userInfo ? withUserInfo(server.url("/basic"), c.userInfo) : server.url("/basic");
        auto delegate = std::make_shared<TaskEventRecorder>();
        auto session = sessionFor(delegate);
        session->dataTaskWithRequest(URLRequest(url))->resume();
        delegate->waitForCompletion();
        CHECK_FALSE(delegate->error());
        CHECK(delegate->status() == c.status);
        CHECK(server.requestCount() == c.requests);
        // The URL's credential is never sent before the server asks for it.
        CHECK_FALSE(server.requests().at(0).header("Authorization"));
        auto challenges = delegate->challenges();
        REQUIRE_FALSE(challenges.empty());
        if (*c.userInfo) {
            REQUIRE(challenges[0].proposedCredential);
            CHECK(challenges[0].proposedCredential->user == "ada");
        }
        session->finishTasksAndInvalidate();
    }

    // Without a delegate the same default applies.
    auto session = URLSession::sessionWithConfiguration(URLSessionConfiguration::defaultSessionConfiguration());
    auto outcome = std::make_shared<std::atomic<int>>(0);
    session
        ->dataTaskWithRequest(URLRequest(withUserInfo(server.url("/basic"), "ada:s3cret")),
                              [outcome](std::optional<Data>, std::shared_ptr<const HTTPURLResponse> response,
                                        std::optional<Error>) { *outcome = response ? response->statusCode() : -1; })
        ->resume();
    CHECK(MainLoop::runUntil([&] { return outcome->load() != 0; }));
    CHECK(outcome->load() == 200);
    session->finishTasksAndInvalidate();
}

TEST_CASE("credentials answering a challenge never follow a redirect to another origin") {
    HttpTestServer other;
    other.on("GET", "/landing", HttpTestServer::text(200, "landed"));
    HttpTestServer server;
    server.on("GET", "/basic",
              HttpTestServer::basicAuth("vault", "ada", "s3cret",
                                        HttpTestServer::redirect(302, other.url("/landing").absoluteString())));
    auto delegate = std::make_shared<TaskEventRecorder>();
    delegate->answerChallenge = [](const URLAuthenticationChallenge&) { return use("ada", "s3cret"); };
    auto session = sessionFor(delegate);
    session->dataTaskWithRequest(URLRequest(server.url("/basic")))->resume();
    delegate->waitForCompletion();
    CHECK(delegate->body() == "landed");
    REQUIRE(server.requestCount() == 2);
    CHECK(server.requests()[1].header("Authorization"));
    REQUIRE(other.requestCount() == 1);
    CHECK_FALSE(other.requests()[0].header("Authorization"));
    session->finishTasksAndInvalidate();
}

TEST_CASE("an authentication retry sends the body again: bytes as they are, a stream through a new stream") {
    HttpTestServer server;
    server.on("POST", "/basic", HttpTestServer::basicAuth("vault", "ada", "s3cret", HttpTestServer::echo()));
    server.on("POST", "/digest", HttpTestServer::digestAuth("vault", "ada", "s3cret", HttpTestServer::echo()));
    for (std::string path : {"/basic", "/digest"}) {
        for (bool streamed : {false, true}) {
            CAPTURE(path);
            CAPTURE(streamed);
            server.clearRequests();
            auto delegate = std::make_shared<TaskEventRecorder>();
            delegate->answerChallenge = [](const URLAuthenticationChallenge&) { return use("ada", "s3cret"); };
            delegate->provideStream = [] { return InputStream::inputStreamWithData(toData("payload")); };
            auto session = sessionFor(delegate);
            URLRequest request(server.url(path));
            request.setHTTPMethod("POST");
            request.setValue("text/plain", "Content-Type");
            if (streamed) {
                session->uploadTaskWithStreamedRequest(request)->resume();
            } else {
                session->uploadTaskWithRequest(request, toData("payload"))->resume();
            }
            delegate->waitForCompletion();
            CHECK_FALSE(delegate->error());
            CHECK(delegate->status() == 200);
            CHECK(delegate->body() == "payload");
            CHECK(delegate->streamsAsked() == (streamed ? 2 : 0));
            REQUIRE_FALSE(server.requests().empty());
            CHECK(server.requests()[0].body == "payload");
        }
    }
}

TEST_CASE("a 401 without Basic or Digest is delivered as it is") {
    HttpTestServer server;
    server.on("GET", "/bearer",
              HttpTestServer::text(401, "token expired", "text/plain", {{"WWW-Authenticate", "Bearer realm=\"api\""}}));
    auto delegate = std::make_shared<TaskEventRecorder>();
    auto session = sessionFor(delegate);
    session->dataTaskWithRequest(URLRequest(server.url("/bearer")))->resume();
    delegate->waitForCompletion();
    CHECK(delegate->status() == 401);
    CHECK(delegate->body() == "token expired");
    CHECK(delegate->challenges().empty());
    session->finishTasksAndInvalidate();
}
