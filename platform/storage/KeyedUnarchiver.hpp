// Keyed unarchiving with secure coding: values come back only as classes the caller allows.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/storage/ArchiveClass.hpp"
#include "platform/base/Error.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/base/Value.hpp"

namespace brisko::platform {

// Reads what KeyedArchiver wrote. With secure coding (the default) every decoded value, including each
// element of a collection, must be of a class in the allowed list of the call, and objects' classes must
// support secure coding; otherwise decoding fails. A failure (a refused class, an unknown class, damaged
// structure) is kept as `error()` (Cocoa domain, kCoderReadCorruptError) and every later decode answers
// nothing, as the platform's coder does with its set-error policy.
class KeyedUnarchiver {
  public:
    // Opens an archive; throws ErrorException (kCoderReadCorruptError) for bytes that are no archive.
    explicit KeyedUnarchiver(std::span<const std::uint8_t> data);
    KeyedUnarchiver(const KeyedUnarchiver&) = delete;
    KeyedUnarchiver& operator=(const KeyedUnarchiver&) = delete;

    bool requiresSecureCoding() const;
    void setRequiresSecureCoding(bool value);
    // Decodes objects archived under `codedName` as T.
    template <Archivable T>
    void setClass(std::string_view codedName) {
        archiveClassName<T>();
        setClass(codedName, ArchiveClassRegistry::byType(typeid(T)));
    }

    bool containsValueForKey(std::string_view key) const;
    // The class name stored for a key ("NSString", "ZIRUser"...), without decoding anything.
    std::optional<std::string> classNameForKey(std::string_view key) const;

    // The value under the key (null when absent or refused); objects come back as Value::object. The list
    // must name the classes of a collection's elements as well as the collection's own.
    Value decodeObjectOfClasses(const ArchiveClassList& classes, std::string_view key);
    // The value as T: std::optional of std::string, Data, Date, Array or Dictionary; std::shared_ptr<T>
    // for an Archivable T.
    template <class T>
    auto decodeObjectOfClass(std::string_view key) {
        return ArchiveClassTraits<T>::extract(decodeObjectOfClasses(archiveClasses<T>(), key));
    }
    // Any class; refused (an error) while secure coding is required.
    Value decodeObject(std::string_view key);

    // Numbers convert among themselves; a missing key or another class reads as false or 0.
    bool decodeBool(std::string_view key);
    std::int64_t decodeInteger(std::string_view key);
    double decodeDouble(std::string_view key);

    const std::optional<Error>& error() const;
    void failWithError(Error error);

    // One call: the root object decoded with secure coding; throws ErrorException for bytes that are no
    // archive, a refused class or damaged contents. Null when the archive has no root.
    static Value unarchivedObjectOfClasses(const ArchiveClassList& classes,
                                           std::span<const std::uint8_t> data);
    template <class T>
    static auto unarchivedObjectOfClass(std::span<const std::uint8_t> data) {
        return ArchiveClassTraits<T>::extract(unarchivedObjectOfClasses(archiveClasses<T>(), data));
    }

  private:
    struct State;
    KeyedUnarchiver(std::shared_ptr<State> state, const Dictionary* container);
    void setClass(std::string_view codedName, const ArchiveClass* cls);
    const Value* stored(std::string_view key) const;
    Value decodeValue(const Value& encoded, const ArchiveClassList* allowed, std::string_view key);
    bool allow(std::string_view className, const ArchiveClassList* allowed, std::string_view key);

    std::shared_ptr<State> state_;
    const Dictionary* container_;
};

}  // namespace brisko::platform
