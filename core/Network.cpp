// The network client's requests, completions on the caller's queue, reachability and log lines.
#include "core/Network.hpp"

#include "core/Gzip.hpp"
#include "core/UtilitiesLogger.hpp"
#include "platform/base/Log.hpp"
#include "platform/base/Text.hpp"

namespace brisko::core {
namespace {

constexpr std::string_view kNetworkLogCategory = "[EULNetwork]";
constexpr std::string_view kNetworkLogCodeFormat = "I-NET%06ld";
constexpr std::string_view kNetworkLogLineFormat = "<%@/%@> %@";
constexpr std::string_view kNetworkLogPrefix = "Ezevar/Utilities/Network";
constexpr std::string_view kFailedToCreateRequest = "Failed to create network request";

std::string_view levelName(long level) {
    switch (level) {
        case kLoggerLevelError:
            return "ERROR";
        case kLoggerLevelWarning:
            return "WARNING";
        case kLoggerLevelInfo:
            return "INFO";
        default:
            return "DEBUG";
    }
}

platform::Error requestError(NetworkErrorCode code, std::string_view context = kFailedToCreateRequest) {
    return platform::Error(std::string(kNetworkErrorDomain), code,
                           {{std::string(kNetworkErrorContext), std::string(context)}});
}

}  // namespace

std::shared_ptr<Network> Network::init() {
    return initWithReachabilityHost(std::string(kNetworkDefaultReachabilityHost));
}

std::shared_ptr<Network> Network::initWithReachabilityHost(const std::string& host,
                                                           const platform::ReachabilityApi& api) {
    auto network = std::make_shared<Network>();
    network->reachability_ = ReachabilityChecker::initWithReachabilityDelegate(network, host);
    if (!network->reachability_) return nullptr;
    network->reachability_->setReachabilityApi(api);
    if (!network->reachability_->start()) return nullptr;
    return network;
}

platform::URLRequest Network::requestWithURL(const platform::URL& url, const Headers& headers) const {
    platform::URLRequest request(url, platform::URLRequestCachePolicy::reloadIgnoringLocalCacheData,
                                 timeoutInterval_ > 0 ? timeoutInterval_ : kDefaultTimeoutInterval);
    for (const auto& [name, value] : headers) request.setValue(value, name);
    return request;
}

std::optional<std::string> Network::postURL(const platform::URL& url, const platform::Data& payload,
                                            std::shared_ptr<platform::DispatchQueue> queue,
                                            bool usingBackgroundSession, Completion completion) {
    return postURL(url, {}, payload, std::move(queue), usingBackgroundSession, std::move(completion));
}

std::optional<std::string> Network::postURL(const platform::URL& url, const Headers& headers,
                                            const platform::Data& payload,
                                            std::shared_ptr<platform::DispatchQueue> queue,
                                            bool usingBackgroundSession, Completion completion) {
    return startSession(url, headers, payload, usingBackgroundSession, std::move(queue),
                        std::move(completion));
}

std::optional<std::string> Network::getURL(const platform::URL& url, const Headers& headers,
                                           std::shared_ptr<platform::DispatchQueue> queue,
                                           bool usingBackgroundSession, Completion completion) {
    return startSession(url, headers, std::nullopt, usingBackgroundSession, std::move(queue),
                        std::move(completion));
}

std::optional<std::string> Network::startSession(const platform::URL& url, const Headers& headers,
                                                 const std::optional<platform::Data>& payload,
                                                 bool background,
                                                 std::shared_ptr<platform::DispatchQueue> queue,
                                                 Completion completion) {
    if (url.absoluteString().empty()) {
        handleErrorWithCode(kNetworkErrorCodeInvalidURL, queue, completion);
        return std::nullopt;
    }
    const bool post = payload.has_value();
    auto request = requestWithURL(url, headers);
    request.setHTTPMethod(post ? "POST" : "GET");
    if (post) {
        platform::Data body;
        if (!payload->empty()) {
            platform::OptionalError error;
            auto compressed = dataByGzippingData(*payload, &error);
            if (error || !compressed) {
                handleErrorWithCode(kNetworkErrorCodeGzipFailed, queue, completion);
                return std::nullopt;
            }
            body = std::move(*compressed);
        }
        request.setValue(std::to_string(body.size()), "Content-Length");
        request.setHTTPBody(std::move(body));
        request.setValue("application/x-www-form-urlencoded", "Content-Type");
        request.setValue("gzip", "Content-Encoding");
    }
    if (!queue) queue = platform::DispatchQueue::main();
    auto session = NetworkURLSession::initWithNetworkLoggerDelegate(weak_from_this());
    session->setBackgroundNetworkEnabled(background);
    std::weak_ptr<Network> weak = weak_from_this();
    auto finished = [weak, queue, completion = std::move(completion)](
                        std::shared_ptr<const platform::HTTPURLResponse> response,
                        std::optional<platform::Data> data, const std::string& sessionID,
                        std::optional<platform::Error> error) {
        if (!weak.lock()) return;
        queue->async([weak, completion, response = std::move(response), data = std::move(data), sessionID,
                      error = std::move(error)] {
            auto self = weak.lock();
            if (!self) return;
            if (!sessionID.empty()) self->requests_.removeObjectForKey(sessionID);
            if (completion) completion(response, data, error);
        });
    };
    // Recorded before the start, so that a completion arriving at once finds the entry to remove.
    requests_.setObject(session, session->sessionID());
    auto sessionID = post ? session->sessionIDFromAsyncPOSTRequest(request, finished)
                          : session->sessionIDFromAsyncGETRequest(request, finished);
    if (!sessionID) {
        requests_.removeObjectForKey(session->sessionID());
        return std::nullopt;
    }
    networkLogWithLevel(kLoggerLevelDebug,
                        post ? kNetworkMessageCodeNetwork000 : kNetworkMessageCodeNetwork001,
                        post ? "Uploading data. Host" : "Downloading data. Host", {url.absoluteString()});
    return sessionID;
}

void Network::handleErrorWithCode(NetworkErrorCode code, std::shared_ptr<platform::DispatchQueue> queue,
                                  const Completion& handler) {
    auto error = requestError(code);
    networkLogWithLevel(kLoggerLevelWarning, kNetworkMessageCodeNetwork002,
                        "Failed to create network request. Code, error",
                        {std::to_string(code), error.description()});
    if (!handler) return;
    if (!queue) queue = platform::DispatchQueue::main();
    queue->async([handler, error] { handler(nullptr, std::nullopt, error); });
}

void Network::reachabilityStatusChanged(ReachabilityChecker&, ReachabilityStatus status) {
    networkConnected_ = status == kReachabilityViaWifi || status == kReachabilityViaCellular;
    if (auto delegate = reachabilityDelegate_.lock()) delegate->reachabilityDidChange();
}

void Network::networkLogWithLevel(long level, NetworkMessageCode code, const std::string& message,
                                  const std::vector<std::optional<std::string>>& contexts) {
    if (auto delegate = loggerDelegate_.lock()) {
        delegate->networkLogWithLevel(level, code, message, contexts);
        return;
    }
    if (!(isDebugModeEnabled_ || level == kLoggerLevelError || level == kLoggerLevelWarning ||
          level == kLoggerLevelInfo)) {
        return;
    }
    std::string text = message.empty() ? "(Message was empty)" : message;
    std::string line = platform::format(kNetworkLogLineFormat, {kNetworkLogPrefix, levelName(level), text});
    if (!contexts.empty()) {
        line += ": ";
        for (std::size_t i = 0; i < contexts.size(); ++i) {
            if (i > 0) line += ", ";
            line += contexts[i].value_or("(nil)");
        }
    }
    platform::log(static_cast<platform::LogLevel>(level), "network", line);
    UtilitiesLogger::logCoded(level, kNetworkLogCategory, kNetworkLogCodeFormat, code, "%@", {line});
}

}  // namespace brisko::core
