// The one error value of the system: a domain, a code and user info, like the platform's error objects.
#pragma once

#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <source_location>
#include <string>
#include <string_view>

#include "platform/base/Value.hpp"

namespace brisko::platform {

// Well-known user-info keys and domains, spelled as the platform spells them.
inline constexpr std::string_view kLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr std::string_view kLocalizedFailureReasonErrorKey = "NSLocalizedFailureReason";
inline constexpr std::string_view kLocalizedRecoverySuggestionErrorKey = "NSLocalizedRecoverySuggestion";
inline constexpr std::string_view kUnderlyingErrorKey = "NSUnderlyingError";
inline constexpr std::string_view kURLErrorFailingURLErrorKey = "NSErrorFailingURLKey";
inline constexpr std::string_view kURLErrorFailingURLStringErrorKey = "NSErrorFailingURLStringKey";
inline constexpr std::string_view kFilePathErrorKey = "NSFilePath";

inline constexpr std::string_view kURLErrorDomain = "NSURLErrorDomain";
inline constexpr std::string_view kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr std::string_view kPOSIXErrorDomain = "NSPOSIXErrorDomain";
inline constexpr std::string_view kOSStatusErrorDomain = "NSOSStatusErrorDomain";

class Error {
public:
    Error(std::string domain, std::int64_t code, Dictionary userInfo = {})
        : domain_(std::move(domain)), code_(code), userInfo_(std::move(userInfo)) {}

    const std::string& domain() const { return domain_; }
    std::int64_t code() const { return code_; }
    const Dictionary& userInfo() const { return userInfo_; }
    const Value* userInfoValue(std::string_view key) const;

    // The user-info description when present, else the platform's generic sentence.
    std::string localizedDescription() const;
    std::optional<std::string> localizedFailureReason() const;
    std::shared_ptr<const Error> underlyingError() const;

    // "Error Domain=... Code=... "description" UserInfo={...}"
    std::string description() const;

    bool operator==(const Error& other) const = default;

    // A POSIX error for errno-style failures, with the system's message.
    static Error posix(int err, std::string_view context = {});

private:
    std::string domain_;
    std::int64_t code_;
    Dictionary userInfo_;
};

using OptionalError = std::optional<Error>;

// Thrown by coroutines and throwing functions; holds the error value.
class ErrorException : public std::exception {
public:
    explicit ErrorException(Error error) : error_(std::move(error)), what_(error_.description()) {}
    const Error& error() const noexcept { return error_; }
    const char* what() const noexcept override { return what_.c_str(); }

private:
    Error error_;
    std::string what_;
};

// The error carried by an exception pointer: an ErrorException's error, or a generic one for others.
Error errorFromException(std::exception_ptr e);

// The one path for programming errors (a call in a wrong state, missing configuration): logs the
// message with its source location and stops the process.
[[noreturn]] void fatal(std::string_view message, std::source_location where = std::source_location::current());

// A programming error that raises an exception with a name and a reason, like the platform's
// exceptions: thrown as ProgrammingException so callers and tests can see the name and text.
class ProgrammingException : public std::exception {
public:
    ProgrammingException(std::string name, std::string reason)
        : name_(std::move(name)), reason_(std::move(reason)) {}
    const std::string& name() const noexcept { return name_; }
    const std::string& reason() const noexcept { return reason_; }
    const char* what() const noexcept override { return reason_.c_str(); }

private:
    std::string name_;
    std::string reason_;
};

}  // namespace brisko::platform
