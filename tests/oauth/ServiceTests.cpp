// The token, registration and discovery exchanges against a scripted fake provider: every ID-token
// check, the error mapping and replies a conformant server never sends.
#include <doctest/doctest.h>

#include <nlohmann/json.hpp>

#include "oauth/AuthorizationService.hpp"
#include "oauth/ErrorUtilities.hpp"
#include "oauth/internal/JSONDocument.hpp"
#include "platform/base/Clock.hpp"
#include "platform/storage/Crypto.hpp"
#include "tests/oauth/OAuthTestSupport.hpp"
#include "tests/support/oidc/FakeOpenIDProvider.hpp"

using namespace brisko;
using namespace brisko::oauth;
using namespace brisko::oauth::test;
using testing::FakeOpenIDProvider;

namespace {

struct Fixture {
    FakeOpenIDProvider fake;
    std::shared_ptr<platform::ManualClock> clock =
        std::make_shared<platform::ManualClock>(std::chrono::floor<std::chrono::seconds>(platform::now()));
    platform::ScopedClock scoped{clock};
    ServiceConfigurationPtr configuration = std::make_shared<const ServiceConfiguration>(
        fake.authorizationEndpoint(), fake.tokenEndpoint(), *URL::parse(fake.issuer()), fake.registrationEndpoint());
    AuthorizationRequestPtr request = AuthorizationRequest::make(configuration, "client", std::nullopt, {"openid"},
                                                                 *URL::parse("com.example.app:/cb"), "code", {});
    AuthorizationResponsePtr response =
        AuthorizationResponse::make(request, Dictionary{{"code", "c"}, {"state", *request->state()}});

    Dictionary claims() const { return fake.validClaims("client", request->nonce()); }
    std::pair<TokenResponsePtr, OptionalError> exchange() {
        return performTokenRequest(response->tokenExchangeRequest(), response);
    }
    std::pair<TokenResponsePtr, OptionalError> refresh() {
        return performTokenRequest(TokenRequest::make(configuration, "refresh_token", std::nullopt, std::nullopt,
                                                      "client", std::nullopt, std::optional<std::string>(), "r",
                                                      std::nullopt, {}),
                                   response);
    }
};

}  // namespace

TEST_CASE("the ID token of a code exchange must pass issuer, audience, expiry, issued-at and nonce checks") {
    Fixture f;
    struct Case {
        std::string name;
        std::function<void(Dictionary&)> change;
        std::optional<std::string> failure;  // the -15 description, or -14 for "parse"
    };
    const std::int64_t now = static_cast<std::int64_t>(platform::timeIntervalSince1970(platform::now()));
    const std::vector<Case> cases{
        {"valid", [](Dictionary&) {}, std::nullopt},
        {"audience list with azp",
         [](Dictionary& d) {
             d["aud"] = Value::Array{"a", "b"};
             d["azp"] = "client";
         },
         std::nullopt},
        {"audience list with the client",
         [](Dictionary& d) {
             d["aud"] = Value::Array{"a", "client"};
         },
         std::nullopt},
        {"issued 600 s ago", [now](Dictionary& d) { d["iat"] = now - 600; }, std::nullopt},
        {"issued 600 s ahead", [now](Dictionary& d) { d["iat"] = now + 600; }, std::nullopt},
        {"other issuer", [](Dictionary& d) { d["iss"] = "https://evil.test"; }, "Issuer mismatch"},
        {"other audience",
         [](Dictionary& d) {
             d["aud"] = Value::Array{"a", "b"};
         },
         "Audience mismatch"},
        {"other azp",
         [](Dictionary& d) {
             d["aud"] = "a";
             d["azp"] = "b";
         },
         "Audience mismatch"},
        {"expired a second ago", [now](Dictionary& d) { d["exp"] = now - 1; }, "ID Token expired"},
        {"expiring now", [now](Dictionary& d) { d["exp"] = now; }, "ID Token expired"},
        {"issued 601 s ago", [now](Dictionary& d) { d["iat"] = now - 601; },
         "Issued at time is more than 600 seconds before or after the current time"},
        {"issued 601 s ahead", [now](Dictionary& d) { d["iat"] = now + 601; },
         "Issued at time is more than 600 seconds before or after the current time"},
        {"other nonce", [](Dictionary& d) { d["nonce"] = "replayed"; }, "Nonce mismatch"},
        {"no nonce", [](Dictionary& d) { d.erase("nonce"); }, "Nonce mismatch"},
        {"no subject", [](Dictionary& d) { d.erase("sub"); }, "parse"},
        {"audience of the wrong type", [](Dictionary& d) { d["aud"] = 5; }, "parse"},
        {"expiry as text", [now](Dictionary& d) { d["exp"] = std::to_string(now + 100); }, "parse"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        Dictionary claims = f.claims();
        c.change(claims);
        f.fake.replyToToken(200, FakeOpenIDProvider::tokenReply(FakeOpenIDProvider::idToken(claims)));
        auto [response, error] = f.exchange();
        if (!c.failure) {
            CHECK_FALSE(error);
            REQUIRE(response);
            CHECK(response->accessToken() == "access-1");
            CHECK(response->refreshToken() == "refresh-1");
        } else if (*c.failure == "parse") {
            REQUIRE(error);
            CHECK(error->code() == ErrorCode::IDTokenParsingError);
            CHECK(error->localizedDescription() == "ID Token parsing failed");
        } else {
            REQUIRE(error);
            CHECK(error->domain() == kGeneralErrorDomain);
            CHECK(error->code() == ErrorCode::IDTokenFailedValidationError);
            CHECK(error->localizedDescription() == *c.failure);
        }
    }
}

TEST_CASE("refreshes skip the nonce check; malformed and missing ID tokens are errors") {
    Fixture f;
    Dictionary claims = f.claims();
    claims["nonce"] = "from-an-earlier-sign-in";
    f.fake.replyToToken(200, FakeOpenIDProvider::tokenReply(FakeOpenIDProvider::idToken(claims)));
    CHECK_FALSE(f.refresh().second);

    for (std::string malformed : {"abc", "!!!.###", "e30.e30", "bm90IGpzb24.bm90IGpzb24"}) {
        CAPTURE(malformed);
        f.fake.replyToToken(200, FakeOpenIDProvider::tokenReply(malformed));
        auto [response, error] = f.exchange();
        CHECK_FALSE(response);
        CHECK(error->code() == ErrorCode::IDTokenParsingError);
    }
    // An OpenID code exchange without an ID token cannot prove who signed in; a refresh may omit it.
    f.fake.replyToToken(200, FakeOpenIDProvider::tokenReply(std::nullopt));
    auto [none, noneError] = f.exchange();
    CHECK_FALSE(none);
    CHECK(noneError->code() == ErrorCode::IDTokenFailedValidationError);
    auto [refreshed, refreshError] = f.refresh();
    CHECK_FALSE(refreshError);
    CHECK(refreshed);
}

TEST_CASE("token endpoint failures map to OAuth, HTTP, JSON and network errors") {
    Fixture f;
    struct Case {
        int status;
        std::string body;
        std::string contentType;
        std::string domain;
        std::int64_t code;
    };
    for (const auto& c : std::vector<Case>{
             {401, R"({"error":"invalid_client","error_description":"bad"})", "application/json",
              std::string(kOAuthTokenErrorDomain), OAuthErrorCode::invalidClient},
             {400, R"({"error":"invalid_grant"})", "application/json", std::string(kOAuthTokenErrorDomain),
              OAuthErrorCode::invalidGrant},
             {500, R"({"error":"invalid_client"})", "application/json", std::string(kGeneralErrorDomain),
              ErrorCode::serverError},
             {400, R"({"error":42,"error_description":7})", "application/json", std::string(kGeneralErrorDomain),
              ErrorCode::networkError},
             {400, "<html>no</html>", "text/html", std::string(kGeneralErrorDomain), ErrorCode::serverError},
             {200, "<html>not json</html>", "text/html", std::string(kGeneralErrorDomain),
              ErrorCode::JSONDeserializationError},
             {200, "[1,2,3]", "application/json", std::string(kGeneralErrorDomain),
              ErrorCode::tokenResponseConstructionError},
             {200, "\"text\"", "application/json", std::string(kGeneralErrorDomain),
              ErrorCode::tokenResponseConstructionError},
         }) {
        CAPTURE(c.status);
        CAPTURE(c.body);
        f.fake.replyToToken(c.status, c.body, c.contentType);
        auto [response, error] = f.refresh();
        CHECK_FALSE(response);
        REQUIRE(error);
        CHECK(error->domain() == c.domain);
        CHECK(error->code() == c.code);
    }
    f.fake.replyToToken(503, "<html>down</html>", "text/html");
    auto [r, error] = f.refresh();
    auto http = error->underlyingError();
    REQUIRE(http);
    CHECK(http->domain() == kHTTPErrorDomain);
    CHECK(http->code() == 503);
    CHECK(http->localizedDescription() == "<html>down</html>");

    f.fake.server().stop();
    auto [gone, transport] = f.refresh();
    CHECK_FALSE(gone);
    CHECK(transport->code() == ErrorCode::networkError);
    CHECK(transport->localizedDescription().starts_with("Connection error making token request to '"));
}

TEST_CASE("a 200 token reply that refuses the grant is that refusal; one without an access token is invalid") {
    Fixture f;
    const std::string idToken = FakeOpenIDProvider::idToken(f.claims());
    struct Case {
        std::string body;
        std::string domain;
        std::int64_t code;
        std::string description;
    };
    for (const auto& c : std::vector<Case>{
             {R"({"error":"invalid_grant","error_description":"revoked"})", std::string(kOAuthTokenErrorDomain),
              OAuthErrorCode::invalidGrant, "invalid_grant: revoked"},
             // Even beside tokens, an "error" refuses the grant.
             {R"({"error":"invalid_request","access_token":"a","id_token":")" + idToken + R"("})",
              std::string(kOAuthTokenErrorDomain), OAuthErrorCode::invalidRequest, "invalid_request"},
             {"{}", std::string(kGeneralErrorDomain), ErrorCode::tokenResponseConstructionError,
              "Token response invalid."},
             {R"({"access_token":7,"token_type":"Bearer"})", std::string(kGeneralErrorDomain),
              ErrorCode::tokenResponseConstructionError, "Token response invalid."},
             {R"({"token_type":"Bearer","refresh_token":"r","id_token":")" + idToken + R"("})",
              std::string(kGeneralErrorDomain), ErrorCode::tokenResponseConstructionError, "Token response invalid."},
         }) {
        CAPTURE(c.body.substr(0, 60));
        f.fake.replyToToken(200, c.body);
        for (const auto& [response, error] : {f.exchange(), f.refresh()}) {
            CHECK_FALSE(response);
            REQUIRE(error);
            CHECK(error->domain() == c.domain);
            CHECK(error->code() == c.code);
            CHECK(error->localizedDescription() == c.description);
        }
    }
}

TEST_CASE("a token endpoint that redirects does not get the code, verifier or refresh token sent elsewhere") {
    Fixture f;
    testing::HttpTestServer elsewhere;
    elsewhere.on("*", "/steal", testing::HttpTestServer::json(200, FakeOpenIDProvider::tokenReply(std::nullopt)));
    for (int status : {301, 302, 307, 308}) {
        CAPTURE(status);
        f.fake.server().on("POST", "/token", testing::HttpTestServer::redirect(status, elsewhere.baseURL() + "/steal"));
        auto [response, error] = f.exchange();
        CHECK_FALSE(response);
        REQUIRE(error);
        CHECK(error->code() == ErrorCode::serverError);
        REQUIRE(error->underlyingError());
        CHECK(error->underlyingError()->code() == status);
    }
    CHECK(elsewhere.requestCount() == 0);
}

TEST_CASE("registration replies: created, invalid, OAuth errors only for 400, and unserialisable requests") {
    Fixture f;
    auto request = RegistrationRequest::make(f.configuration, {*URL::parse("com.example.app:/cb")}, std::nullopt,
                                             std::nullopt, std::nullopt, std::nullopt, "iat", {});
    auto perform = [&](RegistrationRequestPtr r) {
        Outcome<RegistrationResponsePtr> outcome;
        AuthorizationService::performRegistrationRequest(std::move(r), outcome.callback());
        REQUIRE(outcome.wait());
        return std::make_pair(outcome.value, outcome.error);
    };
    f.fake.replyToRegistration(201, R"({"client_id":"new","client_secret":"s","client_secret_expires_at":0})");
    auto [created, noError] = perform(request);
    REQUIRE(created);
    CHECK(created->clientID() == "new");
    CHECK(f.fake.server().requestsTo("/register").back().header("Authorization") == "Bearer iat");

    struct Case {
        int status;
        std::string body;
        std::string domain;
        std::int64_t code;
    };
    for (const auto& c : std::vector<Case>{
             {201, R"({"client_secret":"s","client_secret_expires_at":0})", std::string(kGeneralErrorDomain),
              ErrorCode::registrationResponseConstructionError},
             {200, "[]", std::string(kGeneralErrorDomain), ErrorCode::registrationResponseConstructionError},
             {200, "{", std::string(kGeneralErrorDomain), ErrorCode::JSONDeserializationError},
             {400, R"({"error":"invalid_redirect_uri"})", std::string(kOAuthRegistrationErrorDomain),
              OAuthErrorCode::clientError},
             {401, R"({"error":"invalid_token"})", std::string(kGeneralErrorDomain), ErrorCode::serverError},
         }) {
        CAPTURE(c.body);
        f.fake.replyToRegistration(c.status, c.body);
        auto [response, error] = perform(request);
        CHECK_FALSE(response);
        REQUIRE(error);
        CHECK(error->domain() == c.domain);
        CHECK(error->code() == c.code);
    }
    auto noEndpoint = RegistrationRequest::make(
        std::make_shared<const ServiceConfiguration>(f.fake.authorizationEndpoint(), f.fake.tokenEndpoint()),
        {*URL::parse("app:/cb")}, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, {});
    auto [none, error] = perform(noEndpoint);
    CHECK(error->code() == ErrorCode::JSONSerializationError);
}

TEST_CASE("discovery failures all arrive as network errors with their cause") {
    Fixture f;
    auto discover = [&](std::string_view path) {
        Outcome<ServiceConfigurationPtr> outcome;
        AuthorizationService::discoverServiceConfigurationForDiscoveryURL(f.fake.server().url(path),
                                                                          outcome.callback());
        REQUIRE(outcome.wait());
        return std::make_pair(outcome.value, outcome.error);
    };
    f.fake.server().on("GET", "/bad", testing::HttpTestServer::json(200, "{"));
    f.fake.server().on("GET", "/array", testing::HttpTestServer::json(200, "[]"));
    f.fake.server().on("GET", "/partial", testing::HttpTestServer::json(200, R"({"issuer":"https://i"})"));
    for (std::string path : {"/missing", "/bad", "/array", "/partial"}) {
        CAPTURE(path);
        auto [configuration, error] = discover(path);
        CHECK_FALSE(configuration);
        REQUIRE(error);
        CHECK(error->code() == ErrorCode::networkError);
    }
    CHECK(discover("/array").second->underlyingError()->code() == ErrorCode::invalidDiscoveryDocument);
    CHECK(discover("/partial").second->localizedDescription().find("Missing field: authorization_endpoint") !=
          std::string::npos);
}

TEST_CASE("a discovery document for another issuer, or with endpoints that are not https, is refused") {
    Fixture f;
    const std::string issuer = f.fake.issuer();
    auto document = [&](std::string documentIssuer, std::string endpointBase) {
        nlohmann::json d{{"issuer", documentIssuer},
                         {"authorization_endpoint", endpointBase + "/auth"},
                         {"token_endpoint", endpointBase + "/token"},
                         {"userinfo_endpoint", endpointBase + "/me"},
                         {"jwks_uri", endpointBase + "/jwks"},
                         {"response_types_supported", {"code"}},
                         {"subject_types_supported", {"public"}},
                         {"id_token_signing_alg_values_supported", {"RS256"}}};
        return d;
    };
    auto discover = [&](const nlohmann::json& d, std::optional<std::string> path = std::nullopt) {
        f.fake.server().on("GET", path.value_or("/.well-known/openid-configuration"),
                           testing::HttpTestServer::json(200, d.dump()));
        Outcome<ServiceConfigurationPtr> outcome;
        if (path) {
            AuthorizationService::discoverServiceConfigurationForDiscoveryURL(f.fake.server().url(*path),
                                                                              outcome.callback());
        } else {
            AuthorizationService::discoverServiceConfigurationForIssuer(*URL::parse(issuer), outcome.callback());
        }
        REQUIRE(outcome.wait());
        return std::make_pair(outcome.value, outcome.error);
    };
    // Plain http is fine to this machine, as a test provider runs; https anywhere.
    for (std::string base : {issuer, std::string("http://localhost:1"), std::string("http://[::1]:1"),
                             std::string("https://idp.example")}) {
        CAPTURE(base);
        auto [configuration, error] = discover(document(issuer, base));
        CHECK_FALSE(error);
        REQUIRE(configuration);
        CHECK(configuration->issuer()->absoluteString() == issuer);
        CHECK(configuration->tokenEndpoint().absoluteString() == base + "/token");
    }

    struct Case {
        std::string name;
        nlohmann::json document;
        std::string reason;
    };
    auto with = [&](std::string member, std::string value) {
        auto d = document(issuer, issuer);
        d[member] = value;
        return d;
    };
    for (const auto& c : std::vector<Case>{
             {"another issuer", document("https://evil.test", "https://evil.test"),
              "Issuer mismatch: the document is for https://evil.test, not for " + issuer},
             {"the issuer with a final slash", document(issuer + "/", issuer),
              "Issuer mismatch: the document is for " + issuer + "/, not for " + issuer},
             {"a script as authorization endpoint", with("authorization_endpoint", "javascript:alert(1)"),
              "Insecure URL: authorization_endpoint"},
             {"plain http to another host", with("token_endpoint", "http://idp.example/token"),
              "Insecure URL: token_endpoint"},
             {"plain http to a name that only starts like loopback",
              with("token_endpoint", "http://127.0.0.1.evil.test/t"), "Insecure URL: token_endpoint"},
             {"another scheme", with("userinfo_endpoint", "ftp://idp.example/me"), "Insecure URL: userinfo_endpoint"},
             {"keys fetched in the clear", with("jwks_uri", "http://idp.example/jwks"), "Insecure URL: jwks_uri"},
             {"an endpoint that is no URL", with("end_session_endpoint", "not a url"),
              "Insecure URL: end_session_endpoint"},
         }) {
        CAPTURE(c.name);
        auto [configuration, error] = discover(c.document);
        CHECK_FALSE(configuration);
        REQUIRE(error);
        CHECK(error->code() == ErrorCode::networkError);
        REQUIRE(error->underlyingError());
        CHECK(error->underlyingError()->code() == ErrorCode::invalidDiscoveryDocument);
        CHECK(error->underlyingError()->localizedDescription() == c.reason);
    }

    // A discovery URL at the standard place holds the document to the issuer before it, with or without a
    // final slash; one elsewhere names no issuer.
    CHECK(discover(document(issuer, issuer), "/.well-known/openid-configuration").first);
    CHECK(discover(document(issuer + "/", issuer), "/.well-known/openid-configuration").first);
    CHECK_FALSE(discover(document("https://evil.test", issuer), "/.well-known/openid-configuration").first);
    CHECK(discover(document("https://other.test", issuer), "/custom-discovery").first);
    CHECK_FALSE(discover(with("token_endpoint", "http://idp.example/token"), "/custom-discovery").first);
}

TEST_CASE("replies nested deeper than any OAuth document are JSON errors, not a stack overflow") {
    Fixture f;
    // Each level of a document becomes one level of recursion when its values are read: a small hostile
    // reply of nothing but brackets must not take the process down.
    auto nested = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    const std::string deep = nested(200000);
    const std::string claims = Value(f.claims()).toJSON().dump();
    const std::string deepClaims = claims.substr(0, claims.size() - 1) + R"(,"deep":)" + deep + "}";
    const std::string deepIDToken = platform::crypto::base64URLEncode(std::string(R"({"alg":"none"})")) + "." +
                                    platform::crypto::base64URLEncode(deepClaims) + ".c2lnbmF0dXJl";

    struct Case {
        int status;
        std::string body;
        std::int64_t code;
    };
    for (const auto& c : std::vector<Case>{
             {200, R"({"access_token":"a","extra":)" + deep + "}", ErrorCode::JSONDeserializationError},
             // The error body cannot be read, so the reply is the server's failure, not an OAuth error.
             {400, R"({"error":"invalid_grant","extra":)" + deep + "}", ErrorCode::serverError},
             {200, FakeOpenIDProvider::tokenReply(deepIDToken), ErrorCode::IDTokenParsingError},
         }) {
        CAPTURE(c.status);
        CAPTURE(c.body.substr(0, 40));
        f.fake.replyToToken(c.status, c.body);
        auto [response, error] = f.exchange();
        CHECK_FALSE(response);
        REQUIRE(error);
        CHECK(error->domain() == kGeneralErrorDomain);
        CHECK(error->code() == c.code);
    }

    f.fake.replyToRegistration(201, R"({"client_id":"new","extra":)" + deep + "}");
    Outcome<RegistrationResponsePtr> registration;
    AuthorizationService::performRegistrationRequest(
        RegistrationRequest::make(f.configuration, {*URL::parse("com.example.app:/cb")}, std::nullopt, std::nullopt,
                                  std::nullopt, std::nullopt, std::nullopt, {}),
        registration.callback());
    REQUIRE(registration.wait());
    REQUIRE(registration.error);
    CHECK(registration.error->code() == ErrorCode::JSONDeserializationError);

    f.fake.server().on("GET", "/deep", testing::HttpTestServer::json(200, R"({"issuer":)" + deep + "}"));
    Outcome<ServiceConfigurationPtr> discovery;
    AuthorizationService::discoverServiceConfigurationForDiscoveryURL(f.fake.server().url("/deep"),
                                                                      discovery.callback());
    REQUIRE(discovery.wait());
    REQUIRE(discovery.error);
    CHECK(discovery.error->underlyingError()->code() == ErrorCode::JSONDeserializationError);

    // Real documents nest a few levels; up to the bound (the reply's object and its member) they are read.
    f.fake.replyToToken(200, R"({"access_token":"a","extra":)" + nested(detail::kMaxJSONDepth - 1) + "}");
    auto [kept, keptError] = f.refresh();
    CHECK_FALSE(keptError);
    REQUIRE(kept);
    CHECK(kept->additionalParameters().contains("extra"));
    f.fake.replyToToken(200, R"({"access_token":"a","extra":)" + nested(detail::kMaxJSONDepth) + "}");
    CHECK(f.refresh().second->code() == ErrorCode::JSONDeserializationError);
}
