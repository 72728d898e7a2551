// Encodes values and registered objects into the keyed-archive tree and writes it as a binary plist.
#include "platform/storage/KeyedArchiver.hpp"

#include <map>
#include <typeindex>

#include "platform/storage/CocoaError.hpp"
#include "platform/storage/KeyedArchiveFormat.hpp"
#include "platform/storage/PropertyList.hpp"
#include "platform/base/Text.hpp"

namespace brisko::platform {

using namespace keyed_archive;

struct KeyedArchiver::State {
    bool requiresSecureCoding = true;
    std::optional<Error> error;
    std::map<std::type_index, std::string> classNames;
    int depth = 0;
};

namespace {

Error invalidValue(std::string_view detail) {
    return cocoaError(kCoderInvalidValueError,
                      "The data couldn\u2019t be written because it isn\u2019t in the correct format.",
                      detail);
}

}  // namespace

KeyedArchiver::KeyedArchiver(bool requiresSecureCoding) : state_(std::make_shared<State>()), target_(&top_) {
    state_->requiresSecureCoding = requiresSecureCoding;
}

KeyedArchiver::KeyedArchiver(std::shared_ptr<State> state, Dictionary* target)
    : state_(std::move(state)), target_(target) {}

bool KeyedArchiver::requiresSecureCoding() const {
    return state_->requiresSecureCoding;
}

void KeyedArchiver::setClassName(const std::type_info& type, std::string_view codedName) {
    state_->classNames[std::type_index(type)] = std::string(codedName);
}

const std::optional<Error>& KeyedArchiver::error() const {
    return state_->error;
}

void KeyedArchiver::failWithError(Error error) {
    if (!state_->error) state_->error = std::move(error);
}

Value KeyedArchiver::encodeValue(const Value& value) {
    switch (value.type()) {
        case Value::Type::boolean:
        case Value::Type::integer:
        case Value::Type::real:
        case Value::Type::string:
        case Value::Type::data:
            return value;
        case Value::Type::date:
            return Dictionary{{std::string(kClassKey), std::string(kArchiveClassDate)},
                              {std::string(kTimeKey),
                               static_cast<std::int64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                                             value.date()->time_since_epoch())
                                                             .count())}};
        case Value::Type::array: {
            Array items;
            items.reserve(value.array()->size());
            for (const Value& item : *value.array()) items.push_back(encodeValue(item));
            return Dictionary{{std::string(kClassKey), std::string(kArchiveClassArray)},
                              {std::string(kObjectsKey), std::move(items)}};
        }
        case Value::Type::dictionary: {
            Dictionary items;
            for (const auto& [k, item] : *value.dictionary()) items.emplace(k, encodeValue(item));
            return Dictionary{{std::string(kClassKey), std::string(kArchiveClassDictionary)},
                              {std::string(kObjectsKey), std::move(items)}};
        }
        case Value::Type::object: {
            const AnyObject* any = value.anyObject();
            const ArchiveClass* cls = any->type ? ArchiveClassRegistry::byType(*any->type) : nullptr;
            if (!cls) {
                failWithError(invalidValue(format("cannot encode an object of unregistered class %@",
                                                  {any->type ? any->type->name() : "(unknown)"})));
                return Value();
            }
            if (state_->requiresSecureCoding && !cls->supportsSecureCoding) {
                failWithError(invalidValue(format("class '%@' does not adopt secure coding", {cls->name})));
                return Value();
            }
            if (state_->depth >= kMaxDepth) {
                failWithError(invalidValue("objects nested too deeply (a cycle?)"));
                return Value();
            }
            auto named = state_->classNames.find(std::type_index(*any->type));
            Dictionary fields{
                {std::string(kClassKey), named != state_->classNames.end() ? named->second : cls->name}};
            KeyedArchiver child(state_, &fields);
            ++state_->depth;
            cls->encode(any->pointer.get(), child);
            --state_->depth;
            return fields;
        }
        case Value::Type::null:
            failWithError(invalidValue("a collection holds a null value"));
            return Value();
        case Value::Type::error:
            failWithError(invalidValue("errors cannot be archived"));
            return Value();
    }
    return Value();
}

void KeyedArchiver::encodeObject(const Value& value, std::string_view key) {
    if (value.isNull() || state_->error) return;
    Value encoded = encodeValue(value);
    if (!state_->error) target_->insert_or_assign(storedKey(key), std::move(encoded));
}

void KeyedArchiver::encodeBool(bool value, std::string_view key) {
    target_->insert_or_assign(storedKey(key), Value(value));
}

void KeyedArchiver::encodeInteger(std::int64_t value, std::string_view key) {
    target_->insert_or_assign(storedKey(key), Value(value));
}

void KeyedArchiver::encodeDouble(double value, std::string_view key) {
    target_->insert_or_assign(storedKey(key), Value(value));
}

Data KeyedArchiver::encodedData() {
    if (state_->error) throw ErrorException(*state_->error);
    Dictionary archive{{std::string(kArchiverKey), std::string(kArchiverName)},
                       {std::string(kVersionKey), kVersion},
                       {std::string(kTopKey), top_}};
    try {
        return PropertyList::write(Value(std::move(archive)), PropertyListFormat::binary);
    } catch (const ErrorException& e) {
        throw ErrorException(invalidValue(e.error().description()));
    }
}

Data KeyedArchiver::archivedDataWithRootObject(const Value& root, bool requiringSecureCoding) {
    KeyedArchiver archiver(requiringSecureCoding);
    archiver.encodeObject(root, kKeyedArchiveRootObjectKey);
    return archiver.encodedData();
}

}  // namespace brisko::platform
