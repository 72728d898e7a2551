// ID-token parsing: base64url sections, JSON claims and the claim map.
#include "oauth/IDToken.hpp"

#include <nlohmann/json.hpp>

#include "oauth/TokenUtilities.hpp"
#include "oauth/internal/JSONDocument.hpp"
#include "platform/base/Log.hpp"
#include "platform/base/Text.hpp"
#include "platform/storage/Crypto.hpp"

namespace brisko::oauth {
namespace {

// "aud" is a list of texts, or one text taken as a one-element list.
Value audienceConversion(const Value& value) {
    if (value.string()) return Value(Value::Array{value});
    return value;
}

}  // namespace

const FieldMap<IDToken>& IDToken::fieldMap() {
    static const FieldMap<IDToken> map{
        {"iss", {"issuer", &IDToken::issuer_, &FieldMappingConversions::URLConversion}},
        {"sub", {"subject", &IDToken::subject_}},
        {"aud", {"audience", &IDToken::audience_, &audienceConversion}},
        {"exp", {"expiresAt", &IDToken::expiresAt_, &FieldMappingConversions::dateEpochConversion}},
        {"iat", {"issuedAt", &IDToken::issuedAt_, &FieldMappingConversions::dateEpochConversion}},
        {"nonce", {"nonce", &IDToken::nonce_}},
    };
    return map;
}

std::optional<Data> IDToken::base64urlNoPaddingDecode(std::string_view section) {
    return platform::crypto::base64URLDecode(section);
}

std::optional<Dictionary> IDToken::parseJWTSection(std::string_view section) {
    auto bytes = base64urlNoPaddingDecode(section);
    if (!bytes) return std::nullopt;
    try {
        Value value = detail::parseJSONValue(*bytes);
        auto* claims = value.dictionary();
        if (!claims) return std::nullopt;
        return std::move(*claims);
    } catch (const nlohmann::json::exception& e) {
        // The section (and the parser's message, which quotes it) may hold personal claims: only the
        // error's number and the section's size are logged.
        platform::log(platform::LogLevel::error, "oauth",
                      platform::format("Error %@ parsing token payload %@",
                                       {"JSON error " + std::to_string(e.id),
                                        "(" + std::to_string(section.size()) + " characters)"}));
        return std::nullopt;
    }
}

std::shared_ptr<const IDToken> IDToken::initWithIDTokenString(std::string_view idToken) {
    auto firstDot = idToken.find('.');
    if (firstDot == std::string_view::npos) return nullptr;
    auto secondDot = idToken.find('.', firstDot + 1);
    auto header = parseJWTSection(idToken.substr(0, firstDot));
    auto claims = parseJWTSection(idToken.substr(
        firstDot + 1, secondDot == std::string_view::npos ? std::string_view::npos : secondDot - firstDot - 1));
    if (!header || !claims) return nullptr;
    auto token = std::make_shared<IDToken>();
    token->header_ = std::move(*header);
    token->claims_ = std::move(*claims);
    remainingParametersWithMap(fieldMap(), token->claims_, *token);
    if (!token->issuer_ || !token->subject_ || !token->audience_ || !token->expiresAt_ || !token->issuedAt_) {
        return nullptr;
    }
    return token;
}

}  // namespace brisko::oauth
