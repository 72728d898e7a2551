// An enrolled phone factor: the base info and the phone number.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "auth/providers/MultiFactorInfo.hpp"

namespace brisko::auth {

class PhoneMultiFactorInfo final : public MultiFactorInfo {
  public:
    static constexpr std::string_view kArchiveClassName = "ZIRPhoneMultiFactorInfo";
    static constexpr std::string_view kPhoneNumberCodingKey = "phoneNumber";

    PhoneMultiFactorInfo(Fields fields, std::string phoneNumber)
        : MultiFactorInfo(std::move(fields)), phoneNumber_(std::move(phoneNumber)) {}

    // Nothing for a record without phone number or enrolment ID (logged; a server record never stops
    // the process).
    static std::shared_ptr<PhoneMultiFactorInfo> fromEnrollment(const AuthProtoMFAEnrollment& record);

    const std::string& phoneNumber() const { return phoneNumber_; }
    void setPhoneNumber(std::string phoneNumber) { phoneNumber_ = std::move(phoneNumber); }

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Nothing without a "phoneNumber" text or without the base fields.
    static std::shared_ptr<PhoneMultiFactorInfo> initWithCoder(platform::KeyedUnarchiver& coder);

  private:
    std::string phoneNumber_;
};

}  // namespace brisko::auth
