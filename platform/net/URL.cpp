// URL parsing (RFC 3986 syntax, authorities checked by libcurl), resolution and percent-encoding.
#include "platform/net/URL.hpp"

#include <curl/curl.h>
#include <unistd.h>

#include <array>
#include <climits>
#include <memory>

#include "platform/base/Text.hpp"

namespace brisko::platform {

namespace {

constexpr std::string_view kAlpha = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
constexpr std::string_view kDigits = "0123456789";
constexpr std::string_view kSubDelims = "!$&'()*+,;=";

CharacterSet makeUnreserved() {
    CharacterSet s;
    s.insert(kAlpha).insert(kDigits).insert("-._~");
    return s;
}

// pchar without the percent sign (escapes are handled apart).
CharacterSet makePchar() {
    return makeUnreserved().insert(kSubDelims).insert(":@");
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Every character is allowed by `set` or starts a well-formed %XX escape.
bool validEncoded(std::string_view s, const CharacterSet& set) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c == '%') {
            if (i + 2 >= s.size() || hexValue(s[i + 1]) < 0 || hexValue(s[i + 2]) < 0) return false;
            i += 2;
        } else if (!set.contains(c)) {
            return false;
        }
    }
    return true;
}

bool validScheme(std::string_view s) {
    if (s.empty() || kAlpha.find(s[0]) == std::string_view::npos) return false;
    for (char c : s) {
        if (kAlpha.find(c) == std::string_view::npos && kDigits.find(c) == std::string_view::npos &&
            c != '+' && c != '-' && c != '.') {
            return false;
        }
    }
    return true;
}

// The five parts of a reference (RFC 3986 section 3), the authority split further.
struct Parts {
    std::optional<std::string> scheme;
    bool hasAuthority = false;
    std::optional<std::string> user, password;
    std::string host;  // as written (IPv6 with brackets)
    std::optional<int> port;
    std::string path;
    std::optional<std::string> query, fragment;
};

bool splitAuthority(std::string_view authority, Parts& out) {
    static const CharacterSet userInfoSet = makeUnreserved().insert(kSubDelims).insert(":");
    static const CharacterSet regNameSet = makeUnreserved().insert(kSubDelims);
    auto at = authority.rfind('@');
    if (at != std::string_view::npos) {
        auto info = authority.substr(0, at);
        if (!validEncoded(info, userInfoSet)) return false;
        auto colon = info.find(':');
        if (colon == std::string_view::npos) {
            out.user = std::string(info);
        } else {
            out.user = std::string(info.substr(0, colon));
            out.password = std::string(info.substr(colon + 1));
        }
        authority = authority.substr(at + 1);
    }
    std::string_view hostPort = authority;
    std::string_view portText;
    bool hasPort = false;
    if (!hostPort.empty() && hostPort[0] == '[') {
        auto close = hostPort.find(']');
        if (close == std::string_view::npos) return false;
        auto inside = hostPort.substr(1, close - 1);
        for (char c : inside) {
            if (hexValue(c) < 0 && c != ':' && c != '.') return false;
        }
        if (inside.find(':') == std::string_view::npos) return false;
        out.host = std::string(hostPort.substr(0, close + 1));
        auto rest = hostPort.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') return false;
            hasPort = true;
            portText = rest.substr(1);
        }
    } else {
        auto colon = hostPort.rfind(':');
        if (colon != std::string_view::npos) {
            hasPort = true;
            portText = hostPort.substr(colon + 1);
            hostPort = hostPort.substr(0, colon);
        }
        if (!validEncoded(hostPort, regNameSet)) return false;
        out.host = std::string(hostPort);
    }
    if (hasPort && !portText.empty()) {
        if (portText.size() > 5) return false;
        int port = 0;
        for (char c : portText) {
            if (c < '0' || c > '9') return false;
            port = port * 10 + (c - '0');
        }
        if (port > 65535) return false;
        out.port = port;
    }
    return true;
}

// Splits and checks the syntax of a URL or relative reference.
std::optional<Parts> splitReference(std::string_view text) {
    static const CharacterSet pathSet = makePchar().insert("/");
    static const CharacterSet querySet = makePchar().insert("/?");
    Parts p;
    auto firstDelim = text.find_first_of(":/?#");
    if (firstDelim != std::string_view::npos && text[firstDelim] == ':') {
        auto scheme = text.substr(0, firstDelim);
        if (!validScheme(scheme)) return std::nullopt;
        p.scheme = asciiLowercase(scheme);
        text = text.substr(firstDelim + 1);
    }
    auto hash = text.find('#');
    if (hash != std::string_view::npos) {
        auto fragment = text.substr(hash + 1);
        if (!validEncoded(fragment, querySet)) return std::nullopt;
        p.fragment = std::string(fragment);
        text = text.substr(0, hash);
    }
    auto question = text.find('?');
    if (question != std::string_view::npos) {
        auto query = text.substr(question + 1);
        if (!validEncoded(query, querySet)) return std::nullopt;
        p.query = std::string(query);
        text = text.substr(0, question);
    }
    if (text.substr(0, 2) == "//") {
        text = text.substr(2);
        auto slash = text.find('/');
        auto authority = text.substr(0, slash);
        if (!splitAuthority(authority, p)) return std::nullopt;
        p.hasAuthority = true;
        text = slash == std::string_view::npos ? std::string_view{} : text.substr(slash);
    }
    if (!validEncoded(text, pathSet)) return std::nullopt;
    p.path = std::string(text);
    return p;
}

std::string recompose(const Parts& p) {
    std::string out;
    if (p.scheme) out += *p.scheme + ":";
    if (p.hasAuthority) {
        out += "//";
        if (p.user) {
            out += *p.user;
            if (p.password) out += ":" + *p.password;
            out += "@";
        }
        out += p.host;
        if (p.port) out += ":" + std::to_string(*p.port);
    }
    out += p.path;
    if (p.query) out += "?" + *p.query;
    if (p.fragment) out += "#" + *p.fragment;
    return out;
}

// RFC 3986 section 5.2.4.
std::string removeDotSegments(std::string_view in) {
    std::string out;
    while (!in.empty()) {
        if (in.substr(0, 3) == "../") {
            in.remove_prefix(3);
        } else if (in.substr(0, 2) == "./" || in.substr(0, 3) == "/./") {
            in.remove_prefix(2);
        } else if (in == "/.") {
            in = "/";
        } else if (in.substr(0, 4) == "/../" || in == "/..") {
            in = in.size() == 3 ? std::string_view("/") : in.substr(3);
            auto last = out.rfind('/');
            out.erase(last == std::string::npos ? 0 : last);
        } else if (in == "." || in == "..") {
            in = {};
        } else {
            auto next = in.find('/', in[0] == '/' ? 1 : 0);
            out += in.substr(0, next);
            in = next == std::string_view::npos ? std::string_view{} : in.substr(next);
        }
    }
    return out;
}

// libcurl must accept every URL with a host that we hand out, so that any http(s) URL that parses
// here can be fetched.
bool curlAccepts(const std::string& text) {
    std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> u(curl_url(), &curl_url_cleanup);
    if (!u) return false;
    return curl_url_set(u.get(), CURLUPART_URL, text.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK;
}

std::optional<std::string> decodeOrNothing(const std::optional<std::string>& s) {
    if (!s) return std::nullopt;
    auto d = percentDecode(*s);
    return d ? d : s;
}

std::vector<URLQueryItem> splitQuery(std::string_view query, bool decode) {
    std::vector<URLQueryItem> items;
    if (query.empty()) return items;
    std::size_t start = 0;
    while (start <= query.size()) {
        auto amp = query.find('&', start);
        auto piece =
            query.substr(start, amp == std::string_view::npos ? std::string_view::npos : amp - start);
        URLQueryItem item;
        auto eq = piece.find('=');
        auto name = piece.substr(0, eq);
        auto conv = [decode](std::string_view s) {
            if (!decode) return std::string(s);
            auto d = percentDecode(s);
            return d ? *d : std::string(s);
        };
        item.name = conv(name);
        if (eq != std::string_view::npos) item.value = conv(piece.substr(eq + 1));
        items.push_back(std::move(item));
        if (amp == std::string_view::npos) break;
        start = amp + 1;
    }
    return items;
}

}  // namespace

// CharacterSet

CharacterSet& CharacterSet::insert(std::string_view chars) {
    for (unsigned char c : chars) {
        if (c < 128) bits_.set(c);
    }
    return *this;
}

CharacterSet& CharacterSet::remove(std::string_view chars) {
    for (unsigned char c : chars) {
        if (c < 128) bits_.reset(c);
    }
    return *this;
}

const CharacterSet& CharacterSet::urlQueryAllowed() {
    static const CharacterSet s = makePchar().insert("/?");
    return s;
}
const CharacterSet& CharacterSet::urlPathAllowed() {
    static const CharacterSet s = makePchar().insert("/").remove(";");
    return s;
}
const CharacterSet& CharacterSet::urlHostAllowed() {
    static const CharacterSet s = makeUnreserved().insert(kSubDelims).insert(":[]");
    return s;
}
const CharacterSet& CharacterSet::urlFragmentAllowed() {
    static const CharacterSet s = makePchar().insert("/?");
    return s;
}
const CharacterSet& CharacterSet::urlUserAllowed() {
    static const CharacterSet s = makeUnreserved().insert(kSubDelims);
    return s;
}
const CharacterSet& CharacterSet::urlPasswordAllowed() {
    static const CharacterSet s = makeUnreserved().insert(kSubDelims);
    return s;
}
const CharacterSet& CharacterSet::alphanumerics() {
    static const CharacterSet s = CharacterSet().insert(kAlpha).insert(kDigits);
    return s;
}
const CharacterSet& CharacterSet::unreserved() {
    static const CharacterSet s = makeUnreserved();
    return s;
}

const CharacterSet& urlQueryItemAllowed() {
    static const CharacterSet s = CharacterSet::urlQueryAllowed().without("&=+#");
    return s;
}

// Percent-encoding

std::size_t percentEncodedSize(std::string_view text, const CharacterSet& allowed) {
    std::size_t size = text.size();
    for (unsigned char c : text) {
        if (!allowed.contains(c)) size += 2;
    }
    return size;
}

char* percentEncodeInto(char* out, std::string_view text, const CharacterSet& allowed) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    for (unsigned char c : text) {
        if (allowed.contains(c)) {
            *out++ = static_cast<char>(c);
        } else {
            *out++ = '%';
            *out++ = kHex[c >> 4];
            *out++ = kHex[c & 15];
        }
    }
    return out;
}

std::string percentEncode(std::string_view text, const CharacterSet& allowed) {
    std::string out(percentEncodedSize(text, allowed), '\0');
    percentEncodeInto(out.data(), text, allowed);
    return out;
}

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            int hi = hexValue(text[i + 1]), lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    if (!isValidUTF8(out)) return std::nullopt;
    return out;
}

std::optional<std::string> formDecode(std::string_view text) {
    std::string plus(text);
    for (auto& c : plus) {
        if (c == '+') c = ' ';
    }
    return percentDecode(plus);
}

// URL

URL::URL() {
    static const auto empty = std::make_shared<const Fields>();
    fields_ = empty;
}

std::optional<URL> URL::parse(std::string_view text) {
    auto c = URLComponents::parse(text);
    if (!c || !c->scheme) return std::nullopt;
    auto f = std::make_shared<Fields>();
    f->text = std::string(text);
    f->scheme = std::move(*c->scheme);
    if (c->percentEncodedHost) {
        f->user = std::move(c->percentEncodedUser);
        f->password = std::move(c->percentEncodedPassword);
        f->host = std::move(c->percentEncodedHost);
        f->port = c->port;
        if (!f->host->empty() && !curlAccepts(f->text)) return std::nullopt;
    }
    f->path = std::move(c->percentEncodedPath);
    f->query = std::move(c->percentEncodedQuery);
    f->fragment = std::move(c->percentEncodedFragment);
    return URL(std::move(f));
}

std::optional<URL> URL::parse(std::string_view reference, const URL& base) {
    auto r = splitReference(reference);
    if (!r) return std::nullopt;
    if (r->scheme) return parse(reference);
    auto b = splitReference(base.fields_->text);
    if (!b) return std::nullopt;
    // RFC 3986 section 5.2.2.
    Parts t;
    t.scheme = b->scheme;
    if (r->hasAuthority) {
        t.hasAuthority = true;
        t.user = r->user;
        t.password = r->password;
        t.host = r->host;
        t.port = r->port;
        t.path = removeDotSegments(r->path);
        t.query = r->query;
    } else {
        t.hasAuthority = b->hasAuthority;
        t.user = b->user;
        t.password = b->password;
        t.host = b->host;
        t.port = b->port;
        if (r->path.empty()) {
            t.path = b->path;
            t.query = r->query ? r->query : b->query;
        } else {
            if (r->path[0] == '/') {
                t.path = removeDotSegments(r->path);
            } else {
                std::string merged;
                if (b->hasAuthority && b->path.empty()) {
                    merged = "/" + r->path;
                } else {
                    auto slash = b->path.rfind('/');
                    merged =
                        (slash == std::string::npos ? std::string() : b->path.substr(0, slash + 1)) + r->path;
                }
                t.path = removeDotSegments(merged);
            }
            t.query = r->query;
        }
    }
    t.fragment = r->fragment;
    return parse(recompose(t));
}

URL URL::fileURLWithPath(std::string_view path) {
    std::string absolute(path);
    if (absolute.empty() || absolute[0] != '/') {
        std::array<char, PATH_MAX> buf{};
        std::string cwd = getcwd(buf.data(), buf.size()) ? buf.data() : "/";
        if (cwd.empty() || cwd.back() != '/') cwd += '/';
        absolute = cwd + absolute;
    }
    static const CharacterSet fileSet = CharacterSet::urlPathAllowed().with(";");
    auto f = std::make_shared<Fields>();
    f->scheme = "file";
    f->host = std::string();
    f->path = percentEncode(absolute, fileSet);
    f->text = "file://" + f->path;
    return URL(std::move(f));
}

std::optional<std::string> URL::user() const {
    return decodeOrNothing(fields_->user);
}
std::optional<std::string> URL::password() const {
    return decodeOrNothing(fields_->password);
}

std::string URL::path() const {
    auto d = percentDecode(fields_->path);
    return d ? *d : fields_->path;
}

std::optional<std::vector<URLQueryItem>> URL::queryItems() const {
    if (!fields_->query) return std::nullopt;
    return splitQuery(*fields_->query, true);
}

std::optional<std::string> URL::queryValue(std::string_view name) const {
    auto items = queryItems();
    if (!items) return std::nullopt;
    for (auto& item : *items) {
        if (item.name == name) return item.value ? item.value : std::string();
    }
    return std::nullopt;
}

std::optional<int> URL::effectivePort() const {
    if (fields_->port) return fields_->port;
    if (fields_->scheme == "http" || fields_->scheme == "ws") return 80;
    if (fields_->scheme == "https" || fields_->scheme == "wss") return 443;
    if (fields_->scheme == "ftp") return 21;
    return std::nullopt;
}

std::string URL::origin() const {
    auto p = effectivePort();
    return fields_->scheme + "://" + asciiLowercase(fields_->host.value_or("")) + ":" +
           (p ? std::to_string(*p) : std::string());
}

std::string URL::hostAndPort() const {
    std::string h = fields_->host.value_or("");
    if (h.find(':') != std::string::npos) h = "[" + h + "]";
    if (fields_->port) h += ":" + std::to_string(*fields_->port);
    return h;
}

std::string URL::lastPathComponent() const {
    std::string p = path();
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (p == "/") return "";
    auto slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::optional<URL> URL::withScheme(std::string_view scheme) const {
    URLComponents c(*this);
    c.scheme = std::string(scheme);
    return c.url();
}

std::optional<URL> URL::withPercentEncodedQuery(std::optional<std::string_view> query) const {
    URLComponents c(*this);
    c.percentEncodedQuery = query ? std::optional<std::string>(std::string(*query)) : std::nullopt;
    return c.url();
}

URL URL::withoutPassword() const {
    if (!fields_->password) return *this;
    URLComponents c(*this);
    c.percentEncodedPassword.reset();
    if (auto stripped = c.url()) return *stripped;
    // Not expected: a URL that parsed rebuilds. Fall back to one that names only where it points.
    URLComponents bare;
    bare.scheme = fields_->scheme;
    bare.percentEncodedHost = fields_->host;
    return bare.url().value_or(URL());
}

std::optional<URL> URL::withFragment(std::optional<std::string_view> fragment) const {
    URLComponents c(*this);
    c.percentEncodedFragment = fragment ? std::optional<std::string>(std::string(*fragment)) : std::nullopt;
    return c.url();
}

std::optional<URL> URL::appendingPathComponent(std::string_view component) const {
    URLComponents c(*this);
    std::string p = c.percentEncodedPath;
    if (p.empty() || p.back() != '/') p += '/';
    while (!component.empty() && component.front() == '/') component.remove_prefix(1);
    p += percentEncode(component, CharacterSet::urlPathAllowed());
    c.percentEncodedPath = std::move(p);
    return c.url();
}

// URLComponents

URLComponents::URLComponents(const URL& url) {
    scheme = url.fields_->scheme;
    if (url.fields_->host) {
        percentEncodedUser = url.fields_->user;
        percentEncodedPassword = url.fields_->password;
        percentEncodedHost = *url.fields_->host;
        port = url.fields_->port;
    }
    percentEncodedPath = url.fields_->path;
    percentEncodedQuery = url.fields_->query;
    percentEncodedFragment = url.fields_->fragment;
}

std::optional<URLComponents> URLComponents::parse(std::string_view text) {
    auto p = splitReference(text);
    if (!p) return std::nullopt;
    URLComponents c;
    c.scheme = p->scheme;
    if (p->hasAuthority) {
        c.percentEncodedUser = p->user;
        c.percentEncodedPassword = p->password;
        std::string host = p->host;
        if (host.size() >= 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
        c.percentEncodedHost = std::move(host);
        c.port = p->port;
    }
    c.percentEncodedPath = std::move(p->path);
    c.percentEncodedQuery = std::move(p->query);
    c.percentEncodedFragment = std::move(p->fragment);
    return c;
}

std::optional<std::string> URLComponents::user() const {
    return decodeOrNothing(percentEncodedUser);
}
void URLComponents::setUser(std::optional<std::string_view> v) {
    percentEncodedUser =
        v ? std::optional<std::string>(percentEncode(*v, CharacterSet::urlUserAllowed())) : std::nullopt;
}
std::optional<std::string> URLComponents::password() const {
    return decodeOrNothing(percentEncodedPassword);
}
void URLComponents::setPassword(std::optional<std::string_view> v) {
    percentEncodedPassword =
        v ? std::optional<std::string>(percentEncode(*v, CharacterSet::urlPasswordAllowed())) : std::nullopt;
}
std::optional<std::string> URLComponents::host() const {
    return decodeOrNothing(percentEncodedHost);
}
void URLComponents::setHost(std::optional<std::string_view> v) {
    static const CharacterSet hostSet = CharacterSet::urlHostAllowed().without("[]");
    percentEncodedHost = v ? std::optional<std::string>(percentEncode(*v, hostSet)) : std::nullopt;
}
std::string URLComponents::path() const {
    auto d = percentDecode(percentEncodedPath);
    return d ? *d : percentEncodedPath;
}
void URLComponents::setPath(std::string_view v) {
    percentEncodedPath = percentEncode(v, CharacterSet::urlPathAllowed());
}
std::optional<std::string> URLComponents::query() const {
    return decodeOrNothing(percentEncodedQuery);
}
void URLComponents::setQuery(std::optional<std::string_view> v) {
    percentEncodedQuery =
        v ? std::optional<std::string>(percentEncode(*v, CharacterSet::urlQueryAllowed())) : std::nullopt;
}
std::optional<std::string> URLComponents::fragment() const {
    return decodeOrNothing(percentEncodedFragment);
}
void URLComponents::setFragment(std::optional<std::string_view> v) {
    percentEncodedFragment =
        v ? std::optional<std::string>(percentEncode(*v, CharacterSet::urlFragmentAllowed())) : std::nullopt;
}

std::optional<std::vector<URLQueryItem>> URLComponents::queryItems() const {
    if (!percentEncodedQuery) return std::nullopt;
    return splitQuery(*percentEncodedQuery, true);
}

void URLComponents::setQueryItems(const std::optional<std::vector<URLQueryItem>>& items) {
    if (!items) {
        percentEncodedQuery.reset();
        return;
    }
    std::vector<URLQueryItem> encoded;
    encoded.reserve(items->size());
    for (auto& item : *items) {
        URLQueryItem e{percentEncode(item.name, urlQueryItemAllowed()), std::nullopt};
        if (item.value) e.value = percentEncode(*item.value, urlQueryItemAllowed());
        encoded.push_back(std::move(e));
    }
    setPercentEncodedQueryItems(encoded);
}

void URLComponents::setPercentEncodedQueryItems(const std::optional<std::vector<URLQueryItem>>& items) {
    if (!items) {
        percentEncodedQuery.reset();
        return;
    }
    std::string q;
    for (std::size_t i = 0; i < items->size(); ++i) {
        if (i) q += '&';
        q += (*items)[i].name;
        if ((*items)[i].value) q += "=" + *(*items)[i].value;
    }
    percentEncodedQuery = std::move(q);
}

std::string URLComponents::string() const {
    Parts p;
    p.scheme = scheme;
    if (percentEncodedHost) {
        p.hasAuthority = true;
        p.user = percentEncodedUser;
        p.password = percentEncodedPassword;
        p.host = *percentEncodedHost;
        if (p.host.find(':') != std::string::npos) p.host = "[" + p.host + "]";
        p.port = port;
    }
    p.path = percentEncodedPath;
    // With an authority the path must be empty or start with "/".
    if (p.hasAuthority && !p.path.empty() && p.path[0] != '/') p.path = "/" + p.path;
    p.query = percentEncodedQuery;
    p.fragment = percentEncodedFragment;
    return recompose(p);
}

std::optional<URL> URLComponents::url() const {
    if (!scheme) return std::nullopt;
    return URL::parse(string());
}

std::optional<URL> URLComponents::url(const URL& base) const {
    return URL::parse(string(), base);
}

}  // namespace brisko::platform
