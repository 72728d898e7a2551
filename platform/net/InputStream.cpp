// Input streams over memory and files.
#include "platform/net/InputStream.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace brisko::platform {

namespace {

class DataInputStream final : public InputStream {
public:
    explicit DataInputStream(Data data) : data_(std::move(data)) {}

protected:
    std::int64_t readSource(std::uint8_t* buffer, std::size_t maxLength, std::optional<Error>&) override {
        const std::size_t n = std::min(maxLength, data_.size() - position_);
        if (n > 0) std::memcpy(buffer, data_.data() + position_, n);
        position_ += n;
        return static_cast<std::int64_t>(n);
    }

private:
    Data data_;
    std::size_t position_ = 0;
};

class FileInputStream final : public InputStream {
public:
    explicit FileInputStream(std::string path) : path_(std::move(path)) {}
    ~FileInputStream() override { closeSource(); }

protected:
    std::optional<Error> openSource() override {
        fd_ = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) return Error::posix(errno, path_);
        return std::nullopt;
    }
    std::int64_t readSource(std::uint8_t* buffer, std::size_t maxLength, std::optional<Error>& error) override {
        ssize_t n;
        do {
            n = ::read(fd_, buffer, maxLength);
        } while (n < 0 && errno == EINTR);
        if (n < 0) error = Error::posix(errno, path_);
        return n;
    }
    void closeSource() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    std::string path_;
    int fd_ = -1;
};

}  // namespace

std::shared_ptr<InputStream> InputStream::inputStreamWithData(Data data) {
    return std::make_shared<DataInputStream>(std::move(data));
}

std::shared_ptr<InputStream> InputStream::inputStreamWithURL(const URL& url) {
    if (!url.isFileURL()) return nullptr;
    return inputStreamWithFileAtPath(url.path());
}

std::shared_ptr<InputStream> InputStream::inputStreamWithFileAtPath(std::string path) {
    return std::make_shared<FileInputStream>(std::move(path));
}

void InputStream::open() {
    if (status_ != StreamStatus::notOpen) return;
    if (auto error = openSource()) {
        error_ = std::move(error);
        status_ = StreamStatus::error;
        return;
    }
    status_ = StreamStatus::open;
}

std::int64_t InputStream::read(std::uint8_t* buffer, std::size_t maxLength) {
    if (status_ == StreamStatus::atEnd) return 0;
    if (status_ != StreamStatus::open) return -1;
    if (maxLength == 0) return 0;
    std::optional<Error> error;
    status_ = StreamStatus::reading;
    const std::int64_t n = readSource(buffer, maxLength, error);
    if (n < 0) {
        error_ = error ? std::move(error) : Error::posix(EIO);
        status_ = StreamStatus::error;
        return -1;
    }
    status_ = n == 0 ? StreamStatus::atEnd : StreamStatus::open;
    return n;
}

bool InputStream::hasBytesAvailable() const {
    return status_ == StreamStatus::open || status_ == StreamStatus::reading;
}

void InputStream::close() {
    if (status_ == StreamStatus::closed) return;
    if (status_ != StreamStatus::notOpen) closeSource();
    status_ = StreamStatus::closed;
}

}  // namespace brisko::platform
