// HTTP authentication (a 401 offering Basic or Digest) and the challenges a task hands to its delegate.
#include "platform/net/URLSessionCore.hpp"
#include "platform/net/WWWAuthenticate.hpp"

namespace brisko::platform::detail {

// Hands a challenge to the delegate; its answer comes back to the network thread, once.
void TaskCore::askChallenge(
    URLAuthenticationChallenge challenge, bool ungated,
    UniqueFunction<void(TaskCore&, URLSessionAuthChallengeDisposition, std::optional<URLCredential>)> onAnswer) {
    auto d = delegate_;
    auto session = session_;
    auto t = task_;
    auto self = shared_from_this();
    auto answer = std::make_shared<decltype(onAnswer)>(std::move(onAnswer));
    Event event = [d, session, t, self, answer, challenge = std::move(challenge)] {
        auto answered = std::make_shared<std::atomic<bool>>(false);
        d->didReceiveChallenge(session, t, challenge,
                               [self, answer, answered](URLSessionAuthChallengeDisposition disposition,
                                                        std::optional<URLCredential> credential) {
                                   if (answered->exchange(true)) return;
                                   postToNetwork(
                                       [self, answer, disposition, credential = std::move(credential)]() mutable {
                                           (*answer)(*self, disposition, std::move(credential));
                                       });
                               });
    };
    if (ungated) {
        emitUngated(std::move(event));
    } else {
        emit(std::move(event));
    }
}

// A 401 offering Basic or Digest is held as a challenge instead of being delivered.
bool TaskCore::isAuthChallenge() {
    if (statusCode_ != 401) return false;
    std::optional<AuthOffer> chosen;
    for (auto& offer : parseAuthenticate(response_->valueForHTTPHeaderField("WWW-Authenticate").value_or(""))) {
        if (offer.scheme == "digest") {
            chosen = offer;
            break;
        }
        if (offer.scheme == "basic" && !chosen) chosen = offer;
    }
    if (!chosen) return false;
    authHop_ = true;
    authMethod_ = std::string(chosen->scheme == "digest" ? kURLAuthenticationMethodHTTPDigest
                                                         : kURLAuthenticationMethodHTTPBasic);
    authRealm_ = chosen->realm;
    return true;
}

namespace {
std::string protectionSpaceKey(const URLProtectionSpace& space) {
    return space.protocol + "://" + space.host + ":" + std::to_string(space.port) + " " + space.authenticationMethod +
           " " + space.realm.value_or("");
}
}  // namespace

URLProtectionSpace TaskCore::authSpace() const {
    const URL& url = *current_.url();
    URLProtectionSpace space;
    space.host = url.host().value_or("");
    space.port = url.effectivePort().value_or(url.scheme() == "https" ? 443 : 80);
    space.protocol = url.scheme();
    space.authenticationMethod = authMethod_;
    space.realm = authRealm_;
    return space;
}

void TaskCore::onAuthChallenge() {
    releaseHop();
    const URL& url = *current_.url();
    URLAuthenticationChallenge challenge;
    challenge.protectionSpace = authSpace();
    challenge.previousFailureCount = authChallenges_[protectionSpaceKey(challenge.protectionSpace)]++;
    challenge.failureResponse = response_;
    auto user = url.user(), password = url.password();
    if (user && password) challenge.proposedCredential = URLCredential::withUser(*user, *password);
    if (!delegate_) {
        onAuthAnswer(URLSessionAuthChallengeDisposition::performDefaultHandling, std::nullopt);
        return;
    }
    askChallenge(
        std::move(challenge), false,
        [](TaskCore& self, URLSessionAuthChallengeDisposition disposition, std::optional<URLCredential> credential) {
            self.onAuthAnswer(disposition, std::move(credential));
        });
}

void TaskCore::onAuthAnswer(URLSessionAuthChallengeDisposition disposition, std::optional<URLCredential> credential) {
    if (completed_ || !authHop_) return;
    switch (disposition) {
    case URLSessionAuthChallengeDisposition::useCredential:
        if (credential && credential->user && credential->password) {
            retryWithCredential(*credential->user, *credential->password);
            return;
        }
        break;
    case URLSessionAuthChallengeDisposition::performDefaultHandling: {
        // The URL's own user and password, once per protection space.
        auto user = current_.url()->user(), password = current_.url()->password();
        if (user && password && urlCredentialTried_.insert(protectionSpaceKey(authSpace())).second) {
            retryWithCredential(*user, *password);
            return;
        }
        break;
    }
    case URLSessionAuthChallengeDisposition::rejectProtectionSpace:
        break;
    case URLSessionAuthChallengeDisposition::cancelAuthenticationChallenge:
        complete(makeURLError(URLErrorCode::cancelled, current_.url()));
        return;
    }
    deliverHeldResponse();
}

void TaskCore::retryWithCredential(std::string user, std::string password) {
    authCredential_ = AuthAnswer{authMethod_ == kURLAuthenticationMethodHTTPDigest ? static_cast<long>(CURLAUTH_DIGEST)
                                                                                   : static_cast<long>(CURLAUTH_BASIC),
                                 std::move(user), std::move(password), current_.url()->origin()};
    authHop_ = false;
    startHop();
}

}  // namespace brisko::platform::detail
