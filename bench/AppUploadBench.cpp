// Upload of a full buffer (5760 entries, 12 POSTs of 500) to a local companion service, against libcurl
// posting the same 12 bodies with the same headers in the same process, to the same server. The buffer
// file's share is the difference between the upload from a buffer kept in its file and the same upload
// from a buffer kept in memory only; the same posts through the app's URL session alone give the
// session's share. Goal: at most 1.2 times libcurl.
// Usage: app_upload_bench [ROUNDS]
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/Figures.hpp"
#include "app/recording/ActivityPayload.hpp"
#include "platform/base/Clock.hpp"
#include "platform/base/Log.hpp"
#include "tests/app/AppTestSupport.hpp"

using namespace brisko::app;
using namespace brisko::app::test;
namespace platform = brisko::platform;
using Clock = std::chrono::steady_clock;

namespace {

using brisko::bench::median;

double millisSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

// The upload's 12 bodies, as the uploader builds them from the buffer.
std::vector<std::string> bodiesOf(const std::vector<ActivityEntry>& all) {
    const auto date = platform::formatDate(platform::now(), "yyyy-MM-dd", platform::TimeZone::local);
    std::vector<std::string> bodies;
    for (std::size_t start = 0; start < all.size(); start += ActivityUploader::kChunkSize) {
        const auto count = std::min<std::size_t>(ActivityUploader::kChunkSize, all.size() - start);
        bodies.push_back(ActivityPayload{date, std::span(all).subspan(start, count)}.toJSON());
    }
    return bodies;
}

// Posts the bodies one after another through one easy handle (its connection reused where the server
// keeps it), with the headers the uploader sends; false on any failure.
bool postWithLibcurl(CURL* easy, const std::string& url, const std::string& token,
                     const std::vector<std::string>& bodies) {
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    headers = curl_slist_append(headers, ("Authorization: Bearer " + token).c_str());
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &discard);
    bool ok = true;
    for (const auto& body : bodies) {
        curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.data());
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
        long status = 0;
        if (curl_easy_perform(easy) != CURLE_OK ||
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 200) {
            ok = false;
            break;
        }
    }
    curl_slist_free_all(headers);
    return ok;
}

// The same posts through the app's URL session alone, awaited one after another on the main loop as
// the uploader awaits them: tells the session's share of the gap from the uploader's.
platform::Task<bool> postWithSession(std::shared_ptr<platform::URLSession> session, std::string url, std::string token,
                                     const std::vector<std::string>* bodies) {
    for (const auto& body : *bodies) {
        platform::URLRequest request(*platform::URL::parse(url));
        request.setHTTPMethod("POST");
        request.setValue(std::string_view("application/json"), "Content-Type");
        request.setValue(std::string_view("Bearer " + token), "Authorization");
        request.setHTTPBody(platform::Data(body.begin(), body.end()));
        auto reply = co_await session->data(request);
        if (!reply.response || reply.response->statusCode() != 200) co_return false;
    }
    co_return true;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 9;
    qtApp();
    curl_global_init(CURL_GLOBAL_DEFAULT);
    CURL* easy = curl_easy_init();
    std::vector<double> withFile, inMemory, sessionAlone, libcurl, serialising;

    for (int round = 0; round < rounds; ++round) {
        RecorderFixture f;
        f.fill(ActivityBuffer::kCapacity);  // unowned until the account signs in and takes them
        auto user = f.signInUser();
        const std::string uid = user->uid();
        const std::string token = run(user->getIDToken(false));

        // The same samples in a buffer with no file, uploaded by an uploader of their own.
        auto memoryBuffer = std::make_shared<ActivityBuffer>(nullptr);
        for (std::size_t i = 0; i < ActivityBuffer::kCapacity; ++i) {
            memoryBuffer->appendEntry(f.entry(static_cast<int>(i)), uid);
        }
        auto memoryUploader = std::make_shared<ActivityUploader>(memoryBuffer, f.auth, f.session, f.service.baseURL());
        std::vector<ActivityEntry> all;
        for (auto& e : f.buffer->entries()) all.push_back(e.entry);
        auto t = Clock::now();
        const auto bodies = bodiesOf(all);
        serialising.push_back(millisSince(t));
        const std::string url = f.service.baseURL() + std::string(ActivityUploader::kIngestPath);

        platform::LogCapture quiet;
        auto ourUpload = [&] {
            t = Clock::now();
            run(f.recorder->upload());
            withFile.push_back(millisSince(t));
            t = Clock::now();
            run(memoryUploader->upload());
            inMemory.push_back(millisSince(t));
            t = Clock::now();
            if (!run(postWithSession(f.session, url, token, &bodies))) {
                std::fprintf(stderr, "the session's posts failed\n");
                std::exit(1);
            }
            sessionAlone.push_back(millisSince(t));
        };
        auto libcurlUpload = [&] {
            t = Clock::now();
            if (!postWithLibcurl(easy, url, token, bodies)) {
                std::fprintf(stderr, "libcurl's posts failed\n");
                std::exit(1);
            }
            libcurl.push_back(millisSince(t));
        };
        // Alternate which side goes first: the machine's load drifts within a round.
        if (round % 2 == 0) {
            ourUpload();
            libcurlUpload();
        } else {
            libcurlUpload();
            ourUpload();
        }
        if (f.service.ingests().size() != 4 * bodies.size() || f.buffer->count() != 0 || memoryBuffer->count() != 0) {
            std::fprintf(stderr, "an upload did not deliver the full buffer (%zu posts)\n", f.service.ingests().size());
            return 1;
        }
    }
    curl_easy_cleanup(easy);

    const double file = median(withFile), memory = median(inMemory), curl = median(libcurl);
    std::printf("upload of %zu entries (12 POSTs of %zu), median of %d rounds\n", ActivityBuffer::kCapacity,
                ActivityUploader::kChunkSize, rounds);
    std::printf("  the app's upload, buffer in its file:  %7.2f ms\n", file);
    std::printf("  the app's upload, buffer in memory:    %7.2f ms\n", memory);
    std::printf("  the app's URL session alone, the same bodies and headers: %7.2f ms\n", median(sessionAlone));
    std::printf("  libcurl, the same bodies and headers:  %7.2f ms\n", curl);
    std::printf("  the buffer file's share: %.2f ms (%.0f%% of the upload)\n", file - memory,
                100.0 * (file - memory) / file);
    std::printf("  building the 12 JSON bodies (inside the app's upload): %.2f ms\n", median(serialising));
    std::printf(
        "  ratio app / libcurl: %.2f (goal: at most 1.20); without the buffer file: %.2f; the session alone: %.2f\n",
        file / curl, memory / curl, median(sessionAlone) / curl);
    return 0;
}
