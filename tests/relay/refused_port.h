#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include "platform/url.h"

namespace vask::test {

// A loopback port that refuses every connection: bound but never listening, and held for the
// object's life so that no other server can take it meanwhile.
class RefusedPort {
  public:
    RefusedPort() : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error("cannot reserve a loopback port");
        }
        port_ = ntohs(address.sin_port);
    }
    ~RefusedPort() { ::close(fd_); }
    RefusedPort(const RefusedPort&) = delete;
    RefusedPort& operator=(const RefusedPort&) = delete;

    Url baseURL() const { return *Url::parse("http://127.0.0.1:" + std::to_string(port_)); }

  private:
    int fd_;
    int port_ = 0;
};

}  // namespace vask::test
