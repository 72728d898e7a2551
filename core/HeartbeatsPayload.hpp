// The app core's face of a flushed heartbeats payload: its header value and whether it is empty.
#pragma once

#include <string>

#include "core/internal/HeartbeatsPayload.hpp"

namespace brisko::core {

class HeartbeatsPayload final : public internal::HTTPHeaderRepresentable {
  public:
    explicit HeartbeatsPayload(internal::HeartbeatsPayload payload)
        : heartbeatsPayload_(std::move(payload)) {}

    // The header value of the wrapped payload; an empty payload has one too.
    std::string headerValue() const override { return heartbeatsPayload_.headerValue(); }
    bool isEmpty() const { return heartbeatsPayload_.isEmpty(); }
    const internal::HeartbeatsPayload& heartbeatsPayload() const { return heartbeatsPayload_; }

  private:
    const internal::HeartbeatsPayload heartbeatsPayload_;
};

}  // namespace brisko::core
