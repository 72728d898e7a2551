// Property lists: round trips in both formats, and damaged or hostile input refused without a crash.
#include <doctest/doctest.h>

#include <limits>

#include "platform/base/Error.hpp"
#include "platform/storage/PropertyList.hpp"
#include "tests/platform/storage/StorageFixtures.hpp"

using namespace brisko::platform;
using namespace std::chrono;

namespace {

Date at(std::int64_t secondsSince1970, std::int64_t micros = 0) {
    return Date(seconds(secondsSince1970)) + microseconds(micros);
}

Value sample(Date date) {
    return Dictionary{
        {"text", "Grüße & <tags> \"quoted\" 日本語"},
        {"negative", std::int64_t{-5}},
        {"min", std::numeric_limits<std::int64_t>::min()},
        {"max", std::numeric_limits<std::int64_t>::max()},
        {"real", 0.1},
        {"yes", true},
        {"no", false},
        {"date", date},
        {"data", Data{0, 1, 2, 255, 0}},
        {"empty data", Data{}},
        {"list", Array{1, "two", Array{}, Dictionary{}}},
        {"nested", Dictionary{{"deeper", Dictionary{{"x", 3.5}}}}},
        {"", "empty key"},
    };
}

bool isCorruptError(const ErrorException& e) {
    return e.error().domain() == kCocoaErrorDomain && e.error().code() == kPropertyListReadCorruptError;
}

// A binary property list made of the given encoded objects (2-byte object references and offsets),
// with object 0 on top.
Data binaryPlist(const std::vector<Data>& objects) {
    Data out = toData("bplist00");
    std::vector<std::uint16_t> offsets;
    for (const auto& o : objects) {
        offsets.push_back(static_cast<std::uint16_t>(out.size()));
        out.insert(out.end(), o.begin(), o.end());
    }
    auto tableOffset = static_cast<std::uint64_t>(out.size());
    for (auto off : offsets) {
        out.push_back(static_cast<std::uint8_t>(off >> 8));
        out.push_back(static_cast<std::uint8_t>(off & 0xFF));
    }
    Data trailer(32, 0);
    trailer[6] = 2;  // offset size
    trailer[7] = 2;  // reference size
    trailer[14] = static_cast<std::uint8_t>(objects.size() >> 8);
    trailer[15] = static_cast<std::uint8_t>(objects.size() & 0xFF);
    for (int i = 0; i < 8; ++i) trailer[24 + i] = static_cast<std::uint8_t>(tableOffset >> (8 * (7 - i)));
    out.insert(out.end(), trailer.begin(), trailer.end());
    return out;
}

// An array object holding the given references.
Data arrayOf(std::initializer_list<int> refs) {
    Data o{static_cast<std::uint8_t>(0xA0 | refs.size())};
    for (int r : refs) {
        o.push_back(static_cast<std::uint8_t>(r >> 8));
        o.push_back(static_cast<std::uint8_t>(r & 0xFF));
    }
    return o;
}

}  // namespace

TEST_CASE("a value of every property-list type survives XML and binary round trips") {
    for (auto format : {PropertyListFormat::xml, PropertyListFormat::binary}) {
        CAPTURE(static_cast<int>(format));
        // XML dates keep whole seconds; binary ones keep microseconds.
        Date date = format == PropertyListFormat::xml ? at(1'700'000'000) : at(1'700'000'000, 123'456);
        Value original = sample(date);
        Data bytes = PropertyList::write(original, format);
        PropertyListFormat detected{};
        Value back = PropertyList::read(bytes, &detected);
        CHECK(detected == format);
        CHECK(back == original);
    }
}

TEST_CASE("dates before 2001 and with fractions keep their value in binary") {
    for (Date d : {at(978'307'100, 500'000), at(0), at(978'307'200), at(-86'400, 250'000)}) {
        Value back = PropertyList::read(PropertyList::write(Value(d), PropertyListFormat::binary));
        CHECK(back.date() == d);
    }
}

TEST_CASE("values without a property-list form are refused when writing") {
    const Value refused[] = {
        Value(),
        Value::object(std::make_shared<int>(1)),
        Value(Error("d", 1)),
        Value(std::string("nul\0inside", 10)),
        Value(Array{Value()}),
        Value(at(4'000'000'000)),  // beyond libplist's 32-bit seconds
    };
    for (const Value& v : refused) {
        CAPTURE(v.description());
        CHECK_FALSE(PropertyList::isPropertyList(v));
        CHECK_THROWS_AS(PropertyList::write(v, PropertyListFormat::binary), ErrorException);
    }
}

TEST_CASE("damaged or hostile property lists give an error, never a crash") {
    std::string header = "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\">";
    std::string deepXML = header;
    for (int i = 0; i < 100'000; ++i) deepXML += "<array>";
    for (int i = 0; i < 100'000; ++i) deepXML += "</array>";
    deepXML += "</plist>";

    // Binary: an array refers to itself; arrays that each refer to the next twice, so that copying shared
    // objects would build 2^40 nodes; a chain of 300 met first near the top and again at the end of another
    // chain of 300 (each place is within the limit on its own, the second is not). A chain of 250 is fine.
    Data cyclic = binaryPlist({arrayOf({0})});
    std::vector<Data> chain;
    for (int i = 0; i < 250; ++i) chain.push_back(i < 249 ? arrayOf({i + 1}) : arrayOf({}));
    std::vector<Data> doubling;
    for (int i = 0; i < 40; ++i) doubling.push_back(i < 39 ? arrayOf({i + 1, i + 1}) : arrayOf({}));
    std::vector<Data> sharedDeep{arrayOf({1, 301})};
    for (int i = 1; i <= 300; ++i) sharedDeep.push_back(i < 300 ? arrayOf({i + 1}) : arrayOf({}));
    for (int i = 301; i <= 600; ++i) sharedDeep.push_back(i < 600 ? arrayOf({i + 1}) : arrayOf({1}));

    struct Case {
        std::string name;
        Data bytes;
    };
    const Case cases[] = {
        {"empty", {}},
        {"plain text", toData("hello")},
        {"truncated XML", toData(header + "<dict><key>a</key><string>x</string>")},
        {"XML that is not UTF-8", toData(header + "<string>\xff\xfe</string></plist>")},
        // libplist alone would read these leniently: as 0, with the key dropped, wrapped to -1, as bytes...
        {"integer that is no number", toData(header + "<integer>abc</integer></plist>")},
        {"integer beyond 64 bits", toData(header + "<integer>18446744073709551615</integer></plist>")},
        {"key without its value",
         toData(header + "<dict><key>a</key><key>b</key><string>v</string></dict></plist>")},
        {"dictionary ending on a key", toData(header + "<dict><key>a</key></dict></plist>")},
        {"value without its key", toData(header + "<dict><string>v</string></dict></plist>")},
        {"date that is no date", toData(header + "<date>yesterday</date></plist>")},
        {"data that is no base64", toData(header + "<data>!!!</data></plist>")},
        {"unknown element", toData(header + "<set><string>v</string></set></plist>")},
        {"mismatched tags", toData(header + "<array><string>v</array></string></plist>")},
        {"binary header only", toData("bplist00")},
        {"binary garbage", toData("bplist00 this is not a property list at all, really not")},
        {"deep XML", toData(deepXML)},
        {"self-referencing binary", cyclic},
        {"doubling binary", binaryPlist(doubling)},
        {"binary nested too deeply through a shared object", binaryPlist(sharedDeep)},
        // libplist itself would abort on this key: {"a\0": "v"} with the key in UTF-16.
        {"binary key holding a NUL",
         binaryPlist({Data{0xD1, 0, 1, 0, 2}, Data{0x62, 0, 'a', 0, 0}, Data{0x51, 'v'}})},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        try {
            PropertyList::read(c.bytes);
            FAIL("read succeeded");
        } catch (const ErrorException& e) {
            CHECK(isCorruptError(e));
        }
    }
    // Nesting within the limit still reads.
    CHECK(PropertyList::read(binaryPlist(chain)).array());
}

TEST_CASE("every truncation and single-byte change of a binary plist is handled") {
    Data good = PropertyList::write(sample(at(1'700'000'000)), PropertyListFormat::binary);
    for (std::size_t n = 0; n < good.size(); ++n) {
        CHECK_THROWS_AS(PropertyList::read(std::span(good.data(), n)), ErrorException);
    }
    for (std::size_t i = 8; i < good.size(); ++i) {
        for (int v : {0x00, 0x0F, 0x5F, 0xAF, 0xDF, 0xFF}) {
            Data bad = good;
            bad[i] = static_cast<std::uint8_t>(v);
            try {
                PropertyList::read(bad);  // some changes still make a valid plist
            } catch (const ErrorException& e) {
                CHECK(isCorruptError(e));
            }
        }
    }
}

TEST_CASE("XML as other writers make it reads: comments, a doctype, spacing, hex and signed numbers") {
    std::string text = R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0">
<!-- a comment with <dict> inside -->
<dict>
    <key>hex</key> <integer>0x10</integer>
    <key>plus</key> <integer> +5 </integer>
    <key>empty</key> <string/>
    <key>flag</key> <true/>
    <key>list</key> <array/>
    <key>real</key> <real>1e3</real>
    <key>when</key> <date>2020-01-02T03:04:05Z</date>
    <key>bytes</key> <data>
        AAEC
    </data>
</dict>
</plist>)";
    Value v = PropertyList::read(toData(text));
    CHECK(v == Value(Dictionary{{"hex", 16},
                                {"plus", 5},
                                {"empty", ""},
                                {"flag", true},
                                {"list", Array{}},
                                {"real", 1000.0},
                                {"when", at(1'577'934'245)},
                                {"bytes", Data{0, 1, 2}}}));
}

TEST_CASE("a keyed-archive UID reads as its CF$UID dictionary") {
    Data uid = binaryPlist({Data{0x80, 0x07}});
    CHECK(PropertyList::read(uid) == Value(Dictionary{{"CF$UID", 7}}));
}

TEST_CASE("reading a missing file reports the file error") {
    brisko::platform::testing::TemporaryDirectory dir;
    try {
        PropertyList::readFile(dir / "missing.plist");
        FAIL("read succeeded");
    } catch (const ErrorException& e) {
        CHECK(e.error().domain() == kCocoaErrorDomain);
        CHECK(e.error().code() == 260);
    }
}
