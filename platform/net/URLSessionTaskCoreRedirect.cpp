// Redirects: the request a 3xx proposes, the delegate's answer, and the next hop.
#include "platform/base/Text.hpp"
#include "platform/net/URLSessionCore.hpp"

namespace brisko::platform::detail {

namespace {

constexpr int kMaxRedirects = 16;

// Drops credentials that belong to the old origin from a request that goes to another one.
void stripCrossOriginCredentials(URLRequest& request, const URL& from) {
    if (!request.url() || request.url()->origin() == from.origin()) return;
    request.allHTTPHeaderFields().remove("Authorization");
    request.allHTTPHeaderFields().remove("Cookie");
}

}  // namespace

void TaskCore::onRedirect() {
    releaseHop();
    if (++redirectCount_ > kMaxRedirects) {
        complete(makeURLError(URLErrorCode::httpTooManyRedirects, current_.url()));
        return;
    }
    metrics_.redirectCount = redirectCount_;
    const URL& from = *current_.url();
    auto location = response_->valueForHTTPHeaderField("Location").value_or("");
    auto next = URL::parse(trimHTTPWhitespace(location), from);
    if (!next) {
        // A Location that is no URL: the 3xx is the answer.
        onRedirectDecision(std::nullopt);
        return;
    }
    URLRequest proposed = current_;
    proposed.setURL(*next);
    const std::string method = current_.httpMethod();
    if (((statusCode_ == 301 || statusCode_ == 302) && method == "POST") ||
        (statusCode_ == 303 && method != "GET" && method != "HEAD")) {
        proposed.setHTTPMethod("GET");
        proposed.setHTTPBody(std::optional<Data>());
        proposed.setHTTPBodyFilePath(std::nullopt);
        proposed.setHTTPBodyStream(nullptr);
        proposed.allHTTPHeaderFields().remove("Content-Type");
        proposed.allHTTPHeaderFields().remove("Content-Length");
    }
    stripCrossOriginCredentials(proposed, from);
    if (delegate_) {
        auto d = delegate_;
        auto session = session_;
        auto t = task_;
        auto self = shared_from_this();
        emit([d, session, t, self, response = response_, proposed = std::move(proposed)]() mutable {
            auto answered = std::make_shared<std::atomic<bool>>(false);
            d->willPerformHTTPRedirection(session, t, response, std::move(proposed),
                                          [self, answered](std::optional<URLRequest> request) {
                                              if (answered->exchange(true)) return;
                                              postToNetwork([self, request = std::move(request)]() mutable {
                                                  self->onRedirectDecision(std::move(request));
                                              });
                                          });
        });
    } else {
        onRedirectDecision(std::move(proposed));
    }
}

void TaskCore::onRedirectDecision(std::optional<URLRequest> request) {
    if (completed_) return;
    if (!request) {
        // Not followed: the 3xx response and its body are the task's result.
        deliverHeldResponse();
        return;
    }
    URLRequest next = std::move(*request);
    if (!next.url()) {
        complete(makeURLError(URLErrorCode::badURL, std::nullopt, "the redirect has no URL"));
        return;
    }
    // Whatever the delegate answered, credentials never travel to another origin.
    stripCrossOriginCredentials(next, *current_.url());
    if (next.httpMethod() == "GET" || next.httpMethod() == "HEAD") bodyDropped_ = true;
    current_ = std::move(next);
    {
        std::lock_guard lock(task_->mutex_);
        task_->currentRequest_ = current_;
    }
    startHop();
}

}  // namespace brisko::platform::detail
