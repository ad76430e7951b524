#include "Ports.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>

#include "Tarvex.h"

namespace tt {

namespace {
constexpr int kAttempts = 1000;
}  // namespace

int bind_any_port() {
    const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    socklen_t l = sizeof a;
    int port = -1;
    if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &l) == 0)
        port = ntohs(a.sin_port);
    ::close(s);
    return port;
}

int pick_port() {
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const int port = bind_any_port();
        if (port > 0 && ::access(socket_path(port).c_str(), F_OK) != 0) return port;
    }
    return -1;
}

int unique_port() {
    static std::mutex m;
    static std::set<int> handed_out;
    std::lock_guard<std::mutex> lock(m);
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        const int port = bind_any_port();
        if (port > 0 && handed_out.insert(port).second) {
            ::unlink(socket_path(port).c_str());
            return port;
        }
    }
    std::fprintf(stderr, "unique_port: no free port\n");
    std::abort();
}

std::string socket_path(int port) {
    char path[128];
    tarvex_socket_path(port, path, sizeof path);
    return path;
}

std::string socket_file(int port, const std::string& dir) { return dir + "/" + std::to_string(port) + ".tcp"; }

}  // namespace tt
