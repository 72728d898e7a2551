// URLs: parsing, components, resolution against a base, query items and percent-encoding.
#pragma once

#include <bitset>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace brisko::platform {

// A set of ASCII characters that may stand unencoded in some part of a URL. Bytes outside ASCII are
// never in a set, so they are always percent-encoded.
class CharacterSet {
  public:
    CharacterSet() = default;
    explicit CharacterSet(std::string_view chars) { insert(chars); }

    // The platform's predefined sets (RFC 3986 characters each component may hold unencoded).
    static const CharacterSet& urlQueryAllowed();     // pchar / "/" / "?"
    static const CharacterSet& urlPathAllowed();      // pchar / "/"
    static const CharacterSet& urlHostAllowed();      // unreserved / sub-delims / ":" "[" "]"
    static const CharacterSet& urlFragmentAllowed();  // pchar / "/" / "?"
    static const CharacterSet& urlUserAllowed();      // unreserved / sub-delims
    static const CharacterSet& urlPasswordAllowed();  // unreserved / sub-delims
    static const CharacterSet& alphanumerics();       // ASCII letters and digits
    static const CharacterSet& unreserved();          // ALPHA DIGIT "-" "." "_" "~"

    bool contains(unsigned char c) const { return c < 128 && bits_.test(c); }
    CharacterSet& insert(std::string_view chars);
    CharacterSet& remove(std::string_view chars);
    CharacterSet with(std::string_view chars) const { return CharacterSet(*this).insert(chars); }
    CharacterSet without(std::string_view chars) const { return CharacterSet(*this).remove(chars); }
    bool operator==(const CharacterSet&) const = default;

  private:
    std::bitset<128> bits_;
};

// Percent-encodes every byte of `text` that is not in `allowed` (UTF-8 bytes as %XX, upper-case hex).
std::string percentEncode(std::string_view text, const CharacterSet& allowed);
// The same in two steps, for texts joined into one buffer of the final size: the encoded length, and
// the encoding written from `out` on (which has room for it), answering the end of what it wrote.
std::size_t percentEncodedSize(std::string_view text, const CharacterSet& allowed);
char* percentEncodeInto(char* out, std::string_view text, const CharacterSet& allowed);
// Decodes %XX escapes; nothing when an escape is malformed or the result is not valid UTF-8.
std::optional<std::string> percentDecode(std::string_view text);
// Form decoding for application/x-www-form-urlencoded bodies: "+" is a blank, then percentDecode.
std::optional<std::string> formDecode(std::string_view text);

// One name/value pair of a query, in order. A missing value ("a" in "?a&b=1") differs from an empty
// one ("a=").
struct URLQueryItem {
    std::string name;
    std::optional<std::string> value;
    bool operator==(const URLQueryItem&) const = default;
};

// An absolute URL (RFC 3986). Parsing keeps the text as given (absoluteString); hierarchical URLs with
// an authority are also checked with libcurl's URL parser, so any http(s) URL that parses here is one
// libcurl accepts. Opaque URLs ("mailto:a@b", "data:,x", "com.example.app:/callback") are supported.
// Invalid input gives no URL, never a crash. A URL never changes once made: its fields are shared by
// its copies, so copying one (as every request, response and error does) allocates nothing.
class URL {
  public:
    URL(const URL&) = default;
    URL& operator=(const URL&) = default;
    // A moved-from URL keeps its fields (it stays the same valid URL).
    URL(URL&& other) noexcept : fields_(other.fields_) {}
    URL& operator=(URL&& other) noexcept {
        fields_ = other.fields_;
        return *this;
    }

    // URLWithString: an absolute URL; nothing for relative references and invalid text.
    static std::optional<URL> parse(std::string_view text);
    // URLWithString:relativeToURL: resolves a reference (relative or absolute) against a base.
    static std::optional<URL> parse(std::string_view reference, const URL& base);
    // fileURLWithPath: a "file://" URL for an absolute path (relative paths are taken from the
    // current directory); characters outside the path set are percent-encoded.
    static URL fileURLWithPath(std::string_view path);

    const std::string& absoluteString() const { return fields_->text; }
    // The text for logs and descriptions: the URL without its password, which never shows.
    std::string description() const { return withoutPassword().absoluteString(); }
    // A copy without the password (this URL when it has none).
    URL withoutPassword() const;

    // Components as written (scheme lower-cased). Missing components give nothing; an empty one
    // ("http://h/?" has an empty query) gives an empty text.
    const std::string& scheme() const { return fields_->scheme; }
    const std::optional<std::string>& host() const { return fields_->host; }  // IPv6 without brackets
    std::optional<int> port() const { return fields_->port; }                 // only when written
    const std::optional<std::string>& percentEncodedUser() const { return fields_->user; }
    const std::optional<std::string>& percentEncodedPassword() const { return fields_->password; }
    std::optional<std::string> user() const;
    std::optional<std::string> password() const;
    const std::string& percentEncodedPath() const { return fields_->path; }
    std::string path() const;  // percent-decoded (the encoded text when it does not decode)
    const std::optional<std::string>& query() const { return fields_->query; }  // percent-encoded
    const std::optional<std::string>& fragment() const { return fields_->fragment; }
    // The query split into items, names and values percent-decoded ("+" stays "+"). Nothing when
    // there is no query.
    std::optional<std::vector<URLQueryItem>> queryItems() const;
    // The value of the first item with that name, if any.
    std::optional<std::string> queryValue(std::string_view name) const;

    bool isFileURL() const { return fields_->scheme == "file"; }
    bool hasAuthority() const { return fields_->host.has_value(); }
    // The port written or the scheme's default (80 http, 443 https, 21 ftp), else nothing.
    std::optional<int> effectivePort() const;
    // scheme, host (lower-cased) and effective port: two URLs of one origin share it.
    std::string origin() const;
    // "host" or "host:port" as it would go into a Host header (IPv6 in brackets).
    std::string hostAndPort() const;
    // The last path component, decoded ("" for "/" or an empty path).
    std::string lastPathComponent() const;

    // Copies with one part replaced; nothing when the result would not be a valid URL.
    std::optional<URL> withScheme(std::string_view scheme) const;
    std::optional<URL> withPercentEncodedQuery(std::optional<std::string_view> query) const;
    std::optional<URL> withFragment(std::optional<std::string_view> fragment) const;
    // Appends a path component (percent-encoding it) with one "/" in between.
    std::optional<URL> appendingPathComponent(std::string_view component) const;

    bool operator==(const URL& other) const { return fields_->text == other.fields_->text; }
    bool operator<(const URL& other) const { return fields_->text < other.fields_->text; }

  private:
    friend class URLComponents;
    struct Fields {
        std::string text;
        std::string scheme;
        std::optional<std::string> user, password, host;
        std::optional<int> port;
        std::string path;
        std::optional<std::string> query, fragment;
    };
    // A URL with no parts at all.
    URL();
    explicit URL(std::shared_ptr<const Fields> fields) : fields_(std::move(fields)) {}
    std::shared_ptr<const Fields> fields_;  // never null
};

// Builds and takes apart URLs part by part (NSURLComponents): decoded properties are encoded with the
// part's allowed set when the URL is built; query items are encoded so that "&", "=", "+" and "#"
// inside names and values survive.
class URLComponents {
  public:
    URLComponents() = default;
    explicit URLComponents(const URL& url);
    // Parses any URL or relative reference into components; nothing for invalid text.
    static std::optional<URLComponents> parse(std::string_view text);

    std::optional<std::string> scheme;
    std::optional<std::string> percentEncodedUser;
    std::optional<std::string> percentEncodedPassword;
    std::optional<std::string> percentEncodedHost;
    std::optional<int> port;
    std::string percentEncodedPath;
    std::optional<std::string> percentEncodedQuery;
    std::optional<std::string> percentEncodedFragment;

    // Decoded accessors and setters (setters encode).
    std::optional<std::string> user() const;
    void setUser(std::optional<std::string_view> v);
    std::optional<std::string> password() const;
    void setPassword(std::optional<std::string_view> v);
    std::optional<std::string> host() const;
    void setHost(std::optional<std::string_view> v);
    std::string path() const;
    void setPath(std::string_view v);
    std::optional<std::string> query() const;
    void setQuery(std::optional<std::string_view> v);
    std::optional<std::string> fragment() const;
    void setFragment(std::optional<std::string_view> v);

    std::optional<std::vector<URLQueryItem>> queryItems() const;
    // Sets the query from items (nothing removes the query; an empty list leaves an empty query).
    void setQueryItems(const std::optional<std::vector<URLQueryItem>>& items);
    // Sets the query from items that are already percent-encoded, unchanged.
    void setPercentEncodedQueryItems(const std::optional<std::vector<URLQueryItem>>& items);

    // The text of the components (a relative reference when there is no scheme).
    std::string string() const;
    // The URL, or nothing when the components do not form a valid absolute URL.
    std::optional<URL> url() const;
    // The URL resolved against a base, for relative components.
    std::optional<URL> url(const URL& base) const;
};

// The query-value set used for items: the query set without "&", "=", "+" and "#".
const CharacterSet& urlQueryItemAllowed();

}  // namespace brisko::platform
