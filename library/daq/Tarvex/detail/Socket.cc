#include "Socket.h"

#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Log.h"
#include "TarvexStatus.h"

namespace tarvex {
namespace detail {

namespace {

constexpr int kListenBacklog = 5;

}  // namespace

Transport current_transport() {
    const char* v = std::getenv("KBR7_TARVEX_SOCK_TYPE");
    return {v, v != nullptr && std::strcmp(v, "UNIX") == 0};
}

void local_path(int port, char* out, size_t size) { std::snprintf(out, size, "/tmp/%d.tcp", port); }

const char* Address::path() const { return local ? reinterpret_cast<const sockaddr_un*>(&storage)->sun_path : ""; }

sockaddr_in ipv4_address(in_addr addr, int port) {
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr = addr;
    a.sin_port = htons(static_cast<uint16_t>(port));
    return a;
}

namespace {

// The local socket address of `port`: the path, the rest of the path field
// zero, and the length of the whole address structure.
Address local_address(int port) {
    Address a;
    a.local = true;
    auto* un = reinterpret_cast<sockaddr_un*>(&a.storage);
    un->sun_family = AF_UNIX;
    local_path(port, un->sun_path, sizeof un->sun_path);
    a.length = sizeof(sockaddr_un);
    return a;
}

Address tcp_address(in_addr host, int port) {
    Address a;
    const sockaddr_in in = ipv4_address(host, port);
    std::memcpy(&a.storage, &in, sizeof in);
    a.length = sizeof in;
    return a;
}

}  // namespace

Address listening_address(const Transport& t, int port) {
    in_addr any;
    any.s_addr = htonl(INADDR_ANY);
    return t.local ? local_address(port) : tcp_address(any, port);
}

Address peer_address(const Transport& t, in_addr host, int port) {
    return t.local ? local_address(port) : tcp_address(host, port);
}

bool resolve_ipv4(const char* host, in_addr& addr, const char*& why) {
    // A missing host name is a name that does not resolve, not a crash.
    if (host == nullptr) {
        why = ::gai_strerror(EAI_NONAME);
        return false;
    }
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host, nullptr, &hints, &found);
    if (rc != 0 || found == nullptr) {
        why = rc == EAI_SYSTEM ? std::strerror(errno) : ::gai_strerror(rc != 0 ? rc : EAI_NONAME);
        return false;
    }
    addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return true;
}

int open_socket(const Address& a) {
    const int fd = a.local ? ::socket(AF_UNIX, SOCK_STREAM, 0) : ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) {
        log_system_error(text::kSocketCreationFailed);
        return -1;
    }
    if (a.local) log_out(text::kUnixSocketUsed);
    return fd;
}

int bind_and_listen(int fd, const Address& a) {
    if (::bind(fd, a.get(), a.length) != 0) {
        // The error number as a number, not as text.
        log_outf(a.local ? text::kBindFailedUnix : text::kBindFailedInet, errno);
        ::close(fd);
        return ERR_BIND;
    }
    if (::listen(fd, kListenBacklog) != 0) {
        log_system_error(text::kListenFailed);
        ::close(fd);
        return ERR_LISTEN;
    }
    return 0;
}

int connect_to(int fd, const Address& a) {
    if (::connect(fd, a.get(), a.length) == 0) return 0;
    log_system_error(a.local ? text::kLocalConnectFailed : text::kTcpConnectFailed);
    ::close(fd);
    return ERR_CONNECT;
}

void setup_data_socket(int fd) {
    int one = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) log_system_error(text::kNoDelayFailed);
}

}  // namespace detail
}  // namespace tarvex
