// Dynamic values: typed access, comparison, JSON conversion and descriptions.
#include "platform/base/Value.hpp"

#include <cmath>
#include <cstdlib>
#include <cxxabi.h>

#include <nlohmann/json.hpp>

#include "platform/base/Clock.hpp"
#include "platform/base/Error.hpp"
#include "platform/base/JSON.hpp"

namespace brisko::platform {

namespace {
const char kBase64[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::string base64(const Data& d) {
    std::string out;
    out.reserve((d.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < d.size(); i += 3) {
        unsigned n = (d[i] << 16) | (d[i + 1] << 8) | d[i + 2];
        out += kBase64[(n >> 18) & 63];
        out += kBase64[(n >> 12) & 63];
        out += kBase64[(n >> 6) & 63];
        out += kBase64[n & 63];
    }
    if (i + 1 == d.size()) {
        unsigned n = d[i] << 16;
        out += kBase64[(n >> 18) & 63];
        out += kBase64[(n >> 12) & 63];
        out += "==";
    } else if (i + 2 == d.size()) {
        unsigned n = (d[i] << 16) | (d[i + 1] << 8);
        out += kBase64[(n >> 18) & 63];
        out += kBase64[(n >> 12) & 63];
        out += kBase64[(n >> 6) & 63];
        out += '=';
    }
    return out;
}
}  // namespace

Value::Value(const Error& e) : v_(std::make_shared<const Error>(e)) {}

std::optional<bool> Value::boolean() const {
    if (auto* b = std::get_if<bool>(&v_)) return *b;
    return std::nullopt;
}

std::optional<std::int64_t> Value::integer() const {
    if (auto* i = std::get_if<std::int64_t>(&v_)) return *i;
    return std::nullopt;
}

std::optional<double> Value::number() const {
    if (auto* i = std::get_if<std::int64_t>(&v_)) return static_cast<double>(*i);
    if (auto* d = std::get_if<double>(&v_)) return *d;
    return std::nullopt;
}

std::optional<std::int64_t> Value::truncatedInteger() const {
    if (auto* i = std::get_if<std::int64_t>(&v_)) return *i;
    auto* d = std::get_if<double>(&v_);
    // 2^63 is exact as a double; every finite double in [-2^63, 2^63) converts without overflow.
    if (!d || !std::isfinite(*d) || *d < -9223372036854775808.0 || *d >= 9223372036854775808.0)
        return std::nullopt;
    return static_cast<std::int64_t>(*d);
}

std::optional<Date> Value::date() const {
    if (auto* d = std::get_if<Date>(&v_)) return *d;
    return std::nullopt;
}

std::shared_ptr<const Error> Value::error() const {
    if (auto* e = std::get_if<std::shared_ptr<const Error>>(&v_)) return *e;
    return nullptr;
}

const Value* Value::find(std::string_view key) const {
    auto* d = dictionary();
    if (!d) return nullptr;
    auto it = d->find(key);
    return it == d->end() ? nullptr : &it->second;
}

bool Value::operator==(const Value& other) const {
    if (v_.index() != other.v_.index()) return false;
    if (auto* e = std::get_if<std::shared_ptr<const Error>>(&v_)) {
        auto& o = std::get<std::shared_ptr<const Error>>(other.v_);
        if (!*e || !o) return *e == o;
        return **e == *o;
    }
    return v_ == other.v_;
}

nlohmann::json Value::toJSON() const {
    using nlohmann::json;
    switch (type()) {
        case Type::null: return nullptr;
        case Type::boolean: return std::get<bool>(v_);
        case Type::integer: return std::get<std::int64_t>(v_);
        case Type::real: {
            double d = std::get<double>(v_);
            return std::isfinite(d) ? json(d) : json(nullptr);
        }
        case Type::string: return std::get<std::string>(v_);
        case Type::data: return base64(std::get<Data>(v_));
        case Type::date: return iso8601(std::get<Date>(v_));
        case Type::array: {
            json a = json::array();
            for (auto& v : std::get<Array>(v_)) a.push_back(v.toJSON());
            return a;
        }
        case Type::dictionary: {
            json o = json::object();
            for (auto& [k, v] : std::get<Dictionary>(v_)) o[k] = v.toJSON();
            return o;
        }
        case Type::error:
        case Type::object: return description();
    }
    return nullptr;
}

namespace {
// Past kMaxJSONDepth levels, a document is refused rather than converted.
[[noreturn]] void refuseNesting() {
    throw nlohmann::json::out_of_range::create(
        408, "the document nests more than " + std::to_string(Value::kMaxJSONDepth) + " levels deep", nullptr);
}

// An unsigned number: beyond the 64-bit integers' range, a real.
Value fromUnsigned(std::uint64_t u) {
    if (u > static_cast<std::uint64_t>(INT64_MAX)) return static_cast<double>(u);
    return static_cast<std::int64_t>(u);
}

// The value of `j`, found `depth` levels inside the document being converted.
// From a document read once (an rvalue) its strings, arrays and members move into the value instead of
// being copied.
template <class JSON>
Value fromJSONAtDepth(JSON&& j, int depth) {
    using nlohmann::json;
    constexpr bool moving = !std::is_lvalue_reference_v<JSON>;
    if (j.is_structured() && ++depth > Value::kMaxJSONDepth) refuseNesting();
    switch (j.type()) {
        case json::value_t::null:
        case json::value_t::discarded: return Value();
        case json::value_t::boolean: return j.template get<bool>();
        case json::value_t::number_integer: return j.template get<std::int64_t>();
        case json::value_t::number_unsigned:
            return fromUnsigned(j.template get<std::uint64_t>());
        case json::value_t::number_float: return j.template get<double>();
        case json::value_t::string:
            if constexpr (moving) {
                return std::move(j.template get_ref<json::string_t&>());
            } else {
                return j.template get<std::string>();
            }
        case json::value_t::binary: return Data(j.get_binary().begin(), j.get_binary().end());
        case json::value_t::array: {
            Array a;
            a.reserve(j.size());
            for (auto& e : j) {
                if constexpr (moving) {
                    a.push_back(fromJSONAtDepth(std::move(e), depth));
                } else {
                    a.push_back(fromJSONAtDepth(e, depth));
                }
            }
            return a;
        }
        case json::value_t::object: {
            Dictionary d;
            if constexpr (moving) {
                // The document's members come in the dictionary's order: each goes at its end.
                auto& members = j.template get_ref<json::object_t&>();
                while (!members.empty()) {
                    auto member = members.extract(members.begin());
                    d.emplace_hint(d.end(), std::move(member.key()), fromJSONAtDepth(std::move(member.mapped()), depth));
                }
            } else {
                for (auto it = j.begin(); it != j.end(); ++it) d.emplace(it.key(), fromJSONAtDepth(it.value(), depth));
            }
            return d;
        }
    }
    return Value();
}

// Builds the value of a text as nlohmann's parser reads it: the value fromJSONAtDepth gives for the
// document nlohmann's own builder makes of the text, a member named twice keeping its last value as there.
// The arrays and objects open at the moment are on a stack of their own, so no level recurses.
class ValueBuilder {
    using json = nlohmann::json;

public:
    explicit ValueBuilder(int maxDepth) : levels_(maxDepth, true) {}

    // The value read. A document that nests past kMaxJSONDepth (but not past the reader's bound) is refused
    // only once it is read, as the document would be when converted after parsing.
    Value take() && {
        if (tooDeep_) refuseNesting();
        return std::move(root_);
    }

    bool null() { return add(Value()); }
    bool boolean(bool b) { return add(b); }
    bool number_integer(json::number_integer_t i) { return add(i); }
    bool number_unsigned(json::number_unsigned_t u) { return add(fromUnsigned(u)); }
    bool number_float(json::number_float_t d, const json::string_t&) { return add(d); }
    // The parser's own texts, which it clears before reading the next token: moved, not copied.
    bool string(json::string_t& s) { return add(std::move(s)); }
    bool binary(json::binary_t& b) { return add(Data(b.begin(), b.end())); }  // never from JSON text
    bool key(json::string_t& k) {
        if (!tooDeep_) open_.back().key = std::move(k);
        return true;
    }
    bool start_object(std::size_t) { return open(Dictionary()); }
    bool start_array(std::size_t) { return open(Array()); }
    bool end_object() { return close(); }
    bool end_array() { return close(); }
    template <class Exception> bool parse_error(std::size_t, const std::string&, const Exception& e) { throw e; }

private:
    // An array or object being read, and the name of the member whose value comes next.
    struct Open {
        Value container;
        std::string key;
    };

    bool add(Value v) {
        if (tooDeep_) return true;
        if (open_.empty()) {
            root_ = std::move(v);
        } else if (auto* array = open_.back().container.array()) {
            array->push_back(std::move(v));
        } else {
            auto& object = open_.back();
            object.container.dictionary()->insert_or_assign(std::move(object.key), std::move(v));
        }
        return true;
    }
    bool open(Value container) {
        if (!levels_.open()) return false;
        if (tooDeep_ || open_.size() == static_cast<std::size_t>(Value::kMaxJSONDepth)) {
            tooDeep_ = true;  // nothing more is built; the rest is only read
        } else {
            open_.push_back({std::move(container), {}});
        }
        return true;
    }
    bool close() {
        levels_.close();
        if (tooDeep_) return true;
        Value container = std::move(open_.back().container);
        open_.pop_back();
        return add(std::move(container));
    }

    detail::JSONLevels levels_;
    std::vector<Open> open_;
    Value root_;
    bool tooDeep_ = false;
};
}  // namespace

Value Value::fromJSON(const nlohmann::json& j) {
    return fromJSONAtDepth(j, 0);
}

Value Value::fromJSON(nlohmann::json&& j) {
    return fromJSONAtDepth(std::move(j), 0);
}

Value Value::parseJSON(std::string_view text, int maxDepth) {
    ValueBuilder builder(maxDepth);
    nlohmann::json::sax_parse(text.data(), text.data() + text.size(), &builder);
    return std::move(builder).take();
}

Value Value::parseJSON(std::span<const std::uint8_t> bytes, int maxDepth) {
    return parseJSON(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), maxDepth);
}

std::string Value::description() const {
    switch (type()) {
        case Type::null: return "(null)";
        case Type::boolean: return std::get<bool>(v_) ? "1" : "0";
        case Type::integer: return std::to_string(std::get<std::int64_t>(v_));
        case Type::real: {
            std::string s = nlohmann::json(std::get<double>(v_)).dump();
            return s;
        }
        case Type::string: return std::get<std::string>(v_);
        case Type::data: return "{length = " + std::to_string(std::get<Data>(v_).size()) + " bytes}";
        case Type::date: return iso8601(std::get<Date>(v_));
        case Type::array:
        case Type::dictionary: return toJSON().dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        case Type::error: {
            auto e = error();
            return e ? e->description() : "(null)";
        }
        case Type::object: {
            auto* o = anyObject();
            if (o && o->describe && o->pointer) return o->describe(o->pointer.get());
            if (!o || !o->type) return "<object>";
            int status = 0;
            std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(o->type->name(), nullptr, nullptr, &status),
                                                        std::free);
            return std::string("<") + (status == 0 && name ? name.get() : o->type->name()) + ">";
        }
    }
    return {};
}

}  // namespace brisko::platform
