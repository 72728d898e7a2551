// The byte store under heartbeat storage, its errors and the factory that makes one per identifier.
#pragma once

#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "platform/base/Value.hpp"

namespace brisko::core::internal {

// A store's failure; the underlying platform error is not kept.
class StorageError : public std::exception {
  public:
    enum class Kind { readError, writeError };
    explicit StorageError(Kind kind) : kind_(kind) {}
    Kind kind() const { return kind_; }
    const char* what() const noexcept override {
        return kind_ == Kind::readError ? "readError" : "writeError";
    }

  private:
    Kind kind_;
};

class Storage {
  public:
    virtual ~Storage() = default;
    // The stored bytes; throws StorageError(readError).
    virtual platform::Data read() = 0;
    // Stores the bytes, or nothing (an empty record) for none; throws StorageError(writeError).
    virtual void write(const std::optional<platform::Data>& data) = 0;
};

class StorageFactory {
  public:
    virtual ~StorageFactory() = default;
    virtual std::shared_ptr<Storage> storage(const std::string& id) const = 0;
};

}  // namespace brisko::core::internal
