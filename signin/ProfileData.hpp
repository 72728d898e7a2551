// The basic profile of a signed-in Ezevar user, with avatar URLs sized on request.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/net/URL.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::signin {

class ProfileData {
public:
    static constexpr std::string_view kArchiveClassName = "EIDProfileData";

    ProfileData(std::optional<std::string> email, std::optional<std::string> name, std::optional<std::string> givenName,
                std::optional<std::string> familyName, std::optional<platform::URL> imageURL)
        : email_(std::move(email)), name_(std::move(name)), givenName_(std::move(givenName)),
          familyName_(std::move(familyName)), imageURL_(std::move(imageURL)) {}

    const std::optional<std::string>& email() const { return email_; }
    const std::optional<std::string>& name() const { return name_; }
    const std::optional<std::string>& givenName() const { return givenName_; }
    const std::optional<std::string>& familyName() const { return familyName_; }
    bool hasImage() const { return imageURL_.has_value(); }

    // The avatar at `dimension` pixels: an Ezevar avatar host's path ends in "=s<d>", any other URL
    // gets the single query item "sz=<d>". Nothing without an image.
    std::optional<platform::URL> imageURLWithDimension(std::uint64_t dimension) const;
    static bool isFIFEAvatarURL(const platform::URL& url);

    bool operator==(const ProfileData&) const = default;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    static std::shared_ptr<ProfileData> initWithCoder(platform::KeyedUnarchiver& coder);

private:
    std::optional<std::string> email_, name_, givenName_, familyName_;
    std::optional<platform::URL> imageURL_;
};

}  // namespace brisko::signin
