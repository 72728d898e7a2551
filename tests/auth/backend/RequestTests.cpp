// Request records: their bodies key by key and their addresses.
#include <doctest/doctest.h>

#include "auth/backend/AuthBackend.hpp"
#include "auth/backend/GetProjectConfigRequest.hpp"
#include "auth/backend/GetRecaptchaConfigRequest.hpp"
#include "auth/backend/RevokeTokenRequest.hpp"
#include "auth/backend/SendVerificationCodeRequest.hpp"
#include "auth/backend/StartMFASignInRequest.hpp"
#include "auth/backend/VerifyClientRequest.hpp"
#include "auth/backend/VerifyPhoneNumberRequest.hpp"
#include "tests/auth/backend/BackendTestSupport.hpp"

using namespace brisko;
using namespace brisko::auth;
using namespace brisko::auth::testing;

namespace {

struct Records {
    std::shared_ptr<FakeAuthClient> client = std::make_shared<FakeAuthClient>();
    std::shared_ptr<AuthRequestConfiguration> configuration = AuthRequestConfiguration::make("KEY", "APP", client);
    std::shared_ptr<AuthRequestConfiguration> tenantConfiguration() {
        client->tenant = "T1";
        return configuration;
    }
};

std::string body(const AuthRPCRequest& request) {
    auto b = request.jsonBody();
    return b ? b->dump() : "<none>";
}

}  // namespace

TEST_CASE("identity-toolkit, identity-platform and secure-token addresses, with and without the emulator") {
    Records r;
    GetAccountInfoRequest v1("tok", r.configuration);
    RevokeTokenRequest v2("code", "tok", r.configuration);
    auto token = SecureTokenRequest::refreshRequest("rt", r.configuration);
    CHECK(v1.buildURL().absoluteString() ==
          "https://www.ezevarapis.com/identitytoolkit/v3/relyingparty/getAccountInfo?key=KEY");
    CHECK(v2.buildURL().absoluteString() == "https://identitytoolkit.ezevarapis.com/v2/accounts:revokeToken?key=KEY");
    CHECK(token.buildURL().absoluteString() == "https://securetoken.ezevarapis.com/v1/token?key=KEY");

    r.configuration->setEmulatorHostAndPort("localhost:9099");
    CHECK(v1.buildURL().absoluteString() ==
          "http://localhost:9099/www.ezevarapis.com/identitytoolkit/v3/relyingparty/getAccountInfo?key=KEY");
    CHECK(v2.buildURL().absoluteString() ==
          "http://localhost:9099/identitytoolkit.ezevarapis.com/v2/accounts:revokeToken?key=KEY");
    CHECK(token.buildURL().absoluteString() == "http://localhost:9099/securetoken.ezevarapis.com/v1/token?key=KEY");

    // Staging changes nothing; the tenant is never part of the base forms.
    r.client->tenant = "T1";
    GetAccountInfoRequest staged("tok", r.configuration);
    staged.useStaging = true;
    CHECK(staged.buildURL().absoluteString() == v1.buildURL().absoluteString());

    GetRecaptchaConfigRequest recaptcha(r.configuration);
    CHECK(recaptcha.queryParameters() == "&clientType=CLIENT_TYPE_IOS&version=RECAPTCHA_ENTERPRISE&tenantId=T1");
    r.client->tenant.reset();
    CHECK(GetRecaptchaConfigRequest(r.configuration).queryParameters() ==
          "&clientType=CLIENT_TYPE_IOS&version=RECAPTCHA_ENTERPRISE");
}

TEST_CASE("an API key, tenant or endpoint with URL-breaking characters is encoded, not obeyed") {
    Records r;
    auto odd = AuthRequestConfiguration::make("k&ey=1#x y+é", "APP", r.client);
    r.client->tenant = "t&enant=2";
    GetAccountInfoRequest request("tok", odd);
    auto url = request.buildURL();
    CHECK(url.absoluteString() ==
          "https://www.ezevarapis.com/identitytoolkit/v3/relyingparty/getAccountInfo?key=k%26ey%3D1%23x%20y%2B%C3%A9");
    auto items = url.queryItems();
    REQUIRE(items);
    REQUIRE(items->size() == 1);
    CHECK((*items)[0].value == "k&ey=1#x y+é");
    GetRecaptchaConfigRequest recaptcha(odd);
    CHECK(recaptcha.queryParameters().ends_with("&tenantId=t%26enant%3D2"));

    GetAccountInfoRequest oddEndpoint("tok", r.configuration);
    oddEndpoint.endpoint = "get?x=1#frag";
    CHECK(oddEndpoint.buildURL().absoluteString() ==
          "https://www.ezevarapis.com/identitytoolkit/v3/relyingparty/get%3Fx=1%23frag?key=KEY");
}

TEST_CASE("bodies of the sign-in records, key by key") {
    Records r;
    SUBCASE("secure token") {
        CHECK(body(SecureTokenRequest::refreshRequest("rt", r.configuration)) ==
              R"({"grantType":"refresh_token","refreshToken":"rt"})");
        CHECK(body(SecureTokenRequest::authCodeRequest("c", r.configuration)) ==
              R"({"grantType":"authorization_code","code":"c"})");
        CHECK(secureTokenRequestGrantTypeFromRawValue(2) == std::nullopt);
    }
    SUBCASE("password, sign-up and custom token") {
        VerifyPasswordRequest password("a@b.c", "", r.configuration);
        CHECK(body(password) ==
              R"({"email":"a@b.c","password":"","returnSecureToken":true,"clientType":"CLIENT_TYPE_IOS"})");
        password.pendingIDToken = "p";
        password.captchaResponse = "c";
        password.returnSecureToken = false;
        CHECK(
            body(password) ==
            R"({"email":"a@b.c","password":"","pendingIdToken":"p","captchaResponse":"c","clientType":"CLIENT_TYPE_IOS"})");
        CHECK(body(SignUpNewUserRequest(r.configuration)) ==
              R"({"clientType":"CLIENT_TYPE_IOS","returnSecureToken":true})");
        CHECK(
            body(SignUpNewUserRequest("a@b.c", "pw", std::nullopt, "tok", r.tenantConfiguration())) ==
            R"({"email":"a@b.c","password":"pw","idToken":"tok","clientType":"CLIENT_TYPE_IOS","returnSecureToken":true,"tenantId":"T1"})");
        CHECK(body(VerifyCustomTokenRequest("ct", r.configuration)) ==
              R"({"token":"ct","returnSecureToken":true,"tenantId":"T1"})");
    }
    SUBCASE("verify assertion") {
        VerifyAssertionRequest ezevar("ezevar.com", r.configuration);
        ezevar.providerIDToken = "id.tok";
        ezevar.providerAccessToken = "acc";
        CHECK(
            body(ezevar) ==
            R"({"requestUri":"http://localhost","postBody":"providerId=ezevar.com&id_token=id.tok&access_token=acc","returnSecureToken":true,"returnIdpCredential":true,"autoCreate":true})");
        ezevar.autoCreate = false;
        ezevar.accessToken = "mine";
        ezevar.providerAccessToken = "a&b=c";
        ezevar.fullName = platform::PersonNameComponents{};
        ezevar.fullName->familyName = "Sato";
        CHECK(
            body(ezevar) ==
            R"({"requestUri":"http://localhost","postBody":"providerId=ezevar.com&id_token=id.tok&access_token=a%26b%3Dc&user=%7B%22name%22:%7B%22lastName%22:%22Sato%22%7D%7D","idToken":"mine","returnSecureToken":true,"returnIdpCredential":true,"autoCreate":false})");
        ezevar.fullName->familyName.reset();
        CHECK(ezevar.providerPostBody().find("user=") == std::string::npos);

        VerifyAssertionRequest empty("ezevar.com", r.configuration);
        auto error = AuthErrorUtils::makeError(AuthErrorCode::internalError);
        try {
            empty.jsonBody();
            FAIL("a record without any provider proof was accepted");
        } catch (const platform::ErrorException& e) {
            CHECK(descriptionOf(e.error()) ==
                  "One of IDToken, accessToken, pendingToken, or requestURI must be supplied.");
        }
    }
    SUBCASE("game center") {
        SignInWithGameCenterRequest gc(*platform::URL::parse("https://keys.example/k.cer"), platform::Data{0xfb, 0xff},
                                       platform::Data{0x3e}, r.configuration);
        gc.timestamp = 0;
        CHECK(body(gc) ==
              R"({"playerId":null,"publicKeyUrl":"https://keys.example/k.cer","signature":"-_8","salt":"Pg"})");
        gc.timestamp = 42;
        gc.playerID = "p";
        CHECK(body(gc).find(R"("timestamp":42)") != std::string::npos);
    }
}

TEST_CASE("bodies of the account and action-code records") {
    Records r;
    SUBCASE("account info, update and deletion") {
        CHECK(body(GetAccountInfoRequest("tok", r.tenantConfiguration())) == R"({"idToken":"tok"})");
        SetAccountInfoRequest apply(std::nullopt, r.configuration);
        apply.oobCode = "code";
        CHECK(body(apply) == R"({"oobCode":"code","returnSecureToken":true,"tenantId":"T1"})");
        SetAccountInfoRequest unlink("tok", r.configuration);
        unlink.deleteProviders = std::vector<std::string>{"ezevar.com"};
        unlink.displayName = "";
        unlink.emailVerified = true;
        CHECK(
            body(unlink) ==
            R"({"idToken":"tok","displayName":"","emailVerified":true,"deleteProvider":["ezevar.com"],"returnSecureToken":true,"tenantId":"T1"})");
        CHECK(body(DeleteAccountRequest("U", "T", r.configuration)) == R"({"idToken":"T","localId":"U"})");
        CHECK(body(RevokeTokenRequest("code", "tok", r.configuration)) ==
              R"({"providerId":"apple.com","tokenType":"3","token":"code","idToken":"tok"})");
    }
    SUBCASE("out-of-band codes") {
        CHECK(body(GetOOBConfirmationCodeRequest::forPasswordReset("a@b.c", std::nullopt, r.configuration)) ==
              R"({"requestType":"PASSWORD_RESET","email":"a@b.c","clientType":"CLIENT_TYPE_IOS"})");
        ActionCodeSettingsValues settings;
        settings.url = platform::URL::parse("https://example.com/finish?x=1");
        settings.iOSBundleID = "com.brisko";
        settings.linkDomain = "links.example";
        CHECK(
            body(GetOOBConfirmationCodeRequest::forVerifyBeforeUpdateEmail("tok", "new@b.c", settings,
                                                                           r.tenantConfiguration())) ==
            R"({"requestType":"VERIFY_AND_CHANGE_EMAIL","newEmail":"new@b.c","idToken":"tok","continueUrl":"https://example.com/finish?x=1","iOSBundleId":"com.brisko","linkDomain":"links.example","clientType":"CLIENT_TYPE_IOS","tenantId":"T1"})");
        settings.handleCodeInApp = true;
        settings.androidInstallIfNotAvailable = true;
        auto link = GetOOBConfirmationCodeRequest::forEmailLinkSignIn("a@b.c", settings, r.configuration);
        link.captchaResponse = "cap";
        CHECK(
            body(link) ==
            R"({"requestType":"EMAIL_SIGNIN","email":"a@b.c","continueUrl":"https://example.com/finish?x=1","iOSBundleId":"com.brisko","androidInstallApp":true,"canHandleCodeInApp":true,"linkDomain":"links.example","captchaResp":"cap","clientType":"CLIENT_TYPE_IOS","tenantId":"T1"})");
        CHECK(body(GetOOBConfirmationCodeRequest::forEmailVerification("tok", std::nullopt, r.configuration)) ==
              R"({"requestType":"VERIFY_EMAIL","idToken":"tok","clientType":"CLIENT_TYPE_IOS","tenantId":"T1"})");
        CHECK(body(ResetPasswordRequest("c", std::nullopt, r.configuration)) == R"({"oobCode":"c","tenantId":"T1"})");
        CHECK(body(ResetPasswordRequest("c", "new", r.configuration)) ==
              R"({"oobCode":"c","newPassword":"new","tenantId":"T1"})");
        CHECK(oobRequestTypeFromRawValue(4) == std::nullopt);
    }
    SUBCASE("sign-in methods, e-mail links and configuration") {
        CHECK(body(CreateAuthURIRequest("a@b.c", "http://localhost", r.configuration)) ==
              R"({"identifier":"a@b.c","continueUri":"http://localhost"})");
        EmailLinkSignInRequest link("a@b.c", "oob", r.tenantConfiguration());
        link.idToken = "tok";
        CHECK(body(link) == R"({"email":"a@b.c","oobCode":"oob","idToken":"tok","tenantId":"T1"})");
        CHECK(body(GetProjectConfigRequest(r.configuration)) == "<none>");
    }
}

TEST_CASE("bodies of the phone and second-factor records") {
    Records r;
    SendVerificationCodeRequest send("+15550100", CodeIdentity::credential({"receipt", std::nullopt}), r.configuration);
    CHECK(body(send) == R"({"phoneNumber":"+15550100","iosReceipt":"receipt","clientType":"CLIENT_TYPE_IOS"})");
    send.codeIdentity = CodeIdentity::recaptcha("rc");
    CHECK(body(send) == R"({"phoneNumber":"+15550100","recaptchaToken":"rc","clientType":"CLIENT_TYPE_IOS"})");
    VerifyPhoneNumberRequest verify(AuthOperationType::unspecified, r.configuration);
    verify.verificationID = "v";
    verify.verificationCode = "123";
    CHECK(body(verify) == R"({"sessionInfo":"v","code":"123","operation":"VERIFY_OP_UNSPECIFIED"})");
    CHECK(body(VerifyClientRequest(std::nullopt, false, r.configuration)) == "{}");

    CHECK(body(StartMFAEnrollmentRequest("tok", AuthProtoStartMFATOTPEnrollmentRequestInfo{}, r.configuration)) ==
          R"({"idToken":"tok","totpEnrollmentInfo":{}})");
    AuthProtoStartMFAPhoneRequestInfo phone;
    phone.phoneNumber = "+1";
    CHECK(phone.dictionary().dump() == R"({"phoneNumber":"+1"})");
    phone.codeIdentity = CodeIdentity::credential({"r", "s"});
    CHECK(phone.dictionary().dump() == R"({"phoneNumber":"+1","iosReceipt":"r","iosSecret":"s"})");
    CHECK(
        body(FinalizeMFAEnrollmentRequest("tok", "phone", AuthProtoFinalizeMFATOTPEnrollmentRequestInfo{"s", "123456"},
                                          r.tenantConfiguration())) ==
        R"({"idToken":"tok","displayName":"phone","totpVerificationInfo":{"sessionInfo":"s","verificationCode":"123456"},"tenantId":"T1"})");
    CHECK(body(WithdrawMFARequest("tok", "e1", r.configuration)) ==
          R"({"idToken":"tok","mfaEnrollmentId":"e1","tenantId":"T1"})");
    CHECK(
        body(FinalizeMFASignInRequest("pc", AuthProtoFinalizeMFATOTPSignInRequestInfo{"e1", "123456"},
                                      r.configuration)) ==
        R"({"mfaPendingCredential":"pc","totpVerificationInfo":{"verificationCode":"123456"},"mfaEnrollmentId":"e1","tenantId":"T1"})");
    CHECK(body(FinalizeMFASignInRequest("pc", AuthProtoFinalizeMFATOTPSignInRequestInfo{std::nullopt, "1"},
                                        r.configuration)) ==
          R"({"mfaPendingCredential":"pc","totpVerificationInfo":{"verificationCode":"1"},"tenantId":"T1"})");
}

TEST_CASE("a record keeps the tenant of the moment it was made, and none once the client is gone") {
    auto client = std::make_shared<FakeAuthClient>();
    client->tenant = "T1";
    auto configuration = AuthRequestConfiguration::make("KEY", "APP", client);
    GetOOBConfirmationCodeRequest before =
        GetOOBConfirmationCodeRequest::forPasswordReset("a@b.c", std::nullopt, configuration);
    client->tenant = "T2";
    CHECK(before.tenantID == "T1");
    client.reset();
    CHECK_FALSE(ResetPasswordRequest("c", std::nullopt, configuration).tenantID);
}
