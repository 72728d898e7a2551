// The activity records' JSON: exact bytes on the wire, decoding rules, and the upload's day text.
#include <doctest/doctest.h>

#include <nlohmann/json.hpp>

#include "app/recording/ActivityEntry.hpp"
#include "app/recording/ActivityPayload.hpp"
#include "app/account/AuthService.hpp"
#include "platform/base/Clock.hpp"
#include "platform/base/Error.hpp"

using brisko::app::ActivityEntry;
using brisko::app::ActivityPayload;

TEST_CASE(
    "an entry encodes its keys in order, leaves out a missing title and escapes as the service expects") {
    ActivityEntry withTitle{"2025-03-09T14:05:30Z", "Firefox", 0, false, "a/b \"q\" \\ \n\t\x01 日本語"};
    CHECK(
        withTitle.toJSON() ==
        "{\"timestamp\":\"2025-03-09T14:05:30Z\",\"appName\":\"Firefox\",\"idleSeconds\":0,\"isAwake\":false,"
        "\"windowTitle\":\"a\\/b \\\"q\\\" \\\\ \\n\\t\\u0001 日本語\"}");

    ActivityEntry noTitle{"2025-03-09T14:05:30Z", "Terminal", 9223372036854775807, true, std::nullopt};
    const auto json = noTitle.toJSON();
    CHECK(json ==
          "{\"timestamp\":\"2025-03-09T14:05:30Z\",\"appName\":\"Terminal\",\"idleSeconds\":"
          "9223372036854775807,"
          "\"isAwake\":true}");
    CHECK(nlohmann::json::parse(json).size() == 4);

    // A blank title is sent as read; ill-formed bytes never break the body.
    CHECK(ActivityEntry{"t", "A", 1, true, "   "}.toJSON().find("\"windowTitle\":\"   \"") !=
          std::string::npos);
    CHECK(ActivityEntry{"t",
                        "\xff"
                        "A",
                        1, true, std::nullopt}
              .toJSON()
              .find("\"appName\":\"\xEF\xBF\xBD"
                    "A\"") != std::string::npos);
}

TEST_CASE("a payload is the day and the chunk, compact, in that order") {
    std::vector<ActivityEntry> entries{{"2025-03-09T14:05:30Z", "A", 1, true, std::nullopt},
                                       {"2025-03-09T14:06:00Z", "B", 2, true, "W"}};
    ActivityPayload payload{"2025-03-09", entries};
    CHECK(payload.toJSON() ==
          "{\"date\":\"2025-03-09\",\"entries\":[{\"timestamp\":\"2025-03-09T14:05:30Z\",\"appName\":\"A\","
          "\"idleSeconds\":1,\"isAwake\":true},{\"timestamp\":\"2025-03-09T14:06:00Z\",\"appName\":\"B\","
          "\"idleSeconds\":2,\"isAwake\":true,\"windowTitle\":\"W\"}]}");
    CHECK(ActivityPayload{"2025-03-09", {}}.toJSON() == "{\"date\":\"2025-03-09\",\"entries\":[]}");
}

TEST_CASE("decoding requires the four fields, accepts a null or missing title and ignores other keys") {
    auto decode = [](const char* text) { return ActivityEntry::fromJSON(nlohmann::json::parse(text)); };
    auto a =
        decode(R"({"timestamp":"t","appName":"A","idleSeconds":3,"isAwake":true,"windowTitle":null,"x":1})");
    auto b = decode(R"({"timestamp":"t","appName":"A","idleSeconds":3,"isAwake":true})");
    CHECK(a == b);
    CHECK_FALSE(a.windowTitle.has_value());
    CHECK(decode(R"({"timestamp":"t","appName":"A","idleSeconds":3,"isAwake":false,"windowTitle":"W"})")
              .windowTitle == "W");

    struct Case {
        const char* json;
        std::int64_t code;
    };
    for (auto c :
         {Case{R"({"appName":"A","idleSeconds":3,"isAwake":true})", 4865},
          Case{R"({"timestamp":"t","appName":"A","isAwake":true})", 4865},
          Case{R"({"timestamp":"t","appName":"A","idleSeconds":"3","isAwake":true})", 4864},
          Case{R"({"timestamp":"t","appName":"A","idleSeconds":3.5,"isAwake":true})", 4864},
          Case{R"({"timestamp":"t","appName":"A","idleSeconds":3,"isAwake":"yes"})", 4864},
          Case{R"({"timestamp":"t","appName":"A","idleSeconds":3,"isAwake":true,"windowTitle":5})", 4864}}) {
        CAPTURE(c.json);
        try {
            decode(c.json);
            FAIL("decoding should fail");
        } catch (const brisko::platform::ErrorException& e) {
            CHECK(e.error().domain() == "NSCocoaErrorDomain");
            CHECK(e.error().code() == c.code);
        }
    }
}

TEST_CASE("entries are equal only when all five fields are") {
    ActivityEntry a{"t", "A", 1, true, std::nullopt};
    ActivityEntry b = a;
    CHECK(a == b);
    b.windowTitle = "";
    CHECK(a != b);
}

TEST_CASE("the pairing body carries the trimmed computer name, or Mac") {
    using brisko::app::AuthService;
    CHECK(AuthService::pairingBody("  Studio  \n") == "{\"deviceName\":\"Studio\"}");
    CHECK(AuthService::pairingBody("   ") == "{\"deviceName\":\"Mac\"}");
    CHECK(AuthService::pairingBody("") == "{\"deviceName\":\"Mac\"}");
    CHECK(AuthService::pairingBody("\xE3\x80\x80") == "{\"deviceName\":\"Mac\"}");  // U+3000 only
}
