// One second factor enrolled on an account: its enrolment ID, display name, enrolment date and kind.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Value.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::auth {

struct AuthProtoMFAEnrollment;

// The factor IDs of the whole system.
inline constexpr std::string_view kPhoneMultiFactorID = "phone";
inline constexpr std::string_view kTOTPMultiFactorID = "totp";

class MultiFactorInfo {
  public:
    static constexpr std::string_view kArchiveClassName = "ZIRMultiFactorInfo";
    static constexpr std::string_view kUIDCodingKey = "uid";
    static constexpr std::string_view kDisplayNameCodingKey = "displayName";
    static constexpr std::string_view kEnrollmentDateCodingKey = "enrollmentDate";
    static constexpr std::string_view kFactorIDCodingKey = "factorID";

    struct Fields {
        std::string uid;
        std::optional<std::string> displayName;
        platform::Date enrollmentDate;
        std::string factorID;
        bool operator==(const Fields&) const = default;
    };

    explicit MultiFactorInfo(Fields fields) : fields_(std::move(fields)) {}
    virtual ~MultiFactorInfo() = default;

    // The fields of a server enrolment record: nothing when it has no enrolment ID (logged, skipped);
    // an absent enrolment date is the moment of creation.
    static std::optional<Fields> fieldsFromEnrollment(const AuthProtoMFAEnrollment& record, std::string_view factorID);
    // The phone or TOTP info of a server record; nothing for a record of neither kind or without an
    // enrolment ID.
    static std::shared_ptr<MultiFactorInfo> fromEnrollment(const AuthProtoMFAEnrollment& record);

    const std::string& UID() const { return fields_.uid; }
    const std::optional<std::string>& displayName() const { return fields_.displayName; }
    platform::Date enrollmentDate() const { return fields_.enrollmentDate; }
    const std::string& factorID() const { return fields_.factorID; }

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    // Nothing unless "uid" and "factorID" hold texts and "enrollmentDate" a date.
    static std::shared_ptr<MultiFactorInfo> initWithCoder(platform::KeyedUnarchiver& coder);
    static std::optional<Fields> decodeFields(platform::KeyedUnarchiver& coder);

    // An archived info of any of the three classes, as the base; nullptr for anything else.
    static std::shared_ptr<MultiFactorInfo> fromArchivedValue(const platform::Value& value);
    // The info as an archivable value of its own class (phone, TOTP or base).
    static platform::Value archivedValue(const std::shared_ptr<MultiFactorInfo>& info);
    // The allowed classes of a list of infos.
    static platform::ArchiveClassList archiveClassesOfList();

  private:
    Fields fields_;
};

}  // namespace brisko::auth
