// The process-wide Ezevar sign-in object, as the app uses it.
#pragma once

#include "app/account/EzevarSignInClient.hpp"

namespace brisko::app {

class EzevarSignInAdapter : public EzevarSignInClient {
public:
    // Local stand-ins (`run-app.sh --local`): a PEM file of the test CA that takes the place of the
    // system's CA store for the Ezevar calls (token, user-info and revocation requests).
    static constexpr std::string_view kTrustedCAEnvironmentVariable = "BRISKO_EZEVAR_CA_FILE";

    EzevarSignInAdapter();

    bool hasConfiguration() override;
    void setConfiguration(std::string clientID) override;
    platform::Task<Tokens> signIn(std::uint64_t presentingWindow) override;
    bool handleURL(std::string_view url) override;
    void signOut() override;
    bool cancelSignIn() override;
    void setProgressHandler(ProgressHandler handler) override;

private:
    void report(bool waiting, std::optional<platform::Error> error);

    ProgressHandler progress_;
};

}  // namespace brisko::app
