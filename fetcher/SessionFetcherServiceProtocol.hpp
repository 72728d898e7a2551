// What a fetcher (and an authorizer) may ask of the fetcher service it belongs to.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "fetcher/FetcherDecoratorProtocol.hpp"
#include "platform/base/Dispatch.hpp"
#include "platform/net/URLSession.hpp"

namespace brisko::fetcher {

class SessionFetcher;

class SessionFetcherServiceProtocol {
  public:
    using SessionCreationBlock =
        std::function<std::shared_ptr<platform::URLSession>(std::shared_ptr<platform::URLSessionDelegate>)>;

    virtual ~SessionFetcherServiceProtocol() = default;

    // Where the service's fetchers deliver callbacks.
    virtual std::shared_ptr<platform::DispatchQueue> callbackQueue() const = 0;

    // The shared session, made with the block when there is none (the block gets the delegate to use;
    // none means the fetcher makes a session of its own).
    virtual std::shared_ptr<platform::URLSession> sessionWithCreationBlock(
        const SessionCreationBlock& creationBlock) = 0;
    // True to start now; false when the service queued the fetcher and will start it later.
    virtual bool fetcherShouldBeginFetching(const std::shared_ptr<SessionFetcher>& fetcher) = 0;
    virtual void fetcherDidBeginFetching(const std::shared_ptr<SessionFetcher>& fetcher) = 0;
    virtual void fetcherDidStop(const std::shared_ptr<SessionFetcher>& fetcher, bool callbacksPending) = 0;
    virtual bool isDelayingFetcher(const std::shared_ptr<SessionFetcher>& fetcher) = 0;
    // When stopAllFetchers last ran; callbacks of fetches begun before it are dropped.
    virtual std::optional<platform::Date> stoppedAllFetchersDate() = 0;
    // Registered decorators, in order.
    virtual std::vector<std::shared_ptr<FetcherDecoratorProtocol>> decorators() { return {}; }
};

}  // namespace brisko::fetcher
