// The typed call against the local identity service: the decoding matrix, the headers, the
// second-factor check, whole flows, and concurrent changes of the configuration.
#include <doctest/doctest.h>

#include <atomic>
#include <thread>

#include "auth/backend/AuthBackend.hpp"
#include "core/UtilitiesLogger.hpp"
#include "fetcher/SessionFetcher.hpp"
#include "platform/base/Log.hpp"
#include "platform/storage/Bundle.hpp"
#include "tests/auth/backend/BackendTestSupport.hpp"
#include "tests/support/HttpTestServer.hpp"

using namespace brisko;
using namespace brisko::auth;
using namespace brisko::auth::testing;
using Fault = brisko::testing::IdentityService::Fault;
using nlohmann::json;

namespace {

// What a failed call must carry.
struct Expected {
    std::int64_t publicCode;
    std::optional<std::int64_t> internalCode = std::nullopt;
    enum class Carries { nothing, data, response, underlying } carries = Carries::nothing;
};

void checkError(const platform::Error& error, const Expected& expected) {
    CHECK(error.domain() == AuthErrors::domain);
    CHECK(error.code() == expected.publicCode);
    if (!expected.internalCode) return;
    auto internal = internalError(error);
    CHECK(internal.code() == *expected.internalCode);
    switch (expected.carries) {
    case Expected::Carries::data:
        CHECK(internal.userInfoValue(kAuthErrorUserInfoDataKey));
        break;
    case Expected::Carries::response:
        CHECK(internal.userInfoValue(kAuthErrorUserInfoDeserializedResponseKey));
        break;
    default:
        break;
    }
}

class FakeHeartbeatLogger : public core::HeartbeatLoggerProtocol {
public:
    explicit FakeHeartbeatLogger(std::optional<std::string> value) : value_(std::move(value)) {}
    void log() override {}
    std::optional<std::string> headerValue() override { return value_; }
    void asyncHeaderValueWithCompletionHandler(HeaderCompletion completion) override {
        // Answers from another thread, as the heartbeat storage queue does.
        std::thread([completion, value = value_] { completion(value); }).detach();
    }
    core::HeartbeatInfoCode heartbeatCodeForToday() override { return core::HeartbeatInfoCode::none; }

private:
    std::optional<std::string> value_;
};

class FakeTokenResult : public core::AppVouchTokenResultInterop {
public:
    FakeTokenResult(std::string token, std::optional<platform::Error> error)
        : token_(std::move(token)), error_(std::move(error)) {}
    std::string token() const override { return token_; }
    std::optional<platform::Error> error() const override { return error_; }

private:
    std::string token_;
    std::optional<platform::Error> error_;
};

class FakeAppVouch : public core::AppVouchInterop {
public:
    std::optional<platform::Error> error;
    std::atomic<int> forcedCalls{0};
    void getTokenForcingRefresh(bool forcingRefresh, TokenCompletion completion) override {
        if (forcingRefresh) ++forcedCalls;
        completion(std::make_shared<FakeTokenResult>(error ? "placeholder" : "vouch-token", error));
    }
};

}  // namespace

TEST_CASE("every reply shape becomes the response or its error, in the pipeline's order") {
    ServiceFixture f;
    auto uid = f.service.createAccount("a@b.c", "secret1");
    const auto token = f.service.mintIDToken(uid);
    using C = Expected::Carries;
    struct Case {
        const char* what;
        Fault fault;
        Expected expected;
    };
    std::string deep(100000, '[');
    const Case cases[] = {
        {"400 with a known server error", Fault::ofServerError("EMAIL_EXISTS"), {17007}},
        {"400 with an error object without message",
         Fault::ofBody(400, R"({"error":{"code":400}})"),
         {17999, 3, C::response}},
        {"500 with a body that is not JSON", Fault::ofKind(Fault::Kind::notJSON, 500), {17999, 3, C::data}},
        {"500 with an empty body", Fault::ofStatus(500), {17020}},
        {"200 with an empty body", Fault::ofKind(Fault::Kind::emptyBody), {17999, 4, C::data}},
        {"200 with an array", Fault::ofKind(Fault::Kind::emptyArray), {17999, 4, C::response}},
        {"200 with a bare number", Fault::ofKind(Fault::Kind::bareNumber), {17999, 4, C::data}},
        {"400 with an array", Fault::ofKind(Fault::Kind::emptyArray, 400), {17999, 3, C::response}},
        {"400 with an error text", Fault::ofKind(Fault::Kind::errorText, 400), {17999, 3, C::response}},
        {"400 with a numeric message", Fault::ofKind(Fault::Kind::errorMessageNumber, 400), {17999, 3, C::response}},
        {"400 with an unknown server error", Fault::ofServerError("SOMETHING_NEW"), {17999, 3, C::response}},
        {"200 that is not an account record", Fault::ofBody(200, R"({"kind":"x"})"), {17999, 5, C::response}},
        {"400 that is not a record but a known error", Fault::ofServerError("INVALID_ID_TOKEN"), {17017}},
        {"200 nested beyond reason", Fault::ofBody(200, deep), {17999, 4, C::data}},
        {"a connection closed before the body", Fault::ofKind(Fault::Kind::closeConnection), {17020}},
    };
    for (const auto& c : cases) {
        CAPTURE(c.what);
        f.service.clearFaults();
        f.service.clearRequests();
        Fault fault = c.fault;
        fault.times = 1;
        f.service.injectFault("getAccountInfo", fault);
        auto error = failure(f.backend->callGetAccountInfo(GetAccountInfoRequest(token, f.configuration)));
        checkError(error, c.expected);
        // One attempt per call: the backend's fetchers never retry.
        CHECK(f.service.requestsTo("getAccountInfo").size() == 1);
    }

    SUBCASE("a 500 with an empty body is a network error over the fetcher's status error") {
        f.service.injectFault("getAccountInfo", Fault::ofStatus(503));
        auto error = failure(f.backend->callGetAccountInfo(GetAccountInfoRequest(token, f.configuration)));
        auto underlying = error.underlyingError();
        REQUIRE(underlying);
        CHECK(underlying->domain() == fetcher::kSessionFetcherStatusDomain);
        CHECK(underlying->code() == 503);
    }
    SUBCASE("an unknown 400 carries the server's error object and the status error") {
        f.service.injectFault("getAccountInfo", Fault::ofServerError("SOMETHING_NEW"));
        auto internal =
            internalError(failure(f.backend->callGetAccountInfo(GetAccountInfoRequest(token, f.configuration))));
        const auto* response = internal.userInfoValue(kAuthErrorUserInfoDeserializedResponseKey);
        REQUIRE(response);
        REQUIRE(response->find("message"));
        CHECK(*response->find("message") == platform::Value("SOMETHING_NEW"));
        CHECK(internal.underlyingError());
    }
    SUBCASE("a status-200 reply with an error member is decoded normally") {
        f.service.injectFault("createAuthUri",
                              Fault::ofBody(200, R"({"error":{"message":"EMAIL_EXISTS"},"registered":true})"));
        auto r = run(f.backend->callCreateAuthURI(CreateAuthURIRequest("a@b.c", "http://localhost", f.configuration)));
        CHECK(r.registered);
    }
    SUBCASE("a service that does not answer is a network error over the platform's error") {
        f.service.stop();
        auto error = failure(f.backend->callGetAccountInfo(GetAccountInfoRequest(token, f.configuration)));
        CHECK(error.code() == 17020);
        REQUIRE(error.underlyingError());
        CHECK(error.underlyingError()->domain() == platform::kURLErrorDomain);
    }
}

TEST_CASE("a body that cannot be serialised is refused before anything is sent") {
    ServiceFixture f;
    auto error = failure(f.backend->callVerifyPassword(VerifyPasswordRequest("a@b.c", "\xff\xfe", f.configuration)));
    CHECK(internalError(error).code() == 2);
    CHECK(f.service.requests().empty());
}

TEST_CASE("identity requests carry the headers in order") {
    brisko::testing::RawHttpServer raw(
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 21\r\nConnection: close\r\n\r\n"
        R"({"signinMethods":[]})"
        "\n");
    auto client = std::make_shared<FakeAuthClient>();
    auto appVouch = std::make_shared<FakeAppVouch>();
    auto configuration = AuthRequestConfiguration::make("KEY", "1:123:ios:abc", client,
                                                        std::make_shared<FakeHeartbeatLogger>("hb-value"), appVouch);
    configuration->setEmulatorHostAndPort("127.0.0.1:" + std::to_string(raw.port()));
    configuration->setLanguageCode("ja");
    AuthBackend backend;
    run(backend.callCreateAuthURI(CreateAuthURIRequest("a@b.c", "http://localhost", configuration)));
    REQUIRE(raw.waitForRequests(1));
    auto head = raw.heads().at(0);
    CHECK(head.starts_with("POST /www.ezevarapis.com/identitytoolkit/v3/relyingparty/createAuthUri?key=KEY HTTP/1.1"));
    std::vector<std::string> ours;
    for (const auto& name : brisko::testing::RawHttpServer::headerNames(head)) {
        if (name == "Content-Type" || name.starts_with("X-") || name == "Accept-Language") ours.push_back(name);
    }
    CAPTURE(head);
    CHECK(ours == std::vector<std::string>{"Content-Type", "X-Client-Version", "X-Ios-Bundle-Identifier",
                                           "X-Zudiridi-EMPID", "Accept-Language", "X-Zudiridi-Locale",
                                           "X-Zudiridi-Client", "X-Zudiridi-AppVouch"});
    CHECK(head.find("X-Client-Version: iOS/ZudiridiSDK/12.12.0/ZudiridiCore-iOS") != std::string::npos);
    CHECK(head.find("X-Zudiridi-EMPID: 1:123:ios:abc") != std::string::npos);
    CHECK(head.find("X-Ios-Bundle-Identifier: " + platform::Bundle::main()->bundleIdentifier().value_or("")) !=
          std::string::npos);
    CHECK(head.find("X-Zudiridi-Client: hb-value") != std::string::npos);
    CHECK(head.find("X-Zudiridi-AppVouch: vouch-token") != std::string::npos);
    CHECK(head.find("User-Agent: ZudiridiRozu.iOS/12.12.0 ") != std::string::npos);
    CHECK(appVouch->forcedCalls == 0);
}

TEST_CASE("optional headers are left out, and a failed attestation still sends its placeholder") {
    ServiceFixture f;
    f.configuration->setLanguageCode("");
    run(f.backend->callCreateAuthURI(CreateAuthURIRequest("a@b.c", "http://localhost", f.configuration)));
    auto plain = f.service.requestsTo("createAuthUri").at(0);
    CHECK(plain.header("Content-Type") == "application/json");
    CHECK_FALSE(plain.header("X-Zudiridi-Locale"));
    CHECK_FALSE(plain.header("X-Zudiridi-Client"));
    CHECK_FALSE(plain.header("X-Zudiridi-AppVouch"));

    platform::LogCapture capture;
    auto appVouch = std::make_shared<FakeAppVouch>();
    appVouch->error = platform::Error("com.brisko.attestation", 1);
    auto configuration = AuthRequestConfiguration::make(f.service.apiKey(), "APP", nullptr,
                                                        std::make_shared<FakeHeartbeatLogger>(std::nullopt), appVouch);
    configuration->setEmulatorHostAndPort(f.service.emulatorHostAndPort());
    run(f.backend->callCreateAuthURI(CreateAuthURIRequest("a@b.c", "http://localhost", configuration)));
    auto vouched = f.service.requestsTo("createAuthUri").at(1);
    CHECK(vouched.header("X-Zudiridi-AppVouch") == "placeholder");
    CHECK_FALSE(vouched.header("X-Zudiridi-Client"));
    core::UtilitiesLogger::waitUntilWritten();
    CHECK(capture.contains("I-AUT000018"));
    CHECK(capture.contains("Error getting App Vouch token; using placeholder token instead. Error: "));
}

TEST_CASE("a sign-in that needs a second factor fails with 17078 while the identity client exists") {
    ServiceFixture f;
    auto uid = f.service.createAccount("mfa@b.c", "secret1");
    auto enrollment = f.service.enrollTOTP(uid, "phone app");

    auto error = failure(f.backend->callVerifyPassword(VerifyPasswordRequest("mfa@b.c", "secret1", f.configuration)));
    CHECK(error.code() == 17078);
    CHECK(nameOf(error) == "ERROR_SECOND_FACTOR_REQUIRED");
    const auto* resolver = error.userInfoValue(AuthErrors::userInfoMultiFactorResolverKey);
    REQUIRE(resolver);
    REQUIRE(resolver->find("hints"));
    CHECK(*resolver->find("hints") == platform::Value(platform::Array{enrollment.enrollmentID}));

    // Finishing with the TOTP code gives the tokens.
    auto pending = resolver->find("pendingCredential")->string();
    REQUIRE(pending);
    auto code = brisko::testing::IdentityService::totpCode(enrollment.secret, f.service.now());
    auto done = run(f.backend->callFinalizeMFASignIn(FinalizeMFASignInRequest(
        *pending, AuthProtoFinalizeMFATOTPSignInRequestInfo{enrollment.enrollmentID, code}, f.configuration)));
    CHECK(done.idToken);
    CHECK(done.refreshToken);

    SUBCASE("without a live identity client the reply is returned as it is") {
        auto orphan = AuthRequestConfiguration::make(f.service.apiKey(), "APP");
        orphan->setEmulatorHostAndPort(f.service.emulatorHostAndPort());
        auto reply = run(f.backend->callVerifyPassword(VerifyPasswordRequest("mfa@b.c", "secret1", orphan)));
        CHECK(reply.mfaPendingCredential);
        CHECK_FALSE(reply.idToken);
    }
    SUBCASE("entries without an enrollment ID or of an unknown kind are logged and skipped") {
        platform::LogCapture capture;
        f.service.injectFault("verifyPassword", Fault::ofBody(200, R"({"mfaPendingCredential":"pc","mfaInfo":[
            {"phoneInfo":"+1555","mfaEnrollmentId":"p1"},{"totpInfo":{}},{"displayName":"odd","mfaEnrollmentId":"x"},
            {"totpInfo":{},"phoneInfo":"+1","mfaEnrollmentId":"both"}]})"));
        auto skipped =
            failure(f.backend->callVerifyPassword(VerifyPasswordRequest("mfa@b.c", "secret1", f.configuration)));
        CHECK(skipped.code() == 17078);
        CHECK(*skipped.userInfoValue(AuthErrors::userInfoMultiFactorResolverKey)->find("hints") ==
              platform::Value(platform::Array{"p1", "both"}));
        core::UtilitiesLogger::waitUntilWritten();
        int lines = 0;
        for (const auto& m : capture.messages()) lines += m.find("I-AUT000021") != std::string::npos;
        CHECK(lines == 2);
    }
    SUBCASE("a factor list without a pending credential still fails, without a resolver") {
        f.service.injectFault("verifyPassword", Fault::ofBody(200, R"({"mfaInfo":[]})"));
        auto bare =
            failure(f.backend->callVerifyPassword(VerifyPasswordRequest("mfa@b.c", "secret1", f.configuration)));
        CHECK(bare.code() == 17078);
        CHECK_FALSE(bare.userInfoValue(AuthErrors::userInfoMultiFactorResolverKey));
    }
}

TEST_CASE("a verify-assertion reply with a status-200 error message") {
    ServiceFixture f;
    AuthBackend::setUpdatedCredentialBuilder([](const VerifyAssertionResponse& r) -> std::optional<platform::Value> {
        return platform::Value(r.oauthIDToken.value_or(""));
    });
    auto idToken = brisko::testing::IdentityService::unsignedJWT({{"sub", "ez-1"}, {"email", "ez@b.c"}});
    auto request = [&](bool returnIDPCredential) {
        VerifyAssertionRequest r("ezevar.com", f.configuration);
        r.providerIDToken = idToken;
        r.providerAccessToken = "access";
        r.returnIDPCredential = returnIDPCredential;
        return r;
    };
    f.service.injectFault(
        "verifyAssertion",
        Fault::ofBody(200,
                      R"({"errorMessage":"FEDERATED_USER_ID_ALREADY_LINKED","email":"ez@b.c","oauthIdToken":"tok"})"));
    auto error = failure(f.backend->callVerifyAssertion(request(true)));
    CHECK(error.code() == 17025);
    CHECK(*error.userInfoValue(AuthErrors::userInfoEmailKey) == platform::Value("ez@b.c"));
    CHECK(*error.userInfoValue(AuthErrors::userInfoUpdatedCredentialKey) == platform::Value("tok"));
    CHECK(run(f.backend->callVerifyAssertion(request(false))).email == "ez@b.c");

    f.service.clearFaults();
    f.service.injectFault("verifyAssertion", Fault::ofBody(200, R"({"errorMessage":"SOMETHING_ELSE","localId":"u"})"));
    CHECK(run(f.backend->callVerifyAssertion(request(true))).localID == "u");

    // The real exchange: an unsigned OpenID ID token becomes an account.
    f.service.clearFaults();
    auto signedIn = run(f.backend->callVerifyAssertion(request(true)));
    CHECK(signedIn.idToken);
    CHECK(signedIn.isNewUser);
    CHECK(signedIn.email == "ez@b.c");
    auto sent = f.service.requestsTo("verifyAssertion").back().json();
    CHECK(sent["returnIdpCredential"] == true);
    CHECK(sent["autoCreate"] == true);
    AuthBackend::setUpdatedCredentialBuilder(nullptr);
}

TEST_CASE("an account's life against the identity service") {
    ServiceFixture f;
    auto created = run(f.backend->callSignUpNewUser(
        SignUpNewUserRequest("life@b.c", "secret1", std::nullopt, std::nullopt, f.configuration)));
    REQUIRE(created.idToken);
    REQUIRE(created.refreshToken);
    REQUIRE(created.approximateExpirationDate);

    auto weak = failure(f.backend->callSignUpNewUser(
        SignUpNewUserRequest("weak@b.c", "123", std::nullopt, std::nullopt, f.configuration)));
    CHECK(weak.code() == 17026);
    CHECK(*weak.userInfoValue(platform::kLocalizedFailureReasonErrorKey) ==
          platform::Value("Password should be at least 6 characters"));
    CHECK(failure(f.backend->callVerifyPassword(VerifyPasswordRequest("life@b.c", "wrong!", f.configuration))).code() ==
          17009);
    CHECK(
        failure(f.backend->callVerifyPassword(VerifyPasswordRequest("none@b.c", "secret1", f.configuration))).code() ==
        17011);

    auto signedIn = run(f.backend->callVerifyPassword(VerifyPasswordRequest("life@b.c", "secret1", f.configuration)));
    auto refreshed =
        run(f.backend->callSecureToken(SecureTokenRequest::refreshRequest(*signedIn.refreshToken, f.configuration)));
    REQUIRE(refreshed.accessToken);
    CHECK_FALSE(refreshed.accessToken->empty());

    auto info = run(f.backend->callGetAccountInfo(GetAccountInfoRequest(*refreshed.accessToken, f.configuration)));
    CHECK(info.users->front().email == "life@b.c");
    CHECK(info.users->front().creationDate);

    SetAccountInfoRequest rename(*refreshed.accessToken, f.configuration);
    rename.displayName = "Life";
    CHECK(run(f.backend->callSetAccountInfo(rename)).displayName == "Life");

    // Out-of-band codes: a reset code is checked, then used.
    auto sent = run(f.backend->callGetOOBConfirmationCode(
        GetOOBConfirmationCodeRequest::forPasswordReset("life@b.c", std::nullopt, f.configuration)));
    REQUIRE(sent.OOBCode);
    CHECK(run(f.backend->callResetPassword(ResetPasswordRequest(*sent.OOBCode, std::nullopt, f.configuration))).email ==
          "life@b.c");
    run(f.backend->callResetPassword(ResetPasswordRequest(*sent.OOBCode, "secret2", f.configuration)));
    CHECK(
        failure(f.backend->callResetPassword(ResetPasswordRequest(*sent.OOBCode, "secret3", f.configuration))).code() ==
        17030);
    auto again = run(f.backend->callVerifyPassword(VerifyPasswordRequest("life@b.c", "secret2", f.configuration)));

    // A TOTP second factor is enrolled and withdrawn.
    auto uid = *info.users->front().localID;
    f.service.updateAccount(uid, [](auto& a) { a.emailVerified = true; });
    auto start = run(f.backend->callStartMFAEnrollment(
        StartMFAEnrollmentRequest(*again.idToken, AuthProtoStartMFATOTPEnrollmentRequestInfo{}, f.configuration)));
    REQUIRE(start.totpSessionInfo);
    CHECK(start.totpSessionInfo->verificationCodeLength == 6);
    CHECK(start.totpSessionInfo->periodSec == 30);
    auto code = brisko::testing::IdentityService::totpCode(start.totpSessionInfo->sharedSecretKey, f.service.now());
    auto wrong = failure(f.backend->callFinalizeMFAEnrollment(FinalizeMFAEnrollmentRequest(
        *again.idToken, "app",
        AuthProtoFinalizeMFATOTPEnrollmentRequestInfo{start.totpSessionInfo->sessionInfo, "000000x"},
        f.configuration)));
    CHECK(wrong.code() == 17044);
    auto enrolled = run(f.backend->callFinalizeMFAEnrollment(FinalizeMFAEnrollmentRequest(
        *again.idToken, "app", AuthProtoFinalizeMFATOTPEnrollmentRequestInfo{start.totpSessionInfo->sessionInfo, code},
        f.configuration)));
    REQUIRE(enrolled.idToken);
    auto withEnrollment = run(f.backend->callGetAccountInfo(GetAccountInfoRequest(*enrolled.idToken, f.configuration)));
    REQUIRE(withEnrollment.users->front().mfaEnrollments);
    auto enrollmentID = *withEnrollment.users->front().mfaEnrollments->front().mfaEnrollmentID;
    auto withdrawn =
        run(f.backend->callWithdrawMFA(WithdrawMFARequest(*enrolled.idToken, enrollmentID, f.configuration)));
    CHECK(withdrawn.idToken);

    // Revocation makes the refresh token fail with an expired-token error; deletion removes the account.
    f.service.revokeTokens(uid);
    CHECK(failure(f.backend->callSecureToken(SecureTokenRequest::refreshRequest(*again.refreshToken, f.configuration)))
              .code() == 17021);
    auto fresh = f.service.mintIDToken(uid);
    run(f.backend->callDeleteAccount(DeleteAccountRequest(uid, fresh, f.configuration)));
    CHECK(failure(f.backend->callGetAccountInfo(GetAccountInfoRequest(fresh, f.configuration))).code() == 17011);
    CHECK(f.service.accountCount() == 0);

    // A wrong API key is reported through the service's "errors" list.
    auto wrongKey = AuthRequestConfiguration::make("wrong", "APP");
    wrongKey->setEmulatorHostAndPort(f.service.emulatorHostAndPort());
    CHECK(failure(f.backend->callSignUpNewUser(SignUpNewUserRequest(wrongKey))).code() == 17023);
}

TEST_CASE("an identity client changing its language and emulator while calls run") {
    ServiceFixture f;
    constexpr int kCalls = 40;
    std::atomic<bool> done{false};
    f.configuration->setLanguageCode("en");
    std::thread changer([&] {
        bool flip = false;
        while (!done.load()) {
            f.configuration->setLanguageCode(flip ? "ja" : "en");
            f.configuration->setAdditionalFrameworkMarker(flip ? "A" : "B");
            f.configuration->setEmulatorHostAndPort(f.service.emulatorHostAndPort());
            flip = !flip;
            std::this_thread::yield();
        }
    });
    auto calls = [&]() -> platform::Task<int> {
        int ok = 0;
        for (int i = 0; i < kCalls; ++i) {
            auto r = co_await f.backend->callCreateAuthURI(
                CreateAuthURIRequest("a@b.c", "http://localhost", f.configuration));
            ok += r.signinMethods.empty();
        }
        co_return ok;
    };
    CHECK(run(calls()) == kCalls);
    done = true;
    changer.join();
    for (const auto& r : f.service.requestsTo("createAuthUri")) {
        auto locale = r.header("X-Zudiridi-Locale");
        CHECK((locale == "ja" || locale == "en"));
    }
}

TEST_CASE("the address and the fetcher's local-host permission come from one snapshot of the configuration") {
    auto issuer = std::make_shared<AuthBackendRPCIssuer>();
    AuthBackend backend(issuer);
    auto configuration = AuthRequestConfiguration::make("KEY", "APP");
    std::atomic<int> inconsistent{0}, local{0}, remote{0};
    issuer->fetcherService()->setTestBlock([&](std::shared_ptr<fetcher::SessionFetcher> fetcher,
                                               fetcher::SessionFetcher::TestResponse respond) {
        auto url = *fetcher->request()->url();
        const bool http = url.scheme() == "http";
        const bool allowed =
            fetcher->allowLocalhostRequest() && fetcher->allowedInsecureSchemes() == std::vector<std::string>{"http"};
        const bool permitted = fetcher->allowLocalhostRequest() || !fetcher->allowedInsecureSchemes().empty();
        if (http != allowed || (!http && permitted)) ++inconsistent;
        ++(http ? local : remote);
        respond(std::make_shared<platform::HTTPURLResponse>(url, 200, "HTTP/1.1", platform::HTTPHeaders{}),
                platform::toData(R"({"signinMethods":[]})"), std::nullopt);
    });
    std::atomic<bool> done{false};
    std::thread changer([&] {
        bool flip = false;
        while (!done.load()) {
            configuration->setEmulatorHostAndPort(flip ? std::optional<std::string>("127.0.0.1:9") : std::nullopt);
            flip = !flip;
            std::this_thread::yield();
        }
    });
    auto calls = [&]() -> platform::Task<void> {
        for (int i = 0; i < 60; ++i) {
            co_await backend.callCreateAuthURI(CreateAuthURIRequest("a@b.c", "http://localhost", configuration));
        }
    };
    run(calls());
    done = true;
    changer.join();
    CHECK(inconsistent == 0);
    CHECK(local + remote == 60);
}

TEST_CASE("records without a body are sent with GET through the generic call") {
    ServiceFixture f;
    f.client->tenant = "T1";
    auto project = run(f.backend->call(GetProjectConfigRequest(f.configuration)));
    CHECK(project.projectID == "brisko-local");
    REQUIRE(project.authorizedDomains);
    auto recaptcha = run(f.backend->call(GetRecaptchaConfigRequest(f.configuration)));
    CHECK(recaptcha.recaptchaKey);
    auto sent = f.service.requestsTo("recaptchaConfig").at(0);
    CHECK(sent.method == "GET");
    CHECK(sent.body.empty());
    CHECK(sent.query ==
          "key=" + f.service.apiKey() + "&clientType=CLIENT_TYPE_IOS&version=RECAPTCHA_ENTERPRISE&tenantId=T1");
    CHECK(f.service.requestsTo("getProjectConfig").at(0).method == "GET");
}
