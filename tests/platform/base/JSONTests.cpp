// The bounded JSON reader: nesting up to the bound is read, past it refused, in both forms, never by recursion;
// and reading straight into a value, which gives what reading the document and converting it gives.
#include <doctest/doctest.h>

#include <pthread.h>

#include <string>
#include <typeinfo>

#include "platform/base/JSON.hpp"
#include "platform/base/Value.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

using namespace brisko::platform;

namespace {
std::string nested(int depth, std::string_view inner = "") {
    return std::string(depth, '[') + std::string(inner) + std::string(depth, ']');
}
}  // namespace

TEST_CASE("the reader takes documents up to its depth and refuses deeper ones or text that is not JSON") {
    struct Case {
        const char* what;
        std::string text;
        int maxDepth;
        bool read;
    };
    const Case cases[] = {
        {"arrays at the bound", nested(3), 3, true},
        {"arrays one past the bound", nested(4), 3, false},
        {"objects and arrays at the bound", R"({"a":{"b":[1]}})", 3, true},
        {"objects and arrays one past the bound", R"({"a":{"b":[{}]}})", 3, false},
        {"levels closed before the next opens", R"([[[]],[[]],{"a":[]}])", 3, true},
        {"brackets inside strings", R"(["[[[[{{{{", "\"[[[[", "\\"])", 1, true},
        {"a scalar with no levels allowed", "5", 0, true},
        {"an array with no levels allowed", "[]", 0, false},
        {"a hundred thousand levels", nested(100'000), kMaxReplyJSONDepth, false},
        {"an unterminated object", R"({"a":)", 8, false},
        {"a trailing comma", "[1,]", 8, false},
        {"text after the document", "{} x", 8, false},
        {"nothing", "", 8, false},
        {"unbalanced brackets", nested(2) + "]", 8, false},
    };
    for (const auto& c : cases) {
        CAPTURE(c.what);
        const auto document = readJSON(c.text, c.maxDepth);
        CHECK(document.has_value() == c.read);
        if (c.read) {
            CHECK(*document == nlohmann::json::parse(c.text));
            CHECK(parseJSON(c.text, c.maxDepth) == *document);
            const Data bytes = toData(c.text);
            CHECK(readJSON(bytes, c.maxDepth) == document);
        } else {
            CHECK_THROWS_AS(parseJSON(c.text, c.maxDepth), nlohmann::json::parse_error);
            CHECK_THROWS_AS(parseJSON(toData(c.text), c.maxDepth), nlohmann::json::parse_error);
        }
    }
}

namespace {
// What a read throws, as the exception's type and message; empty when it throws nothing.
template <class Read> std::string failure(Read read) {
    try {
        read();
    } catch (const nlohmann::json::exception& e) {
        return std::string(typeid(e).name()) + ": " + e.what();
    }
    return {};
}
}  // namespace

TEST_CASE("reading straight into a value gives the value of the document read and then converted") {
    // Names and texts too long to be kept inline, one after another.
    const std::string longText = std::string(100, 'x');
    const std::string longTexts = R"({")" + longText + R"(1":")" + longText + R"(2",")" + longText + R"(3":[")" +
                                  longText + R"(4",")" + longText + R"("]})";
    struct Case {
        const char* what;
        std::string text;
        int maxDepth = 8;
    };
    const Case cases[] = {
        {"objects and arrays inside one another",
         R"({"z":[1,{"b":[[],{}],"a":[true,false,null]}],"a":{"y":{"x":[-1,"s"]}},"m":[[[2]]]})"},
        {"members out of order, the same member twice, the last of them a container or not",
         R"({"b":1,"a":2,"b":{"k":[1]},"c":{"k":1},"c":"s","d":[],"d":[3],"b":{"l":4}})"},
        {"a member named twice in a nested object", R"({"o":{"k":1,"k":[2],"j":0},"p":[{"k":1,"k":null}]})"},
        {"integers at the edges of the 64-bit ranges",
         "[0,-0,-1,9223372036854775807,9223372036854775808,-9223372036854775808,18446744073709551615]"},
        {"reals", "[2.5,-0.0,0.1,1e-300,1.7976931348623157e308,1E+2,-3e0,5e-324]"},
        {"escapes and text outside ASCII", R"(["\"\\\/\b\f\n\r\t","\u00e9\u4e2d\ud83d\ude00","é中😀","a\u0000b",)"
                                           R"({"\u006b\u00e9y":"\ud83d\ude00","":""}])"},
        {"long texts one after another, as members' names and values", longTexts},
        {"empty containers", R"([{},[],[[]],{"a":{}},{"a":[]}])"},
        {"an empty object", "{}"},
        {"an empty array", " [ ] "},
        {"an integer alone", "5"},
        {"an unsigned integer past the signed range alone", "18446744073709551615"},
        {"a real alone", "-1.5"},
        {"a text alone", R"("\u00e9")"},
        {"null alone", " null "},
        {"true alone", "true"},
        {"levels at the bound", nested(8, "1")},
        {"levels as deep as values hold, the bound further", nested(Value::kMaxJSONDepth - 1, "{}"), 1'000},
    };
    for (const auto& c : cases) {
        CAPTURE(c.what);
        const Value value = Value::parseJSON(c.text, c.maxDepth);
        CHECK(value == Value::fromJSON(parseJSON(c.text, c.maxDepth)));
        CHECK(Value::parseJSON(toData(c.text), c.maxDepth) == value);
    }

    // Pinned where a builder of its own could easily differ: a member named twice keeps its last value,
    // and unsigned numbers past the signed range are reals.
    const Value twice = Value::parseJSON(cases[1].text, 8);
    CHECK(*twice.find("b") == Value(Dictionary{{"l", 4}}));
    CHECK(*twice.find("c") == Value("s"));
    CHECK(*twice.find("d") == Value(Array{3}));
    const Value edges = Value::parseJSON(cases[3].text, 8);
    CHECK(edges.array()->at(3) == Value(INT64_MAX));
    CHECK(edges.array()->at(4) == Value(9223372036854775808.0));
    CHECK(edges.array()->at(6) == Value(18446744073709551615.0));
}

TEST_CASE("reading straight into a value refuses what reading the document refuses, with the same exception") {
    struct Case {
        const char* what;
        std::string text;
        int maxDepth = 8;
    };
    const Case cases[] = {
        {"arrays one past the bound", nested(9)},
        {"objects one past the bound", R"({"a":{"b":{"c":{}}}})", 3},
        {"a container with no levels allowed", "{}", 0},
        {"a hundred thousand levels", nested(100'000), kMaxReplyJSONDepth},
        {"past the bound and malformed after it", nested(9, "1") + "x"},
        {"past what values hold, the bound further still", nested(Value::kMaxJSONDepth + 1), 1'000},
        {"past what values hold and malformed further on", nested(Value::kMaxJSONDepth + 1) + "]", 1'000},
        {"past what values hold and past the bound", nested(1'001), 1'000},
        {"an unterminated object", R"({"a":)"},
        {"a trailing comma", "[1,]"},
        {"a member without a value", R"({"a"})"},
        {"a name that is not a text", "{1:2}"},
        {"text after the document", "{} x"},
        {"a second document", "1 2"},
        {"nothing", ""},
        {"only spaces", "  "},
        {"unbalanced brackets", "[[]]]"},
        {"a bad literal", "[tru]"},
        {"a real too large for a double", "[1e400]"},
        {"a leading zero", "01"},
        {"a lone surrogate", R"(["\ud800"])"},
        {"a control character in a text", "[\"a\tb\"]"},
        {"bytes that are not UTF-8", "[\"\xff\"]"},
        {"an unterminated text", R"(["abc)"},
    };
    for (const auto& c : cases) {
        CAPTURE(c.what);
        const std::string expected = failure([&] { Value::fromJSON(parseJSON(c.text, c.maxDepth)); });
        REQUIRE_FALSE(expected.empty());
        CHECK(failure([&] { Value::parseJSON(c.text, c.maxDepth); }) == expected);
        CHECK(failure([&] { Value::parseJSON(toData(c.text), c.maxDepth); }) == expected);
    }
}

TEST_CASE("a reply may nest hundreds of levels, and what it holds still converts and stores") {
    // {"access_token":"t","extra":{"k":[{"k":[...]}]}}, objects and arrays by turns, at the bound: what a
    // token reply's ignored member may carry into the authorization state kept in the keychain.
    std::string open, close;
    for (int level = 2; level <= kMaxReplyJSONDepth; ++level) {
        open += level % 2 ? "[" : R"({"k":)";
        close.insert(0, level % 2 ? "]" : "}");
    }
    const std::string atBound = R"({"access_token":"t","extra":)" + open + "1" + close + "}";
    const auto document = readJSON(atBound, kMaxReplyJSONDepth);
    REQUIRE(document);
    CHECK_FALSE(readJSON("[" + atBound + "]", kMaxReplyJSONDepth));

    const Value value = Value::fromJSON(*document);
    const Data archived = KeyedArchiver::archivedDataWithRootObject(value, true);
    CHECK(KeyedUnarchiver::unarchivedObjectOfClasses({"NSDictionary", "NSArray", "NSString", "NSNumber"}, archived) ==
          value);
}

TEST_CASE("reading never recurses per level: a document of 100,000 levels reads on a 512 KiB stack") {
    // Levels past any bound are kept by the parser and the builder on the heap; so is their release.
    bool read = false;
    bool refused = false;
    auto body = [&] {
        read = readJSON(nested(100'000), 200'000).has_value();
        refused = !readJSON(nested(100'000), kMaxReplyJSONDepth);
        try {
            Value::parseJSON(nested(100'000), 200'000);
            refused = false;
        } catch (const nlohmann::json::out_of_range&) {
            // past what values hold: read to its end, then refused
        }
    };
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 512 * 1024);
    pthread_t thread;
    auto run = [](void* arg) -> void* {
        (*static_cast<decltype(body)*>(arg))();
        return nullptr;
    };
    REQUIRE(pthread_create(&thread, &attributes, run, &body) == 0);
    pthread_join(thread, nullptr);
    pthread_attr_destroy(&attributes);
    CHECK(read);
    CHECK(refused);
}
