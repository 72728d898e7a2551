// Small helpers for the descriptions of the OAuth client's objects.
#pragma once

#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

#include "oauth/OAuthTypes.hpp"
#include "platform/base/Clock.hpp"

namespace brisko::oauth::detail {

// An object's address as "%p" writes it.
inline std::string pointerText(const void* p) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%p", p);
    return buf;
}

// "(null)" for absent values, as descriptions of missing objects read.
inline std::string orNull(const std::optional<std::string>& s) { return s ? *s : std::string("(null)"); }
inline std::string orNull(const std::optional<URL>& u) { return u ? u->absoluteString() : std::string("(null)"); }
inline std::string orNull(const std::optional<Date>& d) {
    return d ? Value(*d).description() : std::string("(null)");
}
template <class T>
std::string orNull(const std::shared_ptr<T>& object) {
    return object ? object->description() : std::string("(null)");
}

}  // namespace brisko::oauth::detail
