// One token of the signed-in Ezevar user: its text and, when known, when it expires.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Value.hpp"
#include "platform/storage/KeyedArchiver.hpp"
#include "platform/storage/KeyedUnarchiver.hpp"

namespace brisko::signin {

class Token {
public:
    static constexpr std::string_view kArchiveClassName = "EIDToken";

    Token(std::string tokenString, std::optional<platform::Date> expirationDate)
        : tokenString_(std::move(tokenString)), expirationDate_(expirationDate) {}

    const std::string& tokenString() const { return tokenString_; }
    const std::optional<platform::Date>& expirationDate() const { return expirationDate_; }

    // Same text and the same expiry (two missing dates are the same).
    bool isEqualToToken(const Token& other) const;
    static bool isTheSameDate(const std::optional<platform::Date>& a, const std::optional<platform::Date>& b);
    bool operator==(const Token& other) const { return isEqualToToken(other); }
    std::size_t hash() const;

    void encodeWithCoder(platform::KeyedArchiver& coder) const;
    static std::shared_ptr<Token> initWithCoder(platform::KeyedUnarchiver& coder);

private:
    std::string tokenString_;
    std::optional<platform::Date> expirationDate_;
};

// Null-safe equality of two shared tokens: both missing, or both present and equal.
bool sameToken(const std::shared_ptr<Token>& a, const std::shared_ptr<Token>& b);

}  // namespace brisko::signin
