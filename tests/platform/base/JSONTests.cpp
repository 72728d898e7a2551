// The bounded JSON reader: nesting up to the bound is read, past it refused, in both forms, never by recursion.
#include <doctest/doctest.h>

#include <pthread.h>

#include <string>

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
