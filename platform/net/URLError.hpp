// Error codes of the URL-loading system (domain "NSURLErrorDomain") and the factory for them.
#pragma once

#include <optional>
#include <string_view>

#include "platform/base/Error.hpp"
#include "platform/net/URL.hpp"

namespace brisko::platform {

// Codes as the platform numbers them.
enum class URLErrorCode : int {
    unknown = -1,
    cancelled = -999,
    badURL = -1000,
    timedOut = -1001,
    unsupportedURL = -1002,
    cannotFindHost = -1003,
    cannotConnectToHost = -1004,
    networkConnectionLost = -1005,
    dnsLookupFailed = -1006,
    httpTooManyRedirects = -1007,
    resourceUnavailable = -1008,
    notConnectedToInternet = -1009,
    redirectToNonExistentLocation = -1010,
    badServerResponse = -1011,
    userCancelledAuthentication = -1012,
    userAuthenticationRequired = -1013,
    zeroByteResource = -1014,
    cannotDecodeRawData = -1015,
    cannotDecodeContentData = -1016,
    cannotParseResponse = -1017,
    // A streamed request body is missing, failed or cannot be sent again.
    requestBodyStreamExhausted = -1021,
    fileDoesNotExist = -1100,
    fileIsDirectory = -1101,
    noPermissionsToReadFile = -1102,
    dataLengthExceedsMaximum = -1103,
    secureConnectionFailed = -1200,
    serverCertificateHasBadDate = -1201,
    serverCertificateUntrusted = -1202,
    serverCertificateHasUnknownRoot = -1203,
    serverCertificateNotYetValid = -1204,
    clientCertificateRejected = -1205,
    clientCertificateRequired = -1206,
    cannotCreateFile = -3000,
    cannotOpenFile = -3001,
    cannotWriteToFile = -3003,
    cannotRemoveFile = -3004,
    cannotMoveFile = -3005,
    downloadDecodingFailedMidStream = -3006,
    downloadDecodingFailedToComplete = -3007,
};

// User-info key under which a failed or cancelled download carries its resume data.
inline constexpr std::string_view kURLSessionDownloadTaskResumeData = "NSURLSessionDownloadTaskResumeData";
// Domain of the libcurl error placed under NSUnderlyingError (code = the CURLcode).
inline constexpr std::string_view kCurlErrorDomain = "com.brisko.platform.curl";

// The platform's sentence for a code ("The request timed out." for -1001).
std::string_view urlErrorSentence(URLErrorCode code);

// An error of "NSURLErrorDomain": NSLocalizedDescription is the code's sentence followed by the detail
// (libcurl's message) in parentheses when one is given; with a URL, NSErrorFailingURLKey (the URL as
// an object) and NSErrorFailingURLStringKey (its text) are set.
Error makeURLError(URLErrorCode code, const std::optional<URL>& failingURL = std::nullopt,
                   std::string_view detail = {});

// True when `e` is an error of "NSURLErrorDomain" with that code.
bool isURLError(const std::optional<Error>& e, URLErrorCode code);

}  // namespace brisko::platform
