// The Ezevar sign-in layer as the app uses it: its client-ID configuration, the interactive sign-in,
// redirect URLs and sign-out. EzevarSignInAdapter is the real one; tests put a fake in its place.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Async.hpp"
#include "platform/base/Error.hpp"

namespace brisko::app {

class EzevarSignInClient {
public:
    // The tokens of the signed-in Ezevar user.
    struct Tokens {
        std::optional<std::string> idToken;  // none when the sign-in gave none
        std::string accessToken;
    };
    // Told when the page opens in the browser (waiting: true) and when the Ezevar part of the sign-in
    // ends (waiting: false, with its error; the user's cancellation is "com.ezevar.EIDSignIn" -5).
    using ProgressHandler = std::function<void(bool waiting, std::optional<platform::Error> error)>;

    virtual ~EzevarSignInClient() = default;

    virtual bool hasConfiguration() = 0;
    virtual void setConfiguration(std::string clientID) = 0;
    // Runs the interactive sign-in over the window (its native id, 0 for none); throws the sign-in
    // layer's error unchanged (the user's cancellation is "com.ezevar.EIDSignIn" -5).
    virtual platform::Task<Tokens> signIn(std::uint64_t presentingWindow) = 0;
    // True when the URL belonged to the sign-in under way.
    virtual bool handleURL(std::string_view url) = 0;
    virtual void signOut() = 0;

    // Ends the sign-in whose page is open as cancelled; false when none is.
    virtual bool cancelSignIn() { return false; }
    // One handler (the sign-in screen); none removes it.
    virtual void setProgressHandler(ProgressHandler handler) { (void)handler; }
};

}  // namespace brisko::app
