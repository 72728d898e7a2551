// Reading one enrolled second factor.
#include "auth/backend/AuthProtoMFAEnrollment.hpp"

#include "auth/backend/internal/JSONReading.hpp"

namespace brisko::auth {

AuthProtoMFAEnrollment AuthProtoMFAEnrollment::initFromJSON(const nlohmann::json& object) {
    AuthProtoMFAEnrollment e;
    e.phoneInfo = detail::readText(object, "phoneInfo");
    // Any value at all marks a TOTP factor; only a missing key leaves it unset.
    if (detail::member(object, "totpInfo")) e.totpInfo = std::string();
    e.mfaEnrollmentID = detail::readText(object, "mfaEnrollmentId");
    e.displayName = detail::readText(object, "displayName");
    e.enrolledAt = detail::readEnrollmentDate(object, "enrolledAt");
    return e;
}

std::optional<std::vector<AuthProtoMFAEnrollment>> AuthProtoMFAEnrollment::listFromJSON(const nlohmann::json& object,
                                                                                        std::string_view key) {
    const auto* array = detail::readObjectArray(object, key);
    if (!array) return std::nullopt;
    std::vector<AuthProtoMFAEnrollment> out;
    out.reserve(array->size());
    for (const auto& e : *array) out.push_back(initFromJSON(e));
    return out;
}

}  // namespace brisko::auth
