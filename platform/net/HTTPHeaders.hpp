// HTTP header fields in order, looked up by name without regard to case.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace brisko::platform {

// Header fields of a request or a response. Order is kept as added (fields go on the wire in this
// order); names compare case-insensitively; a name may occur more than once (e.g. "Set-Cookie").
class HTTPHeaders {
  public:
    using Field = std::pair<std::string, std::string>;

    HTTPHeaders() = default;
    HTTPHeaders(std::initializer_list<Field> fields);

    // The value of a field; several fields of one name are joined with ", " as the platform does.
    std::optional<std::string> get(std::string_view name) const;
    // Every value of a field, in order (for fields that must not be joined, like "Set-Cookie").
    std::vector<std::string> values(std::string_view name) const;
    bool contains(std::string_view name) const;

    // Replaces the first field of that name in place (removing the others) or appends one.
    void set(std::string_view name, std::string_view value);
    void set(std::string_view name, const char* value) { set(name, std::string_view(value)); }
    void set(std::string_view name, const std::string& value) { set(name, std::string_view(value)); }
    // Sets the field when a value is given, removes it otherwise.
    void set(std::string_view name, const std::optional<std::string>& value);
    // Appends a further field of that name (addValue:forHTTPHeaderField: joins on reading).
    void add(std::string_view name, std::string_view value);
    // Removes every field of that name; true when one was there.
    bool remove(std::string_view name);
    // Sets each field of `other` (replacing same-named ones), in its order.
    void merge(const HTTPHeaders& other);
    void clear() { fields_.clear(); }
    // Makes room for `count` fields.
    void reserve(std::size_t count) { fields_.reserve(count); }

    const std::vector<Field>& fields() const { return fields_; }
    auto begin() const { return fields_.begin(); }
    auto end() const { return fields_.end(); }
    std::size_t size() const { return fields_.size(); }
    bool empty() const { return fields_.empty(); }

    // Same fields in the same order; names compared case-insensitively.
    bool operator==(const HTTPHeaders& other) const;

  private:
    std::vector<Field> fields_;
};

// A header value without the blanks, tabs and line ends around it.
std::string_view trimHTTPWhitespace(std::string_view s);

// The length a "Content-Length" value gives (several fields of that name joined with ","): a list of
// one length repeated frames the body as that length; nothing when a member is not a length or the
// members differ, which leaves the message's framing invalid (RFC 9112, 6.3).
std::optional<std::int64_t> parseContentLength(std::string_view value);

}  // namespace brisko::platform
