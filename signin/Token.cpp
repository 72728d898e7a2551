// Token equality and archiving.
#include "signin/Token.hpp"

#include <functional>

namespace brisko::signin {

namespace {
constexpr std::string_view kTokenStringKey = "tokenString";
constexpr std::string_view kExpirationDateKey = "expirationDate";
}  // namespace

bool Token::isTheSameDate(const std::optional<platform::Date>& a, const std::optional<platform::Date>& b) {
    if (!a && !b) return true;
    return a && b && *a == *b;
}

bool Token::isEqualToToken(const Token& other) const {
    return tokenString_ == other.tokenString_ && isTheSameDate(expirationDate_, other.expirationDate_);
}

std::size_t Token::hash() const {
    std::size_t h = std::hash<std::string>{}(tokenString_);
    if (expirationDate_) h ^= std::hash<std::int64_t>{}(expirationDate_->time_since_epoch().count());
    return h;
}

void Token::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeObject(platform::Value(tokenString_), kTokenStringKey);
    if (expirationDate_) coder.encodeObject(platform::Value(*expirationDate_), kExpirationDateKey);
}

std::shared_ptr<Token> Token::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto text = coder.decodeObjectOfClass<std::string>(kTokenStringKey);
    if (!text) return nullptr;
    return std::make_shared<Token>(std::move(*text), coder.decodeObjectOfClass<platform::Date>(kExpirationDateKey));
}

bool sameToken(const std::shared_ptr<Token>& a, const std::shared_ptr<Token>& b) {
    if (!a || !b) return !a && !b;
    return a->isEqualToToken(*b);
}

}  // namespace brisko::signin
