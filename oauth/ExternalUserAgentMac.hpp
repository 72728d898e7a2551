// The desktop's external user agent: opens a request in the user's default browser (xdg-open, which
// honours $BROWSER); the redirect comes back through the app's URL scheme or the loopback listener.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include "oauth/AuthorizationService.hpp"
#include "oauth/ExternalUserAgent.hpp"

namespace brisko::oauth {

class ExternalUserAgentMac : public ExternalUserAgent, public std::enable_shared_from_this<ExternalUserAgentMac> {
  public:
    // Opens a URL; answers whether the browser was started.
    using URLOpener = std::function<bool(std::string_view url)>;

    ExternalUserAgentMac() = default;
    // The window the page belongs to; a browser shows the page in its own window on this desktop. The
    // ephemeral preference is kept for callers that read it: the user's own browser cannot be asked to
    // keep its cookies apart.
    explicit ExternalUserAgentMac(PresentingWindow presentingWindow, bool prefersEphemeralSession = false)
        : presentingWindow_(presentingWindow), prefersEphemeralSession_(prefersEphemeralSession) {}

    // Answers false while a flow is in progress (one flow at a time); fails the session with -10
    // "Unable to open the browser." and answers false when the browser cannot be started.
    bool presentExternalUserAgentRequest(std::shared_ptr<const ExternalUserAgentRequest> request,
                                         std::shared_ptr<ExternalUserAgentSession> session) override;
    void dismissExternalUserAgentAnimated(bool animated, std::function<void()> completion) override;

    PresentingWindow presentingWindow() const { return presentingWindow_; }
    bool prefersEphemeralSession() const { return prefersEphemeralSession_; }
    bool externalUserAgentFlowInProgress() const { return externalUserAgentFlowInProgress_; }

    // platform::openURL unless replaced.
    void setURLOpener(URLOpener opener) { opener_ = std::move(opener); }

  private:
    void cleanUp();

    bool externalUserAgentFlowInProgress_ = false;
    std::weak_ptr<ExternalUserAgentSession> session_;
    PresentingWindow presentingWindow_ = 0;
    bool prefersEphemeralSession_ = false;
    URLOpener opener_;
};

}  // namespace brisko::oauth
