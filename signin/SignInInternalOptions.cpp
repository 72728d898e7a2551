// Building flow options.
#include "signin/SignInInternalOptions.hpp"

#include "signin/Scopes.hpp"

namespace brisko::signin {

std::shared_ptr<SignInInternalOptions>
SignInInternalOptions::defaultOptions(std::shared_ptr<Configuration> configuration, PresentingWindow presentingWindow,
                                      std::optional<std::string> loginHint, bool addScopesFlow,
                                      const std::vector<std::string>& scopes, std::optional<std::string> nonce,
                                      ClaimSet claims, SignInCompletion completion) {
    auto options = std::make_shared<SignInInternalOptions>();
    options->interactive_ = true;
    options->addScopesFlow_ = addScopesFlow;
    options->configuration_ = std::move(configuration);
    options->presentingWindow_ = presentingWindow;
    options->loginHint_ = std::move(loginHint);
    options->completion_ = std::move(completion);
    options->scopes_ = Scopes::scopesWithBasicProfile(scopes);
    options->nonce_ = std::move(nonce);
    options->claims_ = std::move(claims);
    return options;
}

std::shared_ptr<SignInInternalOptions>
SignInInternalOptions::defaultOptions(std::shared_ptr<Configuration> configuration, PresentingWindow presentingWindow,
                                      std::optional<std::string> loginHint, bool addScopesFlow,
                                      SignInCompletion completion) {
    return defaultOptions(std::move(configuration), presentingWindow, std::move(loginHint), addScopesFlow, {},
                          std::nullopt, {}, std::move(completion));
}

std::shared_ptr<SignInInternalOptions> SignInInternalOptions::silentOptions(SignInCompletion completion) {
    auto options = defaultOptions(nullptr, 0, std::nullopt, false, std::move(completion));
    options->interactive_ = false;
    return options;
}

std::shared_ptr<SignInInternalOptions>
SignInInternalOptions::optionsWithExtraParameters(const oauth::StringMap& extraParams, bool continuation) const {
    auto options = std::make_shared<SignInInternalOptions>();
    options->interactive_ = interactive_;
    options->addScopesFlow_ = addScopesFlow_;
    options->configuration_ = configuration_;
    options->presentingWindow_ = presentingWindow_;
    options->loginHint_ = loginHint_;
    options->completion_ = completion_;
    options->scopes_ = scopes_;
    options->claims_ = claims_;
    options->continuation_ = continuation;
    options->extraParams_ = extraParams;
    return options;
}

}  // namespace brisko::signin
