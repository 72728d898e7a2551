// Token parsing with a strict ttl, and the result record.
#include "attestation/AppVouchToken.hpp"

#include <charconv>
#include <cmath>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/base/Clock.hpp"
#include "platform/base/JSON.hpp"

namespace brisko::attestation {

namespace {
// The platform's code for JSON text that does not parse.
constexpr std::int64_t kPropertyListReadCorruptError = 3840;
}  // namespace

AppVouchToken::AppVouchToken(std::string token, Date expirationDate)
    : AppVouchToken(std::move(token), expirationDate, platform::now()) {}

std::string AppVouchToken::description() const {
    // The token itself is a secret: only its dates are described.
    return "<AppVouchToken expires " + platform::iso8601(expirationDate) + ", received " +
           platform::iso8601(receivedAtDate) + ">";
}

std::optional<double> parseTTL(std::string_view text) {
    std::string digits;
    for (char c : text) {
        if (c != 's') digits.push_back(c);
    }
    if (digits.empty()) return std::nullopt;
    double value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value, std::chars_format::general);
    if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    if (!std::isfinite(value) || value <= 0 || value >= kMaximumTTLSeconds) return std::nullopt;
    return value;
}

Resolution<nlohmann::json> JSONObjectFromBody(const platform::Data& body) {
    auto json = platform::readJSON(body, platform::kMaxReplyJSONDepth);
    if (!json) {
        platform::Dictionary info;
        info["NSDebugDescription"] = "The data couldn\u2019t be read because it isn\u2019t in the correct format.";
        return AppVouchErrorUtil::JSONSerializationError(
            Error(std::string(platform::kCocoaErrorDomain), kPropertyListReadCorruptError, std::move(info)));
    }
    if (!json->is_object()) return AppVouchErrorUtil::JSONSerializationError(std::nullopt);
    return std::move(*json);
}

Resolution<AppVouchToken> AppVouchToken::initWithTokenExchangeResponse(const platform::Data& body, Date requestDate) {
    if (body.empty()) return AppVouchErrorUtil::errorWithFailureReason(kEmptyResponseBodyReason);
    auto parsed = JSONObjectFromBody(body);
    if (auto* error = std::get_if<Error>(&parsed.get())) return *error;
    return initWithResponseDict(std::get<nlohmann::json>(parsed.get()), requestDate);
}

Resolution<AppVouchToken> AppVouchToken::initWithResponseDict(const nlohmann::json& dict, Date requestDate) {
    auto token = dict.find(kTokenFieldToken);
    if (token == dict.end() || !token->is_string()) {
        return AppVouchErrorUtil::appVouchTokenResponseErrorWithMissingField(kTokenFieldToken);
    }
    auto ttlField = dict.find(kTokenFieldTTL);
    if (ttlField == dict.end() || !ttlField->is_string()) {
        return AppVouchErrorUtil::appVouchTokenResponseErrorWithMissingField(kTokenFieldTTL);
    }
    auto ttl = parseTTL(ttlField->get_ref<const std::string&>());
    if (!ttl) return AppVouchErrorUtil::appVouchTokenResponseErrorWithMissingField(kTokenFieldTTL);
    auto lifetime = std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(*ttl));
    return AppVouchToken(token->get<std::string>(), requestDate + lifetime, requestDate);
}

AppVouchToken AppVouchTokenResult::placeholderToken() {
    // Long past, so never valid: 1900-01-01T00:00:00Z (the date type reaches back to 1677 only).
    static const Date kDistantPast = platform::dateFromTimeIntervalSince1970(-2208988800.0);
    return AppVouchToken(std::string(kPlaceholderTokenText), kDistantPast, kDistantPast);
}

}  // namespace brisko::attestation
