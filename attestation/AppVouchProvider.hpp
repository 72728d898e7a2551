// What every attestation provider offers, and the delegate told of new tokens.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "attestation/AppVouchToken.hpp"
#include "attestation/promises/Promise.hpp"

namespace brisko::attestation {

class AppVouchProvider {
public:
    // The token and no error, or no token and the error; on the promise library's default queue.
    using TokenCompletion = std::function<void(std::optional<AppVouchToken>, std::optional<Error>)>;

    virtual ~AppVouchProvider() = default;
    virtual void getTokenWithCompletion(TokenCompletion completion) = 0;
    virtual void getLimitedUseTokenWithCompletion(TokenCompletion completion) = 0;
};

class AppVouchTokenDelegate {
public:
    virtual ~AppVouchTokenDelegate() = default;
    virtual void tokenDidUpdate(const AppVouchToken& token, const std::string& serviceName) = 0;
};

namespace detail {
// Calls the completion from a promise's outcome on the default queue.
inline void completeWith(const promises::Promise<AppVouchToken>& promise,
                         AppVouchProvider::TokenCompletion completion) {
    promise.observe(
        promises::defaultDispatchQueue(), [completion](const AppVouchToken& token) { completion(token, std::nullopt); },
        [completion](const Error& error) { completion(std::nullopt, error); });
}
// A provider's token request as a promise.
promises::Promise<AppVouchToken> tokenPromise(const std::function<void(AppVouchProvider::TokenCompletion)>& request);
}  // namespace detail

}  // namespace brisko::attestation
