// The Ezevar sign-in stand-in: keeps its configuration and reports that sign-in is not available.
#include "signin/SignIn.hpp"

#include "platform/base/Dispatch.hpp"

namespace brisko::signin {

namespace {
constexpr const char* kNotAvailable = "Ezevar sign-in is not available yet in this build.";
}

SignIn& SignIn::sharedInstance() {
    static SignIn instance;
    return instance;
}

std::optional<Configuration> SignIn::configuration() const {
    std::lock_guard lock(mutex_);
    return configuration_;
}

void SignIn::setConfiguration(Configuration configuration) {
    std::lock_guard lock(mutex_);
    configuration_ = std::move(configuration);
}

void SignIn::signInWithPresentingWindow(PresentingWindow, Completion completion) {
    platform::DispatchQueue::main()->async([completion = std::move(completion)] {
        completion(nullptr,
                   platform::Error(std::string(kSignInErrorDomain), kSignInErrorCodeUnknown,
                                   {{std::string(platform::kLocalizedDescriptionKey), kNotAvailable}}));
    });
}

bool SignIn::handleURL(std::string_view) {
    return false;
}

void SignIn::signOut() {}

}  // namespace brisko::signin
