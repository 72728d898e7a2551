// The core tests' process environment: private XDG folders, in-memory user defaults, the fixture
// bundle; and helpers to wait for queued work.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/Dispatch.hpp"

namespace brisko::core::testing {

// The fixture files (options files, Info.plist).
std::filesystem::path fixturesDirectory();
// The private data folder ($XDG_DATA_HOME) of this test process.
std::filesystem::path dataHome();

// Runs main-queue work until the predicate holds (bounded).
bool waitOnMain(const std::function<bool()>& done);

// The lines written by the shared logger so far, after its queue has written them.
std::vector<std::string> loggedLines();
bool logged(std::string_view text);
// Forgets the lines logged so far.
void clearLoggedLines();

}  // namespace brisko::core::testing
