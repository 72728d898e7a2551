// Lets callers that hold the same access token share one pending token refresh.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/base/Async.hpp"
#include "platform/base/UniqueFunction.hpp"

namespace brisko::auth {

// The result of a token fetch: the access token to use (absent only when a reply carried none) and
// whether the fetch changed the stored access or refresh token.
using TokenFetchResult = std::pair<std::optional<std::string>, bool>;

class TokenRefreshCoalescer {
public:
    using Refresh = platform::UniqueFunction<platform::Task<TokenFetchResult>()>;

    TokenRefreshCoalescer();

    // Joins the pending refresh when it was started for the same access token; otherwise starts a new
    // one (which replaces the pending one for later callers; the earlier keeps running for its own).
    // The refresh runs in a task of its own, so a caller that stops waiting affects nobody else. The
    // test and the update of the pending state are one step under the lock.
    platform::Task<TokenFetchResult> sharedRefresh(std::string currentToken, Refresh refresh);

private:
    using SharedRefresh = platform::SharedTask<TokenFetchResult>;

    std::shared_ptr<platform::DispatchQueue> queue_;
    std::mutex mutex_;
    std::shared_ptr<SharedRefresh> pendingRefreshTask_;
    std::optional<std::string> pendingRefreshToken_;
};

}  // namespace brisko::auth
