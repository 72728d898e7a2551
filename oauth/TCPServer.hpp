// A TCP server listening on the loopback interface (127.0.0.1 and ::1, one port) that hands each
// accepted connection to its delegate, or to a subclass that overrides handleNewConnectionFromAddress.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include <asio/ip/tcp.hpp>

#include "oauth/OAuthTypes.hpp"
#include "platform/base/Dispatch.hpp"

namespace brisko::oauth {

inline constexpr std::string_view kTCPServerErrorDomain = "TCPServerErrorDomain";
namespace TCPServerErrorCode {
enum : std::int64_t {
    couldNotBindToIPv4Address = 1,
    couldNotBindToIPv6Address = 2,
    noSocketsAvailable = 3,
};
}  // namespace TCPServerErrorCode

class TCPServer;

// The peer of an accepted connection; absent when the system could not tell it.
using PeerAddress = std::optional<asio::ip::tcp::endpoint>;

// Messages of a plain TCP server, delivered on the main queue.
class TCPServerDelegate {
public:
    virtual ~TCPServerDelegate() = default;
    // An accepted connection: the socket is its input and output stream, bound to the server's queue.
    // Taking the socket keeps the connection; leaving it closes the connection.
    virtual void TCPServerDidReceiveConnectionFromAddress(TCPServer& /*server*/, const PeerAddress& /*address*/,
                                                          asio::ip::tcp::socket /*socket*/) {}
};

// Its sockets and accepted connections run on its own serial queue; it is always owned by a shared_ptr
// (make it with make() or std::make_shared). Releasing the server stops it.
class TCPServer : public std::enable_shared_from_this<TCPServer> {
public:
    static std::shared_ptr<TCPServer> make() { return std::make_shared<TCPServer>(); }
    TCPServer();
    virtual ~TCPServer();
    TCPServer(const TCPServer&) = delete;
    TCPServer& operator=(const TCPServer&) = delete;

    std::shared_ptr<TCPServerDelegate> delegate() const;
    void setDelegate(std::weak_ptr<TCPServerDelegate> delegate);

    // The service-discovery domain, name and type. Kept, but not published: these machines run no mDNS
    // responder to announce the server through.
    std::optional<std::string> domain() const;
    void setDomain(std::optional<std::string> domain);
    std::optional<std::string> name() const;
    void setName(std::optional<std::string> name);
    std::optional<std::string> type() const;
    void setType(std::optional<std::string> type);

    // 0 lets the system choose; after start() the port bound.
    std::uint16_t port() const;
    void setPort(std::uint16_t port);

    // Listens on 127.0.0.1 and ::1 (the second on the port the first got); true when at least one
    // listens. Errors of kTCPServerErrorDomain: 3 when no socket can be made, 1 when neither address can
    // be bound. Starting again after stop() is allowed.
    bool start(OptionalError* error = nullptr);
    // Closes the listening sockets; connections already accepted are not closed. Always true.
    bool stop();
    bool hasIPv4Socket() const;
    bool hasIPv6Socket() const;

    // The serial queue the listening sockets and the accepted connections run on.
    const std::shared_ptr<platform::DispatchQueue>& queue() const;

    struct State;

protected:
    // Called on the server's queue for each accepted connection. The base class tells its delegate (on
    // the main queue); subclasses override it.
    virtual void handleNewConnectionFromAddress(const PeerAddress& address, asio::ip::tcp::socket socket);

private:
    std::shared_ptr<State> state_;
};

}  // namespace brisko::oauth
