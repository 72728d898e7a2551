// The identity client's lines in the shared logger: its service tag and message codes.
#pragma once

#include <string_view>

#include "core/LoggerWrapper.hpp"

namespace brisko::auth {

inline constexpr std::string_view kLoggerService = "[ZudiridiRozu]";

inline constexpr std::string_view kLogCodeStartupLoadFailed = "I-AUT000001";
inline constexpr std::string_view kLogCodeAutoRefreshEnabled = "I-AUT000002";
inline constexpr std::string_view kLogCodeAutoRefreshRescheduled = "I-AUT000003";
inline constexpr std::string_view kLogCodeAutoRefreshScheduled = "I-AUT000004";
inline constexpr std::string_view kLogCodeKeychainMultipleResults = "I-AUT000005";
inline constexpr std::string_view kLogCodeInvalidUserToken = "I-AUT000016";
inline constexpr std::string_view kLogCodeToken = "I-AUT000017";

inline constexpr long kLogLevelError = 3;
inline constexpr long kLogLevelWarning = 4;
inline constexpr long kLogLevelNotice = 5;
inline constexpr long kLogLevelInfo = 6;
inline constexpr long kLogLevelDebug = 7;

inline void authLog(long level, std::string_view code, std::string_view message) {
    core::LoggerWrapper::logWithLevel(level, kLoggerService, code, message);
}

}  // namespace brisko::auth
