// Fixtures for the storage tests: a temporary folder and environment variables set for one test.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <optional>
#include <string>

#include "platform/storage/FileSystem.hpp"

namespace brisko::platform::testing {

// A fresh folder under the temporary directory, removed with everything in it at the end.
class TemporaryDirectory {
  public:
    TemporaryDirectory() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "brisko-storage-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TemporaryDirectory() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

  private:
    std::filesystem::path path_;
};

// Sets (or, with nothing, unsets) an environment variable and puts the old value back at the end.
class ScopedEnvironment {
  public:
    ScopedEnvironment(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) old_ = old;
        if (value)
            ::setenv(name_.c_str(), value->c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }
    ~ScopedEnvironment() {
        if (old_)
            ::setenv(name_.c_str(), old_->c_str(), 1);
        else
            ::unsetenv(name_.c_str());
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};

inline unsigned permissions(const std::filesystem::path& p) {
    return static_cast<unsigned>(std::filesystem::status(p).permissions()) & 0777u;
}

inline void writeText(const std::filesystem::path& p, std::string_view text) {
    FileSystem::writeFileAtomically(p, Data(text.begin(), text.end()));
}

}  // namespace brisko::platform::testing
