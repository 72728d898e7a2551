// The sample buffer: its cap, its order, and the copy on disk that survives a quit or a crash.
#include <doctest/doctest.h>
#include <sys/stat.h>

#include <fstream>

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
    CHECK(log.messages() ==
          std::vector<std::string>{"[ActivityTracking] Buffer overflow: dropped 1 oldest entries"});
}

TEST_CASE("a requeue of 500 into 5500 keeps the newest 5760, put-back entries first, without a log line") {
    ActivityBuffer buffer(nullptr);
    for (int i = 0; i < 500; ++i) buffer.appendEntry(sample(i));
    auto batch = buffer.takeBuffer();
    for (int i = 500; i < 6000; ++i) buffer.appendEntry(sample(i));
    brisko::platform::LogCapture log;
    buffer.requeue(batch.entries, batch.generation);
    auto entries = buffer.entries();
    REQUIRE(entries.size() == 5760);
    CHECK(entries.front().entry.appName == "App 240");  // the 240 oldest put-back entries are gone
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
        auto first = buffer.takeBuffer();
        buffer.appendEntry(sample(3));
        auto second = buffer.takeBuffer();
        buffer.appendEntry(sample(4));
        if (olderFailsFirst) {
            buffer.requeue(first.entries, first.generation);
            buffer.requeue(second.entries, second.generation);
        } else {
            buffer.requeue(second.entries, second.generation);
            buffer.requeue(first.entries, first.generation);
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
    auto batch = writer->takeBuffer();
    writer->settle({batch.entries[0].sequence, batch.entries[1].sequence}, batch.generation);
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

TEST_CASE("a torn last line and foreign lines are skipped when the file is read") {
    TempDir dir;
    {
        ActivityBuffer buffer(fileAt(dir));
        buffer.appendEntry(sample(1));
        buffer.appendEntry(sample(2));
    }
    {
        std::ofstream out(dir / "buffer.jsonl", std::ios::app);
        out << "not "
               "json\n{\"seq\":99,\"timestamp\":\"t\"}\n{\"seq\":100,\"timestamp\":\"2025-03-09T00:00:03Z\","
               "\"app";
    }
    ActivityBuffer reopened(fileAt(dir));
    CHECK(names(reopened.entries()) == std::vector<std::string>{"App 1", "App 2"});
}

TEST_CASE("the file is compacted once delivered samples outnumber the live ones, and stays at the cap") {
    TempDir dir;
    ActivityBuffer buffer(fileAt(dir), 100);
    for (int round = 0; round < 10; ++round) {
        for (int i = 0; i < 150; ++i) buffer.appendEntry(sample(round * 150 + i));
        auto batch = buffer.takeBuffer();
        std::vector<std::uint64_t> seqs;
        for (auto& e : batch.entries) seqs.push_back(e.sequence);
        buffer.settle(seqs, batch.generation);
    }
    buffer.appendEntry(sample(9999));
    buffer.flush();
    std::ifstream in(dir / "buffer.jsonl");
    std::size_t lines = 0;
    for (std::string line; std::getline(in, line);) ++lines;
    CHECK(lines < 1200);  // 1500 samples and 30 records went through it
    CHECK(names(ActivityBuffer(fileAt(dir), 100).entries()) == std::vector<std::string>{"App 9999"});
}

TEST_CASE("discarding empties the buffer and the file, and uploads of the old generation put nothing back") {
    TempDir dir;
    ActivityBuffer buffer(fileAt(dir));
    for (int i = 1; i <= 3; ++i) buffer.appendEntry(sample(i));
    auto inFlight = buffer.takeBuffer();
    buffer.appendEntry(sample(4));
    CHECK(buffer.discardAll() == 4);
    CHECK_FALSE(buffer.isCurrentGeneration(inFlight.generation));
    buffer.requeue(inFlight.entries, inFlight.generation);
    CHECK(buffer.entries().empty());
    buffer.appendEntry(sample(5));
    CHECK(names(ActivityBuffer(fileAt(dir)).entries()) == std::vector<std::string>{"App 5"});
}
