// A dynamic value: the contents of user-info dictionaries, property lists and keyed archives.
#pragma once

#include <any>
#include <concepts>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <typeinfo>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace brisko::platform {

class Error;

using Data = std::vector<std::uint8_t>;
using Date = std::chrono::system_clock::time_point;

// An object of any C++ type, held by shared pointer and compared by identity.
struct AnyObject {
    std::shared_ptr<void> pointer;
    const std::type_info* type = nullptr;
    // Text for descriptions: the object's own description or absolute string when it has one.
    std::string (*describe)(const void*) = nullptr;
    bool operator==(const AnyObject& other) const { return pointer == other.pointer; }
};

class Value {
public:
    using Array = std::vector<Value>;
    using Dictionary = std::map<std::string, Value, std::less<>>;
    enum class Type { null, boolean, integer, real, string, data, date, array, dictionary, error, object };

    Value() = default;
    Value(std::nullptr_t) {}
    Value(bool b) : v_(b) {}
    template <class I>
        requires(std::is_integral_v<I> && !std::is_same_v<I, bool>)
    Value(I i) : v_(static_cast<std::int64_t>(i)) {}
    Value(double d) : v_(d) {}
    Value(std::string s) : v_(std::move(s)) {}
    Value(std::string_view s) : v_(std::string(s)) {}
    Value(const char* s) : v_(std::string(s)) {}
    Value(Data d) : v_(std::move(d)) {}
    Value(Date d) : v_(d) {}
    Value(Array a) : v_(std::move(a)) {}
    Value(Dictionary d) : v_(std::move(d)) {}
    Value(const Error& e);
    Value(std::shared_ptr<const Error> e) : v_(std::move(e)) {}

    // Wraps any shared object; `object<T>()` gives it back when T is its exact type.
    template <class T>
    static Value object(std::shared_ptr<T> p) {
        using U = std::remove_const_t<T>;
        std::string (*describe)(const void*) = nullptr;
        if constexpr (requires(const U& u) { { u.description() } -> std::convertible_to<std::string>; }) {
            describe = [](const void* o) -> std::string { return static_cast<const U*>(o)->description(); };
        } else if constexpr (requires(const U& u) { { u.absoluteString() } -> std::convertible_to<std::string>; }) {
            describe = [](const void* o) -> std::string { return static_cast<const U*>(o)->absoluteString(); };
        }
        Value v;
        v.v_ = AnyObject{std::const_pointer_cast<U>(p), &typeid(U), describe};
        return v;
    }

    Type type() const { return static_cast<Type>(v_.index()); }
    bool isNull() const { return type() == Type::null; }

    // Typed getters answer nothing for a value of another type.
    std::optional<bool> boolean() const;
    std::optional<std::int64_t> integer() const;
    std::optional<double> number() const;  // integer or real
    // An integer as stored, or a real truncated toward zero; nothing for a real that is not finite or
    // lies outside the 64-bit range (user-edited files hold 1e300 and inf), or for any other type.
    std::optional<std::int64_t> truncatedInteger() const;
    const std::string* string() const { return std::get_if<std::string>(&v_); }
    std::string* string() { return std::get_if<std::string>(&v_); }
    const Data* data() const { return std::get_if<Data>(&v_); }
    std::optional<Date> date() const;
    const Array* array() const { return std::get_if<Array>(&v_); }
    const Dictionary* dictionary() const { return std::get_if<Dictionary>(&v_); }
    Array* array() { return std::get_if<Array>(&v_); }
    Dictionary* dictionary() { return std::get_if<Dictionary>(&v_); }
    std::shared_ptr<const Error> error() const;
    template <class T>
    std::shared_ptr<T> object() const {
        auto* o = std::get_if<AnyObject>(&v_);
        if (!o || !o->type || *o->type != typeid(std::remove_const_t<T>)) return nullptr;
        return std::static_pointer_cast<T>(o->pointer);
    }
    const AnyObject* anyObject() const { return std::get_if<AnyObject>(&v_); }

    // Dictionary member, or nullptr when this is not a dictionary or lacks the key.
    const Value* find(std::string_view key) const;

    bool operator==(const Value& other) const;

    // JSON conversion. Data becomes base64 text, dates ISO-8601 text, errors and objects their description.
    nlohmann::json toJSON() const;
    // Converting recurses once per level, and so do the value's copies, comparisons and release: a
    // document nested deeper than kMaxJSONDepth throws nlohmann::json::out_of_range instead of exhausting
    // the stack. The bounded readers (platform/base/JSON.hpp) let nothing that deep through.
    static constexpr int kMaxJSONDepth = 512;
    static Value fromJSON(const nlohmann::json& j);
    // The same, moving the document's contents (it is left empty of them).
    static Value fromJSON(nlohmann::json&& j);
    // The document in `text`, read straight into a value with no nlohmann::json built on the way: the value
    // Value::fromJSON(parseJSON(text, maxDepth)) gives (platform/base/JSON.hpp), and the same exceptions.
    static Value parseJSON(std::string_view text, int maxDepth);
    static Value parseJSON(std::span<const std::uint8_t> bytes, int maxDepth);

    std::string description() const;

private:
    std::variant<std::monostate, bool, std::int64_t, double, std::string, Data, Date, Array, Dictionary,
                 std::shared_ptr<const Error>, AnyObject>
        v_;
};

using Dictionary = Value::Dictionary;
using Array = Value::Array;

inline Data toData(std::string_view s) { return Data(s.begin(), s.end()); }
inline std::string toString(const Data& d) { return std::string(d.begin(), d.end()); }

}  // namespace brisko::platform
