// The parameters of the redirect that ends a logout: the state and any further members.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "oauth/EndSessionRequest.hpp"
#include "oauth/FieldMapping.hpp"
#include "oauth/OAuthTypes.hpp"

namespace brisko::oauth {

class EndSessionResponse {
  public:
    static constexpr std::string_view kArchiveClassName = "OACEndSessionResponse";

    static std::shared_ptr<const EndSessionResponse> make(EndSessionRequestPtr request, const Dictionary& parameters);
    static const FieldMap<EndSessionResponse>& fieldMap();

    const EndSessionRequestPtr& request() const { return request_; }
    const std::optional<std::string>& state() const { return state_; }
    const Dictionary& additionalParameters() const { return additionalParameters_; }

    std::string description() const;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    static std::shared_ptr<EndSessionResponse> initWithCoder(platform::KeyedUnarchiver& coder);

    EndSessionResponse() = default;  // for make and decoding only

  private:
    EndSessionRequestPtr request_;
    std::optional<std::string> state_;
    Dictionary additionalParameters_;
};

using EndSessionResponsePtr = std::shared_ptr<const EndSessionResponse>;

}  // namespace brisko::oauth
