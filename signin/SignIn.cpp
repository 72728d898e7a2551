// The sign-in flows: options, the authorization request in the browser, code exchange, profile, keychain
// save and completion, run as steps on a flow's callback queue; restore, add scopes, sign-out, disconnect.
#include "signin/SignIn.hpp"

#include <algorithm>
#include <chrono>
#include <set>

#include <nlohmann/json.hpp>

#include "oauth/AuthorizationService.hpp"
#include "oauth/ErrorUtilities.hpp"
#include "oauth/ExternalUserAgentMac.hpp"
#include "oauth/URLQueryComponent.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/base/JSON.hpp"
#include "platform/base/Text.hpp"
#include "platform/storage/ProcessInfo.hpp"
#include "platform/storage/UserDefaults.hpp"
#include "signin/SignInCallbackSchemes.hpp"
#include "signin/SignInPreferences.hpp"

namespace brisko::signin {

namespace {
constexpr std::string_view kInvalidArgumentException = "NSInvalidArgumentException";
constexpr std::string_view kNoConfigurationReason =
    "No active configuration. Make sure EIDClientID is set in Info.plist.";
constexpr std::string_view kNoClientIDReason = "You must specify |clientID| in |EIDConfiguration|";
constexpr std::string_view kNoWindowReason = "|presentingViewController| must be set.";
constexpr std::string_view kMissingSchemesReason = "Your app is missing support for the following URL schemes: %@";
constexpr std::string_view kAuthorizationEndpointFormat = "https://%@/o/oauth2/v2/auth";
constexpr std::string_view kTokenEndpointFormat = "https://%@/token";
constexpr std::string_view kUserInfoURLFormat = "https://%@/oauth2/v3/userinfo?access_token=%@";
constexpr std::string_view kRevokeURLFormat = "https://%@/o/oauth2/revoke?token=%@";
constexpr std::string_view kResponseTypeCode = "code";
constexpr std::string_view kUserInfoComment = "EIDSignIn: fetch basic profile info";
constexpr std::string_view kRevokeComment = "EIDSignIn: revoke tokens";
constexpr std::string_view kIncludeGrantedScopesKey = "include_granted_scopes";
constexpr std::string_view kAudienceKey = "audience";
constexpr std::string_view kLoginHintKey = "login_hint";
constexpr std::string_view kHostedDomainParameter = "hd";
constexpr std::string_view kClaimsKey = "claims";
constexpr std::string_view kOpenIDRealmParameter = "openid.realm";
constexpr std::string_view kErrorParameter = "error";
constexpr std::string_view kEMMActionKey = "action";
constexpr std::string_view kEMMRestartAuth = "restart_auth";
constexpr std::string_view kEMMResumeKey = "emmres";
constexpr std::string_view kPictureClaim = "picture";
constexpr std::string_view kNameClaim = "name";
constexpr std::string_view kGivenNameClaim = "given_name";
constexpr std::string_view kFamilyNameClaim = "family_name";
constexpr std::string_view kEmailClaim = "email";
// An access token with more than this many seconds left needs no token request.
constexpr double kMinimumTokenLifetime = 600;
constexpr double kMaxRetryInterval = 15;
constexpr auto kDevicePolicyRestartDelay = std::chrono::seconds(1);

double secondsLeft(const std::optional<platform::Date>& date) {
    if (!date) return 0;
    return std::chrono::duration<double>(*date - std::chrono::system_clock::now()).count();
}

std::optional<std::string> claimText(const platform::Dictionary& claims, std::string_view name) {
    auto it = claims.find(name);
    if (it == claims.end() || !it->second.string()) return std::nullopt;
    return *it->second.string();
}

std::optional<std::string> jsonText(const nlohmann::json& object, const char* name) {
    auto it = object.find(name);
    if (it == object.end() || !it->is_string()) return std::nullopt;
    return it->get<std::string>();
}

std::optional<platform::URL> urlFromText(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return platform::URL::parse(*text);
}

std::string encodedQueryValue(std::string_view value) {
    return platform::percentEncode(value, platform::urlQueryItemAllowed());
}

}  // namespace

SignIn& SignIn::sharedInstance() {
    static const std::shared_ptr<SignIn> instance = [] {
        auto store = std::make_shared<KeychainStore>(std::string(kKeychainItemName));
        return make(store, std::make_shared<AuthStateMigration>(store));
    }();
    return *instance;
}

std::shared_ptr<SignIn> SignIn::make(std::shared_ptr<KeychainStore> keychainStore,
                                     std::shared_ptr<AuthStateMigration> authStateMigrationService) {
    std::shared_ptr<SignIn> signIn(new SignIn(std::move(keychainStore), std::move(authStateMigrationService)));
    signIn->initialize();
    return signIn;
}

SignIn::SignIn(std::shared_ptr<KeychainStore> keychainStore, std::shared_ptr<AuthStateMigration> migration)
    : keychainStore_(std::move(keychainStore)), migration_(std::move(migration)) {
    agentFactory_ = [](PresentingWindow window) -> std::shared_ptr<oauth::ExternalUserAgent> {
        return std::make_shared<oauth::ExternalUserAgentMac>(window);
    };
}

void SignIn::initialize() {
    if (auto bundle = platform::Bundle::main()) {
        configuration_ = configurationFromBundle(bundle.get());
        const platform::Value* loopback = bundle->objectForInfoDictionaryKey(kLoopbackRedirectKey);
        loopbackRedirect_ = loopback && loopback->boolean().value_or(false);
    }
    const bool fresh = isFreshInstall();
    auto authorization = platform::URL::parse(
        platform::format(kAuthorizationEndpointFormat, {SignInPreferences::ezevarAuthorizationServer()}));
    auto token = platform::URL::parse(platform::format(kTokenEndpointFormat, {SignInPreferences::ezevarTokenServer()}));
    oauthClientConfiguration_ =
        std::make_shared<const oauth::ServiceConfiguration>(*authorization, *token, SignInPreferences::ezevarIssuer());
    if (migration_) migration_->migrateIfNeededWithTokenURL(*token, kRedirectPath, fresh);
}

std::optional<std::string> SignIn::configValueFromBundle(const platform::Bundle* bundle, std::string_view key) {
    const platform::Value* value = bundle ? bundle->objectForInfoDictionaryKey(key) : nullptr;
    if (!value || !value->string()) return std::nullopt;
    return *value->string();
}

std::shared_ptr<Configuration> SignIn::configurationFromBundle(const platform::Bundle* bundle) {
    auto clientID = configValueFromBundle(bundle, kClientIDKey);
    if (!clientID) return nullptr;
    return std::make_shared<Configuration>(std::move(*clientID), configValueFromBundle(bundle, kServerClientIDKey),
                                           configValueFromBundle(bundle, kHostedDomainKey),
                                           configValueFromBundle(bundle, kOpenIDRealmKey));
}

bool SignIn::isFreshInstall() {
    auto defaults = platform::UserDefaults::standard();
    if (defaults->boolForKey(kAppHasRunBeforeKey).value_or(false)) return false;
    defaults->setBool(true, kAppHasRunBeforeKey);
    return true;
}

platform::Error SignIn::errorWithString(std::optional<std::string> text, SignInErrorCode code) {
    return signInError(code,
                       text ? std::move(text) : std::optional<std::string>(std::string(kUnknownErrorDescription)));
}

bool SignIn::isOperatingSystemAtLeast9() {
    return platform::ProcessInfo::processInfo().operatingSystemVersion().majorVersion >= 9;
}

// Interactive entry points.

void SignIn::signInWithPresentingWindow(PresentingWindow window, SignInCompletion completion) {
    signInWithOptions(
        SignInInternalOptions::defaultOptions(configuration_, window, std::nullopt, false, std::move(completion)));
}

void SignIn::signInWithPresentingWindow(PresentingWindow window, std::optional<std::string> hint,
                                        SignInCompletion completion) {
    signInWithOptions(
        SignInInternalOptions::defaultOptions(configuration_, window, std::move(hint), false, std::move(completion)));
}

void SignIn::signInWithPresentingWindow(PresentingWindow window, std::optional<std::string> hint,
                                        const std::vector<std::string>& additionalScopes, SignInCompletion completion) {
    signInWithPresentingWindow(window, std::move(hint), additionalScopes, std::nullopt, ClaimSet{},
                               std::move(completion));
}

void SignIn::signInWithPresentingWindow(PresentingWindow window, std::optional<std::string> hint,
                                        const std::vector<std::string>& additionalScopes,
                                        std::optional<std::string> nonce, SignInCompletion completion) {
    signInWithPresentingWindow(window, std::move(hint), additionalScopes, std::move(nonce), ClaimSet{},
                               std::move(completion));
}

void SignIn::signInWithPresentingWindow(PresentingWindow window, const ClaimSet& claims, SignInCompletion completion) {
    signInWithPresentingWindow(window, std::nullopt, {}, std::nullopt, claims, std::move(completion));
}

void SignIn::signInWithPresentingWindow(PresentingWindow window, std::optional<std::string> hint,
                                        const ClaimSet& claims, SignInCompletion completion) {
    signInWithPresentingWindow(window, std::move(hint), {}, std::nullopt, claims, std::move(completion));
}

void SignIn::signInWithPresentingWindow(PresentingWindow window, std::optional<std::string> hint,
                                        const std::vector<std::string>& additionalScopes, const ClaimSet& claims,
                                        SignInCompletion completion) {
    signInWithPresentingWindow(window, std::move(hint), additionalScopes, std::nullopt, claims, std::move(completion));
}

void SignIn::signInWithPresentingWindow(PresentingWindow window, std::optional<std::string> hint,
                                        const std::vector<std::string>& additionalScopes,
                                        std::optional<std::string> nonce, const ClaimSet& claims,
                                        SignInCompletion completion) {
    signInWithOptions(SignInInternalOptions::defaultOptions(configuration_, window, std::move(hint), false,
                                                            additionalScopes, std::move(nonce), claims,
                                                            std::move(completion)));
}

// The common entry of every flow.

void SignIn::assertValidParameters(const SignInInternalOptions& options) const {
    if (!configuration_)
        throw platform::ProgrammingException(std::string(kInvalidArgumentException),
                                             std::string(kNoConfigurationReason));
    if (!options.configuration() || options.configuration()->clientID().empty())
        throw platform::ProgrammingException(std::string(kInvalidArgumentException), std::string(kNoClientIDReason));
    if (options.presentingWindow() == 0)
        throw platform::ProgrammingException(std::string(kInvalidArgumentException), std::string(kNoWindowReason));
    // A loopback redirect needs no URL scheme of the app.
    auto missing = loopbackRedirect_ ? std::vector<std::string>{}
                                     : SignInCallbackSchemes(options.configuration()->clientID()).unsupportedSchemes();
    if (!missing.empty()) {
        std::string joined;
        for (const auto& scheme : missing) joined += (joined.empty() ? "" : ", ") + scheme;
        throw platform::ProgrammingException(std::string(kInvalidArgumentException),
                                             platform::format(kMissingSchemesReason, {joined}));
    }
}

void SignIn::supersedeFlowInProgress() {
    // A flow still waiting for its completion is ended as cancelled, so its caller is never left waiting,
    // and its late callbacks find the generation changed.
    auto earlier = std::move(currentOptions_);
    currentOptions_.reset();
    ++generation_;
    if (auto flow = std::move(currentAuthorizationFlow_)) {
        restarting_ = true;
        flow->cancel();
        restarting_ = false;
    }
    if (earlier && earlier->completion()) {
        auto completion = earlier->completion();
        platform::DispatchQueue::main()->async([completion] {
            completion(nullptr, signInError(SignInErrorCode::canceled, std::string(kUserCanceledDescription)));
        });
    }
}

void SignIn::signInWithOptions(std::shared_ptr<SignInInternalOptions> options) {
    if (options->interactive()) assertValidParameters(*options);
    if (!options->continuation()) {
        if (currentOptions_ && currentOptions_ != options) supersedeFlowInProgress();
        currentOptions_ = options;
    }

    if (!options->interactive() && currentUser_) {
        auto self = shared_from_this();
        const auto generation = generation_;
        currentUser_->refreshTokensIfNeededWithCompletion(
            [self, options, generation](const std::shared_ptr<EzevarUser>&, const platform::OptionalError& error) {
                if (generation != self->generation_) return;
                if (error) {
                    self->authenticateWithOptions(options);
                    return;
                }
                if (options->completion()) {
                    self->currentOptions_.reset();
                    auto result = std::make_shared<SignInResult>(self->currentUser_, std::nullopt);
                    auto completion = options->completion();
                    platform::DispatchQueue::main()->async([completion, result] { completion(result, std::nullopt); });
                }
            });
        return;
    }

    if (!options->claimsAsJSON()) {
        platform::OptionalError error;
        auto json = claimsInternalOptions_.validatedJSONStringForClaims(options->claims(), error);
        if (error) {
            if (options->completion()) {
                currentOptions_.reset();
                auto completion = options->completion();
                platform::DispatchQueue::main()->async([completion, error] { completion(nullptr, error); });
            }
            return;
        }
        options->setClaimsAsJSON(std::move(json));
    }
    authenticateWithOptions(std::move(options));
}

void SignIn::authenticateWithOptions(std::shared_ptr<SignInInternalOptions> options) {
    if (options->interactive()) {
        authenticateInteractivelyWithOptions(std::move(options));
        return;
    }
    auto state = loadAuthState();
    if (state && state->isAuthorized()) {
        auto flow = std::make_shared<AuthFlow>();
        flow->authState = std::move(state);
        runFlow(flow);
        return;
    }
    if (options->completion()) {
        currentOptions_.reset();
        auto completion = options->completion();
        platform::DispatchQueue::main()->async(
            [completion] { completion(nullptr, signInError(SignInErrorCode::hasNoAuthInKeychain)); });
    }
}

oauth::StringMap SignIn::additionalParametersFromOptions(const SignInInternalOptions& options) const {
    oauth::StringMap parameters;
    parameters[std::string(kIncludeGrantedScopesKey)] = "true";
    const auto& configuration = options.configuration();
    if (configuration && configuration->serverClientID())
        parameters[std::string(kAudienceKey)] = *configuration->serverClientID();
    if (options.loginHint()) parameters[std::string(kLoginHintKey)] = *options.loginHint();
    if (configuration && configuration->hostedDomain())
        parameters[std::string(kHostedDomainParameter)] = *configuration->hostedDomain();
    if (options.claimsAsJSON()) parameters[std::string(kClaimsKey)] = *options.claimsAsJSON();
    for (const auto& [key, value] : options.extraParams()) parameters[key] = value;
    parameters[std::string(kVersionTagKey)] = versionTag();
    parameters[std::string(kEnvironmentTagKey)] = environmentTag();
    return parameters;
}

std::optional<platform::URL> SignIn::redirectURLWithOptions(const SignInInternalOptions& options) const {
    if (!options.configuration()) return std::nullopt;
    const auto scheme = SignInCallbackSchemes(options.configuration()->clientID()).clientIdentifierScheme();
    return platform::URL::parse(scheme + ":" + std::string(kRedirectPath));
}

oauth::AuthorizationRequestPtr SignIn::authorizationRequestWithOptions(const SignInInternalOptions& options,
                                                                       std::optional<platform::URL> redirectURL) {
    if (!redirectURL) redirectURL = redirectURLWithOptions(options);
    return oauth::AuthorizationRequest::make(oauthClientConfiguration_, options.configuration()->clientID(),
                                             std::nullopt, options.scopes(), std::move(redirectURL),
                                             std::string(kResponseTypeCode), additionalParametersFromOptions(options),
                                             options.nonce());
}

void SignIn::authenticateInteractivelyWithOptions(std::shared_ptr<SignInInternalOptions> options) {
    std::optional<platform::URL> redirect;
    std::shared_ptr<oauth::RedirectHTTPHandler> listener;
    if (loopbackRedirect_) {
        listener = std::make_shared<oauth::RedirectHTTPHandler>();
        platform::OptionalError error;
        auto base = listener->startHTTPListener(&error);
        if (!base) {
            processAuthorizationResponse(nullptr, error, std::nullopt);
            return;
        }
        redirect = platform::URL::parse(std::string(kRedirectPath), *base);
    }
    auto request = authorizationRequestWithOptions(*options, redirect);
    auto self = shared_from_this();
    const auto generation = generation_;
    auto finished = std::make_shared<bool>(false);
    auto session = oauth::AuthorizationService::presentAuthorizationRequest(
        request, agentFactory_(options->presentingWindow()),
        [self, generation, finished, listener](oauth::AuthorizationResponsePtr response,
                                               platform::OptionalError error) {
            *finished = true;
            // The listener's work ends with the flow, whichever way it ended.
            if (listener && self->loopbackHandler_ == listener) self->loopbackHandler_.reset();
            if (generation != self->generation_) return;
            self->processAuthorizationResponse(std::move(response), std::move(error), std::nullopt);
        });
    // A flow that already ended (the browser could not be opened) is no flow to resume.
    if (*finished) return;
    currentAuthorizationFlow_ = session;
    if (listener) {
        listener->setCurrentAuthorizationFlow(session);
        loopbackHandler_ = std::move(listener);
    }
}

void SignIn::processAuthorizationResponse(oauth::AuthorizationResponsePtr response, platform::OptionalError error,
                                          std::optional<std::string> emmSupport) {
    if (restarting_) {
        restarting_ = false;
        return;
    }
    auto flow = std::make_shared<AuthFlow>();
    flow->emmSupport = std::move(emmSupport);
    if (response && response->authorizationCode() && !response->authorizationCode()->empty()) {
        flow->authState = oauth::AuthState::make(response);
    } else if (response) {
        std::optional<std::string> text;
        if (auto it = response->additionalParameters().find(kErrorParameter);
            it != response->additionalParameters().end() && it->second.string())
            text = *it->second.string();
        flow->error =
            errorWithString(text, text == kAccessDeniedError ? SignInErrorCode::canceled : SignInErrorCode::unknown);
    } else {
        // Only the client's own cancellation codes mean "cancelled"; the same numbers in the OAuth
        // domains are other errors (-4 there is "access_denied").
        const bool general = error && error->domain() == oauth::kGeneralErrorDomain;
        const bool oauthAuthorization = error && error->domain() == oauth::kOAuthAuthorizationErrorDomain;
        if (general && (error->code() == oauth::ErrorCode::userCanceledAuthorizationFlow ||
                        error->code() == oauth::ErrorCode::programCanceledAuthorizationFlow)) {
            flow->error = signInError(SignInErrorCode::canceled, std::string(kUserCanceledDescription));
        } else if (oauthAuthorization && error->code() == oauth::OAuthErrorCode::accessDenied) {
            flow->error = signInError(SignInErrorCode::canceled, std::string(kAccessDeniedError));
        } else {
            flow->error =
                errorWithString(error ? std::optional<std::string>(error->localizedDescription()) : std::nullopt,
                                SignInErrorCode::unknown);
        }
    }
    runFlow(flow);
}

void SignIn::runFlow(const std::shared_ptr<AuthFlow>& flow) {
    if (flow->authState && !flow->error) maybeFetchToken(flow);
    addDecodeIdTokenCallback(flow);
    addSaveAuthCallback(flow);
    addCompletionCallback(flow);
}

void SignIn::maybeFetchToken(const std::shared_ptr<AuthFlow>& flow) {
    if (flow->error) return;
    auto state = flow->authState;
    auto lastToken = state->lastTokenResponse();
    if (lastToken && lastToken->accessToken() &&
        secondsLeft(lastToken->accessTokenExpirationDate()) > kMinimumTokenLifetime)
        return;

    oauth::StringMap extra;
    const auto configuration = currentOptions_ ? currentOptions_->configuration() : nullptr;
    if (configuration && configuration->serverClientID())
        extra[std::string(kAudienceKey)] = *configuration->serverClientID();
    if (configuration && configuration->openIDRealm())
        extra[std::string(kOpenIDRealmParameter)] = *configuration->openIDRealm();
    extra[std::string(kVersionTagKey)] = versionTag();
    extra[std::string(kEnvironmentTagKey)] = environmentTag();

    auto authorization = state->lastAuthorizationResponse();
    oauth::TokenRequestPtr request;
    const bool exchange =
        !(lastToken && lastToken->accessToken()) && authorization && authorization->authorizationCode();
    if (exchange) {
        request = authorization->tokenExchangeRequestWithAdditionalParameters(extra);
    } else {
        if (lastToken && lastToken->request())
            for (const auto& [key, value] : lastToken->request()->additionalParameters()) extra[key] = value;
        // A sign-in that was given no refresh token cannot renew its tokens: the user signs in again.
        if (!state->refreshToken()) {
            flow->error = noRefreshTokenError();
            return;
        }
        request = state->tokenRefreshRequestWithAdditionalParameters(extra);
    }

    flow->wait();
    std::weak_ptr<AuthFlow> weakFlow = flow;
    oauth::AuthorizationService::performTokenRequest(
        request, authorization, [weakFlow, state](oauth::TokenResponsePtr response, platform::OptionalError error) {
            state->updateWithTokenResponse(response, error);
            auto flow = weakFlow.lock();
            if (!flow) return;
            flow->error = std::move(error);
            flow->next();
        });
}

std::shared_ptr<ProfileData> SignIn::profileDataWithIDToken(const oauth::IDToken& idToken) {
    const auto& claims = idToken.claims();
    auto picture = claimText(claims, kPictureClaim);
    auto name = claimText(claims, kNameClaim);
    auto given = claimText(claims, kGivenNameClaim);
    auto family = claimText(claims, kFamilyNameClaim);
    if (!picture || !name || !given || !family) return nullptr;
    return std::make_shared<ProfileData>(claimText(claims, kEmailClaim), std::move(name), std::move(given),
                                         std::move(family), platform::URL::parse(*picture));
}

void SignIn::startFetchURL(const platform::URL& url, const std::shared_ptr<oauth::AuthState>& state,
                           std::string comment, FetchCompletion completion) {
    platform::URLRequest request(url);
    request.setHTTPMethod("GET");
    // A new session has no fetcher service of its own; it is asked all the same, and never set as
    // the fetcher's authorizer (the URL carries the token).
    std::shared_ptr<fetcher::SessionFetcher> fetcher;
    auto service = AuthSession::make(state)->fetcherService();
    if (auto concrete = std::dynamic_pointer_cast<fetcher::SessionFetcherService>(service)) {
        fetcher = concrete->fetcherWithRequest(request);
    } else {
        fetcher = fetcher::SessionFetcher::fetcherWithRequest(request);
        if (fetcherConfiguration_) fetcher->setConfiguration(fetcherConfiguration_);
    }
    fetcher->setRetryEnabled(true);
    fetcher->setMaxRetryInterval(kMaxRetryInterval);
    fetcher->setComment(std::move(comment));
    fetcher->beginFetchWithCompletionHandler(
        [completion = std::move(completion)](std::optional<platform::Data> data, platform::OptionalError error) {
            completion(std::move(data), std::move(error));
        });
}

void SignIn::addDecodeIdTokenCallback(const std::shared_ptr<AuthFlow>& flow) {
    std::weak_ptr<AuthFlow> weakFlow = flow;
    auto self = shared_from_this();
    flow->addCallback([weakFlow, self] {
        auto flow = weakFlow.lock();
        if (!flow || !flow->authState || flow->error) return;
        auto tokenResponse = flow->authState->lastTokenResponse();
        std::shared_ptr<const oauth::IDToken> idToken;
        if (tokenResponse && tokenResponse->idToken())
            idToken = oauth::IDToken::initWithIDTokenString(*tokenResponse->idToken());
        if (idToken) flow->profileData = profileDataWithIDToken(*idToken);
        if (flow->profileData) return;

        std::string accessToken = tokenResponse && tokenResponse->accessToken() ? *tokenResponse->accessToken() : "";
        auto url = platform::URL::parse(platform::format(
            kUserInfoURLFormat, {SignInPreferences::ezevarUserInfoServer(), encodedQueryValue(accessToken)}));
        if (!url) return;
        flow->wait();
        self->startFetchURL(*url, flow->authState, std::string(kUserInfoComment),
                            [weakFlow, idToken](std::optional<platform::Data> data, platform::OptionalError error) {
                                auto flow = weakFlow.lock();
                                if (!flow) return;
                                if (error) {
                                    flow->error = std::move(error);
                                } else if (data) {
                                    auto reply = platform::readJSON(*data, platform::kMaxReplyJSONDepth);
                                    if (reply && reply->is_object()) {
                                        const auto& json = *reply;
                                        std::optional<std::string> email;
                                        if (idToken) email = claimText(idToken->claims(), kEmailClaim);
                                        flow->profileData = std::make_shared<ProfileData>(
                                            std::move(email), jsonText(json, "name"), jsonText(json, "given_name"),
                                            jsonText(json, "family_name"), urlFromText(jsonText(json, "picture")));
                                    }
                                }
                                flow->next();
                            });
    });
}

void SignIn::addSaveAuthCallback(const std::shared_ptr<AuthFlow>& flow) {
    std::weak_ptr<AuthFlow> weakFlow = flow;
    auto self = shared_from_this();
    const auto generation = generation_;
    flow->addCallback([weakFlow, self, generation] {
        auto flow = weakFlow.lock();
        if (!flow || !flow->authState || flow->error || generation != self->generation_) return;
        if (!self->saveAuthState(flow->authState)) {
            flow->error = signInError(SignInErrorCode::keychain, std::string(kKeychainErrorDescription));
            return;
        }
        if (self->currentOptions_ && self->currentOptions_->addScopesFlow() && self->currentUser_) {
            self->currentUser_->updateWithTokenResponse(
                flow->authState->lastTokenResponse(), flow->authState->lastAuthorizationResponse(), flow->profileData);
        } else {
            self->currentUser_ = EzevarUser::make(flow->authState, flow->profileData);
        }
    });
}

void SignIn::addCompletionCallback(const std::shared_ptr<AuthFlow>& flow) {
    std::weak_ptr<AuthFlow> weakFlow = flow;
    auto self = shared_from_this();
    const auto generation = generation_;
    flow->addCallback([weakFlow, self, generation] {
        auto flow = weakFlow.lock();
        if (!flow || generation != self->generation_) return;
        if (!self->currentOptions_ || !self->currentOptions_->completion()) return;
        if (flow->error) {
            self->completeCurrentOptions(nullptr, flow->error);
            return;
        }
        std::optional<std::string> serverCode;
        if (auto response = flow->authState ? flow->authState->lastTokenResponse() : nullptr) {
            auto it = response->additionalParameters().find(kServerAuthCodeKey);
            if (it != response->additionalParameters().end() && it->second.string()) serverCode = *it->second.string();
        }
        self->completeCurrentOptions(std::make_shared<SignInResult>(self->currentUser_, std::move(serverCode)),
                                     std::nullopt);
    });
}

void SignIn::completeCurrentOptions(const std::shared_ptr<SignInResult>& result, const platform::OptionalError& error) {
    auto completion = currentOptions_->completion();
    currentOptions_.reset();
    platform::DispatchQueue::main()->async([completion, result, error] { completion(result, error); });
}

// Redirects.

bool SignIn::cancelSignIn() {
    auto flow = std::move(currentAuthorizationFlow_);
    currentAuthorizationFlow_.reset();
    if (!flow) return false;
    flow->cancel();
    return true;
}

bool SignIn::handleURL(std::string_view text) {
    auto url = platform::URL::parse(text);
    if (!url) return false;
    const std::string path = url->path();
    if (path == kRedirectPath) {
        if (!currentAuthorizationFlow_) return false;
        auto flow = currentAuthorizationFlow_;
        if (!flow->resumeExternalUserAgentFlowWithURL(*url)) return false;
        if (currentAuthorizationFlow_ == flow) currentAuthorizationFlow_.reset();
        return true;
    }
    if (path == kDevicePolicyPath) return handleDevicePolicyAppURL(*url);
    return false;
}

bool SignIn::handleDevicePolicyAppURL(const platform::URL& url) {
    oauth::URLQueryComponent query(url);
    auto actions = query.valuesForParameter(kEMMActionKey);
    if (!actions || actions->empty() || actions->front() != kEMMRestartAuth) return false;
    if (!currentOptions_ || currentOptions_->presentingWindow() == 0 || !currentAuthorizationFlow_) return false;

    ++generation_;
    restarting_ = true;
    auto flow = std::move(currentAuthorizationFlow_);
    currentAuthorizationFlow_.reset();
    flow->cancel();
    restarting_ = false;

    auto restarted = currentOptions_->optionsWithExtraParameters({{std::string(kEMMResumeKey), "1"}}, true);
    auto self = shared_from_this();
    platform::DispatchQueue::main()->after(kDevicePolicyRestartDelay,
                                           [self, restarted] { self->signInWithOptions(restarted); });
    return true;
}

// Keychain.

bool SignIn::saveAuthState(const std::shared_ptr<oauth::AuthState>& state) {
    platform::OptionalError error;
    return keychainStore_->saveAuthSession(AuthSession::make(state), error);
}

std::shared_ptr<oauth::AuthState> SignIn::loadAuthState() {
    platform::OptionalError error;
    auto session = keychainStore_->retrieveAuthSession(error);
    return session ? session->authState() : nullptr;
}

// Restore, add scopes, sign-out, disconnect.

void SignIn::restorePreviousSignInWithCompletion(RestoreCompletion completion) {
    SignInCompletion wrapped;
    if (completion) {
        wrapped = [completion](const std::shared_ptr<SignInResult>& result, const platform::OptionalError& error) {
            if (result) {
                completion(result->user(), std::nullopt);
            } else {
                completion(nullptr, std::move(error));
            }
        };
    }
    signInWithOptions(SignInInternalOptions::silentOptions(std::move(wrapped)));
}

bool SignIn::hasPreviousSignIn() {
    if (currentUser_ && currentUser_->authState()->isAuthorized()) return true;
    auto state = loadAuthState();
    return state && state->isAuthorized();
}

bool SignIn::restorePreviousSignInNoRefresh() {
    if (currentUser_) return true;
    auto state = loadAuthState();
    if (!state) return false;
    std::shared_ptr<ProfileData> profile;
    if (auto response = state->lastTokenResponse(); response && response->idToken()) {
        if (auto idToken = oauth::IDToken::initWithIDTokenString(*response->idToken()))
            profile = profileDataWithIDToken(*idToken);
    }
    currentUser_ = EzevarUser::make(state, profile);
    return true;
}

void SignIn::addScopes(const std::vector<std::string>& scopes, PresentingWindow window, SignInCompletion completion) {
    std::shared_ptr<Configuration> configuration;
    std::optional<std::string> hint;
    if (currentUser_) {
        configuration = currentUser_->configuration();
        if (currentUser_->profile()) hint = currentUser_->profile()->email();
    }
    auto options = SignInInternalOptions::defaultOptions(configuration, window, hint, true, completion);
    if (currentUser_) {
        if (auto authorization = currentUser_->authState()->lastAuthorizationResponse();
            authorization && authorization->request()) {
            const auto& extra = authorization->request()->additionalParameters();
            if (auto it = extra.find(kClaimsKey); it != extra.end()) options->setClaimsAsJSON(it->second);
        }
    }
    std::set<std::string> requested(scopes.begin(), scopes.end());
    std::set<std::string> granted;
    if (currentUser_) {
        if (auto list = currentUser_->grantedScopes()) granted.insert(list->begin(), list->end());
    }
    if (std::includes(granted.begin(), granted.end(), requested.begin(), requested.end())) {
        if (completion)
            platform::DispatchQueue::main()->async(
                [completion] { completion(nullptr, signInError(SignInErrorCode::scopesAlreadyGranted)); });
        return;
    }
    std::set<std::string> all = granted;
    all.insert(requested.begin(), requested.end());
    options->setScopes(std::vector<std::string>(all.begin(), all.end()));
    signInWithOptions(std::move(options));
}

void SignIn::signOut() {
    currentUser_.reset();
    platform::OptionalError error;
    keychainStore_->removeAuthSession(error);
}

void SignIn::disconnectWithCompletion(DisconnectCompletion completion) {
    auto state = currentUser_ ? currentUser_->authState() : loadAuthState();
    std::optional<std::string> token;
    if (state) {
        if (auto response = state->lastTokenResponse())
            token = response->accessToken() ? response->accessToken() : response->refreshToken();
    }
    if (!token) {
        signOut();
        if (completion) platform::DispatchQueue::main()->async([completion] { completion(std::nullopt); });
        return;
    }
    std::string text =
        platform::format(kRevokeURLFormat, {SignInPreferences::ezevarAuthorizationServer(), encodedQueryValue(*token)});
    text += "&" + std::string(kVersionTagKey) + "=" + encodedQueryValue(versionTag()) + "&" +
            std::string(kEnvironmentTagKey) + "=" + encodedQueryValue(environmentTag());
    auto url = platform::URL::parse(text);
    if (!url) {
        if (completion)
            platform::DispatchQueue::main()->async([completion] { completion(signInError(SignInErrorCode::unknown)); });
        return;
    }
    auto self = shared_from_this();
    startFetchURL(*url, state, std::string(kRevokeComment),
                  [self, completion](const std::optional<platform::Data>&, const platform::OptionalError& error) {
                      if (!error) self->signOut();
                      if (completion)
                          platform::DispatchQueue::main()->async([completion, error] { completion(error); });
                  });
}

}  // namespace brisko::signin
