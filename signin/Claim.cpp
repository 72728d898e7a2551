// The claims parameter as JSON.
#include "signin/Claim.hpp"

#include <map>

#include <nlohmann/json.hpp>

#include "platform/storage/KeyedArchiver.hpp"

#include "signin/SignInError.hpp"

namespace brisko::signin {

namespace {
constexpr std::string_view kIDTokenKey = "id_token";
constexpr std::string_view kEssentialKey = "essential";
}  // namespace

std::optional<std::string> JSONSerializerImpl::stringWithJSONObject(const platform::Value& object,
                                                                    platform::OptionalError& error) const {
    try {
        return object.toJSON().dump();
    } catch (const std::exception& e) {
        platform::Error cause(std::string(platform::kCocoaErrorDomain), platform::kCoderInvalidValueError,
                              {{std::string(platform::kLocalizedDescriptionKey), e.what()}});
        error = signInError(SignInErrorCode::jsonSerializationFailure,
                            std::string(kJSONSerializationFailureDescription), cause);
        return std::nullopt;
    }
}

std::optional<std::string> ClaimsInternalOptions::validatedJSONStringForClaims(const ClaimSet& claims,
                                                                               platform::OptionalError& error) const {
    if (claims.empty()) return std::nullopt;
    std::map<std::string, bool> byName;
    for (const auto& claim : claims) {
        auto [it, inserted] = byName.emplace(claim.name(), claim.isEssential());
        if (!inserted && it->second != claim.isEssential()) {
            error = signInError(SignInErrorCode::claimsConflict, std::string(kClaimsConflictDescription));
            return std::nullopt;
        }
    }
    platform::Dictionary idToken;
    for (const auto& [name, essential] : byName)
        idToken[name] = platform::Dictionary{{std::string(kEssentialKey), platform::Value(essential)}};
    platform::Value root(platform::Dictionary{{std::string(kIDTokenKey), platform::Value(std::move(idToken))}});
    return jsonSerializer_->stringWithJSONObject(root, error);
}

}  // namespace brisko::signin
