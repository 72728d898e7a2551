// The attestation error factories, the HTTP and rejection errors, and the attestation log function.
#include "attestation/AppVouchErrors.hpp"

#include <atomic>

#include "core/AppEnvironmentUtil.hpp"
#include "core/KeychainUtils.hpp"
#include "platform/base/Log.hpp"
#include "platform/base/Text.hpp"
#include "platform/storage/Crypto.hpp"

namespace brisko::attestation {

namespace {

using platform::Dictionary;
using platform::Value;

constexpr std::string_view kLogCategory = "attestation";

// Long texts are split over lines (adjacent literals), not missing commas.
// NOLINTBEGIN(bugprone-suspicious-missing-comma)
constexpr std::string_view kDeviceCheckErrorTexts[] = {
    "DCErrorUnknownSystemFailure - A failure has occurred, such as the failure to generate a token",
    "DCErrorFeatureUnsupported - DeviceCheck is unavailable on this device",
    "DCErrorInvalidInput - An error code that indicates when your app provides data that isn\u2019t formatted "
    "correctly",
    "DCErrorInvalidKey - An error caused by a failed attempt to use the App Attest key",
    "DCErrorServerUnavailable - An error that indicates a failed attempt to contact the App Attest service during an "
    "attestation",
};
// NOLINTEND(bugprone-suspicious-missing-comma)

std::string httpFailureReason(const platform::HTTPURLResponse* response, const std::optional<Data>& data) {
    std::string body = "(null)";
    if (data && platform::isValidUTF8(platform::toString(*data))) body = platform::toString(*data);
    return platform::format(kHTTPErrorFormat, {response ? response->url().absoluteString() : std::string("(null)"),
                                               static_cast<std::int64_t>(response ? response->statusCode() : 0), body});
}

// The length of a text in the platform's characters (UTF-16 units): code points beyond the basic plane
// count twice.
std::uint64_t characterLength(std::string_view utf8) {
    std::uint64_t n = 0;
    for (unsigned char c : utf8) {
        if ((c & 0xC0) != 0x80) ++n;  // a lead byte starts a code point
        if ((c & 0xF8) == 0xF0) ++n;  // four-byte sequences need a surrogate pair
    }
    return n;
}

std::atomic<std::int64_t> gLogLevel{static_cast<std::int64_t>(AppVouchLogLevel::warning)};

std::string_view levelWord(std::int64_t level) {
    switch (level) {
    case 1:
        return "Debug";
    case 2:
        return "Info";
    case 3:
        return "Warning";
    case 4:
        return "Error";
    default:
        return "Fault";
    }
}

}  // namespace

// MARK: - HTTP error

AppVouchHTTPError::AppVouchHTTPError(std::shared_ptr<const platform::HTTPURLResponse> response,
                                     std::optional<Data> data)
    : response_(std::move(response)), data_(std::move(data)) {}

Error AppVouchHTTPError::error() const {
    Dictionary info;
    info[std::string(platform::kLocalizedFailureReasonErrorKey)] = httpFailureReason(response_.get(), data_);
    info[std::string(kHTTPErrorResponseKey)] = Value::object(response_);
    if (data_) info[std::string(kHTTPErrorDataKey)] = *data_;
    return Error(std::string(kAppVouchErrorDomain), kAppVouchErrorCodeUnknown, std::move(info));
}

std::optional<AppVouchHTTPError> AppVouchHTTPError::from(const Error& error) {
    if (error.domain() != kAppVouchErrorDomain) return std::nullopt;
    const Value* response = error.userInfoValue(kHTTPErrorResponseKey);
    if (!response) return std::nullopt;
    auto http = response->object<const platform::HTTPURLResponse>();
    if (!http) http = response->object<platform::HTTPURLResponse>();
    if (!http) return std::nullopt;
    std::optional<Data> data;
    if (const Value* d = error.userInfoValue(kHTTPErrorDataKey); d && d->data()) data = *d->data();
    return AppVouchHTTPError(std::move(http), std::move(data));
}

// MARK: - Rejection error

Error AppAttestRejectionError::make(const Error& underlying) {
    Dictionary info;
    info[std::string(platform::kUnderlyingErrorKey)] = Value(underlying);
    info[std::string(kAppAttestRejectionErrorKey)] = true;
    return Error(std::string(kAppVouchErrorDomain), kAppVouchErrorCodeUnknown, std::move(info));
}

bool AppAttestRejectionError::is(const Error& error) {
    return error.domain() == kAppVouchErrorDomain && error.userInfoValue(kAppAttestRejectionErrorKey) != nullptr;
}

std::optional<Error> AppAttestRejectionError::underlyingError(const Error& error) {
    if (auto e = error.underlyingError()) return *e;
    return std::nullopt;
}

// MARK: - Factories

Error AppVouchErrorUtil::appVouchErrorWithCode(std::int64_t code, std::optional<std::string> failureReason,
                                               std::optional<Error> underlyingError) {
    Dictionary info;
    if (underlyingError) info[std::string(platform::kUnderlyingErrorKey)] = Value(*underlyingError);
    if (failureReason) info[std::string(platform::kLocalizedFailureReasonErrorKey)] = std::move(*failureReason);
    return Error(std::string(kAppVouchErrorDomain), code, std::move(info));
}

Error AppVouchErrorUtil::errorWithFailureReason(std::string_view failureReason) {
    return appVouchErrorWithCode(kAppVouchErrorCodeUnknown, std::string(failureReason), std::nullopt);
}

Error AppVouchErrorUtil::cachedTokenNotFound() {
    return errorWithFailureReason(kCachedTokenNotFoundReason);
}

Error AppVouchErrorUtil::cachedTokenExpired() {
    return errorWithFailureReason(kCachedTokenExpiredReason);
}

Error AppVouchErrorUtil::keychainErrorWithError(const Error& error) {
    if (error.domain() == core::kKeychainUtilsErrorDomain) {
        return appVouchErrorWithCode(kAppVouchErrorCodeKeychain, std::string(kKeychainAccessErrorReason), error);
    }
    return unknownErrorWithError(error);
}

Error AppVouchErrorUtil::APIErrorWithHTTPResponse(std::shared_ptr<const platform::HTTPURLResponse> response,
                                                  std::optional<Data> data) {
    return AppVouchHTTPError(std::move(response), std::move(data)).error();
}

Error AppVouchErrorUtil::APIErrorWithNetworkError(const Error& networkError) {
    return appVouchErrorWithCode(kAppVouchErrorCodeServerUnreachable, std::string(kAPIRequestErrorReason),
                                 networkError);
}

Error AppVouchErrorUtil::appVouchTokenResponseErrorWithMissingField(std::string_view field) {
    return errorWithFailureReason(platform::format(kTokenResponseMissingFieldFormat, {field}));
}

Error AppVouchErrorUtil::appAttestAttestationResponseErrorWithMissingField(std::string_view field) {
    return errorWithFailureReason(platform::format(kAttestationResponseMissingFieldFormat, {field}));
}

Error AppVouchErrorUtil::JSONSerializationError(std::optional<Error> error) {
    return appVouchErrorWithCode(kAppVouchErrorCodeUnknown, std::string(kJSONSerializationErrorReason),
                                 std::move(error));
}

Error AppVouchErrorUtil::unsupportedAttestationProvider(std::string_view providerName) {
    return appVouchErrorWithCode(kAppVouchErrorCodeUnsupported,
                                 platform::format(kUnsupportedProviderFormat, {providerName}), std::nullopt);
}

Error AppVouchErrorUtil::appAttestKeyIDNotFound() {
    return errorWithFailureReason(kAppAttestKeyIDNotFoundReason);
}

Error AppVouchErrorUtil::appAttestGenerateKeyFailedWithError(const Error& error) {
    return appVouchErrorWithCode(
        kAppVouchErrorCodeUnknown,
        platform::format(kGenerateKeyFailedFormat, {errorDescriptionWithDeviceCheckError(error)}), error);
}

Error AppVouchErrorUtil::appAttestAttestKeyFailedWithError(const Error& error, std::string_view keyID,
                                                           const Data& clientDataHash) {
    return appVouchErrorWithCode(
        kAppVouchErrorCodeUnknown,
        platform::format(kAttestKeyFailedFormat,
                         {characterLength(keyID), platform::crypto::base64Encode(clientDataHash),
                          core::AppEnvironmentUtil::systemVersion(), errorDescriptionWithDeviceCheckError(error)}),
        error);
}

Error AppVouchErrorUtil::appAttestGenerateAssertionFailedWithError(const Error& error, std::string_view keyID,
                                                                   const Data& clientDataHash) {
    return appVouchErrorWithCode(
        kAppVouchErrorCodeUnknown,
        platform::format(kGenerateAssertionFailedFormat,
                         {characterLength(keyID), platform::crypto::base64Encode(clientDataHash),
                          core::AppEnvironmentUtil::systemVersion(), errorDescriptionWithDeviceCheckError(error)}),
        error);
}

Error AppVouchErrorUtil::unknownErrorWithError(const Error& error) {
    return appVouchErrorWithCode(kAppVouchErrorCodeUnknown, error.localizedFailureReason(), error);
}

Error AppVouchErrorUtil::publicDomainErrorWithError(const Error& error) {
    if (error.domain() == kAppVouchErrorDomain) return error;
    return unknownErrorWithError(error);
}

std::string AppVouchErrorUtil::errorDescriptionWithDeviceCheckError(const Error& error) {
    if (error.domain() == kDeviceCheckErrorDomain) {
        if (error.code() >= 0 && error.code() <= 4) return std::string(kDeviceCheckErrorTexts[error.code()]);
        return platform::format(kUnknownDCErrorFormat, {error.code(), error.localizedDescription()});
    }
    return platform::format(kUnknownErrorFormat, {error.domain(), error.code(), error.localizedDescription()});
}

// MARK: - Log

std::int64_t AppVouchLogger::logLevel() {
    return gLogLevel.load();
}

void AppVouchLogger::setLogLevel(std::int64_t level) {
    gLogLevel.store(level);
}

void appVouchLog(std::int64_t code, AppVouchLogLevel level, std::string_view message) {
    const auto value = static_cast<std::int64_t>(level);
    if (value < AppVouchLogger::logLevel()) return;
    std::string line = platform::format(kAppVouchLogFormat,
                                        {levelWord(value), platform::format(kAppVouchLogCodeFormat, {code}), message});
    platform::LogLevel sink = platform::LogLevel::error;
    switch (level) {
    case AppVouchLogLevel::debug:
        sink = platform::LogLevel::debug;
        break;
    case AppVouchLogLevel::info:
        sink = platform::LogLevel::info;
        break;
    case AppVouchLogLevel::warning:
        sink = platform::LogLevel::warning;
        break;
    default:
        break;
    }
    platform::log(sink, kLogCategory, line);
}

}  // namespace brisko::attestation
