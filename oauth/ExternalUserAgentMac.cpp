// The desktop's external user agent: the default browser.
#include "oauth/ExternalUserAgentMac.hpp"

#include "oauth/ErrorUtilities.hpp"
#include "platform/desktop/Workspace.hpp"

namespace brisko::oauth {
namespace {
constexpr std::string_view kUnableToOpenBrowser = "Unable to open the browser.";
}  // namespace

bool ExternalUserAgentMac::presentExternalUserAgentRequest(std::shared_ptr<const ExternalUserAgentRequest> request,
                                                           std::shared_ptr<ExternalUserAgentSession> session) {
    if (externalUserAgentFlowInProgress_) return false;
    externalUserAgentFlowInProgress_ = true;
    session_ = session;
    auto url = request->externalUserAgentRequestURL();
    bool opened = false;
    if (url) opened = opener_ ? opener_(url->absoluteString()) : platform::openURL(url->absoluteString());
    if (!opened) {
        cleanUp();
        session->failExternalUserAgentFlowWithError(ErrorUtilities::errorWithCode(
            ErrorCode::browserOpenError, std::nullopt, std::string(kUnableToOpenBrowser)));
        return false;
    }
    return true;
}

void ExternalUserAgentMac::dismissExternalUserAgentAnimated(bool /*animated*/, std::function<void()> completion) {
    // The browser's tab is the user's: there is nothing to close, only the flow to forget.
    if (externalUserAgentFlowInProgress_) cleanUp();
    if (completion) completion();
}

void ExternalUserAgentMac::cleanUp() {
    session_.reset();
    externalUserAgentFlowInProgress_ = false;
}

}  // namespace brisko::oauth
