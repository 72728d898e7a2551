// The utilities' small HTTP client: gzip-compressed POSTs and plain GETs, each through its own
// session, with reachability of a host and an optional logger delegate.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/MutableDictionary.hpp"
#include "core/NetworkLoggerDelegate.hpp"
#include "core/NetworkURLSession.hpp"
#include "core/ReachabilityChecker.hpp"

namespace brisko::core {

inline constexpr std::string_view kNetworkDefaultReachabilityHost = "zudiridi.com";

class NetworkReachabilityDelegate {
  public:
    virtual ~NetworkReachabilityDelegate() = default;
    virtual void reachabilityDidChange() = 0;
};

class Network final : public ReachabilityDelegate,
                      public NetworkLoggerDelegate,
                      public std::enable_shared_from_this<Network> {
  public:
    using Completion =
        std::function<void(std::shared_ptr<const platform::HTTPURLResponse> response,
                           std::optional<platform::Data> data, std::optional<platform::Error> error)>;
    using Headers = std::map<std::string, std::string>;

    static constexpr double kDefaultTimeoutInterval = 60;

    // Watches the default host; null when watching cannot start.
    static std::shared_ptr<Network> init();
    static std::shared_ptr<Network> initWithReachabilityHost(
        const std::string& host, const platform::ReachabilityApi& api = platform::systemReachabilityApi());

    // Posts the payload gzip-compressed; the session identifier, or nothing (the completion then has
    // the error). The completion runs on the queue (the main queue when none).
    std::optional<std::string> postURL(const platform::URL& url, const platform::Data& payload,
                                       std::shared_ptr<platform::DispatchQueue> queue,
                                       bool usingBackgroundSession, Completion completion);
    std::optional<std::string> postURL(const platform::URL& url, const Headers& headers,
                                       const platform::Data& payload,
                                       std::shared_ptr<platform::DispatchQueue> queue,
                                       bool usingBackgroundSession, Completion completion);
    std::optional<std::string> getURL(const platform::URL& url, const Headers& headers,
                                      std::shared_ptr<platform::DispatchQueue> queue,
                                      bool usingBackgroundSession, Completion completion);

    bool hasUploadInProgress() const { return requests_.count() > 0; }
    bool isNetworkConnected() const { return networkConnected_; }
    double timeoutInterval() const { return timeoutInterval_; }
    void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }
    bool isDebugModeEnabled() const { return isDebugModeEnabled_; }
    void setDebugModeEnabled(bool enabled) { isDebugModeEnabled_ = enabled; }
    void setReachabilityDelegate(std::weak_ptr<NetworkReachabilityDelegate> delegate) {
        reachabilityDelegate_ = std::move(delegate);
    }
    void setLoggerDelegate(std::weak_ptr<NetworkLoggerDelegate> delegate) {
        loggerDelegate_ = std::move(delegate);
    }
    const std::shared_ptr<ReachabilityChecker>& reachability() const { return reachability_; }

    // Reports error `code` ("Failed to create network request") to the handler on the queue.
    void handleErrorWithCode(NetworkErrorCode code, std::shared_ptr<platform::DispatchQueue> queue,
                             const Completion& handler);
    static void handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                      NetworkURLSession::SystemCompletionHandler handler) {
        NetworkURLSession::handleEventsForBackgroundURLSessionID(sessionID, std::move(handler));
    }

    void reachabilityStatusChanged(ReachabilityChecker& reachability, ReachabilityStatus status) override;
    // To the logger delegate when there is one; else, in debug mode or at levels 3, 4 and 6, to the log.
    void networkLogWithLevel(long level, NetworkMessageCode code, const std::string& message,
                             const std::vector<std::optional<std::string>>& contexts) override;

    // The request a POST or GET sends (before compression of the body).
    platform::URLRequest requestWithURL(const platform::URL& url, const Headers& headers) const;

    Network() = default;

  private:
    // A POST of the payload (gzip-compressed), or a GET without one.
    std::optional<std::string> startSession(const platform::URL& url, const Headers& headers,
                                            const std::optional<platform::Data>& payload, bool background,
                                            std::shared_ptr<platform::DispatchQueue> queue,
                                            Completion completion);

    std::shared_ptr<ReachabilityChecker> reachability_;
    MutableDictionary<std::string, std::shared_ptr<NetworkURLSession>> requests_;
    bool networkConnected_ = false;
    bool isDebugModeEnabled_ = false;
    std::weak_ptr<NetworkReachabilityDelegate> reachabilityDelegate_;
    std::weak_ptr<NetworkLoggerDelegate> loggerDelegate_;
    double timeoutInterval_ = kDefaultTimeoutInterval;
};

}  // namespace brisko::core
