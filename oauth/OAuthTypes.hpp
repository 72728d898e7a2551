// The platform types the OAuth client speaks in, named once for the whole library.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/Dispatch.hpp"
#include "platform/base/Error.hpp"
#include "platform/base/Value.hpp"
#include "platform/net/URL.hpp"

namespace brisko::oauth {

using platform::Data;
using platform::Date;
using platform::Dictionary;
using platform::Error;
using platform::OptionalError;
using platform::URL;
using platform::Value;

// Parameters of requests: names to single text values, kept in name order.
using StringMap = std::map<std::string, std::string, std::less<>>;

// The queue a completion runs on.
using DispatchQueuePtr = std::shared_ptr<platform::DispatchQueue>;

}  // namespace brisko::oauth
