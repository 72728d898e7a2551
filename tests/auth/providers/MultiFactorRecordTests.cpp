// Multi-factor records: enrolled factors from server records, their archives, assertions, sessions, and
// what an object without its user does.
#include <doctest/doctest.h>

#include <chrono>

#include "auth/backend/AuthErrorCode.hpp"
#include "auth/backend/AuthProtoMFAEnrollment.hpp"
#include "auth/providers/MultiFactor.hpp"
#include "auth/providers/MultiFactorResolver.hpp"
#include "auth/providers/PhoneMultiFactorGenerator.hpp"
#include "auth/providers/PhoneMultiFactorInfo.hpp"
#include "auth/providers/TOTPMultiFactorGenerator.hpp"
#include "auth/providers/TOTPMultiFactorInfo.hpp"
#include "platform/base/Dispatch.hpp"
#include "tests/auth/providers/ArchiveFixtures.hpp"
#include "tests/auth/providers/FatalCheck.hpp"

using namespace brisko;
using namespace brisko::auth;
using namespace brisko::auth::test;
using platform::Value;

namespace {

AuthProtoMFAEnrollment record(std::optional<std::string> id, std::optional<std::string> phone,
                              std::optional<std::string> totp, std::optional<platform::Date> at = std::nullopt) {
    AuthProtoMFAEnrollment r;
    r.mfaEnrollmentID = std::move(id);
    r.phoneInfo = std::move(phone);
    r.totpInfo = std::move(totp);
    r.displayName = "name";
    r.enrolledAt = at;
    return r;
}

const platform::Date kEnrolled = platform::Date(std::chrono::seconds(1'700'000'000));

}  // namespace

TEST_CASE("server records become phone and TOTP factors; records without an ID or a kind are skipped") {
    const auto before = std::chrono::system_clock::now();
    MultiFactor multiFactor({
        record("p1", "+15550100", std::nullopt, kEnrolled),
        record(std::nullopt, "+15550101", std::nullopt),  // no enrolment ID: skipped, the process goes on
        record("x1", std::nullopt, std::nullopt),         // neither kind
        record("t1", std::nullopt, ""), record(std::nullopt, std::nullopt, ""),
        record("b1", "+15550102", ""),  // both: a phone factor
    });
    const auto factors = multiFactor.enrolledFactors();
    REQUIRE(factors.size() == 3);
    auto phone = std::dynamic_pointer_cast<PhoneMultiFactorInfo>(factors[0]);
    REQUIRE(phone);
    CHECK(phone->UID() == "p1");
    CHECK(phone->factorID() == "phone");
    CHECK(phone->phoneNumber() == "+15550100");
    CHECK(phone->enrollmentDate() == kEnrolled);
    auto totp = std::dynamic_pointer_cast<TOTPMultiFactorInfo>(factors[1]);
    REQUIRE(totp);
    CHECK(totp->factorID() == "totp");
    CHECK(totp->displayName() == "name");
    CHECK(totp->enrollmentDate() >= before);  // no date in the record: the moment of creation
    CHECK(std::dynamic_pointer_cast<PhoneMultiFactorInfo>(factors[2]));
    CHECK_FALSE(PhoneMultiFactorInfo::fromEnrollment(record("p2", std::nullopt, std::nullopt)));
    CHECK(MultiFactor(std::vector<AuthProtoMFAEnrollment>{}).enrolledFactors().empty());
}

TEST_CASE("enrolled factors and the multi-factor list come back from their archives") {
    auto phone =
        std::make_shared<PhoneMultiFactorInfo>(MultiFactorInfo::Fields{"p1", "Work", kEnrolled, "phone"}, "+1");
    auto totp = std::make_shared<TOTPMultiFactorInfo>(MultiFactorInfo::Fields{"t1", std::nullopt, kEnrolled, "totp"});

    auto decodedPhone = roundTrip(phone);
    REQUIRE(decodedPhone);
    CHECK(decodedPhone->phoneNumber() == "+1");
    CHECK(decodedPhone->displayName() == "Work");
    CHECK(decodedPhone->enrollmentDate() == kEnrolled);

    const auto totpData = archive(totp);
    platform::KeyedUnarchiver reader(totpData);
    CHECK(reader.classNameForKey(platform::kKeyedArchiveRootObjectKey) == "ZudiridiRozu.TOTPMultiFactorInfo");
    auto decodedTOTP = unarchive<TOTPMultiFactorInfo>(totpData);
    REQUIRE(decodedTOTP);
    CHECK(decodedTOTP->UID() == "t1");
    CHECK_FALSE(decodedTOTP->displayName());

    auto multiFactor = std::make_shared<MultiFactor>();
    multiFactor->setEnrolledFactors({phone, totp});
    auto decoded = roundTrip(multiFactor);
    REQUIRE(decoded);
    const auto factors = decoded->enrolledFactors();
    REQUIRE(factors.size() == 2);
    CHECK(std::dynamic_pointer_cast<PhoneMultiFactorInfo>(factors[0]));
    CHECK(std::dynamic_pointer_cast<TOTPMultiFactorInfo>(factors[1]));
    CHECK_FALSE(decoded->user());
}

TEST_CASE("archives missing what a factor needs decode to nothing") {
    const platform::Dictionary full = {
        {"uid", Value("u")}, {"factorID", Value("totp")}, {"enrollmentDate", Value(kEnrolled)}};
    for (const char* missing : {"uid", "factorID", "enrollmentDate"}) {
        CAPTURE(std::string(missing));
        auto entries = full;
        entries.erase(missing);
        CHECK(decodesToNothing<TOTPMultiFactorInfo>(rawArchive(TOTPMultiFactorInfo::kArchiveClassName, entries)));
    }
    CHECK(decodesToNothing<PhoneMultiFactorInfo>(rawArchive(PhoneMultiFactorInfo::kArchiveClassName, full)));
    auto wrongDate = full;
    wrongDate["enrollmentDate"] = Value("yesterday");
    CHECK(decodesToNothing<MultiFactorInfo>(rawArchive(MultiFactorInfo::kArchiveClassName, wrongDate)));

    auto empty = unarchive<MultiFactor>(rawArchive(MultiFactor::kArchiveClassName, {}));
    REQUIRE(empty);
    CHECK(empty->enrolledFactors().empty());
    auto notAList =
        unarchive<MultiFactor>(rawArchive(MultiFactor::kArchiveClassName, {{"enrolledFactors", Value("x")}}));
    CHECK((!notAList || notAList->enrolledFactors().empty()));
}

TEST_CASE("assertions carry their factor and proof") {
    auto credential = std::make_shared<PhoneAuthCredential>(PhoneAuthCredential::Verification{"vid", "123456"});
    auto phone = PhoneMultiFactorGenerator::assertion(credential);
    CHECK(phone->factorID() == "phone");
    CHECK(phone->authCredential() == credential);

    auto secret = std::make_shared<TOTPSecret>(TOTPSecret::Fields{"KEY", "SHA1", 6, 30, std::nullopt, "s"});
    auto enrol = TOTPMultiFactorGenerator::assertionForEnrollment(secret, "111111");
    auto signIn = TOTPMultiFactorGenerator::assertionForSignIn("t1", "222222");
    CHECK(enrol->factorID() == "totp");
    CHECK(signIn->factorID() == "totp");
    CHECK(enrol->secret() == secret.get());
    CHECK_FALSE(enrol->enrollmentID());
    CHECK(*signIn->enrollmentID() == "t1");
    CHECK_FALSE(signIn->secret());
}

TEST_CASE("a multi-factor object whose user is gone completes once with an error, never for another user") {
    auto multiFactor = std::make_shared<MultiFactor>();
    SUBCASE("a session") {
        int calls = 0;
        multiFactor->getSessionWithCompletion([&](auto session, auto error) {
            ++calls;
            CHECK_FALSE(session);
            REQUIRE(error);
            CHECK(error->code() == rawValue(AuthErrorCode::nullUser));
        });
        CHECK(calls == 1);
        CHECK_THROWS_AS(platform::runOnMainLoop(multiFactor->session()), platform::ErrorException);
    }
    SUBCASE("enrolment and withdrawal, on the main queue") {
        auto assertion = TOTPMultiFactorGenerator::assertionForSignIn("t1", "000000");
        std::vector<std::int64_t> codes;
        multiFactor->enroll(assertion, std::nullopt, [&](auto error) { codes.push_back(error ? error->code() : 0); });
        multiFactor->unenroll("t1", [&](auto error) { codes.push_back(error ? error->code() : 0); });
        CHECK(codes.empty());  // not before returning
        CHECK(platform::MainLoop::runUntil([&] { return codes.size() == 2; }));
        platform::MainLoop::drain();
        CHECK(codes == std::vector<std::int64_t>{17067, 17067});
        CHECK_THROWS_AS(platform::runOnMainLoop(multiFactor->unenroll(std::string("t1"))), platform::ErrorException);
    }
    SUBCASE("an assertion of an unknown kind is answered, not left waiting") {
        auto assertion = TOTPMultiFactorGenerator::assertionForSignIn("t1", "000000");
        assertion->setFactorID("sms");
        try {
            platform::runOnMainLoop(multiFactor->enroll(assertion, "x"));
            FAIL("an unknown factor must fail");
        } catch (const platform::ErrorException& e) {
            CHECK(e.error().code() == rawValue(AuthErrorCode::internalError));
            CHECK(e.error().localizedDescription() == "Internal Error: Unsupported assertion with factor ID: sms.");
        }
    }
}

TEST_CASE("a resolver's session holds only the pending credential and can't make a TOTP secret") {
    MultiFactorResolver resolver("pending", {}, nullptr);
    CHECK(resolver.session()->mfaPendingCredential() == "pending");
    CHECK_FALSE(resolver.session()->idToken());
    CHECK_FALSE(resolver.session()->currentUser());

    int calls = 0;
    TOTPMultiFactorGenerator::generateSecret(resolver.session(), [&](auto secret, auto error) {
        ++calls;
        CHECK_FALSE(secret);
        REQUIRE(error);
        CHECK(error->code() == 17999);
        CHECK(error->localizedDescription() == "Invalid ID token.");
    });
    CHECK(calls == 1);
}

TEST_CASE("a resolver refuses assertions it can't send before sending anything" *
          doctest::test_suite("stops the process")) {
    auto resolver =
        std::make_shared<MultiFactorResolver>("pending", std::vector<std::shared_ptr<MultiFactorInfo>>{}, nullptr);
    auto secret = std::make_shared<TOTPSecret>(TOTPSecret::Fields{"KEY", "SHA1", 6, 30, std::nullopt, "s"});
    const std::pair<std::shared_ptr<const MultiFactorAssertion>, const char*> cases[] = {
        {TOTPMultiFactorGenerator::assertionForEnrollment(secret, "1"), "Missing enrollmentID in totpAssertion"},
        {PhoneMultiFactorGenerator::assertion(nullptr), "Internal Error: Missing credential"},
        {PhoneMultiFactorGenerator::assertion(
             std::make_shared<PhoneAuthCredential>(PhoneAuthCredential::PhoneNumber{"+1", "p"})),
         "Internal Error: Missing verificationCode"},
    };
    for (const auto& [assertion, message] : cases) {
        CAPTURE(std::string(message));
        auto output = stopsWith([&] { resolver->resolveSignIn(assertion, nullptr); });
        REQUIRE(output);
        CHECK(output->find(message) != std::string::npos);
    }
}
