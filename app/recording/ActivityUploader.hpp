// The upload: takes the whole buffer, posts it to the companion service's ingest endpoint in chunks of
// 500 with the signed-in user's ID token, drops chunks the service refuses for good and puts the rest
// back when anything else goes wrong.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "app/CompanionService.hpp"
#include "app/recording/ActivityBuffer.hpp"
#include "app/recording/ActivityEntry.hpp"
#include "platform/base/Async.hpp"
#include "platform/net/URLSession.hpp"

namespace brisko::app {

class AuthService;

class ActivityUploader {
  public:
    static constexpr std::size_t kChunkSize = 500;
    static constexpr std::string_view kIngestPath = kCompanionIngestPath;
    static constexpr double kTimeoutSeconds = 60;

    // The uploads follow only redirects that keep the POST and its body (307 and 308): they go through
    // `session` when it is a companion service session (which applies that rule), else through one of
    // their own made with its configuration.
    ActivityUploader(std::shared_ptr<ActivityBuffer> buffer, std::shared_ptr<AuthService> authService,
                     std::shared_ptr<platform::URLSession> session, std::string apiBaseURL);
    ~ActivityUploader();
    ActivityUploader(const ActivityUploader&) = delete;
    ActivityUploader& operator=(const ActivityUploader&) = delete;

    // One run on the main queue; never fails towards its caller (failures are logged). Sends only the
    // signed-in account's samples, and nothing while nobody is signed in. Runs may overlap: each sends
    // only what it took, and what it puts back goes in capture order.
    platform::Task<void> upload();
    // Delivers one chunk or throws: ActivityTrackingError for a bad address or an unsuccessful status,
    // otherwise the error of the transport or of the token refresh, unchanged.
    platform::Task<void> postChunk(std::string date, std::span<const ActivityEntry> entries);

    const std::string& apiBaseURL() const { return apiBaseURL_; }

  private:
    // `stillWanted` is asked before each send: false once their account is no longer signed in.
    platform::Task<void> postChunk(std::string date, std::span<const ActivityEntry> entries,
                                   std::function<bool()> stillWanted);

    std::shared_ptr<ActivityBuffer> buffer_;
    std::shared_ptr<AuthService> authService_;
    std::shared_ptr<platform::URLSession> session_;
    bool ownsSession_;  // made here: invalidated with the uploader
    std::string apiBaseURL_;
};

}  // namespace brisko::app
