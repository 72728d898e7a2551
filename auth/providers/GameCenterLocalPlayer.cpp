// The installed local player (none on Linux).
#include "auth/providers/GameCenterLocalPlayer.hpp"

#include <mutex>

namespace brisko::auth {

namespace {

std::mutex& installedMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<GameCenterLocalPlayer>& installed() {
    static std::shared_ptr<GameCenterLocalPlayer> player;
    return player;
}

}  // namespace

std::shared_ptr<GameCenterLocalPlayer> GameCenterLocalPlayer::localPlayer() {
    std::lock_guard lock(installedMutex());
    return installed();
}

void GameCenterLocalPlayer::install(std::shared_ptr<GameCenterLocalPlayer> player) {
    std::lock_guard lock(installedMutex());
    installed() = std::move(player);
}

}  // namespace brisko::auth
