// Property lists (XML and binary) read into and written from platform::Value, over libplist.
#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <string_view>

#include "platform/base/Value.hpp"

namespace brisko::platform {

enum class PropertyListFormat { xml, binary };

// Property-list error codes of the platform's Cocoa domain.
inline constexpr std::int64_t kPropertyListReadCorruptError = 3840;
inline constexpr std::int64_t kPropertyListWriteInvalidError = 3851;

// Values map one to one: dictionary, array, string, integer (signed 64-bit), real, Boolean, date
// (microseconds in binary, whole seconds in XML), data. A keyed-archive UID reads as the dictionary
// {"CF$UID": n}, as the platform shows it in XML.
class PropertyList {
  public:
    // Nesting deeper than this is refused rather than risking the stack.
    static constexpr int kMaxDepth = 512;

    // Reads XML or binary (told apart by the first bytes). Damaged input, text that is not UTF-8 and
    // nesting beyond kMaxDepth throw ErrorException (Cocoa domain, kPropertyListReadCorruptError).
    static Value read(std::span<const std::uint8_t> bytes, PropertyListFormat* format = nullptr);
    // As `read`, from a file; a file that cannot be read throws the FileSystem error.
    static Value readFile(const std::filesystem::path& path, PropertyListFormat* format = nullptr);

    // Throws ErrorException (kPropertyListWriteInvalidError) for a value with no property-list form:
    // null, errors, objects, text with a NUL character, dates outside 1933-2069.
    static Data write(const Value& value, PropertyListFormat format);

    // True when `write` would accept the value.
    static bool isPropertyList(const Value& value);
};

}  // namespace brisko::platform
