// Process-level helpers of the tools: peak memory, setting up either end of
// a link, child processes and failure reports.  Clocks, free ports, socket
// paths and the capture of the standard streams are the support library's
// (Clock.h, Ports.h, Capture.h), shared with the tests and the other
// programs of the tree.
#ifndef TARVEX_TOOLS_SYSTEM_H
#define TARVEX_TOOLS_SYSTEM_H

#include <sys/types.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "Capture.h"
#include "Clock.h"
#include "Options.h"

class Tarvex;
class RNG_RingBuffer;

namespace tvt {

// Monotonic clock in seconds; comparable between processes of one machine.
using tt::now;

// Peak and current resident memory of this process in KiB (VmHWM, VmRSS).
long peak_rss_kb();
long current_rss_kb();

// One line on standard error: "<tool>: <what>: ERR_NAME (n), <meaning>".
void report_status(const char* tool, const char* what, int status);

// Sends the link's own diagnostic lines, informational ones included, to
// standard error, so that standard output carries only what the tool prints
// itself (records, summaries).
void library_lines_to_stderr();

// Transport: the link reads KBR7_TARVEX_SOCK_TYPE at every setup and connect.
void use_local_socket(bool on);
// The transport of a tool: the local socket with --unix (`unix_option`) or
// when KBR7_TARVEX_SOCK_TYPE=UNIX is set in the environment, as for any
// program of the link; TCP otherwise.
void choose_transport(bool unix_option);
bool local_socket_in_use();
const char* transport_name();

// Accepting end: SocketSetup on `port`.  With `port` 0 on a free port: on
// TCP the one the system picks (get_bound_port), on the local socket one
// picked here, picking another when the bind loses a race.  Returns the
// status of the last SocketSetup; `port` holds the port in use.
int listen_on(Tarvex& link, int& port);

// Connecting end: Connect(host, port), tried again while nobody listens yet
// (ERR_CONNECT) until `wait_s` seconds have passed.
int connect_to(Tarvex& link, const std::string& host, int port, double wait_s);

// What a call wrote to the standard streams, kept from the terminal (the
// support library's capture, by the name the tools' sources use).
using StreamText = tt::Captured;
inline StreamText capture_streams(const std::function<void()>& call) { return tt::capture(call); }
// Writes captured text to the streams it was meant for.
void replay(const StreamText& text);

// As connect_to, for a tool in front of a user: the link's own lines of a
// failed attempt are held back, and the tool reports the wait once a second
// ("<tool>: nobody listens on HOST:PORT yet (<the link's line>); trying for
// N s more"; the socket file's path on the local socket), not once per
// attempt.  The lines of the last attempt are shown.
// Stops trying when `stopped()` says so.
int connect_reporting(Tarvex& link, const std::string& host, int port, double wait_s, const char* tool,
                      const std::function<bool()>& stopped);

// How a tool opens its link, read from the command line: `--listen PORT` or
// `--connect HOST:PORT` (with `--wait SECONDS`), `--bigend`.  Without either
// it listens on 5000 when `listen_by_default`, else connects to
// 127.0.0.1:5000.  Bad values and options that do not apply to the chosen
// end (--bigend when connecting, --wait when listening) end the program
// with 2, before anything is opened.
struct LinkPlan {
    bool listen = true;
    int port = 5000;  // 0: a free port
    std::string host;
    double wait_s = 5;
    bool bigend = false;
};
LinkPlan link_plan(const Options& opt, bool listen_by_default);

// Opens the link as planned: SocketSetup and Connect(true), or Connect with
// retries (connect_reporting).  Failures are reported under the tool's
// name, except a Connect(true) that `stopped()` says was broken off on
// purpose; a port that is taken says "address in use" and what
// --reuse-addr does about it.
int open_link(
    Tarvex& link, const LinkPlan& plan, const char* tool, const std::function<bool()>& stopped = [] { return false; });

// Releases what open_link left: the listening socket or the connection.
void close_link(Tarvex& link);

// SIGINT and SIGTERM ask a tool to stop instead of ending it.  The handlers
// go without SA_RESTART, so a blocked accept, connect or wait returns and
// the tool sees stop_signal().  A signal may come more than once (a terminal
// sends it to the whole process group, `timeout` to its child and to the
// group); every one is the same request.
void catch_stop_signals();
// The signal that asked the tool to stop; 0 while none has.
int stop_signal();

// Arms a process alarm that interrupts blocking calls (accept, a wait
// without time limit) after `seconds`; 0 disarms it.  alarm_fired() tells
// whether it went off since it was last armed.
void arm_alarm(unsigned seconds);
bool alarm_fired();

// Accepting end: Connect(true), given up after `timeout_s` seconds (the
// accept itself has no time limit).
int accept_peer(Tarvex& link, unsigned timeout_s);

// ReceiveEvent until a record arrives or a failure other than an idle
// stream (ERR_TIMEOUT, ERR_SCAN_AGAIN) ends it; an idle stream is waited
// on in slices of `slice_ms` for as long as `keep_waiting()` says so.
int receive_event(Tarvex& link, RNG_RingBuffer* rb, int slice_ms, const std::function<bool()>& keep_waiting);

// Runs `body` in a forked child that exits with its result.  Output
// buffers are flushed first so nothing is written twice.
pid_t spawn(const std::function<int()>& body);

// Runs a program in a child process (fork and exec, PATH searched).  When
// `fd3` is not negative, the child gets that descriptor as its descriptor 3
// (for results written back to the parent).
pid_t spawn_program(const std::vector<std::string>& argv, int fd3 = -1);

// Waits for a child.  After `timeout_s` seconds (negative: no limit) the
// child is killed.  Returns its exit code, or 128 + signal number when a
// signal ended it.
int wait_child(pid_t pid, double timeout_s);

// Non-blocking: true when the child has ended; `code` as wait_child.
bool child_ended(pid_t pid, int& code);

// The path of the running program, for re-running it in a child.
std::string self_program();

// Writes all of `text` to `fd`; reads one line (without its newline) from
// `fd` within `timeout_s`, false on end of stream or time-out.
bool write_all(int fd, const std::string& text);
bool read_line(int fd, std::string& line, double timeout_s);

// Collects what the link (and child processes) write to the standard
// streams in a log file, while the program's own report goes to the
// terminal through out() and err().  The link writes informational lines
// of its own on every setup and release; a tool that prints a table keeps
// them apart.  finish() puts the streams back, prints the log when the run
// failed (and keeps the file), and removes it otherwise.
class DiagnosticsLog {
public:
    DiagnosticsLog() = default;
    DiagnosticsLog(const DiagnosticsLog&) = delete;
    DiagnosticsLog& operator=(const DiagnosticsLog&) = delete;

    bool start(const char* tool);
    void finish(bool failed);
    std::FILE* out() const { return out_; }
    std::FILE* err() const { return err_; }

private:
    std::string path_;
    std::FILE* out_ = stdout;
    std::FILE* err_ = stderr;
};

}  // namespace tvt

#endif
