// The classes keyed archives know: the built-in value classes and a registry of C++ classes by name.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "platform/base/Value.hpp"

namespace brisko::platform {

class KeyedArchiver;
class KeyedUnarchiver;

// The key under which the one-call forms keep the root object.
inline constexpr std::string_view kKeyedArchiveRootObjectKey = "root";

// The built-in classes, named as the platform names them.
inline constexpr std::string_view kArchiveClassString = "NSString";
inline constexpr std::string_view kArchiveClassNumber = "NSNumber";
inline constexpr std::string_view kArchiveClassData = "NSData";
inline constexpr std::string_view kArchiveClassDate = "NSDate";
inline constexpr std::string_view kArchiveClassArray = "NSArray";
inline constexpr std::string_view kArchiveClassDictionary = "NSDictionary";

// A C++ class that goes into keyed archives:
//   static constexpr std::string_view kArchiveClassName = "ZIRUser";
//   void encodeWithCoder(KeyedArchiver& coder) const;
//   static std::shared_ptr<T> initWithCoder(KeyedUnarchiver& coder);  // nullptr: does not decode
// and optionally `static constexpr bool kSupportsSecureCoding = false;` (true when absent).
template <class T>
concept Archivable = requires(const T& object, KeyedArchiver& archiver, KeyedUnarchiver& unarchiver) {
    { T::kArchiveClassName } -> std::convertible_to<std::string_view>;
    object.encodeWithCoder(archiver);
    { T::initWithCoder(unarchiver) } -> std::same_as<std::shared_ptr<T>>;
};

// One registered class: its archived name and how to encode and decode its objects.
struct ArchiveClass {
    std::string name;
    const std::type_info* type = nullptr;
    bool supportsSecureCoding = true;
    std::function<void(const void* object, KeyedArchiver& coder)> encode;
    // The decoded object as Value::object, or null.
    std::function<Value(KeyedUnarchiver& coder)> decode;
};

class ArchiveClassRegistry {
  public:
    static void add(ArchiveClass archiveClass);
    static const ArchiveClass* byName(std::string_view name);
    static const ArchiveClass* byType(const std::type_info& type);
};

// Registers T once and gives its archived name. Encoding and decoding through the typed calls register
// their classes; a class met only inside collections is registered by naming it in the allowed classes.
template <Archivable T>
std::string_view archiveClassName() {
    static const bool registered = [] {
        bool secure = true;
        if constexpr (requires { T::kSupportsSecureCoding; }) secure = T::kSupportsSecureCoding;
        ArchiveClassRegistry::add(ArchiveClass{std::string(T::kArchiveClassName), &typeid(T), secure,
                                               [](const void* object, KeyedArchiver& coder) {
                                                   static_cast<const T*>(object)->encodeWithCoder(coder);
                                               },
                                               [](KeyedUnarchiver& coder) -> Value {
                                                   std::shared_ptr<T> object = T::initWithCoder(coder);
                                                   return object ? Value::object(std::move(object)) : Value();
                                               }});
        return true;
    }();
    (void)registered;
    return T::kArchiveClassName;
}

// How each C++ type appears in an allowed-classes list and comes out of a decoded Value.
template <class T>
struct ArchiveClassTraits;

template <>
struct ArchiveClassTraits<std::string> {
    static std::string_view name() { return kArchiveClassString; }
    static std::optional<std::string> extract(const Value& v) {
        return v.string() ? std::optional<std::string>(*v.string()) : std::nullopt;
    }
};
template <>
struct ArchiveClassTraits<Data> {
    static std::string_view name() { return kArchiveClassData; }
    static std::optional<Data> extract(const Value& v) {
        return v.data() ? std::optional<Data>(*v.data()) : std::nullopt;
    }
};
template <>
struct ArchiveClassTraits<Date> {
    static std::string_view name() { return kArchiveClassDate; }
    static std::optional<Date> extract(const Value& v) { return v.date(); }
};
template <>
struct ArchiveClassTraits<Array> {
    static std::string_view name() { return kArchiveClassArray; }
    static std::optional<Array> extract(const Value& v) {
        return v.array() ? std::optional<Array>(*v.array()) : std::nullopt;
    }
};
template <>
struct ArchiveClassTraits<Dictionary> {
    static std::string_view name() { return kArchiveClassDictionary; }
    static std::optional<Dictionary> extract(const Value& v) {
        return v.dictionary() ? std::optional<Dictionary>(*v.dictionary()) : std::nullopt;
    }
};
// Numbers (Boolean, integer, real) are one class, as on the platform; this tag names it, and a decoded
// number comes out as its Value.
struct ArchiveNumber {};
template <>
struct ArchiveClassTraits<ArchiveNumber> {
    static std::string_view name() { return kArchiveClassNumber; }
    static std::optional<Value> extract(const Value& v) {
        return v.number() || v.boolean() ? std::optional<Value>(v) : std::nullopt;
    }
};
template <Archivable T>
struct ArchiveClassTraits<T> {
    static std::string_view name() { return archiveClassName<T>(); }
    static std::shared_ptr<T> extract(const Value& v) { return v.object<T>(); }
};

using ArchiveClassList = std::vector<std::string>;

// The allowed-classes list of C++ types: archiveClasses<Dictionary, std::string, UserInfoImpl>().
template <class... T>
ArchiveClassList archiveClasses() {
    return {std::string(ArchiveClassTraits<T>::name())...};
}

}  // namespace brisko::platform
