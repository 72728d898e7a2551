// Property lists over libplist 2.2: RAII around its nodes, our own type checks and limits around its parser.
#include "platform/storage/PropertyList.hpp"

#include <plist/plist.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "platform/storage/CocoaError.hpp"
#include "platform/storage/FileSystem.hpp"
#include "platform/base/Text.hpp"

namespace brisko::platform {
namespace {

using namespace std::chrono;

// Seconds from 1970 to libplist's (and the platform's) reference date, 2001-01-01 UTC.
constexpr std::int64_t kReferenceDateOffset = 978307200;
// A binary plist whose tree expands to more nodes than this (shared references are copied by libplist)
// is refused, so a small file cannot make us allocate without bound.
constexpr std::uint64_t kMaxExpandedNodes = 1'000'000;
constexpr std::string_view kUIDKey = "CF$UID";

struct NodeDeleter {
    void operator()(void* node) const { plist_free(static_cast<plist_t>(node)); }
};
using Node = std::unique_ptr<void, NodeDeleter>;

// libplist hands out malloc'ed copies (texts, data, iterators) that the caller frees.
struct MallocDeleter {
    void operator()(void* p) const { std::free(p); }
};
using MallocText = std::unique_ptr<char, MallocDeleter>;

[[noreturn]] void corrupt(std::string_view detail) {
    throw ErrorException(cocoaError(kPropertyListReadCorruptError, kCorruptDataDescription, detail));
}

[[noreturn]] void invalid(std::string_view detail) {
    throw ErrorException(
        cocoaError(kPropertyListWriteInvalidError, "Property list invalid for format", detail));
}

bool isBinary(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 8 && std::memcmp(bytes.data(), "bplist00", 8) == 0;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view trimmed(std::string_view t) {
    while (!t.empty() && isSpace(t.front())) t.remove_prefix(1);
    while (!t.empty() && isSpace(t.back())) t.remove_suffix(1);
    return t;
}

bool allOf(std::string_view t, bool (*pred)(char)) {
    for (char c : t) {
        if (!pred(c)) return false;
    }
    return true;
}

// The texts libplist would otherwise read leniently (an <integer>abc</integer> as 0, a number beyond
// 64 bits wrapped around, a <date> or <data> of any text).
bool validScalar(std::string_view element, std::string_view text) {
    text = trimmed(text);
    if (element == "integer") {
        bool negative = !text.empty() && text[0] == '-';
        if (!text.empty() && (text[0] == '-' || text[0] == '+')) text.remove_prefix(1);
        if (text.starts_with("0x") || text.starts_with("0X")) {
            text.remove_prefix(2);
            return !negative && !text.empty() && text.size() <= 16 &&
                   allOf(text, [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }) &&
                   (text.size() < 16 || text[0] < '8');
        }
        if (text.empty() || !allOf(text, [](char c) { return c >= '0' && c <= '9'; })) return false;
        // Within a signed 64-bit integer.
        std::string_view limit = negative ? "9223372036854775808" : "9223372036854775807";
        while (text.size() > 1 && text[0] == '0') text.remove_prefix(1);
        return text.size() < limit.size() || (text.size() == limit.size() && text <= limit);
    }
    if (element == "real") {
        std::string copy(text);
        if (copy.empty()) return false;
        char* end = nullptr;
        std::strtod(copy.c_str(), &end);
        return end == copy.c_str() + copy.size();
    }
    if (element == "date") {
        // yyyy-MM-ddTHH:mm:ssZ
        constexpr std::string_view shape = "dddd-dd-ddTdd:dd:ddZ";
        if (text.size() != shape.size()) return false;
        for (std::size_t i = 0; i < shape.size(); ++i) {
            if (shape[i] == 'd' ? !std::isdigit(static_cast<unsigned char>(text[i])) : text[i] != shape[i])
                return false;
        }
        return true;
    }
    if (element == "data") {
        return allOf(text, [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '/' || c == '=' ||
                   isSpace(c);
        });
    }
    return true;
}

// Walks the XML's tags before libplist sees them: known elements only, nesting within kMaxDepth,
// dictionaries made of key and value pairs (libplist drops a key without its value), scalars whose text
// reads as their type.
void checkXMLShape(std::span<const std::uint8_t> bytes) {
    std::string_view s(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    static constexpr std::string_view kScalars[] = {"key",  "string", "integer", "real",
                                                    "date", "data",   "true",    "false"};
    auto isScalar = [](std::string_view name) {
        for (auto n : kScalars) {
            if (n == name) return true;
        }
        return false;
    };
    struct Frame {
        std::string_view name;
        std::size_t contentStart;
        bool expectKey = true;  // in a dictionary: the next child must be a key
    };
    std::vector<Frame> stack;
    // A direct child of the innermost dictionary has ended: keys and values alternate.
    auto childEnded = [&] {
        if (!stack.empty() && stack.back().name == "dict") stack.back().expectKey = !stack.back().expectKey;
    };
    std::size_t i = s.find('<');
    while (i != std::string_view::npos) {
        std::string_view rest = s.substr(i);
        if (rest.starts_with("<?") || rest.starts_with("<!--")) {
            std::size_t close = s.find(rest[1] == '?' ? "?>" : "-->", i);
            if (close == std::string_view::npos) corrupt("unterminated XML declaration or comment");
            i = s.find('<', close);
            continue;
        }
        std::size_t close = s.find('>', i);
        if (close == std::string_view::npos) corrupt("unterminated XML tag");
        if (rest.starts_with("<!")) {  // DOCTYPE
            i = s.find('<', close);
            continue;
        }
        bool closing = rest.size() > 1 && rest[1] == '/';
        std::size_t nameStart = i + (closing ? 2 : 1);
        std::size_t nameEnd = nameStart;
        while (nameEnd < close && std::isalpha(static_cast<unsigned char>(s[nameEnd]))) ++nameEnd;
        std::string_view name = s.substr(nameStart, nameEnd - nameStart);
        bool selfClosing = !closing && s[close - 1] == '/';

        if (closing) {
            if (stack.empty() || stack.back().name != name) corrupt("mismatched XML tags");
            Frame frame = stack.back();
            if (name == "dict" && !frame.expectKey) corrupt("a dictionary key without its value");
            if (isScalar(name) && !validScalar(name, s.substr(frame.contentStart, i - frame.contentStart))) {
                corrupt("a value does not read as its type");
            }
            stack.pop_back();
            childEnded();
        } else {
            if (name != "plist" && name != "dict" && name != "array" && !isScalar(name))
                corrupt("unknown XML element");
            if (!stack.empty()) {
                const Frame& parent = stack.back();
                if (isScalar(parent.name)) corrupt("an element inside a scalar");
                if (parent.name == "dict" && parent.expectKey != (name == "key")) {
                    corrupt(parent.expectKey ? "a dictionary value without its key"
                                             : "a dictionary key without its value");
                }
                if (parent.name != "dict" && name == "key") corrupt("a key outside a dictionary");
            }
            if (selfClosing) {
                if (name == "integer" || name == "real" || name == "date") corrupt("an empty number or date");
                childEnded();
            } else {
                if (stack.size() >= static_cast<std::size_t>(PropertyList::kMaxDepth))
                    corrupt("property list nested too deeply");
                stack.push_back({name, close + 1});
            }
        }
        i = s.find('<', close);
    }
    if (!stack.empty()) corrupt("unterminated XML element");
}

std::uint64_t readBigEndian(const std::uint8_t* p, std::size_t size) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < size; ++i) v = (v << 8) | p[i];
    return v;
}

// Walks a binary plist's object graph without recursion and checks it before libplist (which recurses
// and copies shared objects) sees it: a structure the walk understands, nesting within kMaxDepth, no
// cycles, bounded expanded size.
void checkBinaryShape(std::span<const std::uint8_t> b) {
    if (b.size() < 8 + 32) corrupt("binary property list too short");
    const std::uint8_t* trailer = b.data() + b.size() - 32;
    std::size_t offsetSize = trailer[6];
    std::size_t refSize = trailer[7];
    std::uint64_t count = readBigEndian(trailer + 8, 8);
    std::uint64_t top = readBigEndian(trailer + 16, 8);
    std::uint64_t tableOffset = readBigEndian(trailer + 24, 8);
    if (offsetSize == 0 || offsetSize > 8 || refSize == 0 || refSize > 8 || top >= count ||
        tableOffset >= b.size() || count > (b.size() - tableOffset) / offsetSize) {
        corrupt("binary property list trailer is damaged");
    }

    auto objectOffset = [&](std::uint64_t index) -> std::optional<std::uint64_t> {
        std::uint64_t off = readBigEndian(b.data() + tableOffset + index * offsetSize, offsetSize);
        if (off >= tableOffset) return std::nullopt;
        return off;
    };
    // An object's length field (the low nibble, or the integer object after it); the position of the
    // object's contents follows. False when it runs past the objects.
    auto lengthOf = [&](std::uint64_t off, std::uint64_t& length, std::uint64_t& pos) -> bool {
        length = b[off] & 0x0F;
        pos = off + 1;
        if (length != 0x0F) return true;
        if (pos >= tableOffset || (b[pos] >> 4) != 0x1) return false;
        std::size_t intSize = std::size_t{1} << (b[pos] & 0x0F);
        if (intSize > 8 || pos + 1 + intSize > tableOffset) return false;
        length = readBigEndian(b.data() + pos + 1, intSize);
        pos += 1 + intSize;
        return true;
    };
    // libplist aborts on a dictionary key holding a NUL character, so such keys are damage.
    auto keyHoldsNul = [&](std::uint64_t index) -> bool {
        auto off = objectOffset(index);
        if (!off) return false;
        std::uint8_t type = b[*off] >> 4;
        if (type != 0x5 && type != 0x6) return false;
        std::uint64_t length = 0;
        std::uint64_t pos = 0;
        if (!lengthOf(*off, length, pos)) return false;
        std::uint64_t unit = type == 0x6 ? 2 : 1;
        if (length > (tableOffset - pos) / unit) return false;
        for (std::uint64_t i = 0; i < length; ++i) {
            if (b[pos + i * unit] == 0 && (unit == 1 || b[pos + i * unit + 1] == 0)) return true;
        }
        return false;
    };
    // The references held by a container object, or none for a scalar.
    auto children = [&](std::uint64_t index, std::vector<std::uint64_t>& out) -> bool {
        out.clear();
        auto off = objectOffset(index);
        if (!off) return false;
        std::uint8_t type = b[*off] >> 4;
        if (type != 0xA && type != 0xC && type != 0xD) return true;
        std::uint64_t n = 0;
        std::uint64_t pos = 0;
        if (!lengthOf(*off, n, pos)) return false;
        std::uint64_t refs = type == 0xD ? n * 2 : n;
        if (n > tableOffset || refs > (tableOffset - pos) / refSize) return false;
        for (std::uint64_t i = 0; i < refs; ++i) {
            std::uint64_t ref = readBigEndian(b.data() + pos + i * refSize, refSize);
            if (ref >= count) return false;
            if (type == 0xD && i < n && keyHoldsNul(ref)) corrupt("a dictionary key holds a NUL character");
            out.push_back(ref);
        }
        return true;
    };

    enum : std::uint8_t { unseen, open, done };
    std::vector<std::uint8_t> state(count, unseen);
    std::vector<int> height(count, 0);          // levels below and including each finished object
    std::vector<std::uint64_t> size(count, 0);  // nodes of each object's expanded tree
    struct Frame {
        std::uint64_t index;
        std::vector<std::uint64_t> refs;
        std::size_t next = 0;
    };
    std::vector<Frame> stack;
    stack.push_back({top, {}});
    if (!children(top, stack.back().refs)) corrupt("binary property list object is damaged");
    state[top] = open;
    while (!stack.empty()) {
        Frame& f = stack.back();
        if (f.next < f.refs.size()) {
            std::uint64_t child = f.refs[f.next++];
            if (state[child] == open) corrupt("a binary property list refers to itself");
            if (state[child] == done) {
                // Shared objects are copied where they are met, so their height counts at every place.
                if (stack.size() + static_cast<std::size_t>(height[child]) >
                    static_cast<std::size_t>(PropertyList::kMaxDepth)) {
                    corrupt("property list nested too deeply");
                }
                continue;
            }
            if (stack.size() >= static_cast<std::size_t>(PropertyList::kMaxDepth))
                corrupt("property list nested too deeply");
            Frame next{child, {}};
            if (!children(child, next.refs)) corrupt("binary property list object is damaged");
            state[child] = open;
            stack.push_back(std::move(next));
            continue;
        }
        int h = 1;
        std::uint64_t s = 1;
        for (std::uint64_t r : f.refs) {
            h = std::max(h, height[r] + 1);
            s += size[r];
            if (s > kMaxExpandedNodes) corrupt("property list expands too far");
        }
        height[f.index] = h;
        size[f.index] = s;
        state[f.index] = done;
        stack.pop_back();
    }
}

Date dateFromReference(std::int32_t sec, std::int32_t usec) {
    // libplist splits a negative time toward zero and gives the fraction's magnitude.
    std::int64_t fraction = usec;
    std::int64_t micros = static_cast<std::int64_t>(sec) * 1'000'000 + (sec < 0 ? -fraction : fraction);
    return Date(seconds(kReferenceDateOffset)) + duration_cast<system_clock::duration>(microseconds(micros));
}

Value toValue(plist_t node, int depth) {
    if (depth > PropertyList::kMaxDepth) corrupt("property list nested too deeply");
    switch (plist_get_node_type(node)) {
        case PLIST_BOOLEAN: {
            std::uint8_t b = 0;
            plist_get_bool_val(node, &b);
            return Value(b != 0);
        }
        case PLIST_UINT: {
            // libplist keeps integers unsigned; negative numbers come back as their two's complement.
            std::uint64_t u = 0;
            plist_get_uint_val(node, &u);
            return Value(static_cast<std::int64_t>(u));
        }
        case PLIST_REAL: {
            double d = 0;
            plist_get_real_val(node, &d);
            return Value(d);
        }
        case PLIST_STRING: {
            // The pointer form: libplist's copying getter asserts (aborts) on a NUL inside the text.
            std::uint64_t length = 0;
            const char* text = plist_get_string_ptr(node, &length);
            std::string s = text ? std::string(text, length) : std::string();
            if (s.find('\0') != std::string::npos || !isValidUTF8(s)) corrupt("a string is not UTF-8 text");
            return Value(std::move(s));
        }
        case PLIST_DATA: {
            std::uint64_t length = 0;
            auto* p = reinterpret_cast<const std::uint8_t*>(plist_get_data_ptr(node, &length));
            return Value(p ? Data(p, p + length) : Data{});
        }
        case PLIST_DATE: {
            std::int32_t sec = 0;
            std::int32_t usec = 0;
            plist_get_date_val(node, &sec, &usec);
            return Value(dateFromReference(sec, usec));
        }
        case PLIST_UID: {
            std::uint64_t uid = 0;
            plist_get_uid_val(node, &uid);
            return Value(Dictionary{{std::string(kUIDKey), Value(static_cast<std::int64_t>(uid))}});
        }
        case PLIST_ARRAY: {
            Array out;
            std::uint32_t n = plist_array_get_size(node);
            out.reserve(n);
            for (std::uint32_t i = 0; i < n; ++i)
                out.push_back(toValue(plist_array_get_item(node, i), depth + 1));
            return Value(std::move(out));
        }
        case PLIST_DICT: {
            Dictionary out;
            plist_dict_iter rawIter = nullptr;
            plist_dict_new_iter(node, &rawIter);
            std::unique_ptr<void, MallocDeleter> iter(rawIter);
            for (;;) {
                char* rawKey = nullptr;
                plist_t item = nullptr;
                plist_dict_next_item(node, iter.get(), &rawKey, &item);
                MallocText key(rawKey);
                if (!item) break;
                std::string k = key ? key.get() : "";
                if (!isValidUTF8(k)) corrupt("a key is not UTF-8");
                out.insert_or_assign(std::move(k), toValue(item, depth + 1));
            }
            return Value(std::move(out));
        }
        default:
            corrupt("unexpected node in property list");
    }
}

Node toNode(const Value& value, int depth) {
    if (depth > PropertyList::kMaxDepth) invalid("value nested too deeply");
    switch (value.type()) {
        case Value::Type::boolean:
            return Node(plist_new_bool(*value.boolean() ? 1 : 0));
        case Value::Type::integer:
            return Node(plist_new_uint(static_cast<std::uint64_t>(*value.integer())));
        case Value::Type::real:
            return Node(plist_new_real(*value.number()));
        case Value::Type::string: {
            const std::string& s = *value.string();
            if (s.find('\0') != std::string::npos) invalid("text holds a NUL character");
            return Node(plist_new_string(s.c_str()));
        }
        case Value::Type::data: {
            const Data& d = *value.data();
            return Node(plist_new_data(reinterpret_cast<const char*>(d.data()), d.size()));
        }
        case Value::Type::date: {
            auto micros = duration_cast<microseconds>(value.date()->time_since_epoch()).count() -
                          kReferenceDateOffset * 1'000'000;
            // floor division, so the microseconds stay positive as libplist expects
            std::int64_t sec = micros / 1'000'000;
            std::int64_t usec = micros % 1'000'000;
            if (usec < 0) {
                usec += 1'000'000;
                sec -= 1;
            }
            if (sec < std::numeric_limits<std::int32_t>::min() ||
                sec > std::numeric_limits<std::int32_t>::max()) {
                invalid("date out of range");
            }
            return Node(plist_new_date(static_cast<std::int32_t>(sec), static_cast<std::int32_t>(usec)));
        }
        case Value::Type::array: {
            Node array(plist_new_array());
            for (const Value& item : *value.array()) {
                Node child = toNode(item, depth + 1);
                plist_array_append_item(array.get(), child.release());
            }
            return array;
        }
        case Value::Type::dictionary: {
            Node dict(plist_new_dict());
            for (const auto& [key, item] : *value.dictionary()) {
                if (key.find('\0') != std::string::npos) invalid("key holds a NUL character");
                Node child = toNode(item, depth + 1);
                plist_dict_set_item(dict.get(), key.c_str(), child.release());
            }
            return dict;
        }
        case Value::Type::null:
            invalid("null has no property-list form");
        case Value::Type::error:
            invalid("errors have no property-list form");
        case Value::Type::object:
            invalid("objects have no property-list form");
    }
    invalid("unknown value");
}

}  // namespace

Value PropertyList::read(std::span<const std::uint8_t> bytes, PropertyListFormat* format) {
    if (bytes.empty()) corrupt("no data");
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max()) corrupt("property list too large");
    bool binary = isBinary(bytes);
    if (binary) {
        checkBinaryShape(bytes);
    } else {
        checkXMLShape(bytes);
    }
    plist_t raw = nullptr;
    auto* chars = reinterpret_cast<const char*>(bytes.data());
    auto length = static_cast<std::uint32_t>(bytes.size());
    if (binary)
        plist_from_bin(chars, length, &raw);
    else
        plist_from_xml(chars, length, &raw);
    Node root(raw);
    if (!root) corrupt(binary ? "not a binary property list" : "not an XML property list");
    if (format) *format = binary ? PropertyListFormat::binary : PropertyListFormat::xml;
    return toValue(root.get(), 0);
}

Value PropertyList::readFile(const std::filesystem::path& path, PropertyListFormat* format) {
    Data bytes = FileSystem::readFile(path);
    return read(bytes, format);
}

Data PropertyList::write(const Value& value, PropertyListFormat format) {
    Node root = toNode(value, 0);
    char* out = nullptr;
    std::uint32_t length = 0;
    if (format == PropertyListFormat::binary)
        plist_to_bin(root.get(), &out, &length);
    else
        plist_to_xml(root.get(), &out, &length);
    if (!out) invalid("libplist wrote nothing");
    Data bytes(reinterpret_cast<const std::uint8_t*>(out),
               reinterpret_cast<const std::uint8_t*>(out) + length);
    if (format == PropertyListFormat::binary)
        plist_to_bin_free(out);
    else
        plist_to_xml_free(out);
    return bytes;
}

bool PropertyList::isPropertyList(const Value& value) {
    try {
        toNode(value, 0);
        return true;
    } catch (const ErrorException&) {
        return false;
    }
}

}  // namespace brisko::platform
