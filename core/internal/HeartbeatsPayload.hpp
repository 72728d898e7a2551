// What a flush hands over: the stored heartbeats' days grouped per user agent, and its header value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/internal/HeartbeatDate.hpp"
#include "platform/base/Value.hpp"

namespace brisko::core::internal {

// A value that can be sent as an HTTP header.
class HTTPHeaderRepresentable {
  public:
    virtual ~HTTPHeaderRepresentable() = default;
    virtual std::string headerValue() const = 0;
};

struct UserAgentPayload {
    std::string agent;
    std::vector<Date> dates;
    bool operator==(const UserAgentPayload&) const = default;
};

struct HeartbeatsPayload final : HTTPHeaderRepresentable {
    static constexpr std::int64_t kVersion = 2;

    std::vector<UserAgentPayload> userAgentPayloads;
    std::int64_t version = kVersion;

    HeartbeatsPayload() = default;
    HeartbeatsPayload(std::vector<UserAgentPayload> payloads, std::int64_t v = kVersion)
        : userAgentPayloads(std::move(payloads)), version(v) {}

    // No entries, version 2.
    static const HeartbeatsPayload& empty();

    bool isEmpty() const { return userAgentPayloads.empty(); }

    // The JSON with "yyyy-MM-dd" day strings, gzip-compressed (uncompressed when that fails), as
    // base64url without padding. Never fails.
    std::string headerValue() const override;
    // The JSON object {"heartbeats": [{"agent", "dates"}...], "version"} with day strings.
    std::string jsonText() const;
    // Decodes the JSON form (all keys required); nothing when it does not match.
    static std::optional<HeartbeatsPayload> fromJSONText(std::string_view text);

    bool operator==(const HeartbeatsPayload& other) const {
        return userAgentPayloads == other.userAgentPayloads && version == other.version;
    }
};

// Base64url text without padding: standard base64, then "/" to "_", "+" to "-", "=" removed.
std::string base64URLEncodedString(const platform::Data& data);
// The bytes of base64url text (padding restored); nothing when it is not valid.
std::optional<platform::Data> dataFromBase64URLEncoded(std::string_view text);
// Gzip through the utilities' data compression; nothing when that reports failure.
std::optional<platform::Data> zipped(const platform::Data& data);
std::optional<platform::Data> unzipped(const platform::Data& data);

}  // namespace brisko::core::internal
