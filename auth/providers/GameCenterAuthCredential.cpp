// The Game Center credential's archive.
#include "auth/providers/GameCenterAuthCredential.hpp"

#include "auth/providers/ArchiveCoding.hpp"
#include "auth/providers/AuthProviderID.hpp"

namespace brisko::auth {

void ArchivedURL::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coder.encodeObject(platform::Value(url.absoluteString()), kRelativeKey);
}

std::shared_ptr<ArchivedURL> ArchivedURL::initWithCoder(platform::KeyedUnarchiver& coder) {
    auto text = coding::decodeText(coder, kRelativeKey);
    if (!text) return nullptr;
    auto url = platform::URL::parse(*text);
    return url ? std::make_shared<ArchivedURL>(ArchivedURL{std::move(*url)}) : nullptr;
}

GameCenterAuthCredential::GameCenterAuthCredential(Fields fields)
    : AuthCredential(std::string(kGameCenterProviderID)), fields_(std::move(fields)) {}

void GameCenterAuthCredential::encodeWithCoder(platform::KeyedArchiver& coder) const {
    coding::encodeText(coder, fields_.playerID, kPlayerIDKey);
    coding::encodeText(coder, fields_.teamPlayerID, kTeamPlayerIDKey);
    coding::encodeText(coder, fields_.gamePlayerID, kGamePlayerIDKey);
    if (fields_.publicKeyURL)
        coder.encodeObject(std::make_shared<ArchivedURL>(ArchivedURL{*fields_.publicKeyURL}), kPublicKeyURLKey);
    if (fields_.signature) coder.encodeObject(platform::Value(*fields_.signature), kSignatureKey);
    if (fields_.salt) coder.encodeObject(platform::Value(*fields_.salt), kSaltKey);
    if (fields_.timestamp) coder.encodeInteger(static_cast<std::int64_t>(*fields_.timestamp), kTimestampKey);
    coding::encodeText(coder, fields_.displayName, kDisplayNameKey);
}

std::shared_ptr<GameCenterAuthCredential> GameCenterAuthCredential::initWithCoder(platform::KeyedUnarchiver& coder) {
    Fields fields;
    fields.playerID = coding::decodeText(coder, kPlayerIDKey);
    fields.teamPlayerID = coding::decodeText(coder, kTeamPlayerIDKey);
    fields.gamePlayerID = coding::decodeText(coder, kGamePlayerIDKey);
    fields.displayName = coding::decodeText(coder, kDisplayNameKey);
    if (auto archived = coding::decodeIf<ArchivedURL>(coder, kPublicKeyURLKey)) fields.publicKeyURL = archived->url;
    fields.signature = coding::decodeIf<platform::Data>(coder, kSignatureKey);
    fields.salt = coding::decodeIf<platform::Data>(coder, kSaltKey);
    if (auto number = coding::decodeIf<platform::ArchiveNumber>(coder, kTimestampKey)) {
        // Stored as a 64-bit integer: the cast gives back the unsigned value that was written.
        if (auto value = number->integer()) {
            fields.timestamp = static_cast<std::uint64_t>(*value);
        } else if (auto real = number->number(); real && *real >= 0) {
            fields.timestamp = static_cast<std::uint64_t>(*real);
        }
    }
    return std::make_shared<GameCenterAuthCredential>(std::move(fields));
}

}  // namespace brisko::auth
