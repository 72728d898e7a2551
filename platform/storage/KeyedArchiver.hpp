// Keyed archiving: objects encoded by key with their class names, stored as a binary property list.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/storage/ArchiveClass.hpp"
#include "platform/base/Error.hpp"
#include "platform/base/Value.hpp"

namespace brisko::platform {

// NSCoder error codes of the Cocoa domain.
inline constexpr std::int64_t kCoderReadCorruptError = 4864;
inline constexpr std::int64_t kCoderValueNotFoundError = 4865;
inline constexpr std::int64_t kCoderInvalidValueError = 4866;

// The archive: {"$archiver": "BriskoKeyedArchiver", "$version": 1, "$top": {key: value}}. Texts, numbers
// and data are stored as they are; dates, arrays, dictionaries and objects as dictionaries naming their
// class under "$class" (objects hold their own keys beside it; keys starting with "$" get one more).
//
// An object's class encodes itself through the coder it is given (encodeWithCoder); the first failure
// (an unregistered class, a value with no archived form, a class without secure coding when it is
// required) is kept as `error()` and makes encodedData() throw.
class KeyedArchiver {
  public:
    explicit KeyedArchiver(bool requiresSecureCoding = true);
    KeyedArchiver(const KeyedArchiver&) = delete;
    KeyedArchiver& operator=(const KeyedArchiver&) = delete;

    bool requiresSecureCoding() const;
    // Archives objects of T under another class name.
    template <Archivable T>
    void setClassName(std::string_view codedName) {
        archiveClassName<T>();
        setClassName(typeid(T), codedName);
    }

    // Texts, numbers, data, dates, arrays, dictionaries and registered objects (Value::object), nested
    // freely. A null value writes nothing.
    void encodeObject(const Value& value, std::string_view key);
    template <Archivable T>
    void encodeObject(const std::shared_ptr<T>& object, std::string_view key) {
        archiveClassName<T>();
        if (object) encodeObject(Value::object(object), key);
    }
    void encodeBool(bool value, std::string_view key);
    void encodeInteger(std::int64_t value, std::string_view key);
    void encodeDouble(double value, std::string_view key);

    const std::optional<Error>& error() const;
    // Marks the encoding failed (kept unless an error is already kept).
    void failWithError(Error error);

    // Finishes the encoding and gives the binary property list; throws ErrorException with the first
    // encoding error.
    Data encodedData();

    // One call: the root object under kKeyedArchiveRootObjectKey. Throws ErrorException on failure.
    static Data archivedDataWithRootObject(const Value& root, bool requiringSecureCoding);
    template <Archivable T>
    static Data archivedDataWithRootObject(const std::shared_ptr<T>& root, bool requiringSecureCoding) {
        archiveClassName<T>();
        return archivedDataWithRootObject(root ? Value::object(root) : Value(), requiringSecureCoding);
    }

  private:
    struct State;
    KeyedArchiver(std::shared_ptr<State> state, Dictionary* target);
    void setClassName(const std::type_info& type, std::string_view codedName);
    Value encodeValue(const Value& value);

    std::shared_ptr<State> state_;
    Dictionary top_;
    Dictionary* target_;
};

}  // namespace brisko::platform
