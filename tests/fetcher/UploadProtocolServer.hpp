// A local server speaking the resumable upload protocol ("X-Ezev-Upload-" headers), with injectable faults.
#pragma once

#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "tests/support/HttpTestServer.hpp"

namespace brisko::fetcher::testing {

// POST /upload starts an upload and answers its address /upload/<id>; PUT /upload/<id> takes the
// commands "upload", "upload, finalize", "finalize", "query" and "cancel". A chunk must start at or
// before the bytes the server holds (what lies beyond its offset is replaced).
class UploadProtocolServer {
  public:
    struct Upload {
        std::string data;
        bool finalized = false;
        bool cancelled = false;
    };

    brisko::testing::HttpTestServer server;

    UploadProtocolServer() {
        server.on("POST", "/upload",
                  [this](const httplib::Request& req, httplib::Response& res) { start(req, res); });
        server.on("PUT", "^/upload/.+",
                  [this](const httplib::Request& req, httplib::Response& res) { command(req, res); });
    }

    platform::URL startURL() const { return server.url("/upload"); }

    // Granularity announced in the start and query replies (0: none).
    void setGranularity(std::int64_t g) {
        std::lock_guard lock(mutex_);
        granularity_ = g;
    }
    // The next chunk stores only the first `keep` bytes of its body and loses the connection.
    void dropNextChunkKeeping(std::size_t keep) {
        std::lock_guard lock(mutex_);
        dropKeeping_ = keep;
    }
    void omitLocation() {
        std::lock_guard lock(mutex_);
        omitLocation_ = true;
    }
    // The next chunk is answered with this status (and "active").
    void failNextChunkWithStatus(int status) {
        std::lock_guard lock(mutex_);
        failStatus_ = status;
    }
    // Chunks and queries are answered "active" with this received size, and chunks are not kept.
    void reportReceivedSize(std::string size) {
        std::lock_guard lock(mutex_);
        reportedSize_ = std::move(size);
    }
    // Chunks are kept, but a "finalize" never ends the upload: the server stays "active".
    void neverFinalize() {
        std::lock_guard lock(mutex_);
        neverFinalize_ = true;
    }
    // An upload that a previous run began: the server already holds `held`.
    platform::URL createUpload(std::string held) {
        std::lock_guard lock(mutex_);
        std::string id = std::to_string(++nextID_);
        uploads_[id].data = std::move(held);
        return server.url("/upload/" + id);
    }
    std::optional<Upload> upload(const std::string& id) const {
        std::lock_guard lock(mutex_);
        auto it = uploads_.find(id);
        if (it == uploads_.end()) return std::nullopt;
        return it->second;
    }
    std::optional<Upload> onlyUpload() const {
        std::lock_guard lock(mutex_);
        if (uploads_.size() != 1) return std::nullopt;
        return uploads_.begin()->second;
    }
    // The commands received on upload addresses, in order, with their offsets ("upload@0").
    std::vector<std::string> commands() const {
        std::vector<std::string> out;
        for (const auto& r : server.requests()) {
            if (r.method != "PUT") continue;
            auto command = r.header("X-Ezev-Upload-Command").value_or("?");
            if (auto offset = r.header("X-Ezev-Upload-Offset")) command += "@" + *offset;
            out.push_back(command);
        }
        return out;
    }

  private:
    void setStatus(httplib::Response& res, const Upload& upload) {
        res.set_header("X-Ezev-Upload-Status", upload.cancelled   ? "cancelled"
                                               : upload.finalized ? "final"
                                                                  : "active");
    }

    void start(const httplib::Request& req, httplib::Response& res) {
        std::lock_guard lock(mutex_);
        if (req.get_header_value("X-Ezev-Upload-Protocol") != "resumable" ||
            req.get_header_value("X-Ezev-Upload-Command") != "start") {
            res.status = 400;
            return;
        }
        std::string id = std::to_string(++nextID_);
        uploads_[id];
        res.status = 200;
        res.set_header("X-Ezev-Upload-Status", "active");
        if (!omitLocation_) res.set_header("X-Ezev-Upload-URL", server.baseURL() + "/upload/" + id);
        if (granularity_ > 0) res.set_header("X-Ezev-Upload-Chunk-Granularity", std::to_string(granularity_));
        res.set_content("", "text/plain");
    }

    void command(const httplib::Request& req, httplib::Response& res) {
        std::unique_lock lock(mutex_);
        std::string id = req.path.substr(std::string("/upload/").size());
        auto it = uploads_.find(id);
        if (it == uploads_.end()) {
            res.status = 404;
            return;
        }
        auto& upload = it->second;
        std::string command = req.get_header_value("X-Ezev-Upload-Command");
        res.status = 200;
        if (reportedSize_ && (command == "query" || command.find("upload") != std::string::npos ||
                              command == "finalize")) {
            res.set_header("X-Ezev-Upload-Status", "active");
            res.set_header("X-Ezev-Upload-Size-Received", *reportedSize_);
            return;
        }
        if (command == "query") {
            setStatus(res, upload);
            res.set_header("X-Ezev-Upload-Size-Received", std::to_string(upload.data.size()));
            if (granularity_ > 0)
                res.set_header("X-Ezev-Upload-Chunk-Granularity", std::to_string(granularity_));
            return;
        }
        if (command == "cancel") {
            upload.cancelled = true;
            setStatus(res, upload);
            return;
        }
        if (failStatus_) {
            res.status = *failStatus_;
            failStatus_.reset();
            setStatus(res, upload);
            res.set_content("refused", "text/plain");
            return;
        }
        std::size_t offset = req.has_header("X-Ezev-Upload-Offset")
                                 ? std::stoull(req.get_header_value("X-Ezev-Upload-Offset"))
                                 : 0;
        if (offset > upload.data.size()) {
            res.status = 400;
            setStatus(res, upload);
            res.set_content("offset beyond received data", "text/plain");
            return;
        }
        upload.data.resize(offset);
        if (dropKeeping_) {
            upload.data += req.body.substr(0, *dropKeeping_);
            dropKeeping_.reset();
            lock.unlock();
            server.dropAfter("x", 100)(req, res);
            return;
        }
        upload.data += req.body;
        if (command.find("finalize") != std::string::npos && !neverFinalize_) upload.finalized = true;
        setStatus(res, upload);
        res.set_header("X-Ezev-Upload-Size-Received", std::to_string(upload.data.size()));
        if (upload.finalized)
            res.set_content(R"({"size":)" + std::to_string(upload.data.size()) + "}", "application/json");
    }

    mutable std::mutex mutex_;
    std::map<std::string, Upload> uploads_;
    int nextID_ = 0;
    std::int64_t granularity_ = 0;
    std::optional<std::size_t> dropKeeping_;
    std::optional<int> failStatus_;
    bool omitLocation_ = false;
    std::optional<std::string> reportedSize_;
    bool neverFinalize_ = false;
};

}  // namespace brisko::fetcher::testing
