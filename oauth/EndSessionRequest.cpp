// End-session (logout) requests and their URL.
#include "oauth/EndSessionRequest.hpp"

#include "oauth/ErrorUtilities.hpp"
#include "oauth/TokenUtilities.hpp"
#include "oauth/URLQueryComponent.hpp"
#include "oauth/internal/Archive.hpp"
#include "oauth/internal/Describe.hpp"

namespace brisko::oauth {
namespace {

constexpr std::size_t kStateSizeBytes = 32;

URL buildURL(const EndSessionRequest& r, bool forDescription) {
    URLQueryComponent query;
    query.addParameters(r.additionalParameters());
    auto secret = [&](const std::optional<std::string>& v) { return forDescription ? TokenUtilities::redact(v) : v; };
    if (auto hint = secret(r.idTokenHint())) query.addParameter("id_token_hint", *hint);
    if (r.postLogoutRedirectURL()) query.addParameter("post_logout_redirect_uri", r.postLogoutRedirectURL()->absoluteString());
    if (auto state = secret(r.state())) query.addParameter("state", *state);
    const auto& endpoint = r.configuration()->endSessionEndpoint();
    if (!endpoint) ErrorUtilities::assertionFailure("The service configuration is missing an end_session_endpoint.");
    auto url = query.URLByAddingQueryToURL(*endpoint);
    return url ? *url : *endpoint;
}

}  // namespace

std::shared_ptr<const EndSessionRequest> EndSessionRequest::make(ServiceConfigurationPtr configuration,
                                                                 std::optional<std::string> idTokenHint,
                                                                 std::optional<URL> postLogoutRedirectURL,
                                                                 std::optional<std::string> state,
                                                                 StringMap additionalParameters) {
    if (!configuration) ErrorUtilities::assertionFailure("An end-session request needs a service configuration.");
    auto request = std::make_shared<EndSessionRequest>();
    request->configuration_ = std::move(configuration);
    request->idTokenHint_ = std::move(idTokenHint);
    request->postLogoutRedirectURL_ = std::move(postLogoutRedirectURL);
    request->state_ = std::move(state);
    request->additionalParameters_ = std::move(additionalParameters);
    return request;
}

std::shared_ptr<const EndSessionRequest> EndSessionRequest::make(ServiceConfigurationPtr configuration,
                                                                 std::optional<std::string> idTokenHint,
                                                                 std::optional<URL> postLogoutRedirectURL,
                                                                 StringMap additionalParameters) {
    auto state = generateState();
    if (!state) {
        throw platform::ErrorException(ErrorUtilities::errorWithCode(
            ErrorCode::randomSourceError, std::nullopt, std::string("The system's secure random source failed.")));
    }
    return make(std::move(configuration), std::move(idTokenHint), std::move(postLogoutRedirectURL), std::move(state),
                std::move(additionalParameters));
}

std::optional<std::string> EndSessionRequest::generateState() {
    return TokenUtilities::randomURLSafeStringWithSize(kStateSizeBytes);
}

URL EndSessionRequest::endSessionRequestURL() const { return buildURL(*this, false); }

std::optional<std::string> EndSessionRequest::redirectScheme() const {
    if (!postLogoutRedirectURL_) return std::nullopt;
    return postLogoutRedirectURL_->scheme();
}

std::string EndSessionRequest::description() const {
    std::string url = configuration_->endSessionEndpoint() ? buildURL(*this, true).absoluteString() : "(null)";
    return "<OACEndSessionRequest: " + detail::pointerText(this) + ", request: " + url + ">";
}

void EndSessionRequest::encodeWithCoder(platform::KeyedArchiver& coder) const {
    detail::encodeRecord(coder, configuration_, "configuration");
    detail::encodeText(coder, idTokenHint_, "id_token_hint");
    detail::encodeURL(coder, postLogoutRedirectURL_, "post_logout_redirect_uri");
    detail::encodeText(coder, state_, "state");
    detail::encodeStringMap(coder, additionalParameters_, "additionalParameters");
}

std::shared_ptr<EndSessionRequest> EndSessionRequest::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto request = std::make_shared<EndSessionRequest>();
    request->configuration_ = detail::decodeRecord<ServiceConfiguration>(coder, "configuration");
    if (!request->configuration_) return nullptr;
    request->idTokenHint_ = detail::decodeText(coder, "id_token_hint");
    request->postLogoutRedirectURL_ = detail::decodeURL(coder, "post_logout_redirect_uri");
    request->state_ = detail::decodeText(coder, "state");
    request->additionalParameters_ = detail::decodeStringMap(coder, "additionalParameters");
    return request;
}

}  // namespace brisko::oauth
