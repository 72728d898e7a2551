// An enrolled TOTP factor: the base info with factor ID "totp".
#pragma once

#include <memory>
#include <string_view>

#include "auth/providers/MultiFactorInfo.hpp"

namespace brisko::auth {

class TOTPMultiFactorInfo final : public MultiFactorInfo {
  public:
    static constexpr std::string_view kArchiveClassName = "ZudiridiRozu.TOTPMultiFactorInfo";

    using MultiFactorInfo::MultiFactorInfo;

    // Nothing for a record without enrolment ID (logged).
    static std::shared_ptr<TOTPMultiFactorInfo> fromEnrollment(const AuthProtoMFAEnrollment& record);

    void encodeWithCoder(platform::KeyedArchiver& coder) const { MultiFactorInfo::encodeWithCoder(coder); }
    static std::shared_ptr<TOTPMultiFactorInfo> initWithCoder(platform::KeyedUnarchiver& coder);
};

}  // namespace brisko::auth
