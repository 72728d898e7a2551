// The attestation token with its expiry, its parser for the backend's token replies, and the result
// record handed to callers.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "attestation/AppVouchErrors.hpp"
#include "attestation/promises/Promise.hpp"
#include "platform/base/Value.hpp"

namespace brisko::attestation {

using platform::Date;
using promises::Resolution;

inline constexpr std::string_view kTokenFieldToken = "token";
inline constexpr std::string_view kTokenFieldTTL = "ttl";
inline constexpr std::string_view kEmptyResponseBodyReason = "Empty server response body.";
// Ttl values at or above this (about 31 years) cannot be meant and could not be added to a date.
inline constexpr double kMaximumTTLSeconds = 1e9;
// The placeholder handed out with errors: standard Base64, never a token the backend issues.
inline constexpr std::string_view kPlaceholderTokenText = "YnJpc2tvIHBsYWNlaG9sZGVyIHRva2VuISE=";

struct AppVouchToken {
    std::string token;
    Date expirationDate;
    Date receivedAtDate;

    AppVouchToken(std::string token, Date expirationDate, Date receivedAtDate)
        : token(std::move(token)), expirationDate(expirationDate), receivedAtDate(receivedAtDate) {}
    // Received now.
    AppVouchToken(std::string token, Date expirationDate);

    bool operator==(const AppVouchToken&) const = default;
    std::string description() const;

    // A token from a reply body ("token" and "ttl"), received at the request date.
    static Resolution<AppVouchToken> initWithTokenExchangeResponse(const platform::Data& body, Date requestDate);
    static Resolution<AppVouchToken> initWithResponseDict(const nlohmann::json& dict, Date requestDate);
};

// The ttl text: every "s" removed, the rest a finite positive number of seconds below the maximum, in
// full (no trailing garbage); nothing otherwise.
std::optional<double> parseTTL(std::string_view text);

// Parses a JSON object body; the JSON error otherwise (with the parser's error when the text was no JSON).
Resolution<nlohmann::json> JSONObjectFromBody(const platform::Data& body);

class AppVouchTokenResult {
public:
    explicit AppVouchTokenResult(AppVouchToken token) : token_(std::move(token)) {}
    // The error with the placeholder token.
    explicit AppVouchTokenResult(Error error) : token_(placeholderToken()), error_(std::move(error)) {}

    static AppVouchToken placeholderToken();

    const AppVouchToken& token() const { return token_; }
    const std::optional<Error>& error() const { return error_; }

private:
    AppVouchToken token_;
    std::optional<Error> error_;
};

}  // namespace brisko::attestation
