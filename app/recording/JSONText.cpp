// JSON string escaping in the companion service's wire form.
#include "app/recording/JSONText.hpp"

#include "platform/base/Text.hpp"

namespace brisko::app {

namespace {
void appendEscaped(std::string& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::size_t plainStart = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\' && c != '/') continue;
        out.append(text.substr(plainStart, i - plainStart));
        plainStart = i + 1;
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '/':
                out += "\\/";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += "\\u00";
                out += kHex[c >> 4];
                out += kHex[c & 0xF];
        }
    }
    out.append(text.substr(plainStart));
}
}  // namespace

void appendJSONString(std::string& out, std::string_view text) {
    out += '"';
    if (platform::isValidUTF8(text)) {
        appendEscaped(out, text);
    } else {
        appendEscaped(out, platform::sanitizeUTF8(text));
    }
    out += '"';
}

}  // namespace brisko::app
