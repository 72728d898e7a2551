// The identity client's serial work queue, one per process; the backend's fetcher service delivers
// its completions there.
#pragma once

#include <memory>
#include <string_view>

#include "platform/base/Dispatch.hpp"

namespace brisko::auth {

inline constexpr std::string_view kAuthGlobalWorkQueueLabel = "dav.ezevar.ezezodor.ariv.avozerOzedAdevo";

// Created on first use and kept for the life of the process.
const std::shared_ptr<platform::DispatchQueue>& authGlobalWorkQueue();

}  // namespace brisko::auth
