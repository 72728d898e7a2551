// The companion service's base address and the one session its calls go through.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/net/URLSession.hpp"

namespace brisko::app {

// The service's fixed https address, without a trailing slash.
inline constexpr std::string_view kCompanionServiceBaseURL = "https://companion.brisko.app";
// Development setting: this environment variable, when set and not empty, replaces the address (tests
// and local runs point it at a local server).
inline constexpr std::string_view kServiceURLEnvironmentVariable = "BRISKO_SERVICE_URL";

std::string companionServiceBaseURL();

// The address of a path of the service: the base trimmed of white space and of "/" at both ends, then
// the path (which starts with "/"), so that a base written with a trailing "/" never gives "//api/...".
std::string companionServiceAddress(std::string_view baseURL, std::string_view path);

// The ingest endpoint, which takes the recorded samples.
inline constexpr std::string_view kCompanionIngestPath = "/api/mac-activity/ingest";

// A session for all of the service's calls (pairing and ingest), so that they share one connection,
// one TLS context and one copy of the trusted certificate authorities. The ingest call keeps its method
// and body only across a 307 or 308: its other redirects are not followed. Every other call's redirects
// are followed as by a session without a delegate.
std::shared_ptr<platform::URLSession> makeCompanionServiceSession(platform::URLSessionConfiguration configuration);
// Whether the session was made by makeCompanionServiceSession (and so applies the ingest call's rule).
bool isCompanionServiceSession(const platform::URLSession& session);
// The app's one such session, with the default configuration.
std::shared_ptr<platform::URLSession> companionServiceSession();

}  // namespace brisko::app
