// Crypto helpers: SHA-256 and base64 known answers, decoding strictness, hex, UUIDs and random bytes.
#include <doctest/doctest.h>

#include <regex>
#include <set>

#include "platform/storage/Crypto.hpp"

using namespace brisko::platform;
namespace crypto = brisko::platform::crypto;

TEST_CASE("SHA-256 gives the standard digests") {
    struct Case {
        std::string input;
        const char* digest;
    };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1'000'000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) CHECK(crypto::hexEncode(crypto::sha256(c.input)) == c.digest);
}

TEST_CASE("a PKCE challenge is the unpadded base64url SHA-256 of the verifier") {
    // RFC 7636, appendix B.
    std::string verifier = "dBjftJeZ4CVP-mB92K27uhbUJU1p1r_wW1gFWFOEjXk";
    CHECK(crypto::base64URLEncode(crypto::sha256(verifier)) == "E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM");
}

TEST_CASE("base64 follows RFC 4648 both ways") {
    const std::pair<std::string, std::string> vectors[] = {
        {"", ""},
        {"f", "Zg=="},
        {"fo", "Zm8="},
        {"foo", "Zm9v"},
        {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"},
    };
    for (const auto& [plain, encoded] : vectors) {
        CHECK(crypto::base64Encode(plain) == encoded);
        CHECK(crypto::base64Decode(encoded) == toData(plain));
        CHECK(crypto::base64URLDecode(encoded) == toData(plain));
    }
}

TEST_CASE("base64url uses - and _ and leaves out padding unless asked") {
    Data bytes{0xFB, 0xFF};
    CHECK(crypto::base64Encode(bytes) == "+/8=");
    CHECK(crypto::base64URLEncode(bytes) == "-_8");
    CHECK(crypto::base64URLEncode(bytes, true) == "-_8=");
    CHECK(crypto::base64URLDecode("-_8") == bytes);
    CHECK(crypto::base64URLDecode("-_8=") == bytes);
}

TEST_CASE("decoding refuses what is not base64, with the tolerance each form allows") {
    struct Case {
        const char* text;
        bool strict;    // base64Decode
        bool ignoring;  // base64Decode ignoring unknown characters
        bool url;       // base64URLDecode
    };
    const Case cases[] = {
        {"Zm9v", true, true, true},        {"Zg", false, false, true},  // unpadded: only base64url takes it
        {"Zg=", false, false, false},                                   // half padding
        {"Z===", false, false, false},                                  // too much padding
        {"Zm9v====", false, false, false}, {"Zm 9v\n", false, true, false},  // white space
        {"+/8=", true, true, false},                                         // base64url has no + or /
        {"-_8=", false, false, true},      {"a", false, false, false},       // one symbol encodes nothing
        {"Zm9v!", false, true, false},
    };
    for (const auto& c : cases) {
        CAPTURE(c.text);
        CHECK(crypto::base64Decode(c.text).has_value() == c.strict);
        CHECK(crypto::base64Decode(c.text, true).has_value() == c.ignoring);
        CHECK(crypto::base64URLDecode(c.text).has_value() == c.url);
    }
    CHECK(crypto::base64Decode("Zm 9v\n", true) == toData("foo"));
}

TEST_CASE("hex encodes in either case and decodes only even, valid text") {
    Data bytes{0x00, 0xAB, 0x7F};
    CHECK(crypto::hexEncode(bytes) == "00ab7f");
    CHECK(crypto::hexEncode(bytes, true) == "00AB7F");
    CHECK(crypto::hexDecode("00Ab7f") == bytes);
    CHECK_FALSE(crypto::hexDecode("abc"));
    CHECK_FALSE(crypto::hexDecode("zz"));
}

TEST_CASE("UUIDs are uppercase version-4 text and do not repeat") {
    std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        std::string u = crypto::uuidString();
        CHECK(std::regex_match(u, form));
        seen.insert(u);
    }
    CHECK(seen.size() == 1000);
}

TEST_CASE("random bytes have the length asked for and differ between calls") {
    CHECK(crypto::randomBytes(0).empty());
    Data a = crypto::randomBytes(32);
    Data b = crypto::randomBytes(32);
    CHECK(a.size() == 32);
    CHECK(a != b);
}
