// tarvex-demo: two processes on one machine open a link over loopback,
// settle the byte order and tear the link down again, once in native mode
// and once in big-endian mode.  Usage: tarvex-demo [--unix]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Tarvex.h"

namespace {

int free_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t l = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &l);
    close(s);
    return ntohs(a.sin_port);
}

int connecting_end(int port) {
    Tarvex link(false);
    int st = 1;
    for (int attempt = 0; attempt < 200; ++attempt) {  // until the listener is up
        st = link.Connect("127.0.0.1", port);
        if (st != ERR_CONNECT) break;
        usleep(10000);
    }
    if (st != 0) {
        std::printf("connecting end: Connect failed: %s (%d)\n", tarvex_status_name(st), st);
        return 1;
    }
    std::printf("connecting end: connected, converts records: %s\n", link.get_swap() ? "yes" : "no");
    std::fflush(stdout);
    link.SocketRelease();
    return 0;
}

int accepting_end(int port, int mode) {
    Tarvex link(mode);
    if (int st = link.SocketSetup(port)) return st;
    int st = link.Connect(true);
    if (st == 0)
        std::printf("accepting end:  %s mode, converts records: %s\n",
                    mode == Tarvex::BIGEND_MODE ? "big-endian" : "native", link.get_swap() ? "yes" : "no");
    std::fflush(stdout);
    link.SocketRelease();
    return st;
}

int run_phase(int mode) {
    const int port = free_port();
    pid_t child = fork();
    if (child == 0) std::_Exit(connecting_end(port));
    int st = accepting_end(port, mode);
    int ws = 0;
    waitpid(child, &ws, 0);
    return st != 0 || !WIFEXITED(ws) || WEXITSTATUS(ws) != 0;
}

}  // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--unix") == 0) {
            setenv("KBR7_TARVEX_SOCK_TYPE", "UNIX", 1);
        } else {
            std::printf("usage: %s [--unix]\n", argv[0]);
            return std::strcmp(argv[i], "--help") == 0 ? 0 : 2;
        }
    }
    int failures = run_phase(Tarvex::NATIVE_MODE) + run_phase(Tarvex::BIGEND_MODE);
    std::printf("%s\n", failures ? "demo FAILED" : "demo passed");
    return failures ? 1 : 0;
}
