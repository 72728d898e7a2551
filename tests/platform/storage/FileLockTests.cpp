// The exclusive lock file: one holder at a time, released with its holder, never through a link.
#include <doctest/doctest.h>

#include <sys/stat.h>

#include <filesystem>

#include "platform/storage/FileLock.hpp"
#include "tests/platform/storage/StorageFixtures.hpp"

using namespace brisko::platform;

TEST_CASE("one holder at a time, released when the holder goes, with the holder's note") {
    testing::TemporaryDirectory dir;
    const auto path = dir.path() / "owner.lock";
    auto first = FileLock::tryLock(path);
    REQUIRE(first);
    CHECK_FALSE(FileLock::tryLock(path));  // another open of the file, as another process would make
    CHECK(first->writeNote("/run/user/1000/one.sock"));
    CHECK(first->writeNote("/tmp/two.sock"));
    CHECK(FileLock::readNote(path) == "/tmp/two.sock");
    struct stat st {};
    REQUIRE(::stat(path.c_str(), &st) == 0);
    CHECK((st.st_mode & 0777) == 0600);
    first.reset();
    CHECK(FileLock::tryLock(path));
}

TEST_CASE("a symbolic link planted at the lock's place is never followed") {
    testing::TemporaryDirectory dir;
    const auto path = dir.path() / "owner.lock";
    std::filesystem::create_symlink(dir.path() / "target", path);
    CHECK_FALSE(FileLock::readNote(path));
    for (bool waiting : {false, true}) {
        CAPTURE(waiting);
        auto lock = waiting ? FileLock::lock(path) : FileLock::tryLock(path);
        REQUIRE(lock);
        CHECK_FALSE(std::filesystem::is_symlink(path));
        CHECK_FALSE(std::filesystem::exists(dir.path() / "target"));
        std::filesystem::remove(path);
        std::filesystem::create_symlink(dir.path() / "target", path);
    }
}
