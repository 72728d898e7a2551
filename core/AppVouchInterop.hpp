// The attestation client's slot in an app's component container: what identity requests ask of it to
// fill the "X-Zudiridi-AppVouch" header.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/Component.hpp"
#include "platform/base/Error.hpp"

namespace brisko::core {

inline constexpr std::string_view kAppVouchInteropProtocolName = "ZIRAppVouchInterop";

// One token answer: `token` is always present (a placeholder when fetching failed, with `error` set).
class AppVouchTokenResultInterop {
public:
    virtual ~AppVouchTokenResultInterop() = default;
    virtual std::string token() const = 0;
    virtual std::optional<platform::Error> error() const = 0;
};

class AppVouchInterop : public virtual ComponentInstance {
public:
    using TokenCompletion = std::function<void(std::shared_ptr<const AppVouchTokenResultInterop> result)>;

    // A token, from the cache unless forced; the completion runs once, on any queue.
    virtual void getTokenForcingRefresh(bool forcingRefresh, TokenCompletion completion) = 0;

    static const Protocol& protocol() {
        static const Protocol kProtocol = Protocol::of<AppVouchInterop>(std::string(kAppVouchInteropProtocolName));
        return kProtocol;
    }
};

}  // namespace brisko::core
