// The options of one sign-in flow: interactive or silent, configuration, window, hint, scopes, nonce,
// claims and the caller's completion.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "oauth/OAuthTypes.hpp"
#include "signin/Claim.hpp"
#include "signin/Configuration.hpp"
#include "signin/EzevarUser.hpp"

namespace brisko::signin {

class SignInInternalOptions {
public:
    // Interactive options; the scopes get the basic-profile ones.
    static std::shared_ptr<SignInInternalOptions>
    defaultOptions(std::shared_ptr<Configuration> configuration, PresentingWindow presentingWindow,
                   std::optional<std::string> loginHint, bool addScopesFlow, const std::vector<std::string>& scopes,
                   std::optional<std::string> nonce, ClaimSet claims, SignInCompletion completion);
    static std::shared_ptr<SignInInternalOptions> defaultOptions(std::shared_ptr<Configuration> configuration,
                                                                 PresentingWindow presentingWindow,
                                                                 std::optional<std::string> loginHint,
                                                                 bool addScopesFlow, SignInCompletion completion);
    static std::shared_ptr<SignInInternalOptions> silentOptions(SignInCompletion completion);
    // A copy with the given extra parameters and continuation flag; nonce and claims JSON left empty.
    std::shared_ptr<SignInInternalOptions> optionsWithExtraParameters(const oauth::StringMap& extraParams,
                                                                      bool continuation) const;

    bool interactive() const { return interactive_; }
    bool continuation() const { return continuation_; }
    bool addScopesFlow() const { return addScopesFlow_; }
    const oauth::StringMap& extraParams() const { return extraParams_; }
    const std::shared_ptr<Configuration>& configuration() const { return configuration_; }
    PresentingWindow presentingWindow() const { return presentingWindow_; }
    const SignInCompletion& completion() const { return completion_; }
    const std::vector<std::string>& scopes() const { return scopes_; }
    void setScopes(std::vector<std::string> scopes) { scopes_ = std::move(scopes); }
    const std::optional<std::string>& loginHint() const { return loginHint_; }
    void setLoginHint(std::optional<std::string> hint) { loginHint_ = std::move(hint); }
    const std::optional<std::string>& nonce() const { return nonce_; }
    const ClaimSet& claims() const { return claims_; }
    const std::optional<std::string>& claimsAsJSON() const { return claimsAsJSON_; }
    void setClaimsAsJSON(std::optional<std::string> json) { claimsAsJSON_ = std::move(json); }

private:
    bool interactive_ = false;
    bool continuation_ = false;
    bool addScopesFlow_ = false;
    oauth::StringMap extraParams_;
    std::shared_ptr<Configuration> configuration_;
    PresentingWindow presentingWindow_ = 0;
    SignInCompletion completion_;
    std::vector<std::string> scopes_;
    std::optional<std::string> loginHint_;
    std::optional<std::string> nonce_;
    ClaimSet claims_;
    std::optional<std::string> claimsAsJSON_;
};

}  // namespace brisko::signin
