// The chunked upload with its drop and requeue rules.
#include "app/recording/ActivityUploader.hpp"

#include <algorithm>
#include <exception>

#include "app/recording/ActivityPayload.hpp"
#include "app/recording/ActivityTrackingError.hpp"
#include "app/recording/ActivityTrackingService.hpp"
#include "app/account/AuthService.hpp"
#include "app/account/IdentityClient.hpp"
#include "app/CompanionService.hpp"
#include "platform/base/Clock.hpp"
#include "platform/base/Log.hpp"
#include "platform/base/Text.hpp"

namespace brisko::app {

namespace {
constexpr const char* kDroppedChunkLog =
    "[ActivityTracking] Dropped chunk (permanent HTTP %d): %d entries, range %@ - %@, firstApp=%@";
constexpr const char* kUploadFailedLog = "[ActivityTracking] Upload failed (uploaded %d, requeued %d): %@";
constexpr const char* kUploadedLog = "[ActivityTracking] Uploaded %d entries";
constexpr const char* kUploadedWithDiscardsLog = "[ActivityTracking] Uploaded %d entries (discarded %d)";
constexpr const char* kUnknownAppName = "Unknown";
constexpr const char* kDayPattern = "yyyy-MM-dd";

// The account whose samples a run carries is no longer the one signed in.
struct RunDiscarded {};

// 4xx statuses the service will answer the same way every time; 401, 408, 425 and 429 are worth another try.
bool isPermanentRejection(int status) {
    return status >= 400 && status <= 499 && status != 401 && status != 408 && status != 425 && status != 429;
}

bool isSuccess(int status) {
    return status >= 200 && status <= 299;
}

// The status of the reply to `request`. A 2xx head means the service took the chunk, whatever becomes of
// the body after it (cut off, past the session's maximum): the upload never reads the body, so only a
// failure before such a head is thrown.
platform::Task<int> replyStatus(std::shared_ptr<platform::URLSession> session, platform::URLRequest request) {
    co_return co_await platform::withContinuation<int>(
        [session = std::move(session), request = std::move(request)](platform::Continuation<int> c) mutable {
            session
                ->dataTaskWithRequest(std::move(request),
                                      [c](std::optional<platform::Data>,
                                          std::shared_ptr<const platform::HTTPURLResponse> response,
                                          std::optional<platform::Error> error) mutable {
                                          const int status = response ? response->statusCode() : 0;
                                          if (error && !isSuccess(status)) {
                                              c.resumeThrowing(*error);
                                          } else {
                                              c.resume(status);
                                          }
                                      })
                ->resume();
        });
}
}  // namespace

ActivityUploader::ActivityUploader(std::shared_ptr<ActivityBuffer> buffer,
                                   std::shared_ptr<AuthService> authService,
                                   std::shared_ptr<platform::URLSession> session, std::string apiBaseURL)
    : buffer_(std::move(buffer)),
      authService_(std::move(authService)),
      session_(isCompanionServiceSession(*session) ? session
                                                   : makeCompanionServiceSession(session->configuration())),
      ownsSession_(session_ != session),
      apiBaseURL_(std::move(apiBaseURL)) {}

ActivityUploader::~ActivityUploader() {
    if (ownsSession_) session_->finishTasksAndInvalidate();
}

platform::Task<void> ActivityUploader::upload() {
    // Nothing goes out while nobody is signed in: the samples wait (within the cap) for the next account.
    auto identity = authService_->identity();
    auto user = identity->currentUser();
    if (!user) co_return;
    const std::string uid = user->uid();
    auto batch = buffer_->takeBuffer(uid);
    if (batch.entries.empty()) co_return;

    const std::string date = platform::formatDate(platform::now(), kDayPattern, platform::TimeZone::local);
    for (auto& e : batch.entries) e.entry.appName = trimmedOrFallback(e.entry.appName, kUnknownAppName);

    // The samples belong to the account `uid` and go out under no other session: once this user is no
    // longer the one signed in (a sign-out, even when the same account signs in again), or its samples
    // were discarded, the run stops and puts back what it holds, and the account change decides its fate.
    auto buffer = buffer_;
    auto stillWanted = [buffer, identity, user](const std::vector<std::uint64_t>& sequences) {
        return identity->currentUser() == user && buffer->holdsAny(sequences);
    };

    std::size_t uploaded = 0;
    std::size_t discarded = 0;
    const std::size_t total = batch.entries.size();
    for (std::size_t start = 0; start < total; start += kChunkSize) {
        const std::size_t end = std::min(total, start + kChunkSize);
        std::vector<ActivityEntry> chunk;
        std::vector<std::uint64_t> sequences;
        chunk.reserve(end - start);
        sequences.reserve(end - start);
        for (std::size_t i = start; i < end; ++i) {
            chunk.push_back(batch.entries[i].entry);
            sequences.push_back(batch.entries[i].sequence);
        }

        std::optional<platform::Error> failure;
        bool abandoned = false;
        try {
            co_await postChunk(date, chunk, [&stillWanted, &sequences] { return stillWanted(sequences); });
        } catch (const RunDiscarded&) {
            abandoned = true;
        } catch (...) {
            failure = platform::errorFromException(std::current_exception());
        }

        std::vector<BufferedEntry> rest;
        if (abandoned || failure) {
            rest.assign(std::make_move_iterator(batch.entries.begin() + static_cast<std::ptrdiff_t>(start)),
                        std::make_move_iterator(batch.entries.end()));
        }
        if (abandoned) {
            buffer_->requeue(std::move(rest));
            co_return;
        }
        if (!failure) {
            uploaded += chunk.size();
            buffer_->settle(sequences);
            continue;
        }
        if (auto status = ActivityTrackingError::httpStatus(*failure);
            status && isPermanentRejection(*status)) {
            discarded += chunk.size();
            platform::logLine(
                platform::format(kDroppedChunkLog, {*status, chunk.size(), chunk.front().timestamp,
                                                    chunk.back().timestamp, chunk.front().appName}));
            buffer_->settle(sequences);
            continue;
        }
        const auto requeued = rest.size();
        buffer_->requeue(std::move(rest));
        platform::logLine(
            platform::format(kUploadFailedLog, {uploaded, requeued, failure->localizedDescription()}));
        co_return;
    }
    if (discarded == 0) {
        platform::logLine(platform::format(kUploadedLog, {uploaded}));
    } else {
        platform::logLine(platform::format(kUploadedWithDiscardsLog, {uploaded, discarded}));
    }
}

platform::Task<void> ActivityUploader::postChunk(std::string date, std::span<const ActivityEntry> entries) {
    co_await postChunk(std::move(date), entries, [] { return true; });
}

platform::Task<void> ActivityUploader::postChunk(std::string date, std::span<const ActivityEntry> entries,
                                                 std::function<bool()> stillWanted) {
    auto url = platform::URL::parse(companionServiceAddress(apiBaseURL_, kIngestPath));
    if (!url) throw platform::ErrorException(ActivityTrackingError::invalidURL());

    platform::URLRequest request(*url, platform::URLRequestCachePolicy::useProtocolCachePolicy,
                                 kTimeoutSeconds);
    request.setHTTPMethod("POST");
    request.setValue(std::string_view("application/json"), "Content-Type");

    // Best effort: without a user or a token the chunk goes without "Authorization".
    if (auto user = authService_->identity()->currentUser()) {
        std::optional<std::string> token;
        try {
            token = co_await user->getIDToken(false);
        } catch (...) {
        }
        if (token) request.setValue(std::string_view("Bearer " + *token), "Authorization");
    }

    const std::string body = ActivityPayload{date, entries}.toJSON();
    request.setHTTPBody(platform::Data(body.begin(), body.end()));

    if (!stillWanted()) throw RunDiscarded{};
    int status = co_await replyStatus(session_, request);
    if (isSuccess(status)) co_return;
    if (status != 401) throw platform::ErrorException(ActivityTrackingError::httpError(status));

    const std::string fresh = co_await authService_->getIDToken(true);
    request.setValue(std::string_view("Bearer " + fresh), "Authorization");
    if (!stillWanted()) throw RunDiscarded{};
    status = co_await replyStatus(session_, request);
    if (!isSuccess(status)) throw platform::ErrorException(ActivityTrackingError::httpError(status));
}

}  // namespace brisko::app
