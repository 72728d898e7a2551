// OpenID claims a sign-in asks for, and their JSON form for the "claims" request parameter.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "platform/base/Error.hpp"
#include "platform/base/Value.hpp"

namespace brisko::signin {

class Claim {
public:
    static constexpr std::string_view kAuthTimeClaimName = "auth_time";

    Claim(std::string name, bool essential) : name_(std::move(name)), essential_(essential) {}
    static Claim authTimeClaim() { return Claim(std::string(kAuthTimeClaimName), false); }
    static Claim essentialAuthTimeClaim() { return Claim(std::string(kAuthTimeClaimName), true); }

    const std::string& name() const { return name_; }
    bool isEssential() const { return essential_; }
    bool operator==(const Claim&) const = default;
    auto operator<=>(const Claim&) const = default;

private:
    std::string name_;
    bool essential_;
};

using ClaimSet = std::set<Claim>;

// Writes JSON text for an object.
class JSONSerializer {
public:
    virtual ~JSONSerializer() = default;
    // Compact JSON text, or nothing with an error (-10 of the sign-in domain).
    virtual std::optional<std::string> stringWithJSONObject(const platform::Value& object,
                                                            platform::OptionalError& error) const = 0;
};

class JSONSerializerImpl : public JSONSerializer {
public:
    std::optional<std::string> stringWithJSONObject(const platform::Value& object,
                                                    platform::OptionalError& error) const override;
};

class ClaimsInternalOptions {
public:
    ClaimsInternalOptions() : ClaimsInternalOptions(std::make_shared<JSONSerializerImpl>()) {}
    explicit ClaimsInternalOptions(std::shared_ptr<const JSONSerializer> serializer)
        : jsonSerializer_(std::move(serializer)) {}

    const std::shared_ptr<const JSONSerializer>& jsonSerializer() const { return jsonSerializer_; }

    // {"id_token": {name: {"essential": bool}}} as text; nothing for no claims, nothing with -7 when a
    // claim is asked both as essential and not.
    std::optional<std::string> validatedJSONStringForClaims(const ClaimSet& claims,
                                                            platform::OptionalError& error) const;

private:
    std::shared_ptr<const JSONSerializer> jsonSerializer_;
};

}  // namespace brisko::signin
