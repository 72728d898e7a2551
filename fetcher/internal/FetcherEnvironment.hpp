// What the fetcher needs of its surroundings: worker queues, files, the identifier map, user defaults.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/Dispatch.hpp"
#include "platform/base/Error.hpp"
#include "platform/storage/UserDefaults.hpp"
#include "platform/base/Value.hpp"

namespace brisko::fetcher {
class SessionFetcher;
}

namespace brisko::fetcher::internal {

// A queue for work that may block or take long (user agents, trust evaluation, file reads): each call
// gives a fresh serial queue on the shared pool, so such work runs side by side like on a global queue.
std::shared_ptr<platform::DispatchQueue> globalQueue();

platform::Error fileError(int err, const std::string& path, bool writing = false);
// Writes the bytes to the path atomically, creating its folders; the error when that fails.
std::optional<platform::Error> writeDataAtomically(const platform::Data& data, const std::string& path);
// Moves a file (copying across file systems), creating the destination's folders.
std::optional<platform::Error> moveFile(const std::string& from, const std::string& to);
std::optional<platform::Data> readFile(const std::string& path);
// `length` bytes from `offset`; nothing when the file cannot be read or is shorter.
std::optional<platform::Data> readFileRange(const std::string& path, std::int64_t offset, std::int64_t length);

// The process-wide map of background session identifiers to live fetchers (weak values).
void registerSessionIdentifier(const std::string& identifier, std::weak_ptr<SessionFetcher> fetcher);
// Removes the entry when it still names that fetcher (or any fetcher, when none is given).
void forgetSessionIdentifier(const std::string& identifier, const SessionFetcher* fetcher);
std::shared_ptr<SessionFetcher> fetcherForSessionIdentifier(const std::string& identifier);

// The user defaults the fetcher records background sessions in; tests may replace them.
std::shared_ptr<platform::UserDefaults> fetcherUserDefaults();
void setFetcherUserDefaults(std::shared_ptr<platform::UserDefaults> defaults);

}  // namespace brisko::fetcher::internal
