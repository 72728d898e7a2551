// Second factors against the local identity service: TOTP enrolment, second-factor sign-in through
// the resolver, withdrawal, and what each failure leaves behind.
#include <doctest/doctest.h>

#include "auth/AuthDataResult.hpp"
#include "auth/User.hpp"
#include "auth/backend/AuthErrorCode.hpp"
#include "auth/providers/MultiFactor.hpp"
#include "auth/providers/MultiFactorResolver.hpp"
#include "auth/providers/PhoneMultiFactorGenerator.hpp"
#include "auth/providers/PhoneMultiFactorInfo.hpp"
#include "auth/providers/TOTPMultiFactorGenerator.hpp"
#include "auth/providers/TOTPMultiFactorInfo.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/net/URL.hpp"
#include "tests/auth/providers/FatalCheck.hpp"
#include "tests/auth/providers/IdentityTestSupport.hpp"

using namespace brisko;
using namespace brisko::auth;
using namespace brisko::auth::test;
using Fault = testing::IdentityService::Fault;

namespace {

constexpr const char* kEmail = "ada@example.com";
constexpr const char* kPassword = "correct horse";

struct EnrolledAccount {
    std::string uid;
    std::string secretKey;
    std::string enrollmentID;
};

// Signs in with the password and enrols a TOTP factor through the user's multi-factor object.
EnrolledAccount enrolTOTP(AuthFixture& f) {
    EnrolledAccount account;
    account.uid = createVerifiedAccount(f, kEmail, kPassword);
    auto user = run(f.auth->signIn(kEmail, kPassword))->user();
    auto session = run(user->multiFactor()->session());
    REQUIRE(session->currentUser() == user);
    REQUIRE(session->idToken());
    auto secret = run(TOTPMultiFactorGenerator::generateSecret(session));
    REQUIRE(secret);
    account.secretKey = secret->sharedSecretKey();
    const auto code = testing::IdentityService::totpCode(secret->sharedSecretKey(), f.service.now());
    run(user->multiFactor()->enroll(TOTPMultiFactorGenerator::assertionForEnrollment(secret, code), "Authenticator"));
    account.enrollmentID = f.service.account(account.uid)->mfa.at(0).enrollmentID;
    return account;
}

std::shared_ptr<MultiFactorResolver> secondFactorChallenge(AuthFixture& f) {
    auto error = failure(f.auth->signIn(kEmail, kPassword));
    REQUIRE(error);
    REQUIRE(error->code() == rawValue(AuthErrorCode::secondFactorRequired));
    const auto* value = error->userInfoValue(AuthErrors::userInfoMultiFactorResolverKey);
    REQUIRE(value);
    auto resolver = value->object<MultiFactorResolver>();
    REQUIRE(resolver);
    return resolver;
}

}  // namespace

TEST_CASE("a TOTP factor is enrolled, signed in with through the resolver, and withdrawn") {
    AuthFixture f;
    const auto account = enrolTOTP(f);

    // Enrolment signs in again: the current user is a new object that lists the factor.
    auto current = f.auth->currentUser();
    REQUIRE(current);
    CHECK(current->uid() == account.uid);
    auto factors = current->multiFactor()->enrolledFactors();
    REQUIRE(factors.size() == 1);
    auto enrolled = std::dynamic_pointer_cast<TOTPMultiFactorInfo>(factors[0]);
    REQUIRE(enrolled);
    CHECK(enrolled->UID() == account.enrollmentID);
    CHECK(enrolled->displayName() == "Authenticator");

    f.auth->signOut();
    auto resolver = secondFactorChallenge(f);
    REQUIRE(resolver->hints().size() == 1);
    const auto hint = resolver->hints()[0];
    CHECK(hint->factorID() == "totp");
    CHECK(hint->UID() == account.enrollmentID);
    CHECK_FALSE(resolver->session()->idToken());

    SUBCASE("a wrong code is refused and nobody is signed in") {
        auto error =
            failure(resolver->resolveSignIn(TOTPMultiFactorGenerator::assertionForSignIn(hint->UID(), "000000")));
        REQUIRE(error);
        CHECK(error->domain() == "ZIRAuthErrorDomain");
        CHECK(error->code() == rawValue(AuthErrorCode::invalidVerificationCode));
        CHECK_FALSE(f.auth->currentUser());
    }

    const auto code = testing::IdentityService::totpCode(account.secretKey, f.service.now());
    auto result = run(resolver->resolveSignIn(TOTPMultiFactorGenerator::assertionForSignIn(hint->UID(), code)));
    REQUIRE(result);
    REQUIRE(result->user());
    CHECK(result->user()->uid() == account.uid);
    CHECK_FALSE(result->additionalUserInfo());
    CHECK_FALSE(result->credential());
    CHECK(f.auth->currentUser() == result->user());
    // Every try of one resolver sends the same pending credential.
    const auto finalizes = f.service.requestsTo("accounts/mfaSignIn:finalize");
    REQUIRE_FALSE(finalizes.empty());
    CHECK(finalizes.back().json()["mfaPendingCredential"] == resolver->mfaPendingCredential());
    CHECK(finalizes.front().json()["mfaPendingCredential"] == resolver->mfaPendingCredential());

    run(result->user()->multiFactor()->unenroll(hint));
    CHECK(f.service.account(account.uid)->mfa.empty());
    REQUIRE(f.auth->currentUser());
    CHECK(f.auth->currentUser()->multiFactor()->enrolledFactors().empty());
    // With no factor left, the password alone signs in.
    f.auth->signOut();
    CHECK(run(f.auth->signIn(kEmail, kPassword))->user()->uid() == account.uid);
}

TEST_CASE("a wrong enrolment code fails on the main queue and keeps the user as it was") {
    AuthFixture f;
    createVerifiedAccount(f, kEmail, kPassword);
    auto user = run(f.auth->signIn(kEmail, kPassword))->user();
    auto secret = run(TOTPMultiFactorGenerator::generateSecret(run(user->multiFactor()->session())));
    CHECK(secret->codeLength() == 6);
    CHECK(secret->codeIntervalSeconds() == 30);
    CHECK(secret->hashingAlgorithm());
    CHECK(secret->sessionInfo());
    const auto url = platform::URL::parse(secret->generateQRCodeURL(kEmail, "Brisko Desktop"));
    REQUIRE(url);
    CHECK(url->queryValue("secret") == secret->sharedSecretKey());

    int calls = 0;
    bool onMain = false;
    platform::OptionalError error;
    user->multiFactor()->enroll(TOTPMultiFactorGenerator::assertionForEnrollment(secret, "000000"), std::nullopt,
                                [&](platform::OptionalError e) {
                                    ++calls;
                                    onMain = platform::isMainThread();
                                    error = std::move(e);
                                });
    REQUIRE(waitOnMain([&] { return calls > 0; }));
    f.settle();
    CHECK(calls == 1);
    CHECK(onMain);
    REQUIRE(error);
    CHECK(error->code() == rawValue(AuthErrorCode::invalidVerificationCode));
    CHECK(f.auth->currentUser() == user);
    // No display name was given: none is sent.
    CHECK_FALSE(f.service.requestsTo("accounts/mfaEnrollment:finalize").back().json().contains("displayName"));
}

TEST_CASE("a withdrawal whose re-sign-in fails signs the user out and reports the failure") {
    AuthFixture f;
    const auto account = enrolTOTP(f);
    auto user = f.auth->currentUser();
    f.service.injectFault("getAccountInfo", Fault::ofServerError("INTERNAL_ERROR", 500));
    int calls = 0;
    bool onMain = false;
    platform::OptionalError error;
    user->multiFactor()->unenroll(account.enrollmentID, [&](platform::OptionalError e) {
        ++calls;
        onMain = platform::isMainThread();
        error = std::move(e);
    });
    REQUIRE(waitOnMain([&] { return calls > 0; }));
    f.service.clearFaults();
    f.settle();
    CHECK(calls == 1);
    CHECK(onMain);
    CHECK(error);
    CHECK_FALSE(f.auth->currentUser());
}

TEST_CASE("the service's refusal of a withdrawal reaches the caller once and keeps the user") {
    AuthFixture f;
    enrolTOTP(f);
    auto user = f.auth->currentUser();
    auto error = failure(user->multiFactor()->unenroll(std::string("no-such-factor")));
    REQUIRE(error);
    CHECK(error->domain() == "ZIRAuthErrorDomain");
    CHECK(f.auth->currentUser() == user);
}

TEST_CASE("an enrolment assertion that can't be sent stops before anything is sent" *
          doctest::test_suite("stops the process")) {
    AuthFixture f;
    createVerifiedAccount(f, kEmail, kPassword);
    auto user = run(f.auth->signIn(kEmail, kPassword))->user();
    auto multiFactor = user->multiFactor();
    auto secret = std::make_shared<TOTPSecret>(TOTPSecret::Fields{"KEY", "SHA1", 6, 30, std::nullopt, "s"});
    auto enrolmentAsPhone = TOTPMultiFactorGenerator::assertionForEnrollment(secret, "1");
    enrolmentAsPhone->setFactorID("phone");
    auto phoneAsTOTP = PhoneMultiFactorGenerator::assertion(
        std::make_shared<PhoneAuthCredential>(PhoneAuthCredential::Verification{"vid", "123456"}));
    phoneAsTOTP->setFactorID("totp");
    const std::pair<std::shared_ptr<const MultiFactorAssertion>, const char*> cases[] = {
        {TOTPMultiFactorGenerator::assertionForSignIn("t1", "1"), "Missing secret in totpAssertion"},
        {enrolmentAsPhone, "Internal Error: Missing credential"},
        {phoneAsTOTP, "Auth Internal Error: Failed to find TOTPMultiFactorAssertion"},
        {PhoneMultiFactorGenerator::assertion(
             std::make_shared<PhoneAuthCredential>(PhoneAuthCredential::PhoneNumber{"+1", "proof"})),
         "Internal Error: Missing verificationCode"},
    };
    f.service.clearRequests();
    for (const auto& [assertion, message] : cases) {
        CAPTURE(std::string(message));
        auto output = stopsWith([&] { multiFactor->enroll(assertion, std::nullopt, nullptr); });
        REQUIRE(output);
        CHECK(output->find(message) != std::string::npos);
    }
    CHECK(f.service.requests().empty());
}

TEST_CASE("a session without a user and without a signed-in default client is a programming error" *
          doctest::test_suite("stops the process")) {
    auto output = stopsWith([] { MultiFactorSession::session(nullptr); });
    REQUIRE(output);
    CHECK(output->find("Internal Auth Error: missing user for multifactor auth") != std::string::npos);
}

TEST_CASE("a service that answers the secret or enrolment requests badly gives errors, never a secret or a new user") {
    AuthFixture f;
    createVerifiedAccount(f, kEmail, kPassword);
    auto user = run(f.auth->signIn(kEmail, kPassword))->user();
    auto session = run(user->multiFactor()->session());
    const std::string start = "accounts/mfaEnrollment:start";

    SUBCASE("a start reply with a phone session only") {
        f.service.injectFault(start, Fault::ofBody(200, R"({"phoneSessionInfo":{"sessionInfo":"s"}})"));
        auto error = failure(TOTPMultiFactorGenerator::generateSecret(session));
        REQUIRE(error);
        CHECK(error->code() == 17999);
        CHECK(error->localizedDescription() == "Error generating TOTP secret.");
    }
    SUBCASE("replies that are not what a start reply is") {
        for (auto fault : {Fault::ofKind(Fault::Kind::notJSON), Fault::ofKind(Fault::Kind::emptyArray),
                           Fault::ofBody(200, R"({"totpSessionInfo":{"sharedSecretKey":5}})"),
                           Fault::ofBody(200, "{\"totpSessionInfo\":" + std::string(100000, '[')),
                           Fault::ofKind(Fault::Kind::closeConnection)}) {
            f.service.injectFault(start, fault);
            CHECK(failure(TOTPMultiFactorGenerator::generateSecret(session)));
            f.service.clearFaults();
        }
    }
    SUBCASE("a finalize reply without tokens keeps the current user") {
        auto secret = run(TOTPMultiFactorGenerator::generateSecret(session));
        f.service.injectFault("accounts/mfaEnrollment:finalize", Fault::ofBody(200, "{}"));
        const auto code = testing::IdentityService::totpCode(secret->sharedSecretKey(), f.service.now());
        auto error = failure(
            user->multiFactor()->enroll(TOTPMultiFactorGenerator::assertionForEnrollment(secret, code), std::nullopt));
        REQUIRE(error);
        CHECK(error->code() == rawValue(AuthErrorCode::invalidUserToken));
        CHECK(f.auth->currentUser() == user);
    }
}

TEST_CASE("a second-factor challenge with damaged enrolment records gives a resolver of the sound ones") {
    AuthFixture f;
    createVerifiedAccount(f, kEmail, kPassword);
    f.service.injectFault("verifyPassword", Fault::ofBody(200, R"({
        "localId": "u1", "mfaPendingCredential": "pending-1",
        "mfaInfo": [
            {"totpInfo": {}, "displayName": "no id"},
            {"mfaEnrollmentId": "e-1"},
            {"mfaEnrollmentId": "e-2", "totpInfo": {}, "displayName": "Authenticator", "enrolledAt": "2024-01-02T03:04:05Z"},
            {"mfaEnrollmentId": "e-3", "phoneInfo": "+15550100"}
        ]})"));
    auto resolver = secondFactorChallenge(f);
    CHECK(resolver->mfaPendingCredential() == "pending-1");
    REQUIRE(resolver->hints().size() == 2);
    CHECK(resolver->hints()[0]->UID() == "e-2");
    CHECK(resolver->hints()[0]->displayName() == "Authenticator");
    auto phone = std::dynamic_pointer_cast<PhoneMultiFactorInfo>(resolver->hints()[1]);
    REQUIRE(phone);
    CHECK(phone->phoneNumber() == "+15550100");
    CHECK(resolver->auth() == f.auth);
}
