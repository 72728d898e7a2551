// The sample buffer: its cap, its order, and the copy on disk that survives a quit or a crash.
#include <doctest/doctest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "app/recording/ActivityBuffer.hpp"
#include "app/recording/ActivityBufferFile.hpp"
#include "platform/base/Log.hpp"
#include "tests/app/AppTestSupport.hpp"

using namespace brisko::app;
using brisko::app::test::TempDir;

namespace {
ActivityEntry sample(int i) {
    return ActivityEntry{"2025-03-09T00:00:" + std::to_string(i) + "Z", "App " + std::to_string(i), i, true,
                         std::nullopt};
}
std::vector<std::string> names(const std::vector<BufferedEntry>& entries) {
    std::vector<std::string> out;
    for (auto& e : entries) out.push_back(e.entry.appName);
    return out;
}
std::unique_ptr<ActivityBufferFile> fileAt(const TempDir& dir) {
    return std::make_unique<ActivityBufferFile>(dir / "buffer.jsonl");
}
constexpr const char* kUid = "uid-1";
std::vector<std::uint64_t> sequencesOf(const ActivityBuffer::Batch& batch) {
    std::vector<std::uint64_t> seqs;
    for (auto& e : batch.entries) seqs.push_back(e.sequence);
    return seqs;
}
// Writes past `bytes` fail (EFBIG, and nothing is written at or beyond it) for the whole process until
// lifted, as on a full disk.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        rlimit limit{bytes, saved_.rlim_max};
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { lift(); }
    void lift() { ::setrlimit(RLIMIT_FSIZE, &saved_); }

private:
    rlimit saved_{};
};
ActivityEntry bigSample(int i) {
    auto e = sample(i);
    e.windowTitle = std::string(1000, 'x');
    return e;
}
std::string readAll(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
}  // namespace

TEST_CASE("the 5761st sample drops the oldest one and logs the overflow") {
    ActivityBuffer buffer(nullptr);
    for (int i = 0; i < 5760; ++i) buffer.appendEntry(sample(i));
    brisko::platform::LogCapture log;
    buffer.appendEntry(sample(5760));
    auto entries = buffer.entries();
    REQUIRE(entries.size() == 5760);
    CHECK(entries.front().entry.appName == "App 1");
    CHECK(entries.back().entry.appName == "App 5760");
    CHECK(log.messages() == std::vector<std::string>{"[ActivityTracking] Buffer overflow: dropped 1 oldest entries"});
}

TEST_CASE("samples an upload holds count against the cap: 500 in flight and 5500 new keep the newest 5760") {
    ActivityBuffer buffer(nullptr);
    for (int i = 0; i < 500; ++i) buffer.appendEntry(sample(i));
    auto batch = buffer.takeBuffer(kUid);
    {
        brisko::platform::LogCapture log;
        for (int i = 500; i < 6000; ++i) buffer.appendEntry(sample(i));
        CHECK(buffer.liveCount() == 5760);
        // The 240 oldest, held by the upload, went as the new samples came in.
        CHECK(log.messages().size() == 240);
        CHECK(log.messages().front() == "[ActivityTracking] Buffer overflow: dropped 1 oldest entries");
    }
    brisko::platform::LogCapture log;
    buffer.requeue(batch.entries);
    auto entries = buffer.entries();
    REQUIRE(entries.size() == 5760);
    CHECK(entries.front().entry.appName == "App 240");  // what was evicted is not put back
    CHECK(entries[259].entry.appName == "App 499");
    CHECK(entries[260].entry.appName == "App 500");
    CHECK(entries.back().entry.appName == "App 5999");
    CHECK(log.messages().empty());
}

TEST_CASE("overlapping uploads that fail in either order leave the buffer in capture order") {
    for (bool olderFailsFirst : {true, false}) {
        CAPTURE(olderFailsFirst);
        ActivityBuffer buffer(nullptr);
        buffer.appendEntry(sample(1));
        buffer.appendEntry(sample(2));
        auto first = buffer.takeBuffer(kUid);
        buffer.appendEntry(sample(3));
        auto second = buffer.takeBuffer(kUid);
        buffer.appendEntry(sample(4));
        if (olderFailsFirst) {
            buffer.requeue(first.entries);
            buffer.requeue(second.entries);
        } else {
            buffer.requeue(second.entries);
            buffer.requeue(first.entries);
        }
        CHECK(names(buffer.entries()) == std::vector<std::string>{"App 1", "App 2", "App 3", "App 4"});
    }
}

TEST_CASE("every sample is in the file before appendEntry returns, and only undelivered ones come back") {
    TempDir dir;
    auto writer = std::make_unique<ActivityBuffer>(fileAt(dir));
    for (int i = 1; i <= 5; ++i) writer->appendEntry(sample(i));

    // Read while the writer is still alive: nothing waits for a flush or a clean shutdown.
    CHECK(names(ActivityBufferFile(dir / "buffer.jsonl").load()) ==
          std::vector<std::string>{"App 1", "App 2", "App 3", "App 4", "App 5"});

    // An upload takes everything; one chunk is delivered, one is still in flight when the process dies.
    auto batch = writer->takeBuffer(kUid);
    writer->settle({batch.entries[0].sequence, batch.entries[1].sequence});
    writer->appendEntry(sample(6));
    CHECK(names(ActivityBufferFile(dir / "buffer.jsonl").load()) ==
          std::vector<std::string>{"App 3", "App 4", "App 5", "App 6"});

    struct stat st {};
    REQUIRE(::stat((dir / "buffer.jsonl").c_str(), &st) == 0);
    CHECK((st.st_mode & 0777) == 0600);

    writer.reset();
    ActivityBuffer reopened(fileAt(dir));
    CHECK(names(reopened.entries()) == std::vector<std::string>{"App 3", "App 4", "App 5", "App 6"});
    // New samples are numbered after everything the file ever named, so old removals never hit them.
    reopened.appendEntry(sample(7));
    auto seqs = reopened.entries();
    CHECK(seqs.back().sequence > seqs[seqs.size() - 2].sequence);
    ActivityBuffer again(fileAt(dir));
    CHECK(names(again.entries()) == std::vector<std::string>{"App 3", "App 4", "App 5", "App 6", "App 7"});
}

TEST_CASE("a torn last line is skipped quietly, and nothing is glued onto it") {
    TempDir dir;
    {
        ActivityBuffer buffer(fileAt(dir));
        buffer.appendEntry(sample(1));
    }
    {
        std::ofstream out(dir / "buffer.jsonl", std::ios::app);
        out << "{\"seq\":100,\"timestamp\":\"2025-03-09T00:00:03Z\",\"app";
    }
    brisko::platform::LogCapture log;
    {
        ActivityBuffer reopened(fileAt(dir));
        CHECK(names(reopened.entries()) == std::vector<std::string>{"App 1"});
        reopened.appendEntry(sample(2));
    }
    CHECK(log.messages().empty());
    CHECK_FALSE(std::filesystem::exists(dir / "buffer.jsonl.damaged"));
    CHECK(names(ActivityBuffer(fileAt(dir)).entries()) == std::vector<std::string>{"App 1", "App 2"});
}

TEST_CASE("a damaged buffer file is set aside whole, and what was kept and what was not is logged") {
    TempDir dir;
    {
        ActivityBuffer buffer(fileAt(dir));
        for (int i = 0; i < 50; ++i) buffer.appendEntry(sample(i));
    }
    {
        std::ofstream out(dir / "buffer.jsonl", std::ios::app);
        out << "not json\n{\"sequence\":99,\"when\":\"t\"}\n{\"seq\":100,\"timestamp\":\"t\"}\n";
        // A whole entry but for a member nested far past anything the file holds.
        out << R"({"seq":101,"timestamp":"t","appName":"a","idleSeconds":1,"isAwake":true,"x":)"
            << std::string(100'000, '[') << std::string(100'000, ']') << "}\n";
    }
    const std::string original = readAll(dir / "buffer.jsonl");
    brisko::platform::LogCapture log;
    ActivityBuffer reopened(fileAt(dir));
    CHECK(reopened.count() == 50);
    CHECK(readAll(dir / "buffer.jsonl.damaged") == original);
    CHECK(log.messages() ==
          std::vector<std::string>{"[ActivityTracking] Buffer file damaged: kept 50 entries, 4 unreadable lines "
                                   "set aside as " +
                                   (dir / "buffer.jsonl.damaged").string()});
    CHECK(ActivityBufferFile(dir / "buffer.jsonl").load().size() == 50);
}

TEST_CASE("damage beside a good line keeps every intact sample, in capture order") {
    struct Damage {
        std::string name;
        std::string from;
        std::string to;
        std::string log;
    };
    const std::string zeros(4096, '\0');
    const std::string damaged = "[ActivityTracking] Buffer file damaged: kept 3 entries, ";
    const std::string unreadableLine = damaged + "1 unreadable lines set aside as %@";
    const std::string repairedNumber = damaged + "0 unreadable lines set aside as %@; 1 sequence numbers repaired";
    const Damage damages[] = {
        {"a zeroed block glued to the start of the next line", "\n{\"seq\":2,", "\n" + zeros + "{\"seq\":2,",
         unreadableLine},
        {"a zeroed block in place of a line's newline", "}\n{\"seq\":3,", "}" + zeros + "{\"seq\":3,", unreadableLine},
        {"a sequence number written as text", "{\"seq\":2,", "{\"seq\":\"2\",", repairedNumber},
        {"a negative sequence number", "{\"seq\":2,", "{\"seq\":-2,", repairedNumber},
        {"a sequence number that is not a number at all", "{\"seq\":2,", "{\"seq\":\"two\",", repairedNumber},
    };
    for (const auto& damage : damages) {
        CAPTURE(damage.name);
        TempDir dir;
        {
            ActivityBuffer buffer(fileAt(dir));
            for (int i = 1; i <= 3; ++i) buffer.appendEntry(sample(i));
        }
        std::string content = readAll(dir / "buffer.jsonl");
        const auto at = content.find(damage.from);
        REQUIRE(at != std::string::npos);
        content.replace(at, damage.from.size(), damage.to);
        std::ofstream(dir / "buffer.jsonl", std::ios::binary | std::ios::trunc) << content;

        brisko::platform::LogCapture log;
        {
            ActivityBuffer reopened(fileAt(dir));
            CHECK(names(reopened.entries()) == std::vector<std::string>{"App 1", "App 2", "App 3"});
            reopened.appendEntry(sample(4));
        }
        std::string expected = damage.log;
        expected.replace(expected.find("%@"), 2, (dir / "buffer.jsonl.damaged").string());
        CHECK(log.messages() == std::vector<std::string>{expected});
        CHECK(readAll(dir / "buffer.jsonl.damaged") == content);
        // The file was mended: it loads whole, quietly, with the newest sample last.
        brisko::platform::LogCapture again;
        CHECK(names(ActivityBuffer(fileAt(dir)).entries()) ==
              std::vector<std::string>{"App 1", "App 2", "App 3", "App 4"});
        CHECK(again.messages().empty());
    }
}

TEST_CASE("a sequence number written as text still matches the record of its delivery") {
    TempDir dir;
    {
        ActivityBuffer buffer(fileAt(dir));
        for (int i = 1; i <= 3; ++i) buffer.appendEntry(sample(i));
        buffer.takeBuffer(kUid);
        buffer.settle({2});
    }
    std::string content = readAll(dir / "buffer.jsonl");
    const auto at = content.find("{\"seq\":2,");
    REQUIRE(at != std::string::npos);
    content.replace(at, 9, "{\"seq\":\"2\",");
    std::ofstream(dir / "buffer.jsonl", std::ios::binary | std::ios::trunc) << content;
    CHECK(names(ActivityBuffer(fileAt(dir)).entries()) == std::vector<std::string>{"App 1", "App 3"});
}

TEST_CASE("zeros at the end of the file are what a power loss leaves: skipped quietly") {
    TempDir dir;
    {
        ActivityBuffer buffer(fileAt(dir));
        buffer.appendEntry(sample(1));
    }
    {
        std::ofstream out(dir / "buffer.jsonl", std::ios::binary | std::ios::app);
        out << "{\"seq\":2,\"timestamp\":\"2025-03-09T00:00:02Z\",\"app" << std::string(3000, '\0');
    }
    brisko::platform::LogCapture log;
    {
        ActivityBuffer reopened(fileAt(dir));
        CHECK(names(reopened.entries()) == std::vector<std::string>{"App 1"});
        reopened.appendEntry(sample(3));
    }
    CHECK(log.messages().empty());
    CHECK(names(ActivityBuffer(fileAt(dir)).entries()) == std::vector<std::string>{"App 1", "App 3"});
    CHECK(readAll(dir / "buffer.jsonl").find('\0') == std::string::npos);
}

TEST_CASE("the file is compacted once delivered samples outnumber the live ones, and stays at the cap") {
    TempDir dir;
    ActivityBuffer buffer(fileAt(dir), 100);
    for (int round = 0; round < 10; ++round) {
        for (int i = 0; i < 150; ++i) buffer.appendEntry(sample(round * 150 + i));
        auto batch = buffer.takeBuffer(kUid);
        buffer.settle(sequencesOf(batch));
    }
    buffer.appendEntry(sample(9999));
    buffer.flush();
    std::ifstream in(dir / "buffer.jsonl");
    std::size_t lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    CHECK(lines < 1200);  // 1500 samples and 30 records went through it
    CHECK(names(ActivityBuffer(fileAt(dir), 100).entries()) == std::vector<std::string>{"App 9999"});
}

TEST_CASE("a full disk neither brings delivered samples back nor loses new ones, and recovery is logged") {
    TempDir dir;
    SUBCASE("the record of delivered samples cannot be written") {
        ActivityBuffer buffer(fileAt(dir));
        for (int i = 1; i <= 3; ++i) buffer.appendEntry(bigSample(i));
        auto batch = buffer.takeBuffer(kUid);
        brisko::platform::LogCapture log;
        FileSizeLimit full(100);
        buffer.settle({batch.entries[0].sequence});  // delivered while the disk is full
        buffer.requeue(batch.entries);
        buffer.appendEntry(bigSample(4));
        full.lift();
        buffer.appendEntry(bigSample(5));
        REQUIRE(log.messages().size() == 2);
        CHECK(log.messages()[0].starts_with("[ActivityTracking] Buffer file not written (" +
                                            (dir / "buffer.jsonl").string() + "): "));
        CHECK(log.messages()[1] == "[ActivityTracking] Buffer file written again: " + (dir / "buffer.jsonl").string());
    }
    SUBCASE("a line is cut off part way") {
        ActivityBuffer buffer(fileAt(dir));
        buffer.appendEntry(bigSample(2));
        buffer.appendEntry(bigSample(3));
        buffer.flush();
        {
            FileSizeLimit full(std::filesystem::file_size(dir / "buffer.jsonl") + 10);
            buffer.appendEntry(bigSample(4));  // ten bytes of it fit
        }
        buffer.appendEntry(bigSample(5));
    }
    CHECK(names(ActivityBuffer(fileAt(dir)).entries()) == std::vector<std::string>{"App 2", "App 3", "App 4", "App 5"});
    CHECK_FALSE(std::filesystem::exists(dir / "buffer.jsonl.damaged"));
}

TEST_CASE("each sample keeps its account: an upload takes only its own, and nobody's samples go to the next") {
    TempDir dir;
    ActivityBuffer buffer(fileAt(dir));
    buffer.appendEntry(sample(1));  // nobody signed in
    buffer.appendEntry(sample(2), "uid-a");
    buffer.appendEntry(sample(3), "uid-b");
    auto batch = buffer.takeBuffer("uid-a");  // A is signed in: it takes what nobody owned
    CHECK(names(batch.entries) == std::vector<std::string>{"App 1", "App 2"});
    CHECK(names(buffer.entries()) == std::vector<std::string>{"App 3"});
    buffer.requeue(batch.entries);
    // The claim is on disk: a relaunch still knows sample 1 is A's.
    ActivityBuffer reopened(fileAt(dir));
    std::vector<std::optional<std::string>> owners;
    for (auto& e : reopened.entries()) owners.push_back(e.uid);
    CHECK(owners == std::vector<std::optional<std::string>>{"uid-a", "uid-a", "uid-b"});
}

TEST_CASE("another account signing in discards the earlier account's samples, also those in flight") {
    TempDir dir;
    ActivityBuffer buffer(fileAt(dir));
    buffer.appendEntry(sample(1), "uid-a");
    buffer.appendEntry(sample(2), "uid-a");
    auto inFlight = buffer.takeBuffer("uid-a");
    buffer.appendEntry(sample(3), "uid-a");
    buffer.appendEntry(sample(4));  // nobody's: goes to B
    brisko::platform::LogCapture log;
    CHECK(buffer.adoptAccount("uid-b") == 3);
    CHECK(log.messages() == std::vector<std::string>{"[ActivityTracking] Discarded 3 undelivered entries at sign-out"});
    buffer.requeue(inFlight.entries);  // the run for A reports back late: nothing returns
    CHECK(buffer.liveCount() == 1);
    CHECK(names(buffer.takeBuffer("uid-b").entries) == std::vector<std::string>{"App 4"});
    // Gone from the disk as well: no window title of A's stays behind.
    CHECK(readAll(dir / "buffer.jsonl").find("App 1") == std::string::npos);
    CHECK(buffer.adoptAccount("uid-b") == 0);  // the same account again: nothing to discard
}

TEST_CASE("signing out discards the account's samples and keeps those nobody owns") {
    TempDir dir;
    ActivityBuffer buffer(fileAt(dir));
    for (int i = 1; i <= 3; ++i) buffer.appendEntry(sample(i), "uid-a");
    auto inFlight = buffer.takeBuffer("uid-a");
    buffer.appendEntry(sample(4), "uid-a");
    buffer.appendEntry(sample(5));
    CHECK(buffer.discardAccountEntries() == 4);
    buffer.requeue(inFlight.entries);
    CHECK(names(buffer.entries()) == std::vector<std::string>{"App 5"});
    buffer.appendEntry(sample(6));
    CHECK(names(ActivityBuffer(fileAt(dir)).entries()) == std::vector<std::string>{"App 5", "App 6"});
}

TEST_CASE("a file of an earlier version, without accounts, loads with its samples owned by nobody") {
    TempDir dir;
    {
        std::ofstream out(dir / "buffer.jsonl");
        out << "{\"seq\":1,\"timestamp\":\"2025-03-09T00:00:01Z\",\"appName\":\"Old\",\"idleSeconds\":0,"
               "\"isAwake\":true}\n";
    }
    ActivityBuffer buffer(fileAt(dir));
    auto entries = buffer.entries();
    REQUIRE(entries.size() == 1);
    CHECK_FALSE(entries[0].uid);
    CHECK(names(buffer.takeBuffer("uid-next").entries) == std::vector<std::string>{"Old"});
}

TEST_CASE("trimming an over-full file at load is logged") {
    TempDir dir;
    {
        ActivityBuffer big(fileAt(dir), 10);
        for (int i = 0; i < 10; ++i) big.appendEntry(sample(i));
    }
    brisko::platform::LogCapture log;
    ActivityBuffer small(fileAt(dir), 4);
    CHECK(names(small.entries()) == std::vector<std::string>{"App 6", "App 7", "App 8", "App 9"});
    CHECK(log.messages() == std::vector<std::string>{"[ActivityTracking] Buffer overflow: dropped 6 oldest entries"});
}

TEST_CASE("temporary files of a rewrite that a kill interrupted are removed at load") {
    TempDir dir;
    {
        std::ofstream stale(dir / ".buffer.jsonl.Ab12Cd");
        stale << "{\"seq\":1,\"timestamp\":\"t\",\"appName\":\"Secret\",\"idleSeconds\":0,\"isAwake\":true}\n";
        std::ofstream other(dir / ".other.jsonl.Ab12Cd");
    }
    ActivityBuffer buffer(fileAt(dir));
    CHECK_FALSE(std::filesystem::exists(dir / ".buffer.jsonl.Ab12Cd"));
    CHECK(std::filesystem::exists(dir / ".other.jsonl.Ab12Cd"));
}

TEST_CASE("sequence numbers near the end of their range are renumbered at load, keeping the order") {
    TempDir dir;
    {
        std::ofstream out(dir / "buffer.jsonl");
        for (std::uint64_t seq : {18446744073709551613ull, 18446744073709551615ull}) {
            out << "{\"seq\":" << seq << ",\"timestamp\":\"t\",\"appName\":\"S" << seq
                << "\",\"idleSeconds\":0,\"isAwake\":true}\n";
        }
    }
    {
        ActivityBuffer buffer(fileAt(dir));
        buffer.appendEntry(sample(1));
        auto entries = buffer.entries();
        REQUIRE(entries.size() == 3);
        CHECK(entries.back().sequence == 3);
    }
    CHECK(names(ActivityBuffer(fileAt(dir)).entries()) ==
          std::vector<std::string>{"S18446744073709551613", "S18446744073709551615", "App 1"});
}

TEST_CASE("a symbolic link planted at the buffer file is never followed") {
    TempDir dir;
    SUBCASE("a dangling link does not create its target") {
        std::filesystem::create_symlink(dir / "elsewhere", dir / "buffer.jsonl");
        ActivityBuffer buffer(fileAt(dir));
        buffer.appendEntry(sample(1));
        CHECK_FALSE(std::filesystem::exists(dir / "elsewhere"));
    }
    SUBCASE("a link to another file leaves that file alone") {
        { std::ofstream(dir / "victim") << "precious\n"; }
        std::filesystem::create_symlink(dir / "victim", dir / "buffer.jsonl");
        ActivityBuffer buffer(fileAt(dir));
        CHECK(buffer.entries().empty());
        buffer.appendEntry(sample(1));
        CHECK(readAll(dir / "victim") == "precious\n");
    }
    CHECK_FALSE(std::filesystem::is_symlink(dir / "buffer.jsonl"));
    CHECK(ActivityBuffer(fileAt(dir)).count() == 1);
}
