// The parts of a person's name (given, family, ...), archivable with the keyed archiver.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::platform {

struct PersonNameComponents {
    static constexpr std::string_view kArchiveClassName = "NSPersonNameComponents";

    std::optional<std::string> namePrefix;
    std::optional<std::string> givenName;
    std::optional<std::string> middleName;
    std::optional<std::string> familyName;
    std::optional<std::string> nameSuffix;
    std::optional<std::string> nickname;

    bool operator==(const PersonNameComponents&) const = default;

    static constexpr std::string_view kNamePrefixKey = "NS.namePrefix";
    static constexpr std::string_view kGivenNameKey = "NS.givenName";
    static constexpr std::string_view kMiddleNameKey = "NS.middleName";
    static constexpr std::string_view kFamilyNameKey = "NS.familyName";
    static constexpr std::string_view kNameSuffixKey = "NS.nameSuffix";
    static constexpr std::string_view kNicknameKey = "NS.nickname";

    void encodeWithCoder(KeyedArchiver& coder) const {
        auto put = [&](const std::optional<std::string>& part, std::string_view key) {
            if (part) coder.encodeObject(Value(*part), key);
        };
        put(namePrefix, kNamePrefixKey);
        put(givenName, kGivenNameKey);
        put(middleName, kMiddleNameKey);
        put(familyName, kFamilyNameKey);
        put(nameSuffix, kNameSuffixKey);
        put(nickname, kNicknameKey);
    }
    static std::shared_ptr<PersonNameComponents> initWithCoder(KeyedUnarchiver& coder) {
        auto name = std::make_shared<PersonNameComponents>();
        name->namePrefix = coder.decodeObjectOfClass<std::string>(kNamePrefixKey);
        name->givenName = coder.decodeObjectOfClass<std::string>(kGivenNameKey);
        name->middleName = coder.decodeObjectOfClass<std::string>(kMiddleNameKey);
        name->familyName = coder.decodeObjectOfClass<std::string>(kFamilyNameKey);
        name->nameSuffix = coder.decodeObjectOfClass<std::string>(kNameSuffixKey);
        name->nickname = coder.decodeObjectOfClass<std::string>(kNicknameKey);
        return name;
    }
};

}  // namespace brisko::platform
