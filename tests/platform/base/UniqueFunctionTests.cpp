// The move-only callable: every callable is destroyed exactly once, whether kept inline or on the heap,
// and its state moves with it.
#include <doctest/doctest.h>

#include <array>
#include <memory>
#include <string>
#include <vector>

#include "platform/base/UniqueFunction.hpp"

using namespace brisko::platform;

namespace {
// Counts its live copies through a shared counter; `Padding` makes it larger than the inline buffer.
template <std::size_t Padding> struct Counted {
    explicit Counted(std::shared_ptr<int> live) : live(std::move(live)) { ++*this->live; }
    Counted(Counted&& other) noexcept : live(other.live), padding(other.padding) { ++*live; }
    Counted(const Counted&) = delete;
    ~Counted() { --*live; }
    int operator()(int x) { return x + static_cast<int>(padding.size()); }
    std::shared_ptr<int> live;
    std::array<char, Padding> padding{};
};
}  // namespace

TEST_CASE_TEMPLATE("a callable lives exactly as long as the function that holds it, through moves", Callable,
                   Counted<1>, Counted<256>) {
    auto live = std::make_shared<int>(0);
    {
        UniqueFunction<int(int)> f{Callable(live)};
        CHECK(*live == 1);
        UniqueFunction<int(int)> g = std::move(f);
        CHECK_FALSE(f);
        REQUIRE(g);
        CHECK(*live == 1);
        CHECK(g(1) == 1 + static_cast<int>(sizeof(Callable::padding)));

        std::vector<UniqueFunction<int(int)>> many;
        for (int i = 0; i < 100; ++i) many.emplace_back(Callable(live));  // reallocation moves them
        CHECK(*live == 101);
        many.erase(many.begin(), many.begin() + 50);
        CHECK(*live == 51);

        UniqueFunction<int(int)> h{Callable(live)};
        h = std::move(g);  // the callable h held ends, g's moves in
        CHECK(*live == 51);
        h = nullptr;
        CHECK_FALSE(h);
        CHECK(*live == 50);
    }
    CHECK(*live == 0);
}

TEST_CASE("move-only state and results pass through, inline and on the heap") {
    auto owned = std::make_unique<std::string>("payload");
    UniqueFunction<std::string()> small([p = std::move(owned)] { return *p; });
    std::array<std::string, 8> big{"a", "b", "c", "d", "e", "f", "g", "h"};
    UniqueFunction<std::string(std::string &&)> large([big](std::string&& tail) mutable {
        std::string all;
        for (auto& s : big) all += s;
        return all + std::move(tail);
    });
    auto movedSmall = std::move(small);
    auto movedLarge = std::move(large);
    CHECK(movedSmall() == "payload");
    CHECK(movedLarge("!") == "abcdefgh!");
}

TEST_CASE("a callable that releases the last reference to its holder's owner is ended once") {
    // The function is destroyed while its callable drops the object that contains the function.
    struct Holder {
        UniqueFunction<void()> f;
    };
    auto live = std::make_shared<int>(0);
    auto holder = std::make_shared<Holder>();
    holder->f = [keep = holder, c = Counted<1>(live)]() mutable {};
    CHECK(*live == 1);
    std::weak_ptr<Holder> weak = holder;
    Holder* raw = holder.get();
    holder.reset();  // the only reference left is the callable's own
    REQUIRE_FALSE(weak.expired());
    raw->f = nullptr;  // ends the callable, which ends the holder and with it the function being cleared
    CHECK(weak.expired());
    CHECK(*live == 0);
}
