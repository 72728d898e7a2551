// The error factory of the identity stack: every identity error is built here, with the code's name
// and default message filled in; internal errors are wrapped as the underlying error of 17999.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "auth/backend/AuthBackendClient.hpp"
#include "auth/backend/AuthErrorCode.hpp"
#include "auth/backend/AuthProtoMFAEnrollment.hpp"
#include "platform/base/Error.hpp"

namespace brisko::auth {

class AuthErrorUtils {
public:
    // A public error: the caller's user info with the default message as description when it has none
    // (or an empty text), and "ZIRAuthErrorUserInfoNameKey" set to the code's name.
    static platform::Error makeError(AuthErrorCode code, std::optional<platform::Dictionary> userInfo = {});
    // An internal error, wrapped: 17999 whose underlying error is the internal one with the user info.
    static platform::Error makeError(AuthInternalErrorCode code, std::optional<platform::Dictionary> userInfo = {});

    // 17026; the reason as failure reason when present and not empty.
    static platform::Error weakPasswordError(const std::optional<std::string>& reason);
    // 17012; the e-mail when present (even empty) and the updated credential (an AuthCredential wrapped
    // as an object value) when present.
    static platform::Error
    accountExistsWithDifferentCredentialError(const std::optional<std::string>& email,
                                              const std::optional<platform::Value>& updatedCredential);
    // 17025; the credential when present, the e-mail when not empty; only when neither is put does the
    // message become the description.
    static platform::Error credentialAlreadyInUseError(const std::optional<std::string>& message,
                                                       const std::optional<platform::Value>& credential,
                                                       const std::optional<std::string>& email);
    // 17078; with a pending credential, the identity client's resolver under
    // "ZIRAuthErrorUserInfoMultiFactorResolverKey".
    static platform::Error secondFactorRequiredError(const std::optional<std::string>& pendingCredential,
                                                     const std::vector<AuthProtoMFAEnrollment>& hints,
                                                     const std::shared_ptr<AuthBackendClient>& auth);
    // 18000 with the token under "ZIRAuthErrorUserInfoDataKey".
    static platform::Error malformedJWTError(const std::string& token,
                                             const std::optional<platform::Error>& underlyingError);
    // 17995; failure reason: name " (" status ") " and the platform's text for the status.
    static platform::Error keychainError(std::string_view function, std::int32_t status);
    // 17105 from the detail text after the server's error name.
    static platform::Error blockingCloudFunctionError(const std::optional<std::string>& message);

    // Internal 3 and 4 with the raw reply bytes, and internal 3, 4 and 5 with the decoded reply.
    static platform::Error unexpectedErrorResponseWithData(const std::optional<platform::Data>& data,
                                                           const std::optional<platform::Error>& underlyingError);
    static platform::Error unexpectedResponseWithData(const std::optional<platform::Data>& data,
                                                      const std::optional<platform::Error>& underlyingError);
    static platform::Error unexpectedErrorResponseWithDictionary(const std::optional<platform::Value>& response,
                                                                 const std::optional<platform::Error>& underlyingError);
    static platform::Error unexpectedResponseWithDictionary(const std::optional<platform::Value>& response);
    static platform::Error responseDecodingError(const std::optional<platform::Value>& response,
                                                 const std::optional<platform::Error>& underlyingError);

    // The first brace-balanced part of the text (braces inside strings count too) parsed as a JSON
    // object; nothing when there is none, it does not parse, or it is not an object.
    static std::optional<nlohmann::json> extractJSONObject(std::string_view text);
};

// The dynamic value of a decoded reply, for the user info of internal errors.
platform::Value valueFromJSON(const nlohmann::json& json);

// Throws the unexpected-response error carrying the whole reply.
[[noreturn]] void throwUnexpectedResponse(const nlohmann::json& reply);

}  // namespace brisko::auth
