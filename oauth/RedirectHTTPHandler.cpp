// The loopback redirect handler: listener start and stop, and the pages that answer the browser.
#include "oauth/RedirectHTTPHandler.hpp"

#include "oauth/ErrorUtilities.hpp"
#include "platform/base/Text.hpp"

namespace brisko::oauth {
namespace {

HTTPMessage pageResponse(int status, std::string_view page) {
    HTTPMessage response = HTTPMessage::response(status);
    response.setHeaderFieldValue("Content-Type", "text/html; charset=utf-8");
    response.setHeaderFieldValue("Content-Length", std::to_string(page.size()));
    response.setBody(platform::toData(page));
    return response;
}

}  // namespace

RedirectHTTPHandler::RedirectHTTPHandler(std::optional<URL> successURL, HTTPServerLimits limits)
    : successURL_(std::move(successURL)), limits_(limits) {}

RedirectHTTPHandler::~RedirectHTTPHandler() {
    cancelHTTPListener();
}

std::optional<URL> RedirectHTTPHandler::startHTTPListener(OptionalError* error, std::uint16_t port) {
    cancelHTTPListener();
    httpServ_ = HTTPServer::make(limits_);
    httpServ_->setPort(port);
    httpServ_->setDelegate(weak_from_this());
    if (!httpServ_->start(error)) return std::nullopt;
    const char* format = httpServ_->hasIPv4Socket() ? "http://127.0.0.1:%d/" : "http://[::1]:%d/";
    return URL::parse(platform::format(format, {static_cast<int>(httpServ_->port())}));
}

void RedirectHTTPHandler::stopHTTPListener() {
    if (!httpServ_) return;
    httpServ_->setDelegate({});
    httpServ_->stop();
    httpServ_.reset();
}

void RedirectHTTPHandler::cancelHTTPListener() {
    stopHTTPListener();
    auto flow = std::move(currentAuthorizationFlow_);
    currentAuthorizationFlow_.reset();
    if (flow) {
        flow->failExternalUserAgentFlowWithError(ErrorUtilities::errorWithCode(
            ErrorCode::programCanceledAuthorizationFlow, std::nullopt, std::string(kHTTPListenerCancelledDescription)));
    }
}

void RedirectHTTPHandler::HTTPConnectionDidReceiveRequest(const std::shared_ptr<HTTPConnection>& connection,
                                                          const std::shared_ptr<HTTPServerRequest>& request) {
    (void)connection;
    if (!currentAuthorizationFlow_) {
        request->setResponse(pageResponse(400, kRedirectNoFlowPage));
        return;
    }
    std::string fallbackHost = "127.0.0.1:" + std::to_string(httpServ_ ? httpServ_->port() : 0);
    auto url = request->request().requestURL(fallbackHost);
    auto outcome =
        url ? currentAuthorizationFlow_->resumeExternalUserAgentFlowWithURLOutcome(*url) : RedirectOutcome::notHandled;
    if (outcome == RedirectOutcome::notHandled || outcome == RedirectOutcome::wrongState) {
        // Not this flow's redirect, or not an answer to its request (any local program can send one): the
        // flow and the listener stay, and the browser's real redirect still completes it.
        request->setResponse(pageResponse(outcome == RedirectOutcome::notHandled ? 404 : 400, kRedirectInvalidPage));
        return;
    }
    currentAuthorizationFlow_.reset();
    stopHTTPListener();
    if (outcome == RedirectOutcome::failed) {
        request->setResponse(pageResponse(200, kRedirectFailurePage));
        return;
    }
    if (successURL_) {
        HTTPMessage response = pageResponse(302, kRedirectCompletionPage);
        response.setHeaderFieldValue("Location", successURL_->absoluteString());
        request->setResponse(std::move(response));
        return;
    }
    request->setResponse(pageResponse(200, kRedirectCompletionPage));
}

}  // namespace brisko::oauth
