// Decodes the keyed-archive tree, checking every class against the caller's allowed list.
#include "platform/storage/KeyedUnarchiver.hpp"

#include <map>

#include "platform/storage/CocoaError.hpp"
#include "platform/storage/KeyedArchiveFormat.hpp"
#include "platform/storage/PropertyList.hpp"
#include "platform/base/Text.hpp"

namespace brisko::platform {

using namespace keyed_archive;

struct KeyedUnarchiver::State {
    bool requiresSecureCoding = true;
    std::optional<Error> error;
    std::map<std::string, const ArchiveClass*, std::less<>> classOverrides;
    Value archive;  // keeps the tree that every coder's container points into
    int depth = 0;
};

namespace {

Error corrupt(std::string_view detail) {
    return cocoaError(kCoderReadCorruptError, kCorruptDataDescription, detail);
}

// The class an encoded value was stored as, or nothing for a value no archiver writes.
std::optional<std::string> classOf(const Value& encoded) {
    switch (encoded.type()) {
        case Value::Type::string:
            return std::string(kArchiveClassString);
        case Value::Type::boolean:
        case Value::Type::integer:
        case Value::Type::real:
            return std::string(kArchiveClassNumber);
        case Value::Type::data:
            return std::string(kArchiveClassData);
        case Value::Type::dictionary: {
            const Value* cls = encoded.find(kClassKey);
            if (cls && cls->string()) return *cls->string();
            return std::nullopt;
        }
        default:
            return std::nullopt;
    }
}

std::string join(const ArchiveClassList& list) {
    std::string out;
    for (const auto& name : list) out += (out.empty() ? "" : ", ") + name;
    return out;
}

}  // namespace

KeyedUnarchiver::KeyedUnarchiver(std::span<const std::uint8_t> data)
    : state_(std::make_shared<State>()), container_(nullptr) {
    try {
        state_->archive = PropertyList::read(data);
    } catch (const ErrorException& e) {
        throw ErrorException(corrupt("not a property list: " + e.error().description()));
    }
    const Value* archiver = state_->archive.find(kArchiverKey);
    const Value* version = state_->archive.find(kVersionKey);
    const Value* top = state_->archive.find(kTopKey);
    if (!archiver || !archiver->string() || *archiver->string() != kArchiverName)
        throw ErrorException(corrupt("not a keyed archive"));
    if (!version || version->integer() != kVersion)
        throw ErrorException(corrupt("unknown keyed archive version"));
    if (!top || !top->dictionary()) throw ErrorException(corrupt("keyed archive without its top level"));
    container_ = top->dictionary();
}

KeyedUnarchiver::KeyedUnarchiver(std::shared_ptr<State> state, const Dictionary* container)
    : state_(std::move(state)), container_(container) {}

bool KeyedUnarchiver::requiresSecureCoding() const {
    return state_->requiresSecureCoding;
}
void KeyedUnarchiver::setRequiresSecureCoding(bool value) {
    state_->requiresSecureCoding = value;
}

void KeyedUnarchiver::setClass(std::string_view codedName, const ArchiveClass* cls) {
    state_->classOverrides[std::string(codedName)] = cls;
}

const std::optional<Error>& KeyedUnarchiver::error() const {
    return state_->error;
}

void KeyedUnarchiver::failWithError(Error error) {
    if (!state_->error) state_->error = std::move(error);
}

const Value* KeyedUnarchiver::stored(std::string_view key) const {
    auto it = container_->find(storedKey(key));
    return it == container_->end() ? nullptr : &it->second;
}

bool KeyedUnarchiver::containsValueForKey(std::string_view key) const {
    return stored(key) != nullptr;
}

std::optional<std::string> KeyedUnarchiver::classNameForKey(std::string_view key) const {
    const Value* v = stored(key);
    return v ? classOf(*v) : std::nullopt;
}

bool KeyedUnarchiver::allow(std::string_view className, const ArchiveClassList* allowed,
                            std::string_view key) {
    if (!allowed || !state_->requiresSecureCoding) return true;
    for (const auto& name : *allowed) {
        if (name == className) return true;
    }
    failWithError(corrupt(format("value for key '%@' was of unexpected class '%@'. Allowed classes are '%@'.",
                                 {key, className, join(*allowed)})));
    return false;
}

Value KeyedUnarchiver::decodeValue(const Value& encoded, const ArchiveClassList* allowed,
                                   std::string_view key) {
    auto className = classOf(encoded);
    if (!className) {
        failWithError(corrupt(format("value for key '%@' is no archived value", {key})));
        return Value();
    }
    // The class to instantiate: an override for the stored name, else the stored name itself.
    const ArchiveClass* cls = nullptr;
    if (auto o = state_->classOverrides.find(*className); o != state_->classOverrides.end()) cls = o->second;
    std::string effective = cls ? cls->name : *className;
    if (!allow(effective, allowed, key)) return Value();

    if (effective == kArchiveClassString || effective == kArchiveClassNumber ||
        effective == kArchiveClassData) {
        if (encoded.dictionary()) {
            failWithError(
                corrupt(format("value for key '%@' claims class '%@' in a wrong form", {key, effective})));
            return Value();
        }
        return encoded;
    }
    if (encoded.type() != Value::Type::dictionary) {
        failWithError(corrupt(format("value for key '%@' is damaged", {key})));
        return Value();
    }
    if (state_->depth >= kMaxDepth) {
        failWithError(corrupt("archive nested too deeply"));
        return Value();
    }
    struct DepthGuard {
        int& depth;
        explicit DepthGuard(int& d) : depth(++d) {}
        ~DepthGuard() { --depth; }
    } guard(state_->depth);

    const Value* objects = encoded.find(kObjectsKey);
    if (effective == kArchiveClassDate) {
        const Value* time = encoded.find(kTimeKey);
        auto nanoseconds = time ? time->integer() : std::nullopt;
        if (!nanoseconds) {
            failWithError(corrupt(format("date for key '%@' is damaged", {key})));
            return Value();
        }
        return Value(
            Date(std::chrono::duration_cast<Date::duration>(std::chrono::nanoseconds(*nanoseconds))));
    }
    if (effective == kArchiveClassArray) {
        if (!objects || !objects->array()) {
            failWithError(corrupt(format("array for key '%@' is damaged", {key})));
            return Value();
        }
        Array out;
        out.reserve(objects->array()->size());
        for (const Value& item : *objects->array()) {
            Value v = decodeValue(item, allowed, key);
            if (state_->error) return Value();
            out.push_back(std::move(v));
        }
        return Value(std::move(out));
    }
    if (effective == kArchiveClassDictionary) {
        if (!objects || !objects->dictionary()) {
            failWithError(corrupt(format("dictionary for key '%@' is damaged", {key})));
            return Value();
        }
        Dictionary out;
        for (const auto& [k, item] : *objects->dictionary()) {
            Value v = decodeValue(item, allowed, key);
            if (state_->error) return Value();
            out.emplace(k, std::move(v));
        }
        return Value(std::move(out));
    }

    if (!cls) cls = ArchiveClassRegistry::byName(effective);
    if (!cls) {
        failWithError(corrupt(
            format("cannot decode object of class (%@) for key (%@); the class may be defined in source "
                   "code or a library that is not linked",
                   {effective, key})));
        return Value();
    }
    if (state_->requiresSecureCoding && !cls->supportsSecureCoding) {
        failWithError(corrupt(format("class '%@' does not adopt secure coding", {cls->name})));
        return Value();
    }
    KeyedUnarchiver child(state_, encoded.dictionary());
    Value object = cls->decode(child);
    return state_->error ? Value() : object;
}

Value KeyedUnarchiver::decodeObjectOfClasses(const ArchiveClassList& classes, std::string_view key) {
    if (state_->error) return Value();
    const Value* v = stored(key);
    return v ? decodeValue(*v, &classes, key) : Value();
}

Value KeyedUnarchiver::decodeObject(std::string_view key) {
    if (state_->error) return Value();
    if (state_->requiresSecureCoding) {
        failWithError(corrupt(
            format("decoding the value for key '%@' needs its allowed classes under secure coding", {key})));
        return Value();
    }
    const Value* v = stored(key);
    return v ? decodeValue(*v, nullptr, key) : Value();
}

bool KeyedUnarchiver::decodeBool(std::string_view key) {
    const Value* v = state_->error ? nullptr : stored(key);
    if (!v) return false;
    if (auto b = v->boolean()) return *b;
    if (auto n = v->number()) return *n != 0;
    return false;
}

std::int64_t KeyedUnarchiver::decodeInteger(std::string_view key) {
    const Value* v = state_->error ? nullptr : stored(key);
    if (!v) return 0;
    if (auto i = v->integer()) return *i;
    if (auto b = v->boolean()) return *b ? 1 : 0;
    // A real out of the integer range would be undefined to convert; it reads as 0.
    if (auto d = v->number(); d && *d > -9.2e18 && *d < 9.2e18) return static_cast<std::int64_t>(*d);
    return 0;
}

double KeyedUnarchiver::decodeDouble(std::string_view key) {
    const Value* v = state_->error ? nullptr : stored(key);
    if (!v) return 0;
    if (auto d = v->number()) return *d;
    if (auto b = v->boolean()) return *b ? 1.0 : 0.0;
    return 0;
}

Value KeyedUnarchiver::unarchivedObjectOfClasses(const ArchiveClassList& classes,
                                                 std::span<const std::uint8_t> data) {
    KeyedUnarchiver unarchiver(data);
    Value root = unarchiver.decodeObjectOfClasses(classes, kKeyedArchiveRootObjectKey);
    if (unarchiver.error()) throw ErrorException(*unarchiver.error());
    return root;
}

}  // namespace brisko::platform
