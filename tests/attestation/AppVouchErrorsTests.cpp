// The attestation errors and log lines.
#include "attestation/AppVouchErrors.hpp"

#include <doctest/doctest.h>

#include "core/KeychainUtils.hpp"
#include "platform/base/Log.hpp"
#include "platform/net/URL.hpp"

using namespace brisko::attestation;
using brisko::platform::Dictionary;
using brisko::platform::LogCapture;

TEST_CASE("the error factories give their codes, failure reasons and underlying errors") {
    const Error cause("cause.domain", 9,
                      Dictionary{{std::string(brisko::platform::kLocalizedFailureReasonErrorKey), "why"}});
    struct Row {
        Error error;
        std::int64_t code;
        std::string reason;
        bool hasUnderlying;
    };
    const Row rows[] = {
        {AppVouchErrorUtil::cachedTokenNotFound(), 0, "Cached token not found.", false},
        {AppVouchErrorUtil::cachedTokenExpired(), 0, "Cached token expired.", false},
        {AppVouchErrorUtil::APIErrorWithNetworkError(cause), 1, "API request error.", true},
        {AppVouchErrorUtil::appVouchTokenResponseErrorWithMissingField("ttl"), 0,
         "Unexpected app check token response format. Field `ttl` is missing.", false},
        {AppVouchErrorUtil::appAttestAttestationResponseErrorWithMissingField("artifact"), 0,
         "Unexpected attestation response format. Field `artifact` is missing.", false},
        {AppVouchErrorUtil::JSONSerializationError(std::nullopt), 0, "JSON serialization error.", false},
        {AppVouchErrorUtil::unsupportedAttestationProvider("DeviceCheckProvider"), 4,
         "The attestation provider DeviceCheckProvider is not supported on current platform and OS version.", false},
        {AppVouchErrorUtil::appAttestKeyIDNotFound(), 0, "App attest key ID not found.", false},
        {AppVouchErrorUtil::unknownErrorWithError(cause), 0, "why", true},
    };
    for (const auto& row : rows) {
        CAPTURE(row.reason);
        CHECK(row.error.domain() == "com.ezevar.app_vouch_core");
        CHECK(row.error.code() == row.code);
        CHECK(row.error.localizedFailureReason() == row.reason);
        CHECK((row.error.underlyingError() != nullptr) == row.hasUnderlying);
    }
}

TEST_CASE("keychain errors: code 3 for the keychain storage's domain, unknown for others") {
    const Error keychain(std::string(brisko::core::kKeychainUtilsErrorDomain), -25300);
    auto mapped = AppVouchErrorUtil::keychainErrorWithError(keychain);
    CHECK(mapped.code() == 3);
    CHECK(mapped.localizedFailureReason() == "Keychain access error.");
    CHECK(*mapped.underlyingError() == keychain);

    const Error other("other", 1,
                      Dictionary{{std::string(brisko::platform::kLocalizedFailureReasonErrorKey), "own reason"}});
    auto wrapped = AppVouchErrorUtil::keychainErrorWithError(other);
    CHECK(wrapped.code() == 0);
    CHECK(wrapped.localizedFailureReason() == "own reason");

    auto own = AppVouchErrorUtil::cachedTokenExpired();
    CHECK(AppVouchErrorUtil::publicDomainErrorWithError(own) == own);
    CHECK(AppVouchErrorUtil::publicDomainErrorWithError(other).domain() == "com.ezevar.app_vouch_core");
}

TEST_CASE("DeviceCheck errors are described by their code, others by domain and code") {
    auto dc = [](std::int64_t code) { return Error(std::string(kDeviceCheckErrorDomain), code); };
    CHECK(AppVouchErrorUtil::errorDescriptionWithDeviceCheckError(dc(3)) ==
          "DCErrorInvalidKey - An error caused by a failed attempt to use the App Attest key");
    CHECK(AppVouchErrorUtil::errorDescriptionWithDeviceCheckError(dc(2)).find("isn\u2019t") != std::string::npos);
    CHECK(AppVouchErrorUtil::errorDescriptionWithDeviceCheckError(dc(7)).rfind("Unknown DCError(7) - ", 0) == 0);
    CHECK(AppVouchErrorUtil::errorDescriptionWithDeviceCheckError(dc(-1)).rfind("Unknown DCError(-1) - ", 0) == 0);
    CHECK(AppVouchErrorUtil::errorDescriptionWithDeviceCheckError(Error("x", 5))
              .rfind("Unknown Error { domain: x, code: 5 } - ", 0) == 0);

    auto attest = AppVouchErrorUtil::appAttestAttestKeyFailedWithError(dc(3), "k\xF0\x9F\x94\x91y",
                                                                       brisko::platform::Data(32, 0));
    CHECK(attest.localizedFailureReason()->find(
              "keyId.length = 4, clientDataHash = AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=") != std::string::npos);
    CHECK(attest.localizedFailureReason()->ends_with(
        "; DCErrorInvalidKey - An error caused by a failed attempt to use the App Attest key."));
}

TEST_CASE("the HTTP error keeps its response and body and reads back from the error value") {
    auto url = *brisko::platform::URL::parse("http://127.0.0.1/v1/x");
    auto response = std::make_shared<const brisko::platform::HTTPURLResponse>(url, 503, "HTTP/1.1",
                                                                              brisko::platform::HTTPHeaders{});
    auto error = AppVouchErrorUtil::APIErrorWithHTTPResponse(response, brisko::platform::toData("busy"));
    CHECK(error.code() == 0);
    CHECK(error.localizedFailureReason() == "The server responded with an error: \n - URL: http://127.0.0.1/v1/x \n - "
                                            "HTTP status code: 503 \n - Response body: busy");
    auto back = AppVouchHTTPError::from(error);
    REQUIRE(back);
    CHECK(back->HTTPResponse()->statusCode() == 503);
    CHECK(*back->data() == brisko::platform::toData("busy"));
    CHECK_FALSE(AppVouchHTTPError::from(AppVouchErrorUtil::cachedTokenExpired()));

    auto binary = AppVouchErrorUtil::APIErrorWithHTTPResponse(response, brisko::platform::Data{0xff, 0xfe});
    CHECK(binary.localizedFailureReason()->ends_with("Response body: (null)"));

    auto rejection = AppAttestRejectionError::make(error);
    CHECK(AppAttestRejectionError::is(rejection));
    CHECK_FALSE(AppAttestRejectionError::is(error));
    CHECK(*AppAttestRejectionError::underlyingError(rejection) == error);
}

TEST_CASE("log lines carry the level word and the coded message, Warning and above by default") {
    LogCapture capture;
    CHECK(AppVouchLogger::logLevel() == 3);
    appVouchLog(3001, AppVouchLogLevel::debug, "hidden");
    appVouchLog(4001, AppVouchLogLevel::warning, "shown");
    appVouchLog(9, AppVouchLogLevel::fault, "fault");
    AppVouchLogger::setLogLevel(1);
    appVouchLog(3001, AppVouchLogLevel::debug, "now shown");
    AppVouchLogger::setLogLevel(3);
    auto lines = capture.messages();
    REQUIRE(lines.size() == 3);
    CHECK(lines[0] == "<Warning> [AppVouchCore][I-EAV004001] shown");
    CHECK(lines[1] == "<Fault> [AppVouchCore][I-EAV000009] fault");
    CHECK(lines[2] == "<Debug> [AppVouchCore][I-EAV003001] now shown");
}
