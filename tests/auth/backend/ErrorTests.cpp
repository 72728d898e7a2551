// The error vocabulary: codes, names and messages, the error factory, and the mapping of the
// service's error names to codes.
#include <doctest/doctest.h>

#include "auth/backend/AuthBackend.hpp"
#include "tests/auth/backend/BackendTestSupport.hpp"

using namespace brisko;
using namespace brisko::auth;
using namespace brisko::auth::testing;
using platform::Dictionary;
using platform::Value;

namespace {

std::optional<std::string> textAt(const platform::Error& e, std::string_view key) {
    const auto* v = e.userInfoValue(key);
    if (!v || !v->string()) return std::nullopt;
    return *v->string();
}

platform::Error mapped(std::string_view message, const nlohmann::json& errorObject = nlohmann::json::object()) {
    auto e = AuthBackend::clientErrorForServerMessage(message, errorObject, nullptr);
    REQUIRE(e);
    return *e;
}

}  // namespace

TEST_CASE("error codes convert from exactly the 90 listed raw values") {
    int valid = 0;
    for (std::int64_t raw = 16990; raw <= 18010; ++raw) {
        if (authErrorCodeFromRawValue(raw)) ++valid;
    }
    CHECK(valid == 90);
    CHECK_FALSE(authErrorCodeFromRawValue(17001));
    CHECK_FALSE(authErrorCodeFromRawValue(17035));
    CHECK_FALSE(authErrorCodeFromRawValue(17996));
    CHECK(authErrorCodeFromRawValue(17995) == AuthErrorCode::keychainError);
    CHECK(authErrorCodeFromRawValue(17999) == AuthErrorCode::internalError);
    CHECK(authErrorCodeFromRawValue(18000) == AuthErrorCode::malformedJWT);
    for (std::int64_t raw = 16990; raw <= 18010; ++raw) {
        auto code = authErrorCodeFromRawValue(raw);
        if (!code) continue;
        CAPTURE(raw);
        auto name = errorCodeString(*code);
        CHECK((name.starts_with("ERROR_") || raw == 17047 || raw == 17048));
        CHECK_FALSE(errorDescription(*code).empty());
    }
    // A bare code as an error value, and back only from its own domain.
    auto bare = toError(AuthErrorCode::userNotFound);
    CHECK(bare.domain() == "ZudiridiRozu.AuthErrorCode");
    CHECK(authErrorCodeFromError(bare) == AuthErrorCode::userNotFound);
    CHECK_FALSE(authErrorCodeFromError(platform::Error(std::string(AuthErrors::domain), 17011)));
}

TEST_CASE("names and default messages are the service's own texts") {
    CHECK(errorCodeString(AuthErrorCode::missingAppCredential) == "MISSING_APP_CREDENTIAL");
    CHECK(errorCodeString(AuthErrorCode::missingAndroidPkgName) == "ERROR_MISSING_ANDROID_PKG_NAME");
    CHECK(errorDescription(AuthErrorCode::invalidUserToken) ==
          "This user's credential isn't valid for this project. This can happen if the user's token has been "
          "tampered with, or if the user doesn’t belong to the project associated with the API key used in your "
          "request.");
    // 17031 and 17033 repeat the action-code text of 17030.
    CHECK(errorDescription(AuthErrorCode::invalidMessagePayload) == errorDescription(AuthErrorCode::invalidActionCode));
    CHECK(errorDescription(AuthErrorCode::invalidRecipientEmail) == errorDescription(AuthErrorCode::invalidActionCode));
    CHECK(errorDescription(AuthErrorCode::captchaCheckFailed) ==
          "The reCAPTCHA response token provided is either invalid, expired or already");
}

TEST_CASE("makeError fills the default message and always sets the name") {
    auto plain = AuthErrorUtils::makeError(AuthErrorCode::userNotFound);
    CHECK(plain.domain() == "ZIRAuthErrorDomain");
    CHECK(plain.code() == 17011);
    CHECK(descriptionOf(plain) ==
          "There is no user record corresponding to this identifier. The user may have been deleted.");
    CHECK(nameOf(plain) == "ERROR_USER_NOT_FOUND");

    const std::string description(platform::kLocalizedDescriptionKey);
    const std::string name(AuthErrors::userInfoNameKey);
    CHECK(descriptionOf(AuthErrorUtils::makeError(AuthErrorCode::userNotFound, Dictionary{{description, ""}})) ==
          errorDescription(AuthErrorCode::userNotFound));
    CHECK(descriptionOf(AuthErrorUtils::makeError(AuthErrorCode::userNotFound, Dictionary{{description, "gone"}})) ==
          "gone");
    CHECK(nameOf(AuthErrorUtils::makeError(AuthErrorCode::userNotFound, Dictionary{{name, "MINE"}})) ==
          "ERROR_USER_NOT_FOUND");
}

TEST_CASE("internal errors reach callers wrapped in 17999") {
    auto e = AuthErrorUtils::responseDecodingError(Value(Dictionary{{"a", 1}}), std::nullopt);
    CHECK(descriptionOf(e) == errorDescription(AuthErrorCode::internalError));
    CHECK(nameOf(e) == "ERROR_INTERNAL_ERROR");
    auto internal = internalError(e);
    CHECK(internal.code() == 5);
    REQUIRE(internal.userInfoValue(kAuthErrorUserInfoDeserializedResponseKey));
    CHECK(*internal.userInfoValue(kAuthErrorUserInfoDeserializedResponseKey) == Value(Dictionary{{"a", 1}}));
    CHECK(internalError(AuthErrorUtils::makeError(AuthInternalErrorCode::networkError)).code() == 17020);
    CHECK(internalError(AuthErrorUtils::unexpectedResponseWithDictionary(std::nullopt)).userInfo().empty());
}

TEST_CASE("the special errors carry their details") {
    const auto reason = platform::kLocalizedFailureReasonErrorKey;
    SUBCASE("weak password") {
        CHECK_FALSE(textAt(AuthErrorUtils::weakPasswordError(std::nullopt), reason));
        CHECK_FALSE(textAt(AuthErrorUtils::weakPasswordError(""), reason));
        auto e = AuthErrorUtils::weakPasswordError("too short");
        CHECK(textAt(e, reason) == "too short");
        CHECK(descriptionOf(e) == errorDescription(AuthErrorCode::weakPassword));
    }
    SUBCASE("credential already in use") {
        auto withEmptyEmail = AuthErrorUtils::credentialAlreadyInUseError("linked", std::nullopt, "");
        CHECK(descriptionOf(withEmptyEmail) == "linked");
        CHECK_FALSE(textAt(withEmptyEmail, AuthErrors::userInfoEmailKey));
        auto withCredential = AuthErrorUtils::credentialAlreadyInUseError("linked", Value("credential"), "a@b.c");
        CHECK(descriptionOf(withCredential) == errorDescription(AuthErrorCode::credentialAlreadyInUse));
        CHECK(textAt(withCredential, AuthErrors::userInfoEmailKey) == "a@b.c");
        CHECK(withCredential.userInfoValue(AuthErrors::userInfoUpdatedCredentialKey));
    }
    SUBCASE("account exists keeps even an empty e-mail") {
        auto e = AuthErrorUtils::accountExistsWithDifferentCredentialError("", std::nullopt);
        CHECK(e.code() == 17012);
        CHECK(textAt(e, AuthErrors::userInfoEmailKey) == "");
    }
    SUBCASE("keychain failure reason for a status without a text") {
        auto e = AuthErrorUtils::keychainError("SecItemCopyMatching", -99999);
        CHECK(e.code() == 17995);
        auto text = textAt(e, reason);
        REQUIRE(text);
        CHECK(text->starts_with("SecItemCopyMatching (-99999) "));
    }
    SUBCASE("malformed token") {
        auto e = AuthErrorUtils::malformedJWTError("abc", std::nullopt);
        CHECK(e.code() == 18000);
        CHECK(textAt(e, kAuthErrorUserInfoDataKey) == "abc");
    }
}

TEST_CASE("a blocking-function detail gives its embedded message, its whole text or the default") {
    struct Case {
        std::optional<std::string> detail;
        std::string description;
    };
    const std::string fallback(errorDescription(AuthErrorCode::blockingCloudFunctionReturnedError));
    const Case cases[] = {
        {std::nullopt, fallback},
        {R"(HTTP Cloud Function returned an error: {"error":{"message":"Not allowed: {no} braces"}})",
         "Not allowed: {no} braces"},
        {"no JSON here at all", "no JSON here at all"},
        {R"(prefix {"error":{}} suffix)", fallback},
        {R"(prefix {"other":1})", fallback},
        {"only an opening { brace", "only an opening { brace"},
        // The first braced part is not JSON: no object, even though a valid one follows.
        {R"({not json} {"error":{"message":"later"}})", R"({not json} {"error":{"message":"later"}})"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.detail.value_or("<none>"));
        CHECK(descriptionOf(AuthErrorUtils::blockingCloudFunctionError(c.detail)) == c.description);
    }
    CHECK_FALSE(AuthErrorUtils::extractJSONObject(R"({"a":"}"})"));  // a brace inside a string counts
    CHECK(AuthErrorUtils::extractJSONObject(R"(x {"a":{"b":1}} y)") == nlohmann::json{{"a", {{"b", 1}}}});
    CHECK_FALSE(AuthErrorUtils::extractJSONObject("[1,2]"));
    std::string deep;  // {"a":{"a":...1...}} 100,000 levels deep: more than any error detail nests
    for (int i = 0; i < 100'000; ++i) deep += R"({"a":)";
    CHECK_FALSE(AuthErrorUtils::extractJSONObject(deep + "1" + std::string(100'000, '}')));
}

TEST_CASE("every server error name maps to its code, name and message") {
    struct Row {
        const char* server;
        std::int64_t code;
        bool keepsDetail;
    };
    const Row rows[] = {
        {"USER_NOT_FOUND", 17011, true},
        {"MISSING_CONTINUE_URI", 17040, true},
        {"INVALID_IDENTIFIER", 17008, true},
        {"INVALID_ID_TOKEN", 17017, true},
        {"CREDENTIAL_TOO_OLD_LOGIN_AGAIN", 17014, true},
        {"EMAIL_EXISTS", 17007, false},
        {"OPERATION_NOT_ALLOWED", 17006, true},
        {"PASSWORD_LOGIN_DISABLED", 17006, true},
        {"USER_DISABLED", 17005, true},
        {"INVALID_EMAIL", 17008, true},
        {"EXPIRED_OOB_CODE", 17029, true},
        {"INVALID_OOB_CODE", 17030, true},
        {"INVALID_MESSAGE_PAYLOAD", 17031, true},
        {"INVALID_SENDER", 17032, true},
        {"INVALID_RECIPIENT_EMAIL", 17033, true},
        {"TOO_MANY_ATTEMPTS_TRY_LATER", 17010, true},
        {"EMAIL_NOT_FOUND", 17011, true},
        {"MISSING_EMAIL", 17034, true},
        {"MISSING_IOS_BUNDLE_ID", 17036, true},
        {"MISSING_ANDROID_PACKAGE_NAME", 17037, true},
        {"UNAUTHORIZED_DOMAIN", 17038, true},
        {"INVALID_CONTINUE_URI", 17039, true},
        {"INVALID_PASSWORD", 17009, true},
        {"INVALID_IDP_RESPONSE", 17004, true},
        {"INVALID_PENDING_TOKEN", 17004, true},
        {"INVALID_LOGIN_CREDENTIALS", 17004, true},
        {"INVALID_CUSTOM_TOKEN", 17000, true},
        {"CREDENTIAL_MISMATCH", 17002, true},
        {"INVALID_PHONE_NUMBER", 17042, true},
        {"QUOTA_EXCEEDED", 17052, true},
        {"APP_NOT_VERIFIED", 17055, true},
        {"CAPTCHA_CHECK_FAILED", 17056, true},
        {"INVALID_APP_CREDENTIAL", 17048, true},
        {"MISSING_APP_CREDENTIAL", 17047, true},
        {"INVALID_CODE", 17044, true},
        {"INVALID_HOSTING_LINK_DOMAIN", 17214, true},
        {"INVALID_SESSION_INFO", 17046, true},
        {"SESSION_EXPIRED", 17051, true},
        {"ADMIN_ONLY_OPERATION", 17085, true},
        {"EMAIL_CHANGE_NEEDS_VERIFICATION", 17090, true},
        {"INVALID_MFA_PENDING_CREDENTIAL", 17083, true},
        {"INVALID_PROVIDER_ID", 17071, true},
        {"MFA_ENROLLMENT_NOT_FOUND", 17084, true},
        {"MISSING_CLIENT_IDENTIFIER", 17093, true},
        {"MISSING_IOS_APP_TOKEN", 17053, false},
        {"MISSING_MFA_ENROLLMENT_ID", 17082, true},
        {"MISSING_MFA_PENDING_CREDENTIAL", 17081, true},
        {"MISSING_OR_INVALID_NONCE", 17094, true},
        {"SECOND_FACTOR_EXISTS", 17087, true},
        {"SECOND_FACTOR_LIMIT_EXCEEDED", 17088, true},
        {"TENANT_ID_MISMATCH", 17072, false},
        {"TOKEN_EXPIRED", 17021, true},
        {"INVALID_REFRESH_TOKEN", 17017, true},
        {"UNSUPPORTED_FIRST_FACTOR", 17089, true},
        {"UNSUPPORTED_TENANT_OPERATION", 17073, false},
        {"UNVERIFIED_EMAIL", 17086, true},
        {"FEDERATED_USER_ID_ALREADY_LINKED", 17025, true},
    };
    for (const auto& row : rows) {
        CAPTURE(row.server);
        auto code = *authErrorCodeFromRawValue(row.code);
        auto bare = mapped(row.server);
        CHECK(bare.domain() == "ZIRAuthErrorDomain");
        CHECK(bare.code() == row.code);
        CHECK(nameOf(bare) == errorCodeString(code));
        CHECK(descriptionOf(bare) == errorDescription(code));
        auto detailed = mapped(std::string(row.server) + " : Some detail here");
        CHECK(descriptionOf(detailed) == (row.keepsDetail ? "Some detail here" : std::string(errorDescription(code))));
    }
}

TEST_CASE("server messages split at the first colon and match names exactly") {
    CHECK(AuthBackend::splitServerMessage("INVALID_ID_TOKEN") ==
          std::pair<std::string, std::string>{"INVALID_ID_TOKEN", ""});
    CHECK(AuthBackend::splitServerMessage(" A : b : c ") == std::pair<std::string, std::string>{"A", "b : c"});
    CHECK(AuthBackend::splitServerMessage("A:   ") == std::pair<std::string, std::string>{"A", ""});

    auto weak = mapped("WEAK_PASSWORD : Password should be at least 6 characters");
    CHECK(weak.code() == 17026);
    CHECK(textAt(weak, platform::kLocalizedFailureReasonErrorKey) == "Password should be at least 6 characters");
    CHECK(mapped(" USER_NOT_FOUND: x").code() == 17011);                                    // trimmed before a colon
    CHECK_FALSE(AuthBackend::clientErrorForServerMessage(" USER_NOT_FOUND", {}, nullptr));  // untrimmed without one
    CHECK_FALSE(AuthBackend::clientErrorForServerMessage("user_not_found", {}, nullptr));
    CHECK(descriptionOf(mapped("QUOTA_EXCEEDED:")) == errorDescription(AuthErrorCode::quotaExceeded));
    auto blocked = mapped(
        R"(BLOCKING_FUNCTION_ERROR_RESPONSE : HTTP Cloud Function returned an error: {"error":{"message":"denied"}})");
    CHECK(blocked.code() == 17105);
    CHECK(descriptionOf(blocked) == "denied");
}

TEST_CASE("an unknown name falls back to the reasons of the errors list") {
    using nlohmann::json;
    CHECK(mapped("API key not valid.", json{{"errors", json::array({{{"reason", "keyInvalidForProject"}}})}}).code() ==
          17023);
    CHECK(
        mapped("X", json{{"errors", json::array({{{"domain", "global"}}, {{"reason", "ipRefererBlocked"}}})}}).code() ==
        17028);
    CHECK_FALSE(
        AuthBackend::clientErrorForServerMessage("X", json{{"errors", json::array({{{"reason", "other"}}})}}, nullptr));
    CHECK_FALSE(
        AuthBackend::clientErrorForServerMessage("X", json{{"errors", json::array({{{"reason", 5}}})}}, nullptr));
    CHECK_FALSE(AuthBackend::clientErrorForServerMessage("X", json{{"errors", "keyInvalid"}}, nullptr));
}

TEST_CASE("a federated ID already linked carries the reply's credential and e-mail") {
    AuthBackend::setUpdatedCredentialBuilder([](const VerifyAssertionResponse& r) -> std::optional<Value> {
        if (!r.oauthIDToken) return std::nullopt;
        return Value("credential:" + *r.oauthIDToken);
    });
    auto response = VerifyAssertionResponse::initFromJSON({{"oauthIdToken", "tok"}, {"email", "a@b.c"}});
    auto e = AuthBackend::clientErrorForServerMessage("FEDERATED_USER_ID_ALREADY_LINKED : linked", {}, &response);
    REQUIRE(e);
    CHECK(e->code() == 17025);
    CHECK(textAt(*e, AuthErrors::userInfoUpdatedCredentialKey) == "credential:tok");
    CHECK(textAt(*e, AuthErrors::userInfoEmailKey) == "a@b.c");
    CHECK(descriptionOf(*e) == errorDescription(AuthErrorCode::credentialAlreadyInUse));
    // Without a reply record the detail becomes the description.
    CHECK(descriptionOf(mapped("FEDERATED_USER_ID_ALREADY_LINKED : linked")) == "linked");
    AuthBackend::setUpdatedCredentialBuilder(nullptr);
}
