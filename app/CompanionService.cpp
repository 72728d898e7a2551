// Where the companion service is, and the session its calls share.
#include "app/CompanionService.hpp"

#include <cstdlib>

#include "platform/base/Text.hpp"
#include "platform/net/URLSessionDelegate.hpp"

namespace brisko::app {

namespace {
// The ingest call keeps its method and body only across a 307 or 308; any other redirect (a 301, 302 or
// 303 turns the POST into a GET whose 200 would count samples as delivered that never arrived) is not
// followed: its status fails the chunk, which is put back. Other calls are answered as by default.
class CompanionServiceRedirects final : public platform::URLSessionDelegate {
public:
    void willPerformHTTPRedirection(const std::shared_ptr<platform::URLSession>& session,
                                    const std::shared_ptr<platform::URLSessionTask>& task,
                                    const std::shared_ptr<const platform::HTTPURLResponse>& response,
                                    platform::URLRequest newRequest, RedirectCompletion completion) override {
        const auto original = task ? task->originalRequest() : std::nullopt;
        const bool ingest = original && original->url() && original->url()->path().ends_with(kCompanionIngestPath);
        const int status = response ? response->statusCode() : 0;
        if (!ingest) {
            platform::URLSessionDelegate::willPerformHTTPRedirection(session, task, response, std::move(newRequest),
                                                                     std::move(completion));
        } else if (status == 307 || status == 308) {
            completion(std::move(newRequest));
        } else {
            completion(std::nullopt);
        }
    }
    // Only redirects are decided here: metrics and upload progress would go nowhere.
    bool wantsMetrics(const std::shared_ptr<platform::URLSessionTask>&) override { return false; }
    bool wantsUploadProgress(const std::shared_ptr<platform::URLSessionTask>&) override { return false; }
};
}  // namespace

std::string companionServiceBaseURL() {
    const char* override = std::getenv(std::string(kServiceURLEnvironmentVariable).c_str());
    if (override && *override) return override;
    return std::string(kCompanionServiceBaseURL);
}

std::string companionServiceAddress(std::string_view baseURL, std::string_view path) {
    const std::string trimmed = platform::trimWhitespaceAndNewlines(baseURL);
    std::string_view core = trimmed;
    while (!core.empty() && core.front() == '/') core.remove_prefix(1);
    while (!core.empty() && core.back() == '/') core.remove_suffix(1);
    while (path.size() > 1 && path.starts_with("//")) path.remove_prefix(1);
    std::string address(core);
    if (!path.starts_with('/')) address += '/';
    address += path;
    return address;
}

std::shared_ptr<platform::URLSession> makeCompanionServiceSession(platform::URLSessionConfiguration configuration) {
    return platform::URLSession::sessionWithConfiguration(std::move(configuration),
                                                          std::make_shared<CompanionServiceRedirects>());
}

bool isCompanionServiceSession(const platform::URLSession& session) {
    return dynamic_cast<const CompanionServiceRedirects*>(session.delegate().get()) != nullptr;
}

std::shared_ptr<platform::URLSession> companionServiceSession() {
    static const auto session =
        makeCompanionServiceSession(platform::URLSessionConfiguration::defaultSessionConfiguration());
    return session;
}

}  // namespace brisko::app
