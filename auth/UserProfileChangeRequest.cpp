// Display name and photo URL changes, committed once.
#include "auth/UserProfileChangeRequest.hpp"

#include "auth/Auth.hpp"
#include "auth/AuthLog.hpp"
#include "auth/AuthTasks.hpp"
#include "auth/User.hpp"
#include "auth/UserProfileUpdate.hpp"
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
    // The commit takes its place among the user's updates at the call; one refused below gives it up.
    auto turn = user_->userProfileUpdate()->takeTurn();
    Auth::authGlobalWorkQueue()->async([self, turn, completion = std::move(completion)]() mutable {
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
        User::ChangeBlock changes = [pending](const GetAccountInfoResponse::User&, SetAccountInfoRequest& request) {
            // A value set to nothing is deleted at the service; a field left out would keep it.
            auto deleteAttribute = [&request](std::string_view attribute) {
                if (!request.deleteAttributes) request.deleteAttributes.emplace();
                request.deleteAttributes->emplace_back(attribute);
            };
            if (pending.photoURLWasSet) {
                request.photoURL = pending.photoURL;
                if (!pending.photoURL) deleteAttribute(kDeleteAttributePhotoURL);
            }
            if (pending.displayNameWasSet) {
                request.displayName = pending.displayName;
                if (!pending.displayName) deleteAttribute(kDeleteAttributeDisplayName);
            }
        };
        runInTurn<platform::OptionalError>(
            std::move(turn),
            [user, changes = std::move(changes)](Callback done) {
                user->executeUserUpdateWithChanges(changes, std::move(done));
            },
            [user, pending, completion](platform::OptionalError error) {
                if (error) {
                    completeOnMain(completion, std::move(error));
                    return;
                }
                if (pending.displayNameWasSet) user->setDisplayName(pending.displayName);
                if (pending.photoURLWasSet) user->setPhotoURL(pending.photoURL);
                completeOnMain(completion, user->updateKeychain());
            },
            "commitChanges");
    });
}

platform::Task<void> UserProfileChangeRequest::commitChanges() {
    auto self = shared_from_this();
    co_await awaitCompletion<void>([self](auto done) { self->commitChanges(Callback(done)); });
}

}  // namespace brisko::auth
