// Printf-style formatting of the system's messages, and UTF-8 validation, repair and trimming.
#include "platform/base/Text.hpp"

#include <cstdio>

namespace brisko::platform {

namespace {

std::string formatNumber(const std::string& spec, char conv, const FormatArg* arg) {
    // Rebuilds a printf spec with a 64-bit length so every integer width prints right.
    char buf[128];
    std::string f = spec;
    if (conv == 'd' || conv == 'i') {
        std::int64_t v = 0;
        if (arg) {
            if (auto* i = std::get_if<std::int64_t>(&arg->value())) v = *i;
            else if (auto* u = std::get_if<std::uint64_t>(&arg->value())) v = static_cast<std::int64_t>(*u);
            else if (auto* d = std::get_if<double>(&arg->value())) v = static_cast<std::int64_t>(*d);
        }
        f += "lld";
        std::snprintf(buf, sizeof buf, f.c_str(), static_cast<long long>(v));
    } else if (conv == 'u' || conv == 'x' || conv == 'X' || conv == 'o') {
        std::uint64_t v = 0;
        if (arg) {
            if (auto* i = std::get_if<std::int64_t>(&arg->value())) v = static_cast<std::uint64_t>(*i);
            else if (auto* u = std::get_if<std::uint64_t>(&arg->value())) v = *u;
            else if (auto* d = std::get_if<double>(&arg->value())) v = static_cast<std::uint64_t>(*d);
        }
        f += "ll";
        f += conv;
        std::snprintf(buf, sizeof buf, f.c_str(), static_cast<unsigned long long>(v));
    } else if (conv == 'c') {
        int v = 0;
        if (arg) {
            if (auto* i = std::get_if<std::int64_t>(&arg->value())) v = static_cast<int>(*i);
            else if (auto* u = std::get_if<std::uint64_t>(&arg->value())) v = static_cast<int>(*u);
        }
        f += 'c';
        std::snprintf(buf, sizeof buf, f.c_str(), v);
    } else {  // f F e E g G a A
        double v = 0;
        if (arg) {
            if (auto* d = std::get_if<double>(&arg->value())) v = *d;
            else if (auto* i = std::get_if<std::int64_t>(&arg->value())) v = static_cast<double>(*i);
            else if (auto* u = std::get_if<std::uint64_t>(&arg->value())) v = static_cast<double>(*u);
        }
        f += conv;
        std::snprintf(buf, sizeof buf, f.c_str(), v);
    }
    return buf;
}

std::string argText(const FormatArg* arg) {
    if (!arg) return "(null)";
    const auto& v = arg->value();
    if (auto* s = std::get_if<std::string>(&v)) return *s;
    if (auto* i = std::get_if<std::int64_t>(&v)) return std::to_string(*i);
    if (auto* u = std::get_if<std::uint64_t>(&v)) return std::to_string(*u);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%g", std::get<double>(v));
    return buf;
}

// Decodes one code point; returns its length, or 0 for an ill-formed sequence.
size_t decodeOne(std::string_view s, size_t i, char32_t& cp) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    size_t n;
    char32_t min;
    if ((c & 0xE0) == 0xC0) {
        n = 2, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
        n = 3, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
        n = 4, cp = c & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (i + n > s.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((b(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b(i + k) & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return n;
}

bool isUnicodeWhitespace(char32_t c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

}  // namespace

std::string format(std::string_view fmt, std::initializer_list<FormatArg> args) {
    std::string out;
    out.reserve(fmt.size() + 16 * args.size());
    auto next = args.begin();
    auto take = [&]() -> const FormatArg* { return next == args.end() ? nullptr : &*next++; };
    for (size_t i = 0; i < fmt.size(); ++i) {
        char c = fmt[i];
        if (c != '%') {
            out += c;
            continue;
        }
        if (i + 1 < fmt.size() && fmt[i + 1] == '%') {
            out += '%';
            ++i;
            continue;
        }
        // %[flags][width][.precision][length]conversion
        size_t j = i + 1;
        std::string spec = "%";
        while (j < fmt.size() && std::string_view("-+ #0").find(fmt[j]) != std::string_view::npos) spec += fmt[j++];
        while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9') spec += fmt[j++];
        if (j < fmt.size() && fmt[j] == '.') {
            spec += fmt[j++];
            while (j < fmt.size() && fmt[j] >= '0' && fmt[j] <= '9') spec += fmt[j++];
        }
        while (j < fmt.size() && std::string_view("hlqLzjt").find(fmt[j]) != std::string_view::npos) ++j;
        if (j >= fmt.size()) {
            out.append(fmt.substr(i));
            break;
        }
        char conv = fmt[j];
        switch (conv) {
            case '@':
            case 's': {
                std::string text = argText(take());
                if (spec.size() > 1) {  // width for text, e.g. %-10@
                    char buf[1024];
                    std::snprintf(buf, sizeof buf, (spec + "s").c_str(), text.c_str());
                    text = buf;
                }
                out += text;
                break;
            }
            case 'd': case 'i': case 'u': case 'x': case 'X': case 'o': case 'c':
            case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A':
                out += formatNumber(spec, conv, take());
                break;
            default:
                out.append(fmt.substr(i, j - i + 1));
                break;
        }
        i = j;
    }
    return out;
}

bool isValidUTF8(std::string_view s) {
    char32_t cp;
    for (size_t i = 0; i < s.size();) {
        size_t n = decodeOne(s, i, cp);
        if (!n) return false;
        i += n;
    }
    return true;
}

std::string sanitizeUTF8(std::string_view s) {
    if (isValidUTF8(s)) return std::string(s);
    std::string out;
    out.reserve(s.size() + 8);
    char32_t cp;
    for (size_t i = 0; i < s.size();) {
        size_t n = decodeOne(s, i, cp);
        if (n) {
            out.append(s.substr(i, n));
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out;
}

std::string trimWhitespaceAndNewlines(std::string_view input) {
    std::string clean = sanitizeUTF8(input);
    std::string_view s = clean;
    size_t start = 0;
    char32_t cp;
    while (start < s.size()) {
        size_t n = decodeOne(s, start, cp);
        if (!isUnicodeWhitespace(cp)) break;
        start += n;
    }
    size_t end = start;
    for (size_t i = start; i < s.size();) {
        size_t n = decodeOne(s, i, cp);
        i += n;
        if (!isUnicodeWhitespace(cp)) end = i;
    }
    return std::string(s.substr(start, end - start));
}

std::string asciiLowercase(std::string_view s) {
    std::string out(s);
    for (auto& c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool hasPrefix(std::string_view s, std::string_view prefix) { return s.substr(0, prefix.size()) == prefix; }
bool hasSuffix(std::string_view s, std::string_view suffix) {
    return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

}  // namespace brisko::platform
