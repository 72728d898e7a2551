// Errors of the URL-loading system.
#include "platform/net/URLError.hpp"

#include <memory>

namespace brisko::platform {

std::string_view urlErrorSentence(URLErrorCode code) {
    switch (code) {
        case URLErrorCode::cancelled:
            return "cancelled";
        case URLErrorCode::badURL:
            return "bad URL";
        case URLErrorCode::timedOut:
            return "The request timed out.";
        case URLErrorCode::unsupportedURL:
            return "unsupported URL";
        case URLErrorCode::cannotFindHost:
            return "A server with the specified hostname could not be found.";
        case URLErrorCode::cannotConnectToHost:
            return "Could not connect to the server.";
        case URLErrorCode::networkConnectionLost:
            return "The network connection was lost.";
        case URLErrorCode::dnsLookupFailed:
            return "The DNS lookup failed.";
        case URLErrorCode::httpTooManyRedirects:
            return "too many HTTP redirects";
        case URLErrorCode::notConnectedToInternet:
            return "The Internet connection appears to be offline.";
        case URLErrorCode::redirectToNonExistentLocation:
            return "redirect to non-existent location";
        case URLErrorCode::badServerResponse:
            return "bad server response";
        case URLErrorCode::cannotDecodeContentData:
            return "cannot decode content data";
        case URLErrorCode::cannotParseResponse:
            return "cannot parse response";
        case URLErrorCode::fileDoesNotExist:
            return "The requested file does not exist.";
        case URLErrorCode::noPermissionsToReadFile:
            return "The file could not be read.";
        case URLErrorCode::secureConnectionFailed:
            return "An SSL error has occurred and a secure connection to the server cannot be made.";
        case URLErrorCode::serverCertificateUntrusted:
            return "The certificate for this server is invalid. You might be connecting to a server that is "
                   "pretending to be the server, which could put your confidential information at risk.";
        case URLErrorCode::clientCertificateRequired:
            return "The server requires a client certificate.";
        case URLErrorCode::cannotCreateFile:
            return "The file could not be created.";
        case URLErrorCode::cannotWriteToFile:
            return "The file could not be written.";
        case URLErrorCode::resourceUnavailable:
            return "resource unavailable";
        case URLErrorCode::requestBodyStreamExhausted:
            return "request body stream exhausted";
        case URLErrorCode::dataLengthExceedsMaximum:
            return "resource exceeds maximum size";
        case URLErrorCode::clientCertificateRejected:
            return "The server did not accept the certificate.";
        default:
            return "An unknown error occurred.";
    }
}

Error makeURLError(URLErrorCode code, const std::optional<URL>& failingURL, std::string_view detail) {
    Dictionary info;
    std::string description(urlErrorSentence(code));
    if (!detail.empty()) {
        description += " (";
        description += detail;
        description += ")";
    }
    info.emplace(std::string(kLocalizedDescriptionKey), Value(std::move(description)));
    if (failingURL) {
        // Errors are logged and passed around: the URL they carry has no password.
        const URL shown = failingURL->withoutPassword();
        info.emplace(std::string(kURLErrorFailingURLErrorKey), Value::object(std::make_shared<const URL>(shown)));
        info.emplace(std::string(kURLErrorFailingURLStringErrorKey), Value(shown.absoluteString()));
    }
    return Error(std::string(kURLErrorDomain), static_cast<int>(code), std::move(info));
}

bool isURLError(const std::optional<Error>& e, URLErrorCode code) {
    return e && e->domain() == kURLErrorDomain && e->code() == static_cast<int>(code);
}

}  // namespace brisko::platform
