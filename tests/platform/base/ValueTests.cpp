// Dynamic values and errors.
#include <doctest/doctest.h>

#include <limits>

#include <nlohmann/json.hpp>

#include "platform/base/Error.hpp"
#include "platform/base/Value.hpp"

using namespace brisko::platform;

TEST_CASE("typed getters answer nothing for a value of another type") {
    Value s("text"), i(42), b(true), d(2.5);
    CHECK(*s.string() == "text");
    CHECK_FALSE(s.integer());
    CHECK_FALSE(i.string());
    CHECK(*i.integer() == 42);
    CHECK(*i.number() == 42.0);
    CHECK_FALSE(b.integer());
    CHECK(*b.boolean());
    CHECK_FALSE(d.integer());
    CHECK(*d.number() == 2.5);
    CHECK(Value().isNull());
}

TEST_CASE("objects come back only as their own type") {
    auto p = std::make_shared<std::string>("x");
    Value v = Value::object(p);
    CHECK(v.object<std::string>() == p);
    CHECK(v.object<int>() == nullptr);
    CHECK(Value::object(p) == v);
}

namespace {
struct Described {
    std::string description() const { return "described"; }
};
struct Plain {};
}  // namespace

TEST_CASE("objects describe themselves, or by their type name") {
    CHECK(Value::object(std::make_shared<Described>()).description() == "described");
    CHECK(Value::object(std::make_shared<Plain>()).description().find("Plain") != std::string::npos);
}

TEST_CASE("JSON round trip keeps structure and invalid numbers become null") {
    auto j = nlohmann::json::parse(R"({"a":[1,2.5,"x",true,null],"b":{"c":18446744073709551615}})");
    Value v = Value::fromJSON(j);
    CHECK(*v.find("a")->array()->at(0).integer() == 1);
    CHECK(v.find("b")->find("c")->number());
    CHECK(v.toJSON()["a"] == j["a"]);
    CHECK(Value(std::nan("")).toJSON().is_null());
    CHECK(Value(toData("hi")).toJSON() == "aGk=");
}

TEST_CASE("converting a document that is given away moves its contents and gives the same value as copying") {
    const auto document = nlohmann::json::parse(
        R"({"z":"a string longer than any kept inline","a":[{"k":"another long string value here"},[1,-2,3.5]],)"
        R"("m":{"b":18446744073709551615,"a":null,"c":false},"e":{},"f":[]})");
    const Value copied = Value::fromJSON(document);
    auto given = document;
    const Value moved = Value::fromJSON(std::move(given));
    CHECK(moved == copied);
    CHECK(*moved.find("z")->string() == "a string longer than any kept inline");
    CHECK(moved.find("m")->dictionary()->begin()->first == "a");
}

TEST_CASE("a document nested deeper than values hold is refused when converted, not a stack overflow") {
    // Built in code, past any reader's bound: arrays and objects in turn.
    auto build = [](int depth) {
        nlohmann::json document = 1;
        for (int i = 0; i < depth; ++i) {
            nlohmann::json outer = i % 2 ? nlohmann::json::array() : nlohmann::json::object();
            if (outer.is_array()) {
                outer.push_back(std::move(document));
            } else {
                outer["k"] = std::move(document);
            }
            document = std::move(outer);
        }
        return document;
    };
    const Value atBound = Value::fromJSON(build(Value::kMaxJSONDepth));
    const Value* innermost = &atBound;
    for (int i = 0; i < Value::kMaxJSONDepth; ++i) {
        innermost = innermost->array() ? &innermost->array()->at(0) : innermost->find("k");
        REQUIRE(innermost);
    }
    CHECK(innermost->integer() == 1);
    CHECK_THROWS_AS(Value::fromJSON(build(Value::kMaxJSONDepth + 1)), nlohmann::json::out_of_range);
    CHECK_THROWS_AS(Value::fromJSON(build(100'000)), nlohmann::json::out_of_range);
}

TEST_CASE("errors describe themselves and carry their cause") {
    Error cause("Inner", 7);
    Error e("Outer", -1001,
            {{std::string(kLocalizedDescriptionKey), "timed out"}, {std::string(kUnderlyingErrorKey), Value(cause)}});
    CHECK(e.localizedDescription() == "timed out");
    REQUIRE(e.underlyingError());
    CHECK(e.underlyingError()->domain() == "Inner");
    CHECK(Error("D", 3).localizedDescription() == "The operation couldn\u2019t be completed. (D error 3.)");
    CHECK(e.description().find("Error Domain=Outer Code=-1001 \"timed out\"") == 0);
    CHECK(errorFromException(std::make_exception_ptr(ErrorException(cause))) == cause);
}

TEST_CASE("a real converts to an integer only when it is finite and within range") {
    CHECK(Value(std::int64_t{7}).truncatedInteger() == 7);
    CHECK(Value(-3.99).truncatedInteger() == -3);
    CHECK_FALSE(Value(1e19).truncatedInteger());
    CHECK_FALSE(Value(std::numeric_limits<double>::infinity()).truncatedInteger());
    CHECK_FALSE(Value(std::numeric_limits<double>::quiet_NaN()).truncatedInteger());
    CHECK_FALSE(Value("12").truncatedInteger());
}
