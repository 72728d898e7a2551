// The attestation client's errors (one domain, built by AppVouchErrorUtil), its HTTP and rejection
// errors, and its log function with a class-wide minimum level.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Error.hpp"
#include "platform/base/Value.hpp"
#include "platform/net/URLResponse.hpp"

namespace brisko::attestation {

using platform::Data;
using platform::Error;

inline constexpr std::string_view kAppVouchErrorDomain = "com.ezevar.app_vouch_core";
enum AppVouchErrorCode : std::int64_t {
    kAppVouchErrorCodeUnknown = 0,
    kAppVouchErrorCodeServerUnreachable = 1,
    kAppVouchErrorCodeKeychain = 3,
    kAppVouchErrorCodeUnsupported = 4,
};

// The platform's DeviceCheck error domain, which the App Attest and DeviceCheck services answer in.
inline constexpr std::string_view kDeviceCheckErrorDomain = "com.apple.devicecheck.error";
enum DeviceCheckErrorCode : std::int64_t {
    kDCErrorUnknownSystemFailure = 0,
    kDCErrorFeatureUnsupported = 1,
    kDCErrorInvalidInput = 2,
    kDCErrorInvalidKey = 3,
    kDCErrorServerUnavailable = 4,
};

inline constexpr std::string_view kCachedTokenNotFoundReason = "Cached token not found.";
inline constexpr std::string_view kCachedTokenExpiredReason = "Cached token expired.";
inline constexpr std::string_view kKeychainAccessErrorReason = "Keychain access error.";
inline constexpr std::string_view kAPIRequestErrorReason = "API request error.";
inline constexpr std::string_view kTokenResponseMissingFieldFormat =
    "Unexpected app check token response format. Field `%@` is missing.";
inline constexpr std::string_view kAttestationResponseMissingFieldFormat =
    "Unexpected attestation response format. Field `%@` is missing.";
inline constexpr std::string_view kJSONSerializationErrorReason = "JSON serialization error.";
inline constexpr std::string_view kUnsupportedProviderFormat =
    "The attestation provider %@ is not supported on current platform and OS version.";
inline constexpr std::string_view kAppAttestKeyIDNotFoundReason = "App attest key ID not found.";
inline constexpr std::string_view kGenerateKeyFailedFormat =
    "Failed to generate a new cryptographic key for use with the App Attest service "
    "(`generateKeyWithCompletionHandler:`); %@.";
inline constexpr std::string_view kAttestKeyFailedFormat =
    "Failed to attest the validity of the generated cryptographic key "
    "(`attestKey:clientDataHash:completionHandler:`); keyId.length = %lu, clientDataHash = %@, systemVersion = "
    "%@; %@.";
inline constexpr std::string_view kGenerateAssertionFailedFormat =
    "Failed to create a block of data that demonstrates the legitimacy of the app instance "
    "(`generateAssertion:clientDataHash:completionHandler:`); keyId.length = %lu, clientDataHash = %@, "
    "systemVersion = %@; %@.";
inline constexpr std::string_view kHTTPErrorFormat =
    "The server responded with an error: \n - URL: %@ \n - HTTP status code: %ld \n - Response body: %@";
inline constexpr std::string_view kUnknownDCErrorFormat = "Unknown DCError(%ld) - %@";
inline constexpr std::string_view kUnknownErrorFormat = "Unknown Error { domain: %@, code: %ld } - %@";

// The HTTP error: code 0 with the reply's response and body. It travels as a platform error whose user
// info also holds the response and the body, under the keys it archives them with.
inline constexpr std::string_view kHTTPErrorResponseKey = "HTTPResponse";
inline constexpr std::string_view kHTTPErrorDataKey = "data";

class AppVouchHTTPError {
public:
    AppVouchHTTPError(std::shared_ptr<const platform::HTTPURLResponse> response, std::optional<Data> data);
    // The HTTP error an error is, or nothing.
    static std::optional<AppVouchHTTPError> from(const Error& error);

    const std::shared_ptr<const platform::HTTPURLResponse>& HTTPResponse() const { return response_; }
    const std::optional<Data>& data() const { return data_; }
    Error error() const;

private:
    std::shared_ptr<const platform::HTTPURLResponse> response_;
    std::optional<Data> data_;
};

// The App Attest rejection: code 0 wrapping the error that made the provider reset its attestation.
// Marked in its user info so that the provider's retry can tell it from other code-0 errors.
inline constexpr std::string_view kAppAttestRejectionErrorKey = "EAVAppAttestRejectionError";

class AppAttestRejectionError {
public:
    static Error make(const Error& underlying);
    static bool is(const Error& error);
    static std::optional<Error> underlyingError(const Error& error);
};

class AppVouchErrorUtil {
public:
    static Error appVouchErrorWithCode(std::int64_t code, std::optional<std::string> failureReason,
                                       std::optional<Error> underlyingError);
    static Error errorWithFailureReason(std::string_view failureReason);
    static Error cachedTokenNotFound();
    static Error cachedTokenExpired();
    static Error keychainErrorWithError(const Error& error);
    static Error APIErrorWithHTTPResponse(std::shared_ptr<const platform::HTTPURLResponse> response,
                                          std::optional<Data> data);
    static Error APIErrorWithNetworkError(const Error& networkError);
    static Error appVouchTokenResponseErrorWithMissingField(std::string_view field);
    static Error appAttestAttestationResponseErrorWithMissingField(std::string_view field);
    static Error JSONSerializationError(std::optional<Error> error);
    static Error unsupportedAttestationProvider(std::string_view providerName);
    static Error appAttestKeyIDNotFound();
    static Error appAttestGenerateKeyFailedWithError(const Error& error);
    static Error appAttestAttestKeyFailedWithError(const Error& error, std::string_view keyID,
                                                   const Data& clientDataHash);
    static Error appAttestGenerateAssertionFailedWithError(const Error& error, std::string_view keyID,
                                                           const Data& clientDataHash);
    static Error unknownErrorWithError(const Error& error);
    // An error of this domain unchanged; any other wrapped as unknown.
    static Error publicDomainErrorWithError(const Error& error);
    static std::string errorDescriptionWithDeviceCheckError(const Error& error);
};

// Log levels of the attestation library, and its log function.
enum class AppVouchLogLevel : std::int64_t { debug = 1, info = 2, warning = 3, error = 4, fault = 5 };

inline constexpr std::string_view kAppVouchLogFormat = "<%@> [AppVouchCore][%@] %@";
inline constexpr std::string_view kAppVouchLogCodeFormat = "I-EAV%06ld";

class AppVouchLogger {
public:
    static std::int64_t logLevel();
    static void setLogLevel(std::int64_t level);
};

void appVouchLog(std::int64_t code, AppVouchLogLevel level, std::string_view message);

// Message codes and texts.
inline constexpr std::int64_t kLogCodeUnexpectedHTTPResponse = 3001;
inline constexpr std::int64_t kLogCodeDebugProviderLocalToken = 4001;
inline constexpr std::int64_t kLogCodeDebugProviderAppVouchDebugToken = 4002;
inline constexpr std::int64_t kLogCodeDebugProviderEnvironmentToken = 4003;
inline constexpr std::int64_t kLogCodeDebugProviderFailedExchange = 4004;
inline constexpr std::int64_t kLogCodeAppAttestNotSupported = 7001;
inline constexpr std::int64_t kLogCodeAppAttestAttestationRejected = 7002;
inline constexpr std::int64_t kLogCodeAppAttestAssertionRejected = 7003;

}  // namespace brisko::attestation
