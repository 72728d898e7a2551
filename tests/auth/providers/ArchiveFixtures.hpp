// Archive helpers for the provider tests: round trips, and archives with hand-picked keys under a
// chosen class name (to play a damaged or foreign archive).
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::auth::test {

// An object that archives exactly the entries it is given.
struct RawObject {
    static constexpr std::string_view kArchiveClassName = "BriskoTestRawObject";
    platform::Dictionary entries;
    void encodeWithCoder(platform::KeyedArchiver& coder) const {
        for (const auto& [key, value] : entries) coder.encodeObject(value, key);
    }
    static std::shared_ptr<RawObject> initWithCoder(platform::KeyedUnarchiver&) { return nullptr; }
};

// An archive whose root object is of class `className` and holds exactly `entries`.
inline platform::Data rawArchive(std::string_view className, platform::Dictionary entries) {
    platform::KeyedArchiver archiver;
    archiver.setClassName<RawObject>(className);
    archiver.encodeObject(std::make_shared<RawObject>(RawObject{std::move(entries)}),
                          platform::kKeyedArchiveRootObjectKey);
    return archiver.encodedData();
}

template <class T> platform::Data archive(const std::shared_ptr<T>& object) {
    return platform::KeyedArchiver::archivedDataWithRootObject(object, true);
}

template <class T> std::shared_ptr<T> unarchive(const platform::Data& data) {
    return platform::KeyedUnarchiver::unarchivedObjectOfClass<T>(data);
}

template <class T> std::shared_ptr<T> roundTrip(const std::shared_ptr<T>& object) {
    return unarchive<T>(archive(object));
}

// True when the bytes give no object: decoding answers nothing or fails with the archive's error.
template <class T> bool decodesToNothing(const platform::Data& data) {
    try {
        return unarchive<T>(data) == nullptr;
    } catch (const platform::ErrorException& e) {
        return e.error().domain() == platform::kCocoaErrorDomain;
    }
}

}  // namespace brisko::auth::test
