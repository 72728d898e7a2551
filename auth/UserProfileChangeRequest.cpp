// Display name and photo URL changes, committed once.
#include "auth/UserProfileChangeRequest.hpp"

#include "auth/Auth.hpp"
#include "auth/AuthLog.hpp"
#include "auth/AuthTasks.hpp"
#include "auth/User.hpp"
#include "auth/backend/AuthErrorUtils.hpp"
#include "auth/backend/SetAccountInfoRequest.hpp"
#include "auth/providers/CompletionTask.hpp"

namespace brisko::auth {

std::shared_ptr<UserProfileChangeRequest> UserProfileChangeRequest::make(std::shared_ptr<User> user) {
    return std::shared_ptr<UserProfileChangeRequest>(new UserProfileChangeRequest(std::move(user)));
}

std::optional<std::string> UserProfileChangeRequest::displayName() const {
    std::lock_guard lock(mutex_);
    return pending_.displayName;
}

std::optional<platform::URL> UserProfileChangeRequest::photoURL() const {
    std::lock_guard lock(mutex_);
    return pending_.photoURL;
}

void UserProfileChangeRequest::setDisplayName(std::optional<std::string> displayName) {
    auto self = shared_from_this();
    Auth::authGlobalWorkQueue()->async([self, displayName = std::move(displayName)]() mutable {
        std::lock_guard lock(self->mutex_);
        if (self->pending_.consumed) {
            authLog(kLogLevelWarning, kLogCodeToken, kSetDisplayNameAfterCommitMessage);
            return;
        }
        self->pending_.displayNameWasSet = true;
        self->pending_.displayName = std::move(displayName);
    });
}

void UserProfileChangeRequest::setPhotoURL(std::optional<platform::URL> photoURL) {
    auto self = shared_from_this();
    Auth::authGlobalWorkQueue()->async([self, photoURL = std::move(photoURL)]() mutable {
        std::lock_guard lock(self->mutex_);
        if (self->pending_.consumed) {
            authLog(kLogLevelWarning, kLogCodeToken, kSetPhotoURLAfterCommitMessage);
            return;
        }
        self->pending_.photoURLWasSet = true;
        self->pending_.photoURL = std::move(photoURL);
    });
}

void UserProfileChangeRequest::commitChanges(Callback completion) {
    auto self = shared_from_this();
    Auth::authGlobalWorkQueue()->async([self, completion = std::move(completion)]() mutable {
        Pending pending;
        {
            std::lock_guard lock(self->mutex_);
            if (self->pending_.consumed) {
                completeOnMain(completion, platform::OptionalError(AuthErrorUtils::makeError(
                                               AuthErrorCode::internalError,
                                               platform::Dictionary{{std::string(platform::kLocalizedDescriptionKey),
                                                                     std::string(kCommitTwiceMessage)}})));
                return;
            }
            self->pending_.consumed = true;
            pending = self->pending_;
        }
        if (!pending.displayNameWasSet && !pending.photoURLWasSet) {
            completeOnMain(completion, std::nullopt);
            return;
        }
        auto user = self->user_;
        user->executeUserUpdateWithChanges(
            [pending](const GetAccountInfoResponse::User&, SetAccountInfoRequest& request) {
                if (pending.photoURLWasSet) request.photoURL = pending.photoURL;
                if (pending.displayNameWasSet) request.displayName = pending.displayName;
            },
            [user, pending, completion](platform::OptionalError error) {
                if (error) {
                    completeOnMain(completion, std::move(error));
                    return;
                }
                if (pending.displayNameWasSet) user->setDisplayName(pending.displayName);
                if (pending.photoURLWasSet) user->setPhotoURL(pending.photoURL);
                completeOnMain(completion, user->updateKeychain());
            });
    });
}

platform::Task<void> UserProfileChangeRequest::commitChanges() {
    auto self = shared_from_this();
    co_await awaitCompletion<void>([self](auto done) { self->commitChanges(Callback(done)); });
}

}  // namespace brisko::auth
