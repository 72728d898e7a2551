// The OAuth client's records: requests and their URLs and bodies, responses, discovery, registration,
// end session, descriptions and archives.
#include <doctest/doctest.h>
#include <nlohmann/json.hpp>

#include "oauth/AuthState.hpp"
#include "oauth/AuthorizationRequest.hpp"
#include "oauth/AuthorizationResponse.hpp"
#include "oauth/EndSessionRequest.hpp"
#include "oauth/EndSessionResponse.hpp"
#include "oauth/ErrorUtilities.hpp"
#include "oauth/RegistrationRequest.hpp"
#include "oauth/RegistrationResponse.hpp"
#include "oauth/ServiceConfiguration.hpp"
#include "oauth/TokenUtilities.hpp"
#include "oauth/URLQueryComponent.hpp"
#include "platform/base/Clock.hpp"
#include "platform/storage/Crypto.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

using namespace brisko;
using namespace brisko::oauth;
using namespace std::chrono;

namespace {

URL url(std::string_view text) {
    return *URL::parse(text);
}

ServiceConfigurationPtr configuration() {
    return std::make_shared<const ServiceConfiguration>(
        url("https://idp.test/auth?hd=example.com"), url("https://idp.test/token"), url("https://idp.test"),
        url("https://idp.test/register"), url("https://idp.test/logout"));
}

AuthorizationRequestPtr codeRequest(std::optional<URL> redirect = url("com.example.app:/oauth2callback")) {
    return AuthorizationRequest::make(configuration(), "client", std::nullopt, {"openid", "email", "profile"},
                                      std::move(redirect), std::string(kResponseTypeCode), {{"login_hint", "a@b"}});
}

template <class T> std::shared_ptr<T> roundTrip(const std::shared_ptr<const T>& object) {
    auto data = platform::KeyedArchiver::archivedDataWithRootObject(std::const_pointer_cast<T>(object), true);
    return platform::KeyedUnarchiver::unarchivedObjectOfClass<T>(data);
}

Dictionary query(const URL& u) {
    return URLQueryComponent(u).dictionaryValue();
}

}  // namespace

TEST_CASE("only the code and hybrid response types are supported") {
    for (std::string ok : {"code", "code id_token", "id_token code"})
        CHECK(AuthorizationRequest::isSupportedResponseType(ok));
    for (std::string bad : {"token", "id_token", "Code", "code  id_token", ""}) {
        CHECK_FALSE(AuthorizationRequest::isSupportedResponseType(bad));
        CHECK_THROWS_AS(
            AuthorizationRequest::make(configuration(), "c", std::nullopt, {"openid"}, std::nullopt, bad, {}),
            platform::ProgrammingException);
    }
}

TEST_CASE("a generated request carries state, nonce and an S256 challenge of its verifier, never the verifier") {
    auto request = codeRequest();
    for (const auto& value : {request->state(), request->nonce(), request->codeVerifier()}) {
        REQUIRE(value);
        CHECK(value->size() == 43);
        CHECK(value->find('=') == std::string::npos);
    }
    CHECK(request->state() != request->nonce());
    CHECK(request->codeChallenge() == AuthorizationRequest::codeChallengeS256ForVerifier(request->codeVerifier()));
    CHECK(request->scope() == "openid email profile");

    Dictionary q = query(request->authorizationRequestURL());
    CHECK(*q.at("response_type").string() == "code");
    CHECK(*q.at("client_id").string() == "client");
    CHECK(*q.at("redirect_uri").string() == "com.example.app:/oauth2callback");
    CHECK(*q.at("scope").string() == "openid email profile");
    CHECK(*q.at("state").string() == *request->state());
    CHECK(*q.at("nonce").string() == *request->nonce());
    CHECK(*q.at("code_challenge_method").string() == "S256");
    CHECK(*q.at("login_hint").string() == "a@b");
    // The endpoint's own parameter is kept.
    CHECK(*q.at("hd").string() == "example.com");
    CHECK_FALSE(q.contains("code_verifier"));
    CHECK(request->redirectScheme() == "com.example.app");
}

TEST_CASE("the challenge of the RFC 7636 example verifier") {
    CHECK(AuthorizationRequest::codeChallengeS256ForVerifier("dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk") ==
          "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
    CHECK_FALSE(AuthorizationRequest::codeChallengeS256ForVerifier(std::nullopt));
}

TEST_CASE("a request cannot be made when the secure random source fails") {
    TokenUtilities::setRandomSource([](std::span<std::uint8_t>) { return false; });
    try {
        codeRequest();
        FAIL("a request without state, nonce and verifier was made");
    } catch (const platform::ErrorException& e) {
        CHECK(e.error().domain() == kGeneralErrorDomain);
        CHECK(e.error().code() == ErrorCode::randomSourceError);
    }
    CHECK_THROWS_AS(EndSessionRequest::make(configuration(), "hint", url("app:/out"), StringMap{}),
                    platform::ErrorException);
    TokenUtilities::setRandomSource(nullptr);
}

TEST_CASE("a request without redirect URL has no redirect_uri and no redirect scheme") {
    auto request = codeRequest(std::nullopt);
    CHECK_FALSE(query(request->authorizationRequestURL()).contains("redirect_uri"));
    CHECK_FALSE(request->redirectScheme());
}

TEST_CASE("an additional parameter named like a standard one gives the name two values") {
    auto request =
        AuthorizationRequest::make(configuration(), "client", std::nullopt, std::nullopt, std::nullopt, "code", "s1",
                                   std::nullopt, std::nullopt, std::nullopt, std::nullopt, {{"state", "extra"}});
    auto values = URLQueryComponent(request->authorizationRequestURL()).valuesForParameter("state");
    CHECK(values == std::vector<std::string>{"extra", "s1"});
}

TEST_CASE("descriptions never show tokens, codes, verifiers or secrets") {
    auto request = codeRequest();
    CHECK(request->description().find(*request->state()) == std::string::npos);

    auto response = AuthorizationResponse::make(request, Dictionary{{"code", "secret-code-123456"},
                                                                    {"state", *request->state()},
                                                                    {"access_token", "access-abcdefghij"}});
    CHECK(response->description().find("secret-code-123456") == std::string::npos);
    CHECK(response->description().find("access-abcdefghij") == std::string::npos);

    auto exchange = response->tokenExchangeRequest();
    std::string text = exchange->description();
    CHECK(text.find("secret-code-123456") == std::string::npos);
    CHECK(text.find(*request->codeVerifier()) == std::string::npos);

    auto tokens = TokenResponse::make(exchange, Dictionary{{"access_token", "access-abcdefghij"},
                                                           {"refresh_token", "refresh-abcdefghij"},
                                                           {"id_token", "idtoken-abcdefghij"}});
    for (std::string secret : {"access-abcdefghij", "refresh-abcdefghij", "idtoken-abcdefghij"}) {
        CHECK(tokens->description().find(secret) == std::string::npos);
    }
    auto state = AuthState::make(response, tokens);
    CHECK(state->description().find("refresh-abcdefghij") == std::string::npos);
    CHECK(state->description().find("isAuthorized: YES") != std::string::npos);

    // The refresh request's form shows its other fields and the token's first characters only.
    std::string refresh = state->tokenRefreshRequest()->description();
    CHECK(refresh.find("refresh-abcdefghij") == std::string::npos);
    CHECK(refresh.find("grant_type=refresh_token") != std::string::npos);
    CHECK(refresh.find("refresh_token=refres...") != std::string::npos);
}

TEST_CASE("responses keep what their field map does not take, and convert expires_in") {
    platform::ScopedClock clock(std::make_shared<platform::ManualClock>());
    auto request = codeRequest();
    auto response = AuthorizationResponse::make(request, Dictionary{{"code", "c"},
                                                                    {"state", Value::Array{"a", "b"}},
                                                                    {"expires_in", 3600},
                                                                    {"iss", "https://idp.test"}});
    CHECK(response->authorizationCode() == "c");
    CHECK_FALSE(response->state());
    CHECK(response->additionalParameters().at("state").array()->size() == 2);
    CHECK(*response->additionalParameters().at("iss").string() == "https://idp.test");
    CHECK(response->accessTokenExpirationDate() == platform::now() + hours(1));

    auto tokens = TokenResponse::make(response->tokenExchangeRequest(), Dictionary{{"expires_in", "3600"}});
    CHECK_FALSE(tokens->accessTokenExpirationDate());
    CHECK(*tokens->additionalParameters().at("expires_in").string() == "3600");
}

TEST_CASE("a reply handed over to the token response fills it as a read one does") {
    platform::ScopedClock clock(std::make_shared<platform::ManualClock>());
    const Dictionary reply{{"access_token", "access-token-longer-than-a-short-string"},
                           {"expires_in", 60},
                           {"id_token", 5},
                           {"refresh_token", "refresh-token-longer-than-a-short-string"},
                           {"scope", Value()},
                           {"token_type", "Bearer"},
                           {"zz_extra", Value::Array{"a", Dictionary{{"b", "c"}}}}};
    auto exchange = AuthorizationResponse::make(codeRequest(), Dictionary{{"code", "c"}})->tokenExchangeRequest();
    auto read = TokenResponse::make(exchange, reply);
    auto handedOver = TokenResponse::make(exchange, Dictionary(reply));
    for (const auto& tokens : {read, handedOver}) {
        CHECK(tokens->accessToken() == "access-token-longer-than-a-short-string");
        CHECK(tokens->refreshToken() == "refresh-token-longer-than-a-short-string");
        CHECK(tokens->tokenType() == "Bearer");
        CHECK(tokens->accessTokenExpirationDate() == platform::now() + std::chrono::seconds(60));
        // A value of the wrong type stays with the others; an absent one nowhere.
        CHECK_FALSE(tokens->idToken());
        CHECK_FALSE(tokens->scope());
        CHECK(tokens->additionalParameters() ==
              Dictionary{{"id_token", 5}, {"zz_extra", Value::Array{"a", Dictionary{{"b", "c"}}}}});
    }
}

TEST_CASE("the code exchange carries the verifier and redirect URI and no scope; it needs a code") {
    auto request = codeRequest();
    auto response = AuthorizationResponse::make(request, Dictionary{{"code", "the-code"}});
    auto exchange = response->tokenExchangeRequest();
    Dictionary body =
        URLQueryComponent(*URL::parse("x:/?" + exchange->tokenRequestBody().URLEncodedParameters())).dictionaryValue();
    CHECK(*body.at("grant_type").string() == "authorization_code");
    CHECK(*body.at("code").string() == "the-code");
    CHECK(*body.at("code_verifier").string() == *request->codeVerifier());
    CHECK(*body.at("redirect_uri").string() == "com.example.app:/oauth2callback");
    CHECK(*body.at("client_id").string() == "client");
    CHECK_FALSE(body.contains("scope"));

    auto noCode = AuthorizationResponse::make(request, Dictionary{});
    CHECK_THROWS_AS(noCode->tokenExchangeRequest(), platform::ProgrammingException);
    CHECK_THROWS_AS(TokenRequest::make(configuration(), "authorization_code", "c", std::nullopt, "client", std::nullopt,
                                       std::optional<std::string>(), std::nullopt, std::nullopt, {}),
                    platform::ProgrammingException);
    CHECK_NOTHROW(TokenRequest::make(configuration(), "refresh_token", std::nullopt, std::nullopt, "client",
                                     std::nullopt, std::optional<std::string>(), "r", std::nullopt, {}));
}

TEST_CASE("the token request's body is its form: every parameter encoded, in name order") {
    auto request = TokenRequest::make(configuration(), "refresh_token", "c&d", *URL::parse("com.example.app:/cb"),
                                      "my client", std::nullopt, std::optional<std::string>("openid email"), "r+t=1",
                                      "v", {{"scope", "extra"}, {"audience", "a b"}, {"zz", "é"}});
    const std::string form = "audience=a%20b&client_id=my%20client&code=c%26d&code_verifier=v&grant_type=refresh_token&"
                             "redirect_uri=com.example.app:/cb&refresh_token=r%2Bt%3D1&scope=openid%20email&"
                             "scope=extra&zz=%C3%A9";
    CHECK(request->tokenRequestBody().URLEncodedParameters() == form);
    auto http = request->URLRequest();
    REQUIRE(http.httpBody());
    CHECK(platform::toString(*http.httpBody()) == form);
}

TEST_CASE("a client secret goes into the Basic header, form encoded, and the client ID leaves the body") {
    auto request =
        TokenRequest::make(configuration(), "refresh_token", std::nullopt, std::nullopt, "my client", "se cret+:%pw",
                           std::optional<std::string>(), "r", std::nullopt, {}, {{"X-Extra", "1"}});
    auto http = request->URLRequest();
    CHECK(http.httpMethod() == "POST");
    CHECK(http.valueForHTTPHeaderField("Content-Type") == "application/x-www-form-urlencoded; charset=UTF-8");
    CHECK(http.valueForHTTPHeaderField("Authorization") ==
          "Basic " + platform::crypto::base64Encode(std::string_view("my+client:se+cret%2B%3A%25pw")));
    CHECK(http.valueForHTTPHeaderField("X-Extra") == "1");
    std::string body = platform::toString(*http.httpBody());
    CHECK(body.find("client_id") == std::string::npos);
    CHECK(body.find("refresh_token=r") != std::string::npos);

    auto overridden =
        TokenRequest::make(configuration(), "refresh_token", std::nullopt, std::nullopt, "c", "s",
                           std::optional<std::string>(), "r", std::nullopt, {}, {{"Authorization", "Mine"}});
    CHECK(overridden->URLRequest().valueForHTTPHeaderField("Authorization") == "Mine");
}

TEST_CASE("discovery documents are checked for their required members") {
    nlohmann::json doc = {{"issuer", "https://idp.test"},
                          {"authorization_endpoint", "https://idp.test/auth"},
                          {"token_endpoint", "https://idp.test/token"},
                          {"jwks_uri", "https://idp.test/jwks"},
                          {"response_types_supported", {"code"}},
                          {"subject_types_supported", {"public"}},
                          {"id_token_signing_alg_values_supported", {"RS256"}},
                          {"end_session_endpoint", "https://idp.test/logout"}};
    OptionalError error;
    auto discovery = ServiceDiscovery::initWithJSON(doc.dump(), &error);
    REQUIRE(discovery);
    CHECK(discovery->requestURIParameterSupported());
    CHECK_FALSE(discovery->claimsParameterSupported());
    auto config = ServiceConfiguration::initWithDiscoveryDocument(discovery);
    REQUIRE(config);
    CHECK(config->issuer()->absoluteString() == "https://idp.test");
    CHECK(config->endSessionEndpoint()->absoluteString() == "https://idp.test/logout");

    struct Case {
        std::string change;
        std::string message;
    };
    for (const auto& c : std::vector<Case>{{"-jwks_uri", "Missing field: jwks_uri"},
                                           {"-issuer", "Missing field: issuer"},
                                           {"token_endpoint", "Invalid URL: token_endpoint"},
                                           {"authorization_endpoint", "Invalid URL: authorization_endpoint"}}) {
        auto broken = doc;
        if (c.change.front() == '-') {
            broken.erase(c.change.substr(1));
        } else {
            broken[c.change] = "not a url";
        }
        OptionalError e;
        CHECK_FALSE(ServiceDiscovery::initWithJSON(broken.dump(), &e));
        REQUIRE(e);
        CHECK(e->code() == ErrorCode::invalidDiscoveryDocument);
        CHECK(e->localizedDescription() == c.message);
    }
    OptionalError arrayError;
    CHECK_FALSE(ServiceDiscovery::initWithJSON("[1,2]", &arrayError));
    CHECK(arrayError->localizedDescription() == "Discovery document isn't a dictionary");
    OptionalError jsonError;
    CHECK_FALSE(ServiceDiscovery::initWithJSON("{nope", &jsonError));
    CHECK(jsonError->code() == ErrorCode::JSONDeserializationError);
}

TEST_CASE("registration bodies, headers and the validity of replies") {
    auto request = RegistrationRequest::make(configuration(), {url("app:/a"), url("http://127.0.0.1/cb")}, std::nullopt,
                                             std::nullopt, std::nullopt, std::nullopt, std::nullopt, {});
    auto body = nlohmann::json::parse(platform::toString(*request->JSONString()));
    CHECK(body == nlohmann::json{{"redirect_uris", {"app:/a", "http://127.0.0.1/cb"}}, {"application_type", "native"}});
    CHECK_FALSE(request->URLRequest()->valueForHTTPHeaderField("Authorization"));

    auto withToken = RegistrationRequest::make(
        configuration(), {url("app:/a")}, std::nullopt, std::vector<std::string>{"authorization_code"}, std::nullopt,
        "none", "iat", {{"application_type", "web"}, {"grant_types", Value::Array{"x"}}});
    auto body2 = nlohmann::json::parse(platform::toString(*withToken->JSONString()));
    CHECK(body2["application_type"] == "web");
    CHECK(body2["grant_types"] == nlohmann::json{"authorization_code"});
    CHECK(withToken->URLRequest()->valueForHTTPHeaderField("Authorization") == "Bearer iat");

    struct Case {
        Dictionary reply;
        bool valid;
    };
    for (const auto& c : std::vector<Case>{
             {{{"client_id", "c"}}, true},
             {{{"client_id", "c"}, {"client_secret", "s"}}, false},
             {{{"client_id", "c"}, {"client_secret", "s"}, {"client_secret_expires_at", 0}}, true},
             {{{"client_id", "c"}, {"registration_access_token", "t"}}, false},
             {{{"client_id", "c"},
               {"registration_access_token", "t"},
               {"registration_client_uri", "https://idp.test/r/c"}},
              true},
             {{{"client_secret", "s"}, {"client_secret_expires_at", 0}}, false},
         }) {
        CAPTURE(Value(c.reply).description());
        CHECK((RegistrationResponse::make(request, c.reply) != nullptr) == c.valid);
    }
    auto response = RegistrationResponse::make(request, Dictionary{{"client_id", "c"},
                                                                   {"client_secret", "topsecret-123"},
                                                                   {"client_secret_expires_at", 0},
                                                                   {"extra", 1}});
    CHECK(response->clientSecretExpiresAt() == platform::Date{});
    CHECK(*response->additionalParameters().at("extra").integer() == 1);
    CHECK(response->description().find("topsecret-123") == std::string::npos);
}

TEST_CASE("end-session URLs carry the hint, the post-logout redirect and the state") {
    auto request = EndSessionRequest::make(configuration(), "hint", url("app:/out"), StringMap{{"ui_locales", "ja"}});
    REQUIRE(request->state());
    CHECK(request->state()->size() == 43);
    Dictionary q = query(request->endSessionRequestURL());
    CHECK(*q.at("id_token_hint").string() == "hint");
    CHECK(*q.at("post_logout_redirect_uri").string() == "app:/out");
    CHECK(*q.at("state").string() == *request->state());
    CHECK(*q.at("ui_locales").string() == "ja");
    CHECK(request->redirectScheme() == "app");

    auto bare = EndSessionRequest::make(configuration(), std::nullopt, std::nullopt, std::nullopt, {});
    CHECK(bare->endSessionRequestURL().absoluteString() == "https://idp.test/logout?");
    auto noEndpoint =
        EndSessionRequest::make(std::make_shared<const ServiceConfiguration>(url("https://a/"), url("https://a/t")),
                                std::nullopt, std::nullopt, std::nullopt, {});
    CHECK_THROWS_AS(noEndpoint->endSessionRequestURL(), platform::ProgrammingException);

    auto response = EndSessionResponse::make(request, Dictionary{{"state", *request->state()}, {"other", "1"}});
    CHECK(response->state() == request->state());
    CHECK(response->additionalParameters().contains("other"));
}

TEST_CASE("every record comes back from its archive") {
    auto request = codeRequest();
    auto decodedRequest = roundTrip(request);
    REQUIRE(decodedRequest);
    CHECK(decodedRequest->authorizationRequestURL() == request->authorizationRequestURL());
    CHECK(decodedRequest->codeVerifier() == request->codeVerifier());
    CHECK(decodedRequest->configuration()->issuer() == request->configuration()->issuer());

    auto response = AuthorizationResponse::make(
        request, Dictionary{{"code", "c"}, {"expires_in", 60}, {"x", Value::Array{1, "a"}}});
    auto decodedResponse = roundTrip(response);
    REQUIRE(decodedResponse);
    CHECK(decodedResponse->authorizationCode() == "c");
    CHECK(decodedResponse->accessTokenExpirationDate() == response->accessTokenExpirationDate());
    CHECK(decodedResponse->additionalParameters() == response->additionalParameters());

    auto tokens = TokenResponse::make(response->tokenExchangeRequest(),
                                      Dictionary{{"access_token", "a"}, {"refresh_token", "r"}});
    auto state = AuthState::make(response, tokens);
    state->updateWithAuthorizationError(Error(std::string(kOAuthTokenErrorDomain), -10, Dictionary{{"k", "v"}}));
    auto decodedState = roundTrip(std::shared_ptr<const AuthState>(state));
    REQUIRE(decodedState);
    CHECK(decodedState->refreshToken() == "r");
    REQUIRE(decodedState->authorizationError());
    CHECK(decodedState->authorizationError()->code() == -10);
    CHECK(decodedState->authorizationError()->userInfo().empty());
    CHECK(decodedState->lastTokenResponse()->request()->codeVerifier() == request->codeVerifier());

    auto end = EndSessionRequest::make(configuration(), "hint", url("app:/out"), "st", {{"a", "b"}});
    auto decodedEnd = roundTrip(EndSessionResponse::make(end, Dictionary{{"state", "st"}, {"z", "1"}}));
    REQUIRE(decodedEnd);
    CHECK(decodedEnd->state() == "st");
    CHECK(decodedEnd->request()->idTokenHint() == "hint");
    CHECK(decodedEnd->request()->additionalParameters().at("a") == "b");

    auto registration = RegistrationRequest::make(configuration(), {url("app:/a")}, std::vector<std::string>{"code"},
                                                  std::nullopt, "public", std::nullopt, "iat", {{"extra", true}});
    auto decodedRegistration = roundTrip(
        RegistrationResponse::make(registration, Dictionary{{"client_id", "c"},
                                                            {"registration_access_token", "t"},
                                                            {"registration_client_uri", "https://idp.test/r"}}));
    REQUIRE(decodedRegistration);
    CHECK(decodedRegistration->registrationClientURI()->absoluteString() == "https://idp.test/r");
    CHECK(decodedRegistration->request()->redirectURIs().front().absoluteString() == "app:/a");
    CHECK(decodedRegistration->request()->initialAccessToken() == "iat");

    auto discovered = ServiceConfiguration::initWithDiscoveryDocument(ServiceDiscovery::initWithJSON(
        R"({"issuer":"https://i","authorization_endpoint":"https://i/a","token_endpoint":"https://i/t",)"
        R"("jwks_uri":"https://i/j","response_types_supported":["code"],"subject_types_supported":["public"],)"
        R"("id_token_signing_alg_values_supported":["RS256"],"claims_parameter_supported":true})"));
    auto decodedConfig = roundTrip(discovered);
    REQUIRE(decodedConfig);
    REQUIRE(decodedConfig->discoveryDocument());
    CHECK(decodedConfig->discoveryDocument()->claimsParameterSupported());
}

TEST_CASE("a damaged archive is a decoding error, and a stored unsupported response type decodes to nothing") {
    auto state = AuthState::make(AuthorizationResponse::make(codeRequest(), Dictionary{{"code", "c"}}));
    auto data = platform::KeyedArchiver::archivedDataWithRootObject(state, true);
    REQUIRE(platform::KeyedUnarchiver::unarchivedObjectOfClass<AuthState>(data));
    for (std::size_t cut : {data.size() / 2, data.size() - 1, std::size_t{8}}) {
        CAPTURE(cut);
        platform::Data truncated(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(cut));
        // The unarchiver's error, never a programming error or a crash.
        CHECK_THROWS_AS(platform::KeyedUnarchiver::unarchivedObjectOfClass<AuthState>(truncated),
                        platform::ErrorException);
    }
    // A request stored with a response type this client does not support is refused, not raised.
    auto request = AuthorizationRequest::make(configuration(), "c", std::nullopt, std::nullopt, std::nullopt, "code",
                                              std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt, {});
    platform::KeyedArchiver archiver(true);
    archiver.encodeObject(std::const_pointer_cast<AuthorizationRequest>(request), "root");
    auto bytes = archiver.encodedData();
    REQUIRE(platform::KeyedUnarchiver::unarchivedObjectOfClass<AuthorizationRequest>(bytes));
    // The value "code" (a binary-plist ASCII string of four characters), not a key that starts with it.
    std::string text = platform::toString(bytes);
    auto at = text.find("\x54"
                        "code");
    REQUIRE(at != std::string::npos);
    REQUIRE(text.find("\x54"
                      "code",
                      at + 1) == std::string::npos);
    bytes[at + 1] = 'x';  // "xode"
    std::shared_ptr<AuthorizationRequest> decoded;
    CHECK_NOTHROW(decoded = platform::KeyedUnarchiver::unarchivedObjectOfClass<AuthorizationRequest>(bytes));
    CHECK_FALSE(decoded);
}
