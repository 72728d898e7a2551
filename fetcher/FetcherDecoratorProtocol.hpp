// Objects a fetcher service runs before each request starts and after it finishes.
#pragma once

#include <functional>
#include <memory>
#include <optional>

#include "platform/base/Error.hpp"
#include "platform/net/URLRequest.hpp"

namespace brisko::fetcher {

class SessionFetcher;

// A decorator may replace a request before it goes out (or fail it), and sees every result. Each
// completion must be called exactly once.
class FetcherDecoratorProtocol {
  public:
    using WillStartCompletion =
        std::function<void(std::optional<platform::URLRequest>, std::optional<platform::Error>)>;
    using DidFinishCompletion = std::function<void()>;

    virtual ~FetcherDecoratorProtocol() = default;
    virtual void fetcherWillStart(const std::shared_ptr<SessionFetcher>& fetcher,
                                  WillStartCompletion completion) = 0;
    virtual void fetcherDidFinish(const std::shared_ptr<SessionFetcher>& fetcher,
                                  const std::optional<platform::Data>& data,
                                  const std::optional<platform::Error>& error,
                                  DidFinishCompletion completion) = 0;
};

}  // namespace brisko::fetcher
