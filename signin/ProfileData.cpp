// Avatar sizing and the profile's archive.
#include "signin/ProfileData.hpp"

#include <regex>

namespace brisko::signin {

namespace {
constexpr std::string_view kEmailKey = "email";
constexpr std::string_view kNameKey = "name";
constexpr std::string_view kGivenNameKey = "given_name";
constexpr std::string_view kFamilyNameKey = "family_name";
constexpr std::string_view kImageURLKey = "image_url";
constexpr std::string_view kLegacyPictureKey = "picture";
constexpr std::string_view kSizeQueryItem = "sz";

// Ezevar's avatar image hosts: lh3 to lh6 (optionally -tt, -d<a-g,z> or -testonly) on one of the two
// image domains, with a path that starts with an "a" or "a-" segment.
const std::regex& avatarHostPattern() {
    static const std::regex pattern(
        R"(lh[3-6](-tt|-d[a-g,z]|-testonly)?\.(ezevarusercontent|ezevarimg)\.[a-z]+/(a|a-)/)");
    return pattern;
}

void encodeOptional(platform::KeyedArchiver& coder, const std::optional<std::string>& value, std::string_view key) {
    if (value) coder.encodeObject(platform::Value(*value), key);
}
}  // namespace

bool ProfileData::isFIFEAvatarURL(const platform::URL& url) {
    return std::regex_search(url.absoluteString(), avatarHostPattern());
}

std::optional<platform::URL> ProfileData::imageURLWithDimension(std::uint64_t dimension) const {
    if (!imageURL_) return std::nullopt;
    platform::URLComponents components(*imageURL_);
    const std::string size = std::to_string(dimension);
    if (isFIFEAvatarURL(*imageURL_)) {
        static const std::regex sizeSuffix("=.*");
        std::string path = std::regex_replace(components.path(), sizeSuffix, "");
        components.setPath(path + "=s" + size);
    } else {
        components.setQueryItems(std::vector<platform::URLQueryItem>{{std::string(kSizeQueryItem), size}});
    }
    return components.url();
}

void ProfileData::encodeWithCoder(platform::KeyedArchiver& coder) const {
    encodeOptional(coder, email_, kEmailKey);
    encodeOptional(coder, name_, kNameKey);
    encodeOptional(coder, givenName_, kGivenNameKey);
    encodeOptional(coder, familyName_, kFamilyNameKey);
    if (imageURL_) coder.encodeObject(platform::Value(imageURL_->absoluteString()), kImageURLKey);
}

std::shared_ptr<ProfileData> ProfileData::initWithCoder(platform::KeyedUnarchiver& coder) {
    std::optional<platform::URL> image;
    if (auto text = coder.decodeObjectOfClass<std::string>(kImageURLKey)) image = platform::URL::parse(*text);
    if (auto picture = coder.decodeObjectOfClass<std::string>(kLegacyPictureKey))
        image = platform::URL::parse(*picture);
    return std::make_shared<ProfileData>(coder.decodeObjectOfClass<std::string>(kEmailKey),
                                         coder.decodeObjectOfClass<std::string>(kNameKey),
                                         coder.decodeObjectOfClass<std::string>(kGivenNameKey),
                                         coder.decodeObjectOfClass<std::string>(kFamilyNameKey), std::move(image));
}

}  // namespace brisko::signin
