// Keyed archives: round trips of nested objects, secure-coding refusals and damaged archives.
#include <doctest/doctest.h>

#include "platform/storage/KeyedArchiveFormat.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"
#include "platform/storage/PropertyList.hpp"

using namespace brisko::platform;
using namespace std::chrono;

namespace {

// A record with every kind of field, a nested object and a dictionary of objects.
struct Profile {
    static constexpr std::string_view kArchiveClassName = "TestProfile";
    std::string name;
    std::int64_t age = 0;
    bool verified = false;
    double score = 0;
    std::optional<Data> photo;
    std::optional<Date> created;
    Array tags;
    std::shared_ptr<Profile> partner;
    std::map<std::string, std::shared_ptr<Profile>> friends;

    void encodeWithCoder(KeyedArchiver& coder) const {
        coder.encodeObject(name, "name");
        coder.encodeInteger(age, "age");
        coder.encodeBool(verified, "verified");
        coder.encodeDouble(score, "score");
        if (photo) coder.encodeObject(*photo, "photo");
        if (created) coder.encodeObject(*created, "created");
        coder.encodeObject(tags, "tags");
        coder.encodeObject(partner, "partner");
        Dictionary byName;
        for (const auto& [k, f] : friends) byName.emplace(k, Value::object(f));
        coder.encodeObject(byName, "$friends");  // a key that starts like the archive's own
    }

    static std::shared_ptr<Profile> initWithCoder(KeyedUnarchiver& coder) {
        auto p = std::make_shared<Profile>();
        auto name = coder.decodeObjectOfClass<std::string>("name");
        if (!name) return nullptr;  // required
        p->name = *name;
        p->age = coder.decodeInteger("age");
        p->verified = coder.decodeBool("verified");
        p->score = coder.decodeDouble("score");
        p->photo = coder.decodeObjectOfClass<Data>("photo");
        p->created = coder.decodeObjectOfClass<Date>("created");
        // Secure coding checks every element, so the list names the elements' classes too.
        Value tags = coder.decodeObjectOfClasses(
            archiveClasses<Array, std::string, ArchiveNumber, Dictionary, Date>(), "tags");
        if (auto* list = tags.array()) p->tags = *list;
        p->partner = coder.decodeObjectOfClass<Profile>("partner");
        Value friends = coder.decodeObjectOfClasses(archiveClasses<Dictionary, Profile>(), "$friends");
        if (auto* d = friends.dictionary()) {
            for (const auto& [k, v] : *d) p->friends[k] = v.object<Profile>();
        }
        return p;
    }
};

// A class that opts out of secure coding.
struct Insecure {
    static constexpr std::string_view kArchiveClassName = "TestInsecure";
    static constexpr bool kSupportsSecureCoding = false;
    void encodeWithCoder(KeyedArchiver& coder) const { coder.encodeInteger(1, "x"); }
    static std::shared_ptr<Insecure> initWithCoder(KeyedUnarchiver&) { return std::make_shared<Insecure>(); }
};

struct NeverRegistered {};

bool isReadCorrupt(const ErrorException& e) {
    return e.error().domain() == kCocoaErrorDomain && e.error().code() == kCoderReadCorruptError;
}

Data archiveOf(const Value& top) {
    return PropertyList::write(
        Dictionary{{"$archiver", "BriskoKeyedArchiver"}, {"$version", 1}, {"$top", top}},
        PropertyListFormat::binary);
}

}  // namespace

TEST_CASE("nested objects, collections and scalars survive a round trip") {
    auto friendProfile = std::make_shared<Profile>();
    friendProfile->name = "Bo";
    auto partner = std::make_shared<Profile>();
    partner->name = "Ann";
    partner->verified = true;
    Profile root;
    root.name = "Kai";
    root.age = -42;
    root.score = 2.5;
    root.photo = Data{0, 1, 2};
    root.created = Date(seconds(1'700'000'000)) + microseconds(250);
    root.tags = Array{"a", 1, true, Dictionary{{"k", Date(seconds(0))}}};
    root.partner = partner;
    root.friends = {{"bo", friendProfile}};

    Data bytes = KeyedArchiver::archivedDataWithRootObject(std::make_shared<Profile>(root), true);
    auto back = KeyedUnarchiver::unarchivedObjectOfClass<Profile>(bytes);
    REQUIRE(back);
    CHECK(back->name == "Kai");
    CHECK(back->age == -42);
    CHECK(back->score == 2.5);
    CHECK_FALSE(back->verified);
    CHECK(back->photo == Data{0, 1, 2});
    CHECK(back->created == root.created);
    CHECK(back->tags == root.tags);
    REQUIRE(back->partner);
    CHECK(back->partner->name == "Ann");
    CHECK(back->partner->verified);
    REQUIRE(back->friends.count("bo"));
    CHECK(back->friends["bo"]->name == "Bo");
}

TEST_CASE("an object archived under another class name reads back as the class named for it") {
    KeyedArchiver archiver(true);
    archiver.setClassName<Profile>("LegacyAuthorization");
    auto p = std::make_shared<Profile>();
    p->name = "legacy";
    archiver.encodeObject(p, kKeyedArchiveRootObjectKey);
    Data bytes = archiver.encodedData();

    KeyedUnarchiver plain(bytes);
    CHECK(plain.classNameForKey(kKeyedArchiveRootObjectKey) == "LegacyAuthorization");
    CHECK_FALSE(plain.decodeObjectOfClass<Profile>(kKeyedArchiveRootObjectKey));
    CHECK(plain.error());  // an unknown class under secure coding

    KeyedUnarchiver mapped(bytes);
    mapped.setClass<Profile>("LegacyAuthorization");
    auto back = mapped.decodeObjectOfClass<Profile>(kKeyedArchiveRootObjectKey);
    REQUIRE(back);
    CHECK(back->name == "legacy");
    CHECK_FALSE(mapped.error());
}

TEST_CASE("classes outside the allowed list are refused, also inside collections") {
    auto p = std::make_shared<Profile>();
    p->name = "x";
    Data profile = KeyedArchiver::archivedDataWithRootObject(p, true);
    try {
        KeyedUnarchiver::unarchivedObjectOfClass<std::string>(profile);
        FAIL("a profile decoded as text");
    } catch (const ErrorException& e) {
        CHECK(isReadCorrupt(e));
        CHECK(
            e.error().userInfoValue("NSDebugDescription")->string()->find("unexpected class 'TestProfile'") !=
            std::string::npos);
    }

    Data list = KeyedArchiver::archivedDataWithRootObject(Value(Array{"ok", Value::object(p)}), true);
    CHECK_THROWS_AS(KeyedUnarchiver::unarchivedObjectOfClasses(archiveClasses<Array, std::string>(), list),
                    ErrorException);
    Value allowed =
        KeyedUnarchiver::unarchivedObjectOfClasses(archiveClasses<Array, std::string, Profile>(), list);
    REQUIRE(allowed.array());
    CHECK(allowed.array()->at(1).object<Profile>()->name == "x");

    // After a refusal the coder answers nothing more.
    KeyedUnarchiver coder(list);
    CHECK(coder.decodeObjectOfClass<std::string>(kKeyedArchiveRootObjectKey) == std::nullopt);
    CHECK(coder.error());
    CHECK(
        coder.decodeObjectOfClasses(archiveClasses<Array, std::string, Profile>(), kKeyedArchiveRootObjectKey)
            .isNull());
}

TEST_CASE("secure coding refuses classes that do not support it, both ways") {
    auto object = std::make_shared<Insecure>();
    CHECK_THROWS_AS(KeyedArchiver::archivedDataWithRootObject(object, true), ErrorException);
    Data bytes = KeyedArchiver::archivedDataWithRootObject(object, false);
    CHECK_THROWS_AS(KeyedUnarchiver::unarchivedObjectOfClass<Insecure>(bytes), ErrorException);

    KeyedUnarchiver relaxed(bytes);
    relaxed.setRequiresSecureCoding(false);
    CHECK(relaxed.decodeObject(kKeyedArchiveRootObjectKey).object<Insecure>());

    KeyedUnarchiver strict(bytes);
    CHECK(
        strict.decodeObject(kKeyedArchiveRootObjectKey).isNull());  // any-class decoding needs relaxed coding
    CHECK(strict.error());
}

TEST_CASE("an object of an unregistered class cannot be archived") {
    Value unknown = Value::object(std::make_shared<NeverRegistered>());
    KeyedArchiver archiver;
    archiver.encodeObject(unknown, "root");
    REQUIRE(archiver.error());
    CHECK(archiver.error()->code() == kCoderInvalidValueError);
    CHECK_THROWS_AS(archiver.encodedData(), ErrorException);
}

TEST_CASE("missing keys read as nothing, false and zero; a required field missing gives no object") {
    KeyedArchiver archiver;
    archiver.encodeObject("only", "text");
    KeyedUnarchiver coder(archiver.encodedData());
    CHECK_FALSE(coder.containsValueForKey("missing"));
    CHECK(coder.decodeObjectOfClass<std::string>("missing") == std::nullopt);
    CHECK_FALSE(coder.decodeBool("missing"));
    CHECK(coder.decodeInteger("missing") == 0);
    CHECK(coder.decodeDouble("text") == 0);
    CHECK_FALSE(coder.error());

    // A profile without its name decodes to no object, without an error.
    Data nameless = archiveOf(Dictionary{{"root", Dictionary{{"$class", "TestProfile"}, {"age", 3}}}});
    archiveClassName<Profile>();
    CHECK(KeyedUnarchiver::unarchivedObjectOfClass<Profile>(nameless) == nullptr);
}

TEST_CASE("damaged archives give an error, never a crash") {
    archiveClassName<Profile>();
    Value deep = Dictionary{{"$class", "TestProfile"}, {"name", "leaf"}};
    for (int i = 0; i < 300; ++i)
        deep = Dictionary{{"$class", "TestProfile"}, {"name", "n"}, {"partner", deep}};

    struct Case {
        std::string name;
        Data bytes;
    };
    const Case cases[] = {
        {"empty", {}},
        {"not a property list", toData("garbage")},
        {"a property list that is no archive", PropertyList::write(Array{1, 2}, PropertyListFormat::binary)},
        {"another archiver",
         PropertyList::write(
             Dictionary{{"$archiver", "NSKeyedArchiver"}, {"$version", 1}, {"$top", Dictionary{}}},
             PropertyListFormat::binary)},
        {"unknown version",
         PropertyList::write(
             Dictionary{{"$archiver", "BriskoKeyedArchiver"}, {"$version", 99}, {"$top", Dictionary{}}},
             PropertyListFormat::binary)},
        {"top level not a dictionary", archiveOf(Array{})},
        {"class name not text", archiveOf(Dictionary{{"root", Dictionary{{"$class", 5}}}})},
        {"unknown class", archiveOf(Dictionary{{"root", Dictionary{{"$class", "Nope"}}}})},
        {"array without objects", archiveOf(Dictionary{{"root", Dictionary{{"$class", "NSArray"}}}})},
        {"array holding raw nesting",
         archiveOf(
             Dictionary{{"root", Dictionary{{"$class", "NSArray"}, {"NS.objects", Array{Value(Array{})}}}}})},
        {"date with text time",
         archiveOf(Dictionary{{"root", Dictionary{{"$class", "NSDate"}, {"NS.nanoseconds", "soon"}}}})},
        {"date as a huge real",
         archiveOf(Dictionary{{"root", Dictionary{{"$class", "NSDate"}, {"NS.nanoseconds", 1e300}}}})},
        {"text in a dictionary's clothes",
         archiveOf(Dictionary{{"root", Dictionary{{"$class", "NSString"}}}})},
        {"nested field of the wrong class",
         archiveOf(Dictionary{{"root", Dictionary{{"$class", "TestProfile"}, {"name", 5}}}})},
        {"objects nested too deeply", archiveOf(Dictionary{{"root", deep}})},
    };
    for (const auto& c : cases) {
        CAPTURE(c.name);
        try {
            KeyedUnarchiver::unarchivedObjectOfClasses(
                archiveClasses<Profile, std::string, Array, Dictionary, Date, ArchiveNumber>(), c.bytes);
            FAIL("decoded");
        } catch (const ErrorException& e) {
            CHECK(isReadCorrupt(e));
        }
    }

    // Every truncation of a real archive is refused.
    auto p = std::make_shared<Profile>();
    p->name = "whole";
    p->tags = Array{"x", Data{1, 2, 3}};
    Data good = KeyedArchiver::archivedDataWithRootObject(p, true);
    for (std::size_t n = 0; n < good.size(); ++n) {
        CHECK_THROWS_AS(KeyedUnarchiver::unarchivedObjectOfClass<Profile>(std::span(good.data(), n)),
                        ErrorException);
    }
}
