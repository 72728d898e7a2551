// The process-wide Ezevar sign-in object. This build has no interactive sign-in yet: a sign-in
// reports that it is not available, and nobody is ever signed in.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Error.hpp"
#include "signin/Configuration.hpp"
#include "signin/SignInResult.hpp"

namespace brisko::signin {

inline constexpr std::string_view kSignInErrorDomain = "com.ezevar.EIDSignIn";
// The error codes of the sign-in domain that this build reports.
inline constexpr std::int64_t kSignInErrorCodeUnknown = -1;
inline constexpr std::int64_t kSignInErrorCodeCanceled = -5;

// The window the sign-in is presented over: its native (X11) window id, 0 for none.
using PresentingWindow = std::uint64_t;

class SignIn {
  public:
    using Completion = std::function<void(std::shared_ptr<SignInResult>, platform::OptionalError)>;

    static SignIn& sharedInstance();

    std::optional<Configuration> configuration() const;
    void setConfiguration(Configuration configuration);

    // Runs the interactive sign-in; the completion runs on the main queue with a result or an error.
    void signInWithPresentingWindow(PresentingWindow window, Completion completion);
    // True when the URL was the redirect of the sign-in under way and continued it.
    bool handleURL(std::string_view url);
    // Forgets the signed-in user and removes the saved session.
    void signOut();

  private:
    mutable std::mutex mutex_;
    std::optional<Configuration> configuration_;
};

}  // namespace brisko::signin
