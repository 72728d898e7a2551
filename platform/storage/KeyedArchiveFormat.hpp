// The layout of keyed archives, shared by KeyedArchiver and KeyedUnarchiver.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace brisko::platform::keyed_archive {

inline constexpr std::string_view kArchiverKey = "$archiver";
inline constexpr std::string_view kArchiverName = "BriskoKeyedArchiver";
inline constexpr std::string_view kVersionKey = "$version";
inline constexpr std::int64_t kVersion = 1;
inline constexpr std::string_view kTopKey = "$top";
inline constexpr std::string_view kClassKey = "$class";
inline constexpr std::string_view kObjectsKey = "NS.objects";
// Dates keep their nanoseconds since 1970 as an integer, so they come back exactly.
inline constexpr std::string_view kTimeKey = "NS.nanoseconds";
// Objects nested deeper than this are refused (a cycle, or an archive built to exhaust the stack).
inline constexpr int kMaxDepth = 256;

// An object's own key as stored: keys starting with "$" get one more, so they never meet ours.
inline std::string storedKey(std::string_view key) {
    return key.starts_with('$') ? "$" + std::string(key) : std::string(key);
}

}  // namespace brisko::platform::keyed_archive
