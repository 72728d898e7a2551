// One pending refresh per access token.
#include "auth/TokenRefreshCoalescer.hpp"

namespace brisko::auth {

namespace {
constexpr const char* kRefreshQueueLabel = "com.ezevar.zudiridi.auth.tokenRefresh";
}

TokenRefreshCoalescer::TokenRefreshCoalescer() : queue_(platform::DispatchQueue::make(kRefreshQueueLabel)) {}

platform::Task<TokenFetchResult> TokenRefreshCoalescer::sharedRefresh(std::string currentToken, Refresh refresh) {
    std::shared_ptr<SharedRefresh> task;
    bool started = false;
    {
        std::lock_guard lock(mutex_);
        if (pendingRefreshTask_ && pendingRefreshToken_ == currentToken) {
            task = pendingRefreshTask_;
        } else {
            task = SharedRefresh::make(queue_, std::move(refresh));
            pendingRefreshTask_ = task;
            pendingRefreshToken_ = currentToken;
            started = true;
        }
    }
    if (!started) co_return co_await task->value();

    std::exception_ptr failure;
    TokenFetchResult result;
    try {
        result = co_await task->value();
    } catch (...) {
        failure = std::current_exception();
    }
    {
        // Cleared whatever it holds now: a caller arriving later starts a fresh refresh.
        std::lock_guard lock(mutex_);
        pendingRefreshTask_.reset();
        pendingRefreshToken_.reset();
    }
    if (failure) std::rethrow_exception(failure);
    co_return result;
}

}  // namespace brisko::auth
