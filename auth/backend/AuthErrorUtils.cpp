// The error factory of the identity stack.
#include "auth/backend/AuthErrorUtils.hpp"

#include "platform/base/JSON.hpp"
#include "platform/storage/Keychain.hpp"

namespace brisko::auth {
namespace {

using platform::Dictionary;
using platform::Error;
using platform::Value;

std::string key(std::string_view k) {
    return std::string(k);
}

void putUnderlying(Dictionary& info, const std::optional<Error>& underlying) {
    if (underlying) info[key(platform::kUnderlyingErrorKey)] = Value(*underlying);
}

std::optional<Dictionary> nonEmpty(Dictionary info) {
    if (info.empty()) return std::nullopt;
    return info;
}

}  // namespace

Value valueFromJSON(const nlohmann::json& json) {
    return Value::fromJSON(json);
}

void throwUnexpectedResponse(const nlohmann::json& reply) {
    throw platform::ErrorException(AuthErrorUtils::unexpectedResponseWithDictionary(valueFromJSON(reply)));
}

Error AuthErrorUtils::makeError(AuthErrorCode code, std::optional<Dictionary> userInfo) {
    Dictionary info = userInfo ? std::move(*userInfo) : Dictionary{};
    auto description = info.find(platform::kLocalizedDescriptionKey);
    if (description == info.end() || description->second.isNull() ||
        (description->second.string() && description->second.string()->empty())) {
        info[key(platform::kLocalizedDescriptionKey)] = Value(errorDescription(code));
    }
    info[key(AuthErrors::userInfoNameKey)] = Value(errorCodeString(code));
    return Error(std::string(AuthErrors::domain), rawValue(code), std::move(info));
}

Error AuthErrorUtils::makeError(AuthInternalErrorCode code, std::optional<Dictionary> userInfo) {
    Error internal(std::string(kAuthInternalErrorDomain), rawValue(code),
                   userInfo ? std::move(*userInfo) : Dictionary{});
    return makeError(AuthErrorCode::internalError, Dictionary{{key(platform::kUnderlyingErrorKey), Value(internal)}});
}

Error AuthErrorUtils::weakPasswordError(const std::optional<std::string>& reason) {
    if (!reason || reason->empty()) return makeError(AuthErrorCode::weakPassword);
    return makeError(AuthErrorCode::weakPassword,
                     Dictionary{{key(platform::kLocalizedFailureReasonErrorKey), *reason}});
}

Error AuthErrorUtils::accountExistsWithDifferentCredentialError(const std::optional<std::string>& email,
                                                                const std::optional<Value>& updatedCredential) {
    Dictionary info;
    if (email) info[key(AuthErrors::userInfoEmailKey)] = *email;
    if (updatedCredential) info[key(AuthErrors::userInfoUpdatedCredentialKey)] = *updatedCredential;
    return makeError(AuthErrorCode::accountExistsWithDifferentCredential, nonEmpty(std::move(info)));
}

Error AuthErrorUtils::credentialAlreadyInUseError(const std::optional<std::string>& message,
                                                  const std::optional<Value>& credential,
                                                  const std::optional<std::string>& email) {
    Dictionary info;
    if (credential) info[key(AuthErrors::userInfoUpdatedCredentialKey)] = *credential;
    if (email && !email->empty()) info[key(AuthErrors::userInfoEmailKey)] = *email;
    if (info.empty() && message) info[key(platform::kLocalizedDescriptionKey)] = *message;
    return makeError(AuthErrorCode::credentialAlreadyInUse, nonEmpty(std::move(info)));
}

Error AuthErrorUtils::secondFactorRequiredError(const std::optional<std::string>& pendingCredential,
                                                const std::vector<AuthProtoMFAEnrollment>& hints,
                                                const std::shared_ptr<AuthBackendClient>& auth) {
    if (!pendingCredential || !auth) return makeError(AuthErrorCode::secondFactorRequired);
    return makeError(AuthErrorCode::secondFactorRequired,
                     Dictionary{{key(AuthErrors::userInfoMultiFactorResolverKey),
                                 auth->multiFactorResolver(*pendingCredential, hints)}});
}

Error AuthErrorUtils::malformedJWTError(const std::string& token, const std::optional<Error>& underlyingError) {
    Dictionary info{{key(platform::kLocalizedDescriptionKey), errorDescription(AuthErrorCode::malformedJWT)},
                    {key(kAuthErrorUserInfoDataKey), token}};
    putUnderlying(info, underlyingError);
    return makeError(AuthErrorCode::malformedJWT, std::move(info));
}

Error AuthErrorUtils::keychainError(std::string_view function, std::int32_t status) {
    std::string reason =
        std::string(function) + " (" + std::to_string(status) + ") " + platform::Keychain::statusMessage(status);
    return makeError(AuthErrorCode::keychainError,
                     Dictionary{{key(platform::kLocalizedFailureReasonErrorKey), reason}});
}

Error AuthErrorUtils::blockingCloudFunctionError(const std::optional<std::string>& message) {
    if (!message) return makeError(AuthErrorCode::blockingCloudFunctionReturnedError);
    auto object = extractJSONObject(*message);
    if (!object) {
        return makeError(AuthErrorCode::blockingCloudFunctionReturnedError,
                         Dictionary{{key(platform::kLocalizedDescriptionKey), *message}});
    }
    auto error = object->find("error");
    if (error != object->end() && error->is_object()) {
        auto text = error->find("message");
        if (text != error->end() && text->is_string()) {
            return makeError(AuthErrorCode::blockingCloudFunctionReturnedError,
                             Dictionary{{key(platform::kLocalizedDescriptionKey), text->get<std::string>()}});
        }
    }
    return makeError(AuthErrorCode::blockingCloudFunctionReturnedError);
}

Error AuthErrorUtils::unexpectedErrorResponseWithData(const std::optional<platform::Data>& data,
                                                      const std::optional<Error>& underlyingError) {
    Dictionary info;
    if (data) info[key(kAuthErrorUserInfoDataKey)] = *data;
    putUnderlying(info, underlyingError);
    return makeError(AuthInternalErrorCode::unexpectedErrorResponse, nonEmpty(std::move(info)));
}

Error AuthErrorUtils::unexpectedResponseWithData(const std::optional<platform::Data>& data,
                                                 const std::optional<Error>& underlyingError) {
    Dictionary info;
    if (data) info[key(kAuthErrorUserInfoDataKey)] = *data;
    putUnderlying(info, underlyingError);
    return makeError(AuthInternalErrorCode::unexpectedResponse, nonEmpty(std::move(info)));
}

Error AuthErrorUtils::unexpectedErrorResponseWithDictionary(const std::optional<Value>& response,
                                                            const std::optional<Error>& underlyingError) {
    Dictionary info;
    if (response) info[key(kAuthErrorUserInfoDeserializedResponseKey)] = *response;
    putUnderlying(info, underlyingError);
    return makeError(AuthInternalErrorCode::unexpectedErrorResponse, nonEmpty(std::move(info)));
}

Error AuthErrorUtils::unexpectedResponseWithDictionary(const std::optional<Value>& response) {
    Dictionary info;
    if (response) info[key(kAuthErrorUserInfoDeserializedResponseKey)] = *response;
    return makeError(AuthInternalErrorCode::unexpectedResponse, nonEmpty(std::move(info)));
}

Error AuthErrorUtils::responseDecodingError(const std::optional<Value>& response,
                                            const std::optional<Error>& underlyingError) {
    Dictionary info;
    if (response) info[key(kAuthErrorUserInfoDeserializedResponseKey)] = *response;
    putUnderlying(info, underlyingError);
    return makeError(AuthInternalErrorCode::responseDecodingError, nonEmpty(std::move(info)));
}

std::optional<nlohmann::json> AuthErrorUtils::extractJSONObject(std::string_view text) {
    auto start = text.find('{');
    if (start == std::string_view::npos) return std::nullopt;
    int depth = 0;
    for (auto i = start; i < text.size(); ++i) {
        if (text[i] == '{') {
            ++depth;
        } else if (text[i] == '}' && --depth == 0) {
            auto parsed = platform::readJSON(text.substr(start, i - start + 1), platform::kMaxReplyJSONDepth);
            if (!parsed || !parsed->is_object()) return std::nullopt;
            return parsed;
        }
    }
    return std::nullopt;
}

}  // namespace brisko::auth
