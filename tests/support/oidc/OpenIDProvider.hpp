// The real OpenID provider of the OAuth tests (oidc-provider under Node on 127.0.0.1 and an ephemeral
// port) and the scripted browser that signs in to it.
//
//   OpenIDProvider provider;                 // starts node; throws with the reason when it cannot
//   provider.issuer()                        // "http://127.0.0.1:PORT"
//   auto run = ScriptedBrowser::run({url});  // follows the flow, prints what it delivered
//
// Clients: "native-app" (public, loopback and "com.brisko.test:/oauth2callback" redirects),
// "confidential app" with the secret kConfidentialSecret, "hybrid-app" ("code id_token").
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace brisko::testing {

class OpenIDProvider {
  public:
    static constexpr std::string_view kNativeClientID = "native-app";
    static constexpr std::string_view kConfidentialClientID = "confidential app";
    static constexpr std::string_view kConfidentialSecret = "se cret+:%pw";
    static constexpr std::string_view kHybridClientID = "hybrid-app";
    static constexpr std::string_view kInitialAccessToken = "test-initial-access-token";
    static constexpr std::string_view kCustomSchemeRedirect = "com.brisko.test:/oauth2callback";
    static constexpr std::string_view kLogoutRedirect = "com.brisko.test:/logout";

    // Starts the provider and waits until it listens; throws std::runtime_error (with node's output)
    // when node or the oidc-provider package is missing or the provider does not come up.
    OpenIDProvider();
    ~OpenIDProvider();
    OpenIDProvider(const OpenIDProvider&) = delete;
    OpenIDProvider& operator=(const OpenIDProvider&) = delete;

    int port() const { return port_; }
    std::string issuer() const;

    // What the provider printed so far.
    std::string output() const;

  private:
    pid_t pid_ = -1;
    int port_ = 0;
    std::thread reader_;  // drains the provider's output so that it never blocks or fails writing
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::string output_;
    bool ended_ = false;
};

struct ProcessResult {
    int exitCode = -1;
    std::string output;  // stdout and stderr
    bool contains(std::string_view text) const { return output.find(text) != std::string::npos; }
    // The text after "<prefix> " on the first line that starts with it.
    std::string lineValue(std::string_view prefix) const;
};

// Runs a program and waits for it (bounded by `timeoutSeconds`, after which it is killed).
ProcessResult runProcess(const std::vector<std::string>& argv, int timeoutSeconds = 60);

class ScriptedBrowser {
  public:
    // node browser.mjs ARGS...: see tests/support/oidc/browser.mjs.
    static ProcessResult run(const std::vector<std::string>& args);
};

}  // namespace brisko::testing
