// Enrolled factors: made from server records, archived and restored.
#include "auth/providers/MultiFactorInfo.hpp"

#include <chrono>

#include "auth/AuthLog.hpp"
#include "auth/backend/AuthProtoMFAEnrollment.hpp"
#include "auth/providers/ArchiveCoding.hpp"
#include "auth/providers/PhoneMultiFactorInfo.hpp"
#include "auth/providers/TOTPMultiFactorInfo.hpp"

namespace brisko::auth {

namespace {

constexpr std::string_view kLogCodeUnsupportedMultiFactor = "I-AUT000021";
constexpr std::string_view kUnsupportedMultiFactorMessage = "Multifactor type is not supported";

void logSkippedRecord() {
    authLog(kLogLevelError, kLogCodeUnsupportedMultiFactor, kUnsupportedMultiFactorMessage);
}

}  // namespace

std::optional<MultiFactorInfo::Fields> MultiFactorInfo::fieldsFromEnrollment(const AuthProtoMFAEnrollment& record,
                                                                             std::string_view factorID) {
    if (!record.mfaEnrollmentID) {
        logSkippedRecord();
        return std::nullopt;
    }
    return Fields{*record.mfaEnrollmentID, record.displayName,
                  record.enrolledAt.value_or(std::chrono::system_clock::now()), std::string(factorID)};
}

std::shared_ptr<MultiFactorInfo> MultiFactorInfo::fromEnrollment(const AuthProtoMFAEnrollment& record) {
    if (record.phoneInfo) return PhoneMultiFactorInfo::fromEnrollment(record);
    if (record.totpInfo) return TOTPMultiFactorInfo::fromEnrollment(record);
    return nullptr;
}

std::shared_ptr<PhoneMultiFactorInfo> PhoneMultiFactorInfo::fromEnrollment(const AuthProtoMFAEnrollment& record) {
    if (!record.phoneInfo) {
        logSkippedRecord();
        return nullptr;
    }
    auto fields = fieldsFromEnrollment(record, kPhoneMultiFactorID);
    return fields ? std::make_shared<PhoneMultiFactorInfo>(std::move(*fields), *record.phoneInfo) : nullptr;
}

std::shared_ptr<TOTPMultiFactorInfo> TOTPMultiFactorInfo::fromEnrollment(const AuthProtoMFAEnrollment& record) {
    auto fields = fieldsFromEnrollment(record, kTOTPMultiFactorID);
    return fields ? std::make_shared<TOTPMultiFactorInfo>(std::move(*fields)) : nullptr;
}

void MultiFactorInfo::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeObject(platform::Value(fields_.uid), kUIDCodingKey);
    coding::encodeText(coder, fields_.displayName, kDisplayNameCodingKey);
    coder.encodeObject(platform::Value(fields_.enrollmentDate), kEnrollmentDateCodingKey);
    coder.encodeObject(platform::Value(fields_.factorID), kFactorIDCodingKey);
}

std::optional<MultiFactorInfo::Fields> MultiFactorInfo::decodeFields(platform::KeyedUnarchiver& coder) {
    auto uid = coding::decodeText(coder, kUIDCodingKey);
    if (!uid) return std::nullopt;
    auto factorID = coding::decodeText(coder, kFactorIDCodingKey);
    if (!factorID) return std::nullopt;
    auto date = coding::decodeIf<platform::Date>(coder, kEnrollmentDateCodingKey);
    if (!date) return std::nullopt;
    auto displayName = coding::decodeText(coder, kDisplayNameCodingKey);
    return Fields{std::move(*uid), std::move(displayName), *date, std::move(*factorID)};
}

std::shared_ptr<MultiFactorInfo> MultiFactorInfo::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto fields = decodeFields(coder);
    return fields ? std::make_shared<MultiFactorInfo>(std::move(*fields)) : nullptr;
}

void PhoneMultiFactorInfo::encodeWithCoder(platform::KeyedArchiver& coder) const {
    MultiFactorInfo::encodeWithCoder(coder);
    coder.encodeObject(platform::Value(phoneNumber_), kPhoneNumberCodingKey);
}

std::shared_ptr<PhoneMultiFactorInfo> PhoneMultiFactorInfo::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto phoneNumber = coding::decodeText(coder, kPhoneNumberCodingKey);
    if (!phoneNumber) return nullptr;
    auto fields = decodeFields(coder);
    return fields ? std::make_shared<PhoneMultiFactorInfo>(std::move(*fields), std::move(*phoneNumber)) : nullptr;
}

std::shared_ptr<TOTPMultiFactorInfo> TOTPMultiFactorInfo::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto fields = decodeFields(coder);
    return fields ? std::make_shared<TOTPMultiFactorInfo>(std::move(*fields)) : nullptr;
}

std::shared_ptr<MultiFactorInfo> MultiFactorInfo::fromArchivedValue(const platform::Value& value) {
    if (auto phone = value.object<PhoneMultiFactorInfo>()) return phone;
    if (auto totp = value.object<TOTPMultiFactorInfo>()) return totp;
    return value.object<MultiFactorInfo>();
}

platform::Value MultiFactorInfo::archivedValue(const std::shared_ptr<MultiFactorInfo>& info) {
    platform::archiveClassName<MultiFactorInfo>();
    if (auto phone = std::dynamic_pointer_cast<PhoneMultiFactorInfo>(info)) {
        platform::archiveClassName<PhoneMultiFactorInfo>();
        return platform::Value::object(std::move(phone));
    }
    if (auto totp = std::dynamic_pointer_cast<TOTPMultiFactorInfo>(info)) {
        platform::archiveClassName<TOTPMultiFactorInfo>();
        return platform::Value::object(std::move(totp));
    }
    return info ? platform::Value::object(info) : platform::Value();
}

platform::ArchiveClassList MultiFactorInfo::archiveClassesOfList() {
    return platform::archiveClasses<platform::Array, MultiFactorInfo, PhoneMultiFactorInfo, TOTPMultiFactorInfo>();
}

}  // namespace brisko::auth
