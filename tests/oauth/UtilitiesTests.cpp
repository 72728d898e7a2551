// Query and form encoding, token utilities, scopes and the error factory.
#include <doctest/doctest.h>

#include "oauth/ErrorUtilities.hpp"
#include "oauth/ScopeUtilities.hpp"
#include "oauth/TokenUtilities.hpp"
#include "oauth/URLQueryComponent.hpp"
#include "platform/storage/Crypto.hpp"

using namespace brisko;
using namespace brisko::oauth;

namespace {
URL url(std::string_view text) { return *URL::parse(text); }
}  // namespace

TEST_CASE("a redirect's query is parsed with repeated names, plus signs as spaces and bare names") {
    URLQueryComponent query(url("app:/cb?a=1&b=x+y&a=2&c&d=%26%3D"));
    CHECK(query.valuesForParameter("a") == std::vector<std::string>{"1", "2"});
    Dictionary d = query.dictionaryValue();
    CHECK(*d.at("b").string() == "x y");
    CHECK(d.at("a").array()->size() == 2);
    CHECK(*d.at("c").string() == "");
    CHECK(*d.at("d").string() == "&=");
    CHECK_FALSE(query.valuesForParameter("zz"));
}

TEST_CASE("query values survive encoding: a plus stays a plus, & and = do not split a parameter") {
    URLQueryComponent query;
    query.addParameter("v", "a+b&c=d e");
    CHECK(query.URLEncodedParameters() == "v=a%2Bb%26c%3Dd%20e");
    auto replaced = query.URLByReplacingQueryInURL(url("https://h/p?old=1#frag"));
    CHECK(replaced->absoluteString() == "https://h/p?v=a%2Bb%26c%3Dd%20e#frag");
    auto added = query.URLByAddingQueryToURL(url("https://h/p?hd=example.com"));
    CHECK(added->absoluteString() == "https://h/p?hd=example.com&v=a%2Bb%26c%3Dd%20e");
    // Parsing the encoded form gives the value back.
    CHECK(*URLQueryComponent(*replaced).valuesForParameter("v") == std::vector<std::string>{"a+b&c=d e"});
}

TEST_CASE("parameters are kept in name order, the values of a name in the order they were added") {
    URLQueryComponent query;
    query.addParameter("scope", "openid");
    query.addParameter("b", "é");
    query.addParameter("a", "1");
    query.addParameter("scope", "email");
    query.addParameter("", "empty name");
    query.addParameter("a", "2");
    query.addParameters({{"a", "3"}, {"c", "x=y"}});
    CHECK(query.parameters() == std::vector<std::string>{"", "a", "b", "c", "scope"});
    CHECK(query.valuesForParameter("a") == std::vector<std::string>{"1", "2", "3"});
    CHECK(query.valuesForParameter("scope") == std::vector<std::string>{"openid", "email"});
    CHECK_FALSE(query.valuesForParameter("ab"));
    CHECK(query.URLEncodedParameters() ==
          "=empty%20name&a=1&a=2&a=3&b=%C3%A9&c=x%3Dy&scope=openid&scope=email");
    CHECK(query.percentEncodedQueryString() == query.URLEncodedParameters());
    auto items = query.queryItems();
    REQUIRE(items.size() == 8);
    CHECK(items[3] == platform::URLQueryItem{"a", "3"});
    CHECK(items[7] == platform::URLQueryItem{"scope", "email"});
    Dictionary d = query.dictionaryValue();
    CHECK(*d.at("b").string() == "é");
    CHECK(*d.at("scope").array() == Value::Array{"openid", "email"});
    CHECK(URLQueryComponent().URLEncodedParameters().empty());
}

TEST_CASE("tokens are redacted by length") {
    struct Case {
        std::string in, out;
    };
    for (const auto& c : std::vector<Case>{{"", ""},
                                           {"a", "[redacted]"},
                                           {"12345678", "[redacted]"},
                                           {"123456789", "123456...[redacted]"},
                                           {"äöüßéèêë€", "äöüßéè...[redacted]"}}) {
        CHECK(TokenUtilities::redact(c.in) == c.out);
    }
    CHECK_FALSE(TokenUtilities::redact(std::optional<std::string>()));
}

TEST_CASE("client credentials are form encoded for the Basic header") {
    CHECK(TokenUtilities::formUrlEncode("a b*-._:%+é") == "a+b*-._%3A%25%2B%C3%A9");
    CHECK(TokenUtilities::formUrlEncode("") == "");
}

TEST_CASE("base64url without padding, random values and SHA-256") {
    const std::uint8_t bytes[] = {0xFB, 0xFF};
    CHECK(TokenUtilities::encodeBase64urlNoPadding(bytes) == "-_8");
    auto random = TokenUtilities::randomURLSafeStringWithSize(32);
    REQUIRE(random);
    CHECK(random->size() == 43);
    CHECK(random->find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_") ==
          std::string::npos);
    CHECK(*random != *TokenUtilities::randomURLSafeStringWithSize(32));
    CHECK(platform::crypto::hexEncode(TokenUtilities::sha256("abc")) ==
          "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

TEST_CASE("a failing random source gives no value") {
    TokenUtilities::setRandomSource([](std::span<std::uint8_t>) { return false; });
    CHECK_FALSE(TokenUtilities::randomURLSafeStringWithSize(32));
    TokenUtilities::setRandomSource(nullptr);
    CHECK(TokenUtilities::randomURLSafeStringWithSize(32));
}

TEST_CASE("scopes are joined, split and checked character by character") {
    CHECK(ScopeUtilities::scopesWithArray({"openid", "email", "profile"}) == "openid email profile");
    CHECK(ScopeUtilities::scopesWithArray({"!", "~x"}) == "! ~x");
    CHECK(ScopeUtilities::scopesArrayWithString("a  b") == std::vector<std::string>{"a", "", "b"});
    for (std::string bad : {"", "a b", "a\"b", "a\\b", "é", "a\tb"}) {
        CAPTURE(bad);
        CHECK_THROWS_AS(ScopeUtilities::scopesWithArray({"openid", bad}), platform::ProgrammingException);
    }
}

TEST_CASE("OAuth error replies become errors of the endpoint's domain with a readable description") {
    Dictionary reply{{"error", "access_denied"}, {"error_description", "no"}, {"error_uri", "https://e/x"}};
    Error e = ErrorUtilities::OAuthErrorWithDomain(kOAuthAuthorizationErrorDomain, reply, std::nullopt);
    CHECK(e.domain() == kOAuthAuthorizationErrorDomain);
    CHECK(e.code() == OAuthErrorCode::accessDenied);
    CHECK(e.localizedDescription() == "access_denied: no - https://e/x");
    CHECK(e.userInfoValue(kOAuthErrorResponseErrorKey)->dictionary()->size() == 3);

    struct Case {
        std::string error;
        std::int64_t code;
    };
    for (const auto& c : std::vector<Case>{{"invalid_request", -2}, {"unauthorized_client", -3}, {"unsupported_response_type", -5},
                                           {"invalid_scope", -6}, {"server_error", -7}, {"temporarily_unavailable", -8},
                                           {"invalid_client", -9}, {"invalid_grant", -10}, {"unsupported_grant_type", -11},
                                           {"login_required", -61440}}) {
        CHECK(ErrorUtilities::OAuthErrorCodeFromString(c.error) == c.code);
    }
    // A number where the error string belongs is no OAuth error.
    Error numeric = ErrorUtilities::OAuthErrorWithDomain(kOAuthTokenErrorDomain, Dictionary{{"error", 42}}, std::nullopt);
    CHECK(numeric.domain() == kGeneralErrorDomain);
    CHECK(numeric.code() == ErrorCode::networkError);
    // An empty error string still gets a description.
    Error empty = ErrorUtilities::OAuthErrorWithDomain(kOAuthTokenErrorDomain, Dictionary{{"error", ""}}, std::nullopt);
    CHECK(empty.localizedDescription().starts_with("OAuth error:  - "));
    CHECK(ErrorUtilities::errorWithCode(-3, std::nullopt, std::nullopt).userInfo().empty());
}
