#include "Socket.h"

#include <netdb.h>
#include <netinet/tcp.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Io.h"
#include "Log.h"
#include "TarvexStatus.h"

namespace tarvex {
namespace detail {

namespace {

constexpr int kListenBacklog = 5;

}  // namespace

namespace {

std::unique_ptr<Transport> socket_transport(int fd) { return std::make_unique<SocketTransport>(fd); }

// The transports, by the value of the variable: the first row whose value
// it holds exactly, else the last (TCP, also when the variable is unset).
const TransportChoice kTransports[] = {
    {"UNIX", true, socket_transport},
    {nullptr, false, socket_transport},
};

}  // namespace

TransportChoice current_transport() {
    const char* v = std::getenv(switch_info(SwitchId::SockType).variable);
    for (const TransportChoice& row : kTransports)
        if (row.value == nullptr || (v != nullptr && std::strcmp(v, row.value) == 0)) return {v, row.local, row.make};
    return kTransports[0];
}

std::string local_path(const char* dir, int port) {
    return std::string(dir != nullptr ? dir : "/tmp") + "/" + std::to_string(port) + ".tcp";
}

std::string local_path(const Switches& switches, int port, const char* operation, bool& ok) {
    const SocketDir dir = in_force(SwitchId::SocketDir, switches.socket_dir, operation, ok);
    return local_path(dir.set ? dir.dir.c_str() : nullptr, port);
}

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
Address local_address(int port, const char* dir) {
    Address a;
    a.local = true;
    auto* un = reinterpret_cast<sockaddr_un*>(&a.storage);
    un->sun_family = AF_UNIX;
    std::snprintf(un->sun_path, sizeof un->sun_path, "%s", local_path(dir, port).c_str());
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

Address listening_address(const TransportChoice& t, int port, const in_addr* interface, const char* dir) {
    in_addr any;
    any.s_addr = htonl(INADDR_ANY);
    return t.local ? local_address(port, dir) : tcp_address(interface != nullptr ? *interface : any, port);
}

Address peer_address(const TransportChoice& t, in_addr host, int port, const char* dir) {
    return t.local ? local_address(port, dir) : tcp_address(host, port);
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

int bind_to(int fd, const Address& a) {
    if (::bind(fd, a.get(), a.length) == 0) return 0;
    // The error number as a number, not as text.
    log_outf(a.local ? text::kBindFailedUnix : text::kBindFailedInet, errno);
    ::close(fd);
    return ERR_BIND;
}

int listen_on(int fd) {
    if (::listen(fd, kListenBacklog) == 0) return 0;
    log_system_error(text::kListenFailed);
    ::close(fd);
    return ERR_LISTEN;
}

void reuse_address(int fd) {
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
}

void remove_stale_socket_file(const Address& a) {
    struct stat st;
    if (::lstat(a.path(), &st) != 0 || !S_ISSOCK(st.st_mode) || st.st_uid != ::getuid()) return;
    const int probe = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (probe < 0) return;
    const bool nobody_listens = ::connect(probe, a.get(), a.length) != 0 && errno == ECONNREFUSED;
    ::close(probe);
    if (nobody_listens && ::unlink(a.path()) == 0) log_outf(text::kStaleSocketRemoved, a.path());
}

int set_socket_file_mode(int fd, const Address& a, int mode) {
    struct stat st;
    int status = ::stat(a.path(), &st);
    if (status == 0) {
        const mode_t want = mode >= 0 ? static_cast<mode_t>(mode) : (st.st_mode & 0777 & ~S_IWOTH);
        if ((st.st_mode & 0777) != want) status = ::chmod(a.path(), want);
    }
    if (status == 0) return 0;
    log_system_error(text::kSocketModeFailed);
    ::close(fd);
    ::unlink(a.path());
    return ERR_BIND;
}

bool peer_uid(int fd, uid_t& uid) {
    ucred cred;
    socklen_t length = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &length) != 0) return false;
    uid = cred.uid;
    return true;
}

int connect_to(int fd, const Address& a) {
    if (::connect(fd, a.get(), a.length) == 0) return 0;
    log_system_error(a.local ? text::kLocalConnectFailed : text::kTcpConnectFailed);
    ::close(fd);
    return ERR_CONNECT;
}

int accept_peer(int fd, sockaddr_in& peer, socklen_t& length) {
    length = sizeof peer;
    return ::accept(fd, reinterpret_cast<sockaddr*>(&peer), &length);
}

int close_socket(int fd) { return ::close(fd); }

void setup_data_socket(int fd) {
    int one = 1;
    if (::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0) log_system_error(text::kNoDelayFailed);
}

}  // namespace detail
}  // namespace tarvex
