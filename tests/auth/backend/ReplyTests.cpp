// Reply records: lenient reading key by key, the replies that fail as a whole, and dates.
#include <doctest/doctest.h>

#include <clocale>
#include <cstdlib>

#include "auth/backend/AuthBackend.hpp"
#include "auth/backend/GetProjectConfigRequest.hpp"
#include "auth/backend/GetRecaptchaConfigRequest.hpp"
#include "auth/backend/SendVerificationCodeRequest.hpp"
#include "auth/backend/StartMFASignInRequest.hpp"
#include "auth/backend/VerifyClientRequest.hpp"
#include "auth/backend/VerifyPhoneNumberRequest.hpp"
#include "platform/base/Clock.hpp"
#include "tests/auth/backend/BackendTestSupport.hpp"

using namespace brisko;
using namespace brisko::auth;
using namespace brisko::auth::testing;
using nlohmann::json;

namespace {

double secondsSince1970(platform::Date d) {
    return platform::timeIntervalSince1970(d);
}

// Fails the test unless reading the reply throws the unexpected-response error carrying the reply.
template <class Response> void checkRefused(const json& reply) {
    try {
        (void)Response::initFromJSON(reply);
        FAIL("the reply was accepted: " << reply.dump());
    } catch (const platform::ErrorException& e) {
        auto internal = internalError(e.error());
        CHECK(internal.code() == 4);
        REQUIRE(internal.userInfoValue(kAuthErrorUserInfoDeserializedResponseKey));
        CHECK(*internal.userInfoValue(kAuthErrorUserInfoDeserializedResponseKey) == valueFromJSON(reply));
    }
}

}  // namespace

TEST_CASE("secure-token replies: lifetimes as text seconds from the moment of parsing") {
    platform::ScopedClock clock(std::make_shared<platform::ManualClock>());
    const double now = secondsSince1970(platform::now());
    auto r = SecureTokenResponse::initFromJSON({{"access_token", "at"}, {"expires_in", "3600"}});
    REQUIRE(r.approximateExpirationDate);
    CHECK(secondsSince1970(*r.approximateExpirationDate) == doctest::Approx(now + 3600));
    CHECK_FALSE(r.refreshToken);
    CHECK_FALSE(r.idToken);
    CHECK_FALSE(
        SecureTokenResponse::initFromJSON({{"access_token", "at"}, {"expires_in", 3600}}).approximateExpirationDate);

    struct Case {
        const char* text;
        double seconds;
    };
    const Case cases[] = {{"3600abc", 3600}, {"  12.5", 12.5}, {"abc", 0}, {"0", 0},
                          {"-5", -5},        {"1e2", 100},     {"0x10", 0}};
    for (const auto& c : cases) {
        CAPTURE(c.text);
        auto d = SecureTokenResponse::initFromJSON({{"access_token", "at"}, {"expires_in", c.text}})
                     .approximateExpirationDate;
        REQUIRE(d);
        CHECK(secondsSince1970(*d) == doctest::Approx(now + c.seconds));
    }
    // A lifetime beyond what a date can hold is clamped, not undefined.
    auto huge = SecureTokenResponse::initFromJSON({{"access_token", "at"}, {"expires_in", "1e400"}});
    REQUIRE(huge.approximateExpirationDate);
    CHECK(secondsSince1970(*huge.approximateExpirationDate) > now + 1e9);

    checkRefused<SecureTokenResponse>({{"access_token", ""}});
    checkRefused<SecureTokenResponse>({{"id_token", "x"}});
    checkRefused<SecureTokenResponse>({{"access_token", 5}});
}

TEST_CASE("account-info replies: one user, milliseconds timestamps, providers and factors") {
    auto r = GetAccountInfoResponse::initFromJSON(json::parse(R"({"users":[{
        "localId":"u1","email":"a@b.c","createdAt":"1700000000000","lastLoginAt":" 1700000000000",
        "photoUrl":"not a url","providerUserInfo":[],
        "mfaInfo":[{"mfaEnrollmentId":"e1","totpInfo":{},"enrolledAt":"2024-01-02T03:04:05.678+0900"}]}]})"));
    REQUIRE(r.users);
    REQUIRE(r.users->size() == 1);
    const auto& u = r.users->front();
    CHECK(u.localID == "u1");
    CHECK_FALSE(u.emailVerified);
    REQUIRE(u.creationDate);
    CHECK(secondsSince1970(*u.creationDate) == doctest::Approx(1700000000.0));
    CHECK_FALSE(u.lastLoginDate);  // a leading blank is not a number
    CHECK_FALSE(u.photoURL);
    REQUIRE(u.providerUserInfo);
    CHECK(u.providerUserInfo->empty());
    REQUIRE(u.mfaEnrollments);
    const auto& e = u.mfaEnrollments->front();
    CHECK(e.totpInfo == "");
    CHECK_FALSE(e.phoneInfo);
    REQUIRE(e.enrolledAt);
    CHECK(secondsSince1970(*e.enrolledAt) == doctest::Approx(1704132245.678));

    auto noProviders = GetAccountInfoResponse::initFromJSON({{"users", json::array({{{"createdAt", 1700000000000}}})}});
    CHECK_FALSE(noProviders.users->front().providerUserInfo);
    CHECK_FALSE(noProviders.users->front().creationDate);

    checkRefused<GetAccountInfoResponse>({{"users", json::array({json::object(), json::object()})}});
    checkRefused<GetAccountInfoResponse>({{"users", json::array()}});
    checkRefused<GetAccountInfoResponse>({{"users", "u1"}});
    checkRefused<GetAccountInfoResponse>(json::object());
}

TEST_CASE("second-factor dates read the same whatever the user's locale and calendar") {
    // A Japanese locale with the Japanese calendar, as a user in Japan might have it.
    const char* previous = std::setlocale(LC_ALL, nullptr);
    std::string saved = previous ? previous : "C";
    std::setlocale(LC_ALL, "ja_JP.UTF-8");
    setenv("LANG", "ja_JP.UTF-8@calendar=japanese", 1);
    setenv("LC_TIME", "ja_JP.UTF-8@calendar=japanese", 1);
    setenv("TZ", "Asia/Tokyo", 1);
    tzset();

    struct Case {
        const char* text;
        std::optional<double> seconds;
    };
    const Case cases[] = {
        {"2024-01-02T03:04:05.678+0900", 1704132245.678}, {"2024-01-02T03:04:05.678Z", 1704164645.678},
        {"2024-01-02 03:04:05.678+0900", std::nullopt},  // no literal T
        {"2024-01-02T03:04:05+0900", std::nullopt},      // no milliseconds
        {"R6-01-02T03:04:05.678+0900", std::nullopt},    // an era year is not the format
        {"2024-13-02T03:04:05.678+0900", std::nullopt},
    };
    for (const auto& c : cases) {
        CAPTURE(c.text);
        auto e = AuthProtoMFAEnrollment::initFromJSON({{"enrolledAt", c.text}});
        REQUIRE(e.enrolledAt.has_value() == c.seconds.has_value());
        if (c.seconds) CHECK(secondsSince1970(*e.enrolledAt) == doctest::Approx(*c.seconds));
        auto totp = AuthProtoStartMFATOTPEnrollmentResponseInfo::initFromJSON(
            {{"sharedSecretKey", "S"}, {"finalizeEnrollmentTime", c.text}});
        REQUIRE(totp);
        CHECK(totp->finalizeEnrollmentTime.has_value() == c.seconds.has_value());
    }

    std::setlocale(LC_ALL, saved.c_str());
    unsetenv("LANG");
    unsetenv("LC_TIME");
    unsetenv("TZ");
    tzset();
}

TEST_CASE("verify-assertion replies read every member leniently") {
    auto r = VerifyAssertionResponse::initFromJSON(json::parse(R"({
        "providerId":"ezevar.com","localId":"u1","idToken":"tok","needConfirmation":"yes",
        "rawUserInfo":"{\"name\":\"Aiko\"}","verifiedProvider":["a","b"],"expiresIn":3600,
        "oauthExpireIn":"60","isNewUser":true,"photoUrl":"https://p.example/a.png","mfaInfo":[5]})"));
    CHECK(r.providerID == "ezevar.com");
    CHECK_FALSE(r.needConfirmation);
    CHECK(r.isNewUser);
    REQUIRE(r.profile);
    CHECK(r.profile->at("name") == platform::Value("Aiko"));
    CHECK(r.verifiedProvider == std::vector<std::string>{"a", "b"});
    CHECK_FALSE(r.approximateExpirationDate);
    CHECK(r.oauthExpirationDate);
    CHECK(r.photoURL);
    CHECK_FALSE(r.mfaInfo);

    auto asObject = VerifyAssertionResponse::initFromJSON(
        json::parse(R"({"rawUserInfo":{"name":"Aiko"},"verifiedProvider":"[\"a\"]"})"));
    CHECK(asObject.profile == r.profile);
    CHECK(asObject.verifiedProvider == std::vector<std::string>{"a"});
    auto broken =
        VerifyAssertionResponse::initFromJSON(json::parse(R"({"rawUserInfo":"{not json","verifiedProvider":"[1]"})"));
    CHECK_FALSE(broken.profile);
    CHECK_FALSE(broken.verifiedProvider);
    // A profile nested beyond any provider's is read as not JSON, not walked into a stack overflow.
    auto deep = VerifyAssertionResponse::initFromJSON(
        {{"rawUserInfo", R"({"name":"Aiko","deep":)" + std::string(100'000, '[') + std::string(100'000, ']') + "}"}});
    CHECK_FALSE(deep.profile);
    // A profile nests as its provider likes: one far deeper than any real one is still read.
    auto nested = VerifyAssertionResponse::initFromJSON(
        {{"rawUserInfo", R"({"name":"Aiko","deep":)" + std::string(150, '[') + std::string(150, ']') + "}"}});
    REQUIRE(nested.profile);
    CHECK(nested.profile->at("name") == platform::Value("Aiko"));
}

TEST_CASE("the other sign-in and account replies") {
    auto methods =
        CreateAuthURIResponse::initFromJSON({{"signinMethods", json::array({"password", 5})}, {"registered", true}});
    CHECK(methods.signinMethods.empty());
    CHECK(methods.registered);
    CHECK_FALSE(methods.allProviders);

    auto link = EmailLinkSignInResponse::initFromJSON(
        {{"mfaPendingCredential", "pc"}, {"mfaInfo", json::array()}, {"expiresIn", 5}});
    CHECK(link.mfaPendingCredential == "pc");
    REQUIRE(link.mfaInfo);
    CHECK(link.mfaInfo->empty());
    CHECK_FALSE(link.approximateExpirationDate);

    CHECK_FALSE(GetOOBConfirmationCodeResponse::initFromJSON({{"oobCode", 5}}).OOBCode);
    auto reset = ResetPasswordResponse::initFromJSON(
        {{"email", "a@b.c"}, {"newEmail", "n@b.c"}, {"requestType", "PASSWORD_RESET"}});
    CHECK(reset.verifiedEmail == "n@b.c");

    auto update = SetAccountInfoResponse::initFromJSON(json::parse(
        R"({"providerUserInfo":[{"providerId":"password","displayName":"A","photoUrl":"::bad"}],"idToken":"t"})"));
    REQUIRE(update.providerUserInfo);
    CHECK(update.providerUserInfo->front().providerID == "password");
    CHECK_FALSE(update.providerUserInfo->front().photoURL);
    CHECK_FALSE(SetAccountInfoResponse::initFromJSON({{"providerUserInfo", json::array({1})}}).providerUserInfo);

    auto domains = GetProjectConfigResponse::initFromJSON({{"authorizedDomains", json::array({"a", "b"})}});
    auto domainsText = GetProjectConfigResponse::initFromJSON({{"authorizedDomains", R"(["a","b"])"}});
    CHECK(domains.authorizedDomains == std::vector<std::string>{"a", "b"});
    CHECK(domainsText.authorizedDomains == domains.authorizedDomains);
    CHECK_FALSE(GetProjectConfigResponse::initFromJSON({{"authorizedDomains", "not json"}}).authorizedDomains);
    CHECK_FALSE(GetRecaptchaConfigResponse::initFromJSON(
                    {{"recaptchaEnforcementState", json::array({{{"provider", "EMAIL"}, {"on", true}}})}})
                    .enforcementState);

    platform::ScopedClock clock(std::make_shared<platform::ManualClock>());
    CHECK(VerifyClientResponse::initFromJSON({{"suggestedTimeout", "30"}}).suggestedTimeOutDate);
    CHECK_FALSE(VerifyClientResponse::initFromJSON({{"suggestedTimeout", " 30"}}).suggestedTimeOutDate);
    CHECK_FALSE(VerifyClientResponse::initFromJSON({{"suggestedTimeout", "30s"}}).suggestedTimeOutDate);
    auto phone = VerifyPhoneNumberResponse::initFromJSON({{"expiresIn", "x"}, {"isNewUser", 1}});
    REQUIRE(phone.approximateExpirationDate);
    CHECK(*phone.approximateExpirationDate == platform::now());
    CHECK_FALSE(phone.isNewUser);
}

TEST_CASE("second-factor replies") {
    auto both = StartMFAEnrollmentResponse::initFromJSON(
        {{"phoneSessionInfo", {{"sessionInfo", "p"}}}, {"totpSessionInfo", {{"sharedSecretKey", "S"}}}});
    CHECK(both.phoneSessionInfo);
    CHECK_FALSE(both.totpSessionInfo);
    auto totp =
        StartMFAEnrollmentResponse::initFromJSON({{"totpSessionInfo", {{"sharedSecretKey", "S"}, {"periodSec", 30}}}});
    REQUIRE(totp.totpSessionInfo);
    CHECK(totp.totpSessionInfo->sharedSecretKey == "S");
    CHECK(totp.totpSessionInfo->periodSec == 30);
    CHECK(totp.totpSessionInfo->verificationCodeLength == 0);
    checkRefused<StartMFAEnrollmentResponse>(json::object());
    // A TOTP start without its shared secret is malformed, not an empty secret.
    checkRefused<StartMFAEnrollmentResponse>({{"totpSessionInfo", {{"sessionInfo", "s"}}}});

    auto finalized =
        FinalizeMFAEnrollmentResponse::initFromJSON({{"idToken", "t"}, {"totpSessionInfo", {{"sessionInfo", "s"}}}});
    REQUIRE(finalized.totpSessionInfo);
    CHECK_FALSE(finalized.totpSessionInfo->sessionInfo);
    CHECK(StartMFASignInResponse::initFromJSON({{"phoneResponseInfo", json::object()}}).responseInfo.sessionInfo ==
          std::nullopt);
    checkRefused<StartMFASignInResponse>({{"phoneResponseInfo", "x"}});
}
