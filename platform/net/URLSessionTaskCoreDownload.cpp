// A download task's file and its resume data (where a download stopped, so a new task can ask for the rest).
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "platform/base/JSON.hpp"
#include "platform/base/Text.hpp"
#include "platform/net/URLSessionCore.hpp"

namespace brisko::platform::detail {

namespace {

constexpr std::string_view kDownloadFilePrefix = "brisko-download-";
constexpr int kResumeDataVersion = 1;

}  // namespace

bool TaskCore::openDownloadFile(bool append) {
    if (downloadFile_) {
        std::fclose(downloadFile_);
        downloadFile_ = nullptr;
    }
    if (downloadPath_.empty()) {
        std::error_code ec;
        auto dir = std::filesystem::temp_directory_path(ec);
        if (ec) dir = "/tmp";
        std::string pattern = (dir / (std::string(kDownloadFilePrefix) + "XXXXXX")).string();
        int fd = mkstemp(pattern.data());
        if (fd < 0) return false;
        downloadPath_ = pattern;
        downloadFile_ = fdopen(fd, "wb");
        if (!downloadFile_) ::close(fd);
    } else {
        downloadFile_ = std::fopen(downloadPath_.c_str(), append ? "ab" : "wb");
    }
    return downloadFile_ != nullptr;
}

std::optional<Data> TaskCore::makeResumeData() const {
    if (kind != URLSessionTask::Kind::download || downloadPath_.empty() || !current_.url()) return std::nullopt;
    const std::int64_t offset = resumeOffset_ + downloadWritten_;
    if (offset <= 0 || (!etag_ && !lastModified_)) return std::nullopt;
    if (statusCode_ != 200 && statusCode_ != 206) return std::nullopt;
    std::optional<URLRequest> original;
    if (task_) {
        std::lock_guard lock(task_->mutex_);
        original = task_->originalRequest_;
    }
    if (!original) return std::nullopt;
    nlohmann::json j;
    j["version"] = kResumeDataVersion;
    j["url"] = current_.url()->absoluteString();
    j["method"] = current_.httpMethod();
    auto headers = nlohmann::json::array();
    for (auto& [n, v] : original->allHTTPHeaderFields()) headers.push_back({n, v});
    j["headers"] = std::move(headers);
    j["file"] = downloadPath_;
    j["offset"] = offset;
    if (etag_) j["etag"] = *etag_;
    if (lastModified_) j["lastModified"] = *lastModified_;
    j["timeout"] = original->timeoutInterval();
    return toData(j.dump());
}

bool TaskCore::parseResumeData() {
    try {
        auto j = parseJSON(*resumeData, kMaxStoredJSONDepth);
        if (j.value("version", 0) != kResumeDataVersion) return false;
        auto url = URL::parse(j.at("url").get<std::string>());
        if (!url) return false;
        URLRequest request(*url);
        request.setHTTPMethod(j.value("method", std::string("GET")));
        for (auto& h : j.value("headers", nlohmann::json::array())) {
            request.addValue(h.at(1).get<std::string>(), h.at(0).get<std::string>());
        }
        request.setTimeoutInterval(j.value("timeout", URLRequest::kDefaultTimeoutInterval));
        current_ = request;
        {
            std::lock_guard lock(task_->mutex_);
            task_->originalRequest_ = request;
            task_->currentRequest_ = request;
        }
        if (j.contains("etag")) etag_ = j["etag"].get<std::string>();
        if (j.contains("lastModified")) lastModified_ = j["lastModified"].get<std::string>();
        // Only our own partial files are continued: resume data must not point us at any other file.
        std::error_code ec;
        std::filesystem::path file = j.value("file", std::string());
        auto dir = std::filesystem::temp_directory_path(ec);
        const bool ours = !file.empty() && file.parent_path() == (ec ? std::filesystem::path("/tmp") : dir) &&
                          hasPrefix(file.filename().string(), kDownloadFilePrefix) &&
                          std::filesystem::is_regular_file(file, ec) && !std::filesystem::is_symlink(file, ec);
        if (ours) {
            downloadPath_ = file.string();
            auto size = static_cast<std::int64_t>(std::filesystem::file_size(file, ec));
            resumeOffset_ = ec ? 0 : std::min<std::int64_t>(size, j.value("offset", std::int64_t{0}));
            if (resumeOffset_ > 0 && resumeOffset_ < size) std::filesystem::resize_file(file, resumeOffset_, ec);
        }
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

}  // namespace brisko::platform::detail
