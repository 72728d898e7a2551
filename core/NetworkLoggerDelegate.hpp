// Where the utilities' network client sends its log lines when a caller wants them.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace brisko::core {

// The network client's message codes.
enum NetworkMessageCode : long {
    kNetworkMessageCodeNetwork000 = 900000,  // Uploading data.
    kNetworkMessageCodeNetwork001 = 900001,  // Downloading data.
    kNetworkMessageCodeNetwork002 = 900002,  // Failed to create a request.
    kNetworkMessageCodeNetwork003 = 900003,  // No background session after relaunch.
    kNetworkMessageCodeURLSession000 = 901000,
    kNetworkMessageCodeURLSession001 = 901001,
    kNetworkMessageCodeURLSession002 = 901002,
    kNetworkMessageCodeURLSession004 = 901004,
    kNetworkMessageCodeURLSession005 = 901005,
    kNetworkMessageCodeURLSession006 = 901006,
    kNetworkMessageCodeURLSession007 = 901007,
    kNetworkMessageCodeURLSession008 = 901008,
    kNetworkMessageCodeURLSession009 = 901009,
    kNetworkMessageCodeURLSession010 = 901010,
    kNetworkMessageCodeURLSession011 = 901011,
    kNetworkMessageCodeURLSession012 = 901012,
    kNetworkMessageCodeURLSession013 = 901013,
    kNetworkMessageCodeURLSession014 = 901014,
    kNetworkMessageCodeURLSession015 = 901015,
    kNetworkMessageCodeURLSession016 = 901016,
    kNetworkMessageCodeURLSession017 = 901017,
    kNetworkMessageCodeURLSession019 = 901019,
};

class NetworkLoggerDelegate {
  public:
    virtual ~NetworkLoggerDelegate() = default;
    // One message with its contexts (a missing context is nothing).
    virtual void networkLogWithLevel(long level, NetworkMessageCode code, const std::string& message,
                                     const std::vector<std::optional<std::string>>& contexts) = 0;
};

}  // namespace brisko::core
