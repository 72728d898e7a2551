// Ordered, case-insensitive HTTP header fields.
#include "platform/net/HTTPHeaders.hpp"

#include <charconv>

#include "platform/base/Text.hpp"

namespace brisko::platform {

HTTPHeaders::HTTPHeaders(std::initializer_list<Field> fields) {
    for (auto& f : fields) add(f.first, f.second);
}

std::optional<std::string> HTTPHeaders::get(std::string_view name) const {
    std::optional<std::string> out;
    for (auto& [n, v] : fields_) {
        if (!equalsIgnoringASCIICase(n, name)) continue;
        if (out) {
            *out += ", ";
            *out += v;
        } else {
            out = v;
        }
    }
    return out;
}

std::vector<std::string> HTTPHeaders::values(std::string_view name) const {
    std::vector<std::string> out;
    for (auto& [n, v] : fields_) {
        if (equalsIgnoringASCIICase(n, name)) out.push_back(v);
    }
    return out;
}

bool HTTPHeaders::contains(std::string_view name) const {
    for (auto& f : fields_) {
        if (equalsIgnoringASCIICase(f.first, name)) return true;
    }
    return false;
}

void HTTPHeaders::set(std::string_view name, std::string_view value) {
    bool replaced = false;
    for (auto it = fields_.begin(); it != fields_.end();) {
        if (!equalsIgnoringASCIICase(it->first, name)) {
            ++it;
        } else if (!replaced) {
            it->second = std::string(value);
            replaced = true;
            ++it;
        } else {
            it = fields_.erase(it);
        }
    }
    if (!replaced) fields_.emplace_back(std::string(name), std::string(value));
}

void HTTPHeaders::set(std::string_view name, const std::optional<std::string>& value) {
    if (value) {
        set(name, std::string_view(*value));
    } else {
        remove(name);
    }
}

void HTTPHeaders::add(std::string_view name, std::string_view value) {
    fields_.emplace_back(std::string(name), std::string(value));
}

bool HTTPHeaders::remove(std::string_view name) {
    return std::erase_if(fields_, [&](const Field& f) { return equalsIgnoringASCIICase(f.first, name); }) > 0;
}

void HTTPHeaders::merge(const HTTPHeaders& other) {
    for (auto& [n, v] : other.fields_) set(n, std::string_view(v));
}

bool HTTPHeaders::operator==(const HTTPHeaders& other) const {
    if (fields_.size() != other.fields_.size()) return false;
    for (std::size_t i = 0; i < fields_.size(); ++i) {
        if (!equalsIgnoringASCIICase(fields_[i].first, other.fields_[i].first) ||
            fields_[i].second != other.fields_[i].second) {
            return false;
        }
    }
    return true;
}

std::string_view trimHTTPWhitespace(std::string_view s) {
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!s.empty() && blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && blank(s.back())) s.remove_suffix(1);
    return s;
}

std::optional<std::int64_t> parseContentLength(std::string_view value) {
    std::optional<std::int64_t> length;
    while (true) {
        const auto comma = value.find(',');
        const auto member = trimHTTPWhitespace(value.substr(0, comma));
        std::int64_t n = -1;
        const auto [end, ec] = std::from_chars(member.data(), member.data() + member.size(), n);
        if (member.empty() || ec != std::errc() || end != member.data() + member.size() || n < 0) return std::nullopt;
        if (length && *length != n) return std::nullopt;
        length = n;
        if (comma == std::string_view::npos) return length;
        value.remove_prefix(comma + 1);
    }
}

}  // namespace brisko::platform
