// The settings a URL session is made with: timeouts, extra headers, connection limits, TLS, cookies.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "platform/net/HTTPCookieStorage.hpp"
#include "platform/net/HTTPHeaders.hpp"
#include "platform/net/URLRequest.hpp"

namespace brisko::platform {

// TLS versions as the platform numbers them (tls_protocol_version_t).
enum class TLSProtocolVersion : std::uint16_t {
    tls10 = 0x0301,
    tls11 = 0x0302,
    tls12 = 0x0303,
    tls13 = 0x0304
};

// A value copied into the session when it is made; later changes to the original have no effect.
struct URLSessionConfiguration {
    static URLSessionConfiguration defaultSessionConfiguration() { return {}; }
    // Like the default one; our sessions keep no cache or cookies of their own anyway.
    static URLSessionConfiguration ephemeralSessionConfiguration() { return {}; }
    // A configuration with an identifier. Such sessions still run in this process: the identifier is
    // kept so callers can tell them apart and find them again.
    static URLSessionConfiguration backgroundSessionConfigurationWithIdentifier(std::string identifier) {
        URLSessionConfiguration c;
        c.identifier = std::move(identifier);
        return c;
    }

    std::optional<std::string> identifier;
    // Idle timeout: a task fails with -1001 when no data moves for this long (a request's own
    // timeoutInterval, when above 0, takes its place).
    double timeoutIntervalForRequest = 60.0;
    // Total time a task may take, redirects included.
    double timeoutIntervalForResource = 7 * 24 * 3600.0;
    // Added to every request that lacks a field of the same name.
    HTTPHeaders httpAdditionalHeaders;
    // Connections kept and opened at the same time per host (0: no limit).
    int httpMaximumConnectionsPerHost = 6;
    bool httpShouldSetCookies = true;
    // Cookie store consulted for requests that handle cookies; none: no cookies are sent or stored.
    std::shared_ptr<HTTPCookieStorage> httpCookieStorage;
    URLRequestCachePolicy requestCachePolicy = URLRequestCachePolicy::useProtocolCachePolicy;
    bool allowsCellularAccess = true;
    // Kept for callers; no effect on Linux.
    bool sessionSendsLaunchEvents = false;
    bool discretionary = false;
    // Connections never use an older TLS version than this (TLS 1.2 by default).
    TLSProtocolVersion tlsMinimumSupportedProtocolVersion = TLSProtocolVersion::tls12;
    // The largest response body a data task takes, counted after decoding (a compressed body is stopped
    // as it inflates past it); a larger one fails the task with -1103 (dataLengthExceedsMaximum).
    // Download tasks write to files and have no limit; none: no limit.
    std::optional<std::int64_t> maximumDecodedBodyLength = kDefaultMaximumDecodedBodyLength;
    static constexpr std::int64_t kDefaultMaximumDecodedBodyLength = 32 * 1024 * 1024;
    // A PEM file of trusted certificate authorities that replaces the system CA store (for tests
    // against a local server with its own CA). The system store is used when unset.
    std::optional<std::string> tlsTrustedCAFile;
};

}  // namespace brisko::platform
