// E-mail action links and the callback-scheme check: query parsing against hostile queries, the
// link's parts and the scheme look-up.
#include <doctest/doctest.h>

#include "auth/providers/ActionCodeInfo.hpp"
#include "auth/providers/ActionCodeURL.hpp"
#include "auth/providers/AuthWebUtils.hpp"

using namespace brisko;
using namespace brisko::auth;
using Query = AuthWebUtils::Query;

TEST_CASE("a link's query is split before it is decoded, each key and value decoded once") {
    struct Case {
        const char* link;
        Query web;     // AuthWebUtils::parseURLQuery
        Query action;  // ActionCodeURL::parseQuery
    };
    const Case cases[] = {
        // An encoded "&" and "=" belong to the value.
        {"https://h/?continueUrl=https%3A%2F%2Fa%2F%3Fx%3D1%26y%3D2&mode=signIn",
         {{"continueUrl", "https://a/?x=1&y=2"}, {"mode", "signIn"}},
         {{"continueUrl", "https://a/?x=1&y=2"}, {"mode", "signIn"}}},
        // A value that itself holds "=" stays whole.
        {"https://h/?oobCode=ab==&lang=fr",
         {{"oobCode", "ab=="}, {"lang", "fr"}},
         {{"oobCode", "ab=="}, {"lang", "fr"}}},
        // In an action link the "=" signs right after the key count as one; the value keeps its own.
        {"https://h/?mode==signIn&oobCode===ab==&lang=",
         {{"mode", "=signIn"}, {"oobCode", "==ab=="}, {"lang", ""}},
         {{"mode", "signIn"}, {"oobCode", "ab=="}}},
        {"https://h/?k===", {{"k", "=="}}, {}},
        // Decoded once only: "%2541" is "%41", not "A".
        {"https://h/?k=%2541", {{"k", "%41"}}, {{"k", "%41"}}},
        // Invalid UTF-8 drops only that piece; a malformed "%" makes the text no URL at all.
        {"https://h/?b=%ff%fe&c=%E3%81%82&%C0%AF=1", {{"c", "\xE3\x81\x82"}}, {{"c", "\xE3\x81\x82"}}},
        {"https://h/?a=%zz&c=1", {}, {}},
        {"https://h/?c=1&d=%4", {}, {}},
        // Pieces without "=", empty pieces, empty keys and values.
        {"https://h/?flag&&=v&k=&mode=verifyEmail",
         {{"", "v"}, {"k", ""}, {"mode", "verifyEmail"}},
         {{"mode", "verifyEmail"}}},
        // A repeated key: the later value wins.
        {"https://h/?k=1&k=2", {{"k", "2"}}, {{"k", "2"}}},
        // An encoded "&" in a key.
        {"https://h/?a%26b=1", {{"a&b", "1"}}, {{"a&b", "1"}}},
        // "+" is not a blank in these links.
        {"https://h/?q=a+b", {{"q", "a+b"}}, {{"q", "a+b"}}},
        // No query, or no URL at all.
        {"https://h/path", {}, {}},
        {"not a url at all %%%", {}, {}},
        {"", {}, {}},
    };
    for (const auto& c : cases) {
        const std::string link = c.link;
        CAPTURE(link);
        CHECK(AuthWebUtils::parseURLQuery(c.link) == c.web);
        CHECK(ActionCodeURL::parseQuery(c.link) == c.action);
    }
}

TEST_CASE("an action link gives its API key, operation, code, continue URL and language") {
    auto url = ActionCodeURL::actionCodeURLWithLink(
        "https://h/__/auth/"
        "action?apiKey=KEY&mode=resetPassword&oobCode=CODE&continueUrl=https%3A%2F%2Fapp%2Fdone%3Fa%3D1&lang=ja");
    REQUIRE(url);
    CHECK(url->apiKey() == "KEY");
    CHECK(url->operation() == ActionCodeOperation::resetPassword);
    CHECK(url->code() == "CODE");
    REQUIRE(url->continueURL());
    CHECK(url->continueURL()->absoluteString() == "https://app/done?a=1");
    CHECK(url->languageCode() == "ja");

    SUBCASE("a mode in another letter case is unknown, a missing one too") {
        CHECK(ActionCodeURL::actionCodeURLWithLink("https://h/?mode=VerifyEmail")->operation() ==
              ActionCodeOperation::unknown);
        CHECK(ActionCodeURL::actionCodeURLWithLink("https://h/?oobCode=1")->operation() ==
              ActionCodeOperation::unknown);
    }
    SUBCASE("a doubled \"=\" after the key still names the operation") {
        auto doubled = ActionCodeURL::actionCodeURLWithLink("https://h/?mode==signIn&oobCode=ab==");
        REQUIRE(doubled);
        CHECK(doubled->operation() == ActionCodeOperation::signIn);
        CHECK(doubled->code() == "ab==");
    }
    SUBCASE("a continue URL of any scheme is handed back as it came") {
        auto script = ActionCodeURL::actionCodeURLWithLink("https://h/?oobCode=C&continueUrl=javascript%3Aalert(1)");
        REQUIRE(script);
        REQUIRE(script->continueURL());
        CHECK(script->continueURL()->scheme() == "javascript");
    }
    SUBCASE("a continue URL that is no URL is left out, the rest kept") {
        auto bad = ActionCodeURL::actionCodeURLWithLink("https://h/?oobCode=C&continueUrl=%20not%20a%20url&junk");
        REQUIRE(bad);
        CHECK(bad->code() == "C");
        CHECK_FALSE(bad->continueURL());
    }
    SUBCASE("a link without parameters gives nothing") {
        CHECK_FALSE(ActionCodeURL::actionCodeURLWithLink("https://h/"));
        CHECK_FALSE(ActionCodeURL::actionCodeURLWithLink("https://h/?flag"));
    }
    SUBCASE("a link carried whole in another link's query is read") {
        auto nested = ActionCodeURL::actionCodeURLWithLink(
            "https://app.example/?https%3A%2F%2Fh%2F%3FoobCode%3DINNER%26mode%3DsignIn");
        REQUIRE(nested);
        CHECK(nested->code() == "INNER");
        CHECK(nested->operation() == ActionCodeOperation::signIn);
    }
}

TEST_CASE("mode texts and raw values map to operations") {
    CHECK(actionCodeOperation(std::optional<std::string_view>("revertSecondFactorAddition")) ==
          ActionCodeOperation::revertSecondFactorAddition);
    CHECK(ActionCodeInfo::actionCodeOperation(std::nullopt) == ActionCodeOperation::unknown);
    CHECK(actionCodeOperation(6) == ActionCodeOperation::revertSecondFactorAddition);
    CHECK_FALSE(actionCodeOperation(7));
    CHECK_FALSE(actionCodeOperation(-1));

    ActionCodeInfo change(ActionCodeOperation::verifyAndChangeEmail, "old@x", "new@x");
    CHECK(change.email() == "new@x");
    CHECK(change.previousEmail() == "old@x");
    ActionCodeInfo reset(ActionCodeOperation::resetPassword, "a@x", std::nullopt);
    CHECK(reset.email() == "a@x");
    CHECK_FALSE(reset.previousEmail());
}

TEST_CASE("a callback scheme is found among the registered URL types whatever its case") {
    using platform::Array;
    using platform::Dictionary;
    using platform::Value;
    const Array types = {
        Value(Dictionary{{"CFBundleURLName", Value("x")}}),
        Value(Dictionary{{"CFBundleURLSchemes", Value("not-a-list")}}),
        Value(Dictionary{{"CFBundleURLSchemes", Value(Array{Value(std::int64_t{3}), Value("COM.EXAMPLE.APP")})}}),
    };
    CHECK(AuthWebUtils::isCallbackSchemeRegistered("com.example.app", types));
    CHECK(AuthWebUtils::isCallbackSchemeRegistered("Com.Example.App", types));
    CHECK_FALSE(AuthWebUtils::isCallbackSchemeRegistered("com.example", types));
    CHECK_FALSE(AuthWebUtils::isCallbackSchemeRegistered("com.example.app", {}));
}
