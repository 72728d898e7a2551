// End-session redirects.
#include "oauth/EndSessionResponse.hpp"

#include "oauth/internal/Archive.hpp"
#include "oauth/internal/Describe.hpp"
#include "platform/base/Text.hpp"

namespace brisko::oauth {

const FieldMap<EndSessionResponse>& EndSessionResponse::fieldMap() {
    static const FieldMap<EndSessionResponse> map{{"state", {"state", &EndSessionResponse::state_}}};
    return map;
}

std::shared_ptr<const EndSessionResponse> EndSessionResponse::make(EndSessionRequestPtr request,
                                                                   const Dictionary& parameters) {
    auto response = std::make_shared<EndSessionResponse>();
    response->request_ = std::move(request);
    response->additionalParameters_ = remainingParametersWithMap(fieldMap(), parameters, *response);
    return response;
}

std::string EndSessionResponse::description() const {
    return platform::format("<OACEndSessionResponse: %@, state: \"%@\", additionalParameters: %@, request: %@>",
                            {detail::pointerText(this), detail::orNull(state_),
                             Value(additionalParameters_).description(), detail::orNull(request_)});
}

void EndSessionResponse::encodeWithCoder(platform::KeyedArchiver& coder) const {
    detail::encodeRecord(coder, request_, "request");
    oauth::encodeWithCoder(coder, fieldMap(), *this);
    coder.encodeObject(Value(additionalParameters_), "additionalParameters");
}

std::shared_ptr<EndSessionResponse> EndSessionResponse::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto response = std::make_shared<EndSessionResponse>();
    response->request_ = detail::decodeRecord<EndSessionRequest>(coder, "request");
    if (!response->request_) return nullptr;
    oauth::decodeWithCoder(coder, fieldMap(), *response);
    response->additionalParameters_ = detail::decodeJSONDictionary(coder, "additionalParameters");
    return response;
}

}  // namespace brisko::oauth
