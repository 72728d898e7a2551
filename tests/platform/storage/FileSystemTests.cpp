// Files and folders: atomic writes, the platform's file errors and the XDG folders.
#include <doctest/doctest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>

#include "platform/storage/FileSystem.hpp"
#include "tests/platform/storage/StorageFixtures.hpp"

using namespace brisko::platform;
using namespace brisko::platform::testing;

namespace {

std::int64_t errorCode(const std::function<void()>& f) {
    try {
        f();
    } catch (const ErrorException& e) {
        CHECK(e.error().domain() == kCocoaErrorDomain);
        return e.error().code();
    }
    return 0;
}

}  // namespace

TEST_CASE("an atomic write replaces the file whole, with the mode asked for and no leftovers") {
    TemporaryDirectory dir;
    auto file = dir / "value.bin";
    FileSystem::writeFileAtomically(file, toData("first"));
    CHECK(permissions(file) == 0600);
    FileSystem::writeFileAtomically(file, toData("second, longer"), {.mode = 0644});
    CHECK(toString(FileSystem::readFile(file)) == "second, longer");
    CHECK(permissions(file) == 0644);
    CHECK(FileSystem::fileSize(file) == 14);
    CHECK(FileSystem::contentsOfDirectory(dir.path()) == std::vector<std::string>{"value.bin"});
}

TEST_CASE("a reader never sees a partly written file") {
    TemporaryDirectory dir;
    auto file = dir / "big.bin";
    const Data a(256 * 1024, 'a');
    const Data b(128 * 1024, 'b');
    FileSystem::writeFileAtomically(file, a);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 40; ++i) FileSystem::writeFileAtomically(file, i % 2 ? a : b);
        done = true;
    });
    int reads = 0;
    while (!done) {
        Data seen = FileSystem::readFile(file);
        CHECK((seen == a || seen == b));
        ++reads;
    }
    writer.join();
    CHECK(reads > 0);
}

TEST_CASE("failures carry the platform's file codes, the path and the POSIX cause") {
    TemporaryDirectory dir;
    auto missingFolder = dir / "no" / "such" / "file";
    try {
        FileSystem::writeFileAtomically(missingFolder, toData("x"));
        FAIL("wrote into a missing folder");
    } catch (const ErrorException& e) {
        CHECK(e.error().code() == 4);
        CHECK(*e.error().userInfoValue("NSFilePath")->string() == missingFolder.string());
        auto cause = e.error().underlyingError();
        REQUIRE(cause);
        CHECK(cause->domain() == kPOSIXErrorDomain);
        CHECK(cause->code() == ENOENT);
    }
    CHECK(errorCode([&] { FileSystem::readFile(dir / "missing"); }) == 260);
    CHECK(errorCode([&] { FileSystem::readFile(dir.path()); }) == 256);
    CHECK(errorCode([&] { FileSystem::removeItem(dir / "missing"); }) == 4);
    CHECK(errorCode([&] { FileSystem::contentsOfDirectory(dir / "missing"); }) == 260);
    CHECK(errorCode([&] { FileSystem::fileSize(dir / "missing"); }) == 260);
    FileSystem::createDirectory(dir / "made", false);
    CHECK(errorCode([&] { FileSystem::createDirectory(dir / "made", false); }) == 516);
    if (::geteuid() != 0) {  // root writes anywhere
        FileSystem::createDirectory(dir / "locked", false, 0500);
        CHECK(errorCode([&] { FileSystem::writeFileAtomically(dir / "locked" / "f", toData("x")); }) == 513);
    }
}

TEST_CASE("folders are created with their parents, listed sorted and removed with their contents") {
    TemporaryDirectory dir;
    auto nested = dir / "a" / "b" / "c";
    FileSystem::createDirectory(nested);
    CHECK(FileSystem::isDirectory(nested));
    CHECK(permissions(dir / "a") == 0700);
    FileSystem::createDirectory(nested);  // already there: fine with intermediates
    FileSystem::writeFileAtomically(dir / "a" / "z", toData("z"));
    FileSystem::writeFileAtomically(dir / "a" / "m", toData("m"), {.createDirectories = true});
    CHECK(FileSystem::contentsOfDirectory(dir / "a") == std::vector<std::string>{"b", "m", "z"});
    FileSystem::removeItem(dir / "a");
    CHECK_FALSE(FileSystem::fileExists(dir / "a"));
}

TEST_CASE("the app folders follow the XDG variables and are private") {
    TemporaryDirectory dir;
    ScopedEnvironment data("XDG_DATA_HOME", (dir / "data").string());
    ScopedEnvironment config("XDG_CONFIG_HOME", (dir / "config").string());
    ScopedEnvironment cache("XDG_CACHE_HOME", "relative/is/ignored");
    ScopedEnvironment home("HOME", (dir / "home").string());

    CHECK(FileSystem::applicationSupportDirectory() == dir / "data" / "brisko-desktop");
    CHECK(permissions(dir / "data" / "brisko-desktop") == 0700);
    CHECK(FileSystem::configDirectory() == dir / "config" / "brisko-desktop");
    CHECK(FileSystem::cacheDirectory() == dir / "home" / ".cache" / "brisko-desktop");
    CHECK(FileSystem::isDirectory(dir / "home" / ".cache" / "brisko-desktop"));
}

TEST_CASE("an app folder that already exists open to others is made private again") {
    TemporaryDirectory dir;
    ScopedEnvironment data("XDG_DATA_HOME", (dir / "data").string());
    FileSystem::createDirectory(dir / "data" / "brisko-desktop", true, 0700);
    REQUIRE(::chmod((dir / "data" / "brisko-desktop").c_str(), 0777) == 0);
    FileSystem::applicationSupportDirectory();
    CHECK(permissions(dir / "data" / "brisko-desktop") == 0700);
}
