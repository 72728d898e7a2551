// The network face of the OAuth client: present flows, post token and registration requests with the
// ID-token checks, and fetch discovery documents. Every completion runs on the main queue.
#pragma once

#include <functional>
#include <memory>

#include "oauth/AuthorizationRequest.hpp"
#include "oauth/AuthorizationResponse.hpp"
#include "oauth/AuthorizationSession.hpp"
#include "oauth/EndSessionRequest.hpp"
#include "oauth/ExternalUserAgent.hpp"
#include "oauth/OAuthTypes.hpp"
#include "oauth/RegistrationRequest.hpp"
#include "oauth/RegistrationResponse.hpp"
#include "oauth/ServiceConfiguration.hpp"
#include "oauth/TokenRequest.hpp"
#include "oauth/TokenResponse.hpp"
#include "platform/net/URLSession.hpp"

namespace brisko::oauth {

inline constexpr std::string_view kOpenIDConfigurationPath = ".well-known/openid-configuration";
// The largest distance between an ID token's "iat" and now, in seconds.
inline constexpr int kIDTokenIssuedAtLeeway = 600;

using ServiceConfigurationCallback = std::function<void(ServiceConfigurationPtr, OptionalError)>;
using TokenCallback = std::function<void(TokenResponsePtr, OptionalError)>;
using RegistrationCallback = std::function<void(RegistrationResponsePtr, OptionalError)>;
// The window a flow is presented over (its native id); 0 for none.
using PresentingWindow = std::uint64_t;

class AuthorizationService {
  public:
    static void discoverServiceConfigurationForIssuer(const URL& issuerURL, ServiceConfigurationCallback completion);
    static void discoverServiceConfigurationForDiscoveryURL(const URL& discoveryURL,
                                                            ServiceConfigurationCallback completion);

    // Starts the flow and answers its session, which the caller keeps to resume it with the redirect URL
    // (handleURL of the app's scheme) or to cancel it.
    static std::shared_ptr<AuthorizationSession> presentAuthorizationRequest(
        AuthorizationRequestPtr request, std::shared_ptr<ExternalUserAgent> externalUserAgent,
        AuthorizationCallback callback);
    // The same in the user's default browser (the desktop agent; the window is where it would be shown).
    static std::shared_ptr<AuthorizationSession> presentAuthorizationRequest(AuthorizationRequestPtr request,
                                                                             PresentingWindow presentingWindow,
                                                                             AuthorizationCallback callback);
    static std::shared_ptr<AuthorizationSession> presentAuthorizationRequest(AuthorizationRequestPtr request,
                                                                             PresentingWindow presentingWindow,
                                                                             bool prefersEphemeralSession,
                                                                             AuthorizationCallback callback);
    static std::shared_ptr<AuthorizationSession> presentAuthorizationRequest(AuthorizationRequestPtr request,
                                                                             AuthorizationCallback callback);
    static std::shared_ptr<EndSessionImplementation> presentEndSessionRequest(
        EndSessionRequestPtr request, std::shared_ptr<ExternalUserAgent> externalUserAgent, EndSessionCallback callback);

    static void performTokenRequest(TokenRequestPtr request, TokenCallback callback);
    // The authorization response serves the nonce check of a code exchange.
    static void performTokenRequest(TokenRequestPtr request, AuthorizationResponsePtr originalAuthorizationResponse,
                                    TokenCallback callback);
    static void performRegistrationRequest(RegistrationRequestPtr request, RegistrationCallback completion);
};

// The URL session every call of the client uses; set it before the first call. Unless set, a session of
// the client's own, which does not follow redirects of token and registration requests.
class URLSessionProvider {
  public:
    static std::shared_ptr<platform::URLSession> session();
    static void setSession(std::shared_ptr<platform::URLSession> session);
};

}  // namespace brisko::oauth
