// Receives an authorization redirect on the user's own machine: a loopback listener whose address is the
// redirect URI; the request that completes the flow is answered with a page and stops the listener.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "oauth/ExternalUserAgent.hpp"
#include "oauth/HTTPServer.hpp"
#include "oauth/OAuthTypes.hpp"

namespace brisko::oauth {

inline constexpr std::string_view kRedirectCompletionPage =
    "<html><body>Authorization complete.<br> Return to the app.</body></html>";
inline constexpr std::string_view kRedirectFailurePage =
    "<html><body>Authorization failed.<br> Return to the app.</body></html>";
inline constexpr std::string_view kRedirectInvalidPage =
    "<html><body>OAuthClient Error: Not a valid redirect.</body></html>";
inline constexpr std::string_view kRedirectNoFlowPage =
    "<html><body>OAuthClient Error: No <code>currentAuthorizationFlow</code> is set on the "
    "<code>OACRedirectHTTPHandler</code>. Cannot process redirect.</body></html>";
inline constexpr std::string_view kHTTPListenerCancelledDescription =
    "The HTTP listener was cancelled programmatically.";

// Main thread only.
class RedirectHTTPHandler : public HTTPServerDelegate, public std::enable_shared_from_this<RedirectHTTPHandler> {
  public:
    explicit RedirectHTTPHandler(std::optional<URL> successURL = std::nullopt, HTTPServerLimits limits = {});
    ~RedirectHTTPHandler() override;

    // Cancels any earlier listener, then listens; answers "http://127.0.0.1:PORT/" (or "http://[::1]:PORT/"
    // when only IPv6 listens), or nothing with the server's error.
    std::optional<URL> startHTTPListener(OptionalError* error = nullptr, std::uint16_t port = 0);
    // Stops the listener and fails the waiting flow with -4.
    void cancelHTTPListener();

    std::shared_ptr<ExternalUserAgentSession> currentAuthorizationFlow() const { return currentAuthorizationFlow_; }
    void setCurrentAuthorizationFlow(std::shared_ptr<ExternalUserAgentSession> flow) {
        currentAuthorizationFlow_ = std::move(flow);
    }

    // The listening server, while there is one.
    const std::shared_ptr<HTTPServer>& server() const { return httpServ_; }

    void HTTPConnectionDidReceiveRequest(const std::shared_ptr<HTTPConnection>& connection,
                                         const std::shared_ptr<HTTPServerRequest>& request) override;

  private:
    void stopHTTPListener();

    std::shared_ptr<HTTPServer> httpServ_;
    std::optional<URL> successURL_;
    HTTPServerLimits limits_;
    std::shared_ptr<ExternalUserAgentSession> currentAuthorizationFlow_;
};

}  // namespace brisko::oauth
