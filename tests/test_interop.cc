// Byte-order interop: the library built for this machine against the same
// library built for a big-endian one.
//
// Each case runs two copies of the interop program (interop/), one native
// and one for the other byte order, as the two ends of one link; the
// big-endian one runs under the emulator.  The case chooses the transport,
// which end the big-endian program plays (accepting or connecting), the
// accepting end's mode (native or big-endian) and who sends.  The sender
// moves every record kind, acknowledged and not; the receiver compares each
// record, after the link's conversion, with the one it builds itself from
// the same values.  This driver checks what both ends report: the status of
// the connection, get_swap() on each end before and after the transfer, and
// that every record arrived as meant.
//
// TARVEX_INTEROP_PEER names the program of the other byte order and
// TARVEX_INTEROP_NATIVE the native one (scripts/interop.sh builds both and
// sets them); without them the cases are skipped.  A peer program for s390x
// runs through "qemu-s390x -L /usr/s390x-linux-gnu" unless
// TARVEX_INTEROP_EMULATOR gives another command.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "Bytes.h"
#include "Guards.h"
#include "Ports.h"
#include "control.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kProgramTimeoutS = 50;   // each program ends itself after this
constexpr int kReadyMs = 15000;        // the emulator may start slowly on a loaded machine
constexpr int kRunMs = 40000;          // the whole transfer of one case
constexpr int kIdleReceiverMs = 5000;  // a receiver silent this long after the sender ended is stuck

std::vector<std::string> split_words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

// How to start the program at `path`: directly when it suits this machine,
// through the emulator when it is a big-endian s390x program.
std::vector<std::string> launcher(const std::string& path) {
    unsigned char ident[20] = {};
    std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(ident), sizeof ident);
    const bool elf_big = ident[5] == 2;
    const int machine = elf_big ? ident[18] << 8 | ident[19] : ident[19] << 8 | ident[18];
    constexpr int kMachineS390 = 22;
    std::vector<std::string> cmd;
    if (const char* emu = std::getenv("TARVEX_INTEROP_EMULATOR"))
        cmd = split_words(emu);
    else if (machine == kMachineS390 && tt::host_is_little_endian())
        cmd = {"qemu-s390x", "-L", "/usr/s390x-linux-gnu"};
    cmd.push_back(path);
    return cmd;
}

// One interop program in a child process, with its standard input and
// output (and error) on pipes.
class Program {
public:
    Program(std::vector<std::string> argv, std::string label) : label_(std::move(label)), reader_(-1) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        std::vector<char*> args;
        for (std::string& a : argv) args.push_back(a.data());
        args.push_back(nullptr);
        // Only async-signal-safe calls between fork and exec: this process
        // has other threads (the watchdog).
        const std::string failed = "cannot start " + argv[0] + "\n";
        std::fflush(nullptr);
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], STDIN_FILENO);
            ::dup2(out[1], STDOUT_FILENO);
            ::dup2(out[1], STDERR_FILENO);
            ::execvp(args[0], args.data());
            [[maybe_unused]] ssize_t said = ::write(STDERR_FILENO, failed.data(), failed.size());
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        to_ = in[1];
        from_ = out[0];
        reader_ = interop::LineReader(from_, [this](const std::string& l) { output_.push_back(l); });
        for (const std::string& a : argv) command_ += a + " ";
    }

    ~Program() {
        if (pid_ > 0 && !exited_) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        if (to_ >= 0) ::close(to_);
        if (from_ >= 0) ::close(from_);
    }

    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    bool started() const { return pid_ > 0; }
    const std::string& label() const { return label_; }

    // The next control line, which must begin with `word`.
    bool expect(const std::string& word, std::string& line, int timeout_ms) {
        while (reader_.next(line, timeout_ms)) {
            if (line.compare(0, word.size(), word) == 0) return true;
            unexpected_.push_back(line);
        }
        return false;
    }

    // Control lines that arrive within `timeout_ms`: notes are kept, the
    // result line ends the wait.
    bool poll_result(int timeout_ms) {
        std::string line;
        while (!has_result() && reader_.next(line, timeout_ms)) {
            if (line.compare(0, 5, "note ") == 0)
                notes_.push_back(line.substr(5));
            else if (line.compare(0, 7, "result ") == 0)
                result_ = line;
            else
                unexpected_.push_back(line);
        }
        return has_result();
    }
    bool has_result() const { return !result_.empty(); }
    const std::string& result() const { return result_; }

    void tell(const std::string& cmd) {
        std::string line = std::string(interop::kControlPrefix) + cmd + "\n";
        // A program that has gone cannot be told; its exit status says why.
        [[maybe_unused]] ssize_t sent = ::write(to_, line.data(), line.size());
    }

    // Asks the program to end and returns its exit status (-1 when it had
    // to be killed).
    int finish(int timeout_ms) {
        tell("quit");
        auto end = Clock::now() + std::chrono::milliseconds(timeout_ms);
        std::string ignored;
        while (Clock::now() < end) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                exited_ = true;
                while (reader_.next(ignored, 0)) {
                }
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            reader_.next(ignored, 20);  // keep the pipe drained
        }
        return -1;
    }

    int count_output(const std::string& text) const {
        int n = 0;
        for (const std::string& l : output_) n += l.find(text) != std::string::npos;
        return n;
    }

    // Everything the program said, for a failure report.
    std::string transcript() const {
        std::string s = "---- " + label_ + ": " + command_ + "\n";
        for (const std::string& l : output_) s += "  | " + l + "\n";
        for (const std::string& l : unexpected_) s += "  @ " + l + "\n";
        for (const std::string& l : notes_) s += "  note: " + l + "\n";
        if (!result_.empty()) s += "  " + result_ + "\n";
        return s;
    }

private:
    std::string label_;
    std::string command_;
    pid_t pid_ = -1;
    int to_ = -1;
    int from_ = -1;
    bool exited_ = false;
    interop::LineReader reader_;
    std::vector<std::string> output_;
    std::vector<std::string> unexpected_;
    std::vector<std::string> notes_;
    std::string result_;
};

struct Case {
    std::string name;
    bool local;        // the local stream socket instead of TCP
    bool be_accepts;   // the big-endian program is the accepting end
    bool bigend_mode;  // the accepting end runs in BIGEND_MODE
    bool be_sends;     // the big-endian program sends, the native one receives
    bool mask_sender;  // the sending end never converts (set_swap_mask)
    uint32_t seed;
    bool batch = false;  // the sender sends runs of unacknowledged records as batches
};

std::ostream& operator<<(std::ostream& os, const Case& c) { return os << c.name; }

std::vector<Case> all_cases() {
    std::vector<Case> cases;
    uint32_t seed = 7001;
    for (bool local : {false, true})
        for (bool be_accepts : {true, false})
            for (bool bigend : {false, true})
                for (bool be_sends : {true, false}) {
                    std::string name =
                        std::string(local ? "Unix" : "Tcp") + (be_accepts ? "_BeAccepts" : "_BeConnects") +
                        (bigend ? "_BigendMode" : "_NativeMode") + (be_sends ? "_BeSends" : "_BeReceives");
                    cases.push_back({name, local, be_accepts, bigend, be_sends, false, seed++});
                }
    // A sender that never converts, facing an accepting receiver in native
    // mode: the receiver meets the 2010 pattern in the other byte order and
    // switches conversion on by itself, once.
    cases.push_back({"Tcp_BeConnects_MaskedBeSends_NativeSwitches", false, false, false, true, true, seed++});
    cases.push_back({"Tcp_BeAccepts_MaskedNativeSends_BeSwitches", false, true, false, false, true, seed++});
    // Batches of records, converted by either end on the way.
    cases.push_back({"Tcp_BeConnects_NativeMode_BeSends_Batch", false, false, false, true, false, seed++, true});
    cases.push_back({"Tcp_BeAccepts_BigendMode_BeReceives_Batch", false, true, true, false, false, seed++, true});
    cases.push_back({"Unix_BeAccepts_BigendMode_BeSends_Batch", true, true, true, true, false, seed++, true});
    cases.push_back({"Unix_BeConnects_NativeMode_BeReceives_Batch", true, false, false, false, false, seed++, true});
    return cases;
}

// One end of a case: which program plays it and what it does.
struct End {
    End(bool be, bool acc, bool snd) : big_endian(be), accepting(acc), sends(snd) {}

    bool big_endian;
    bool accepting;
    bool sends;
    bool masked = false;
    std::unique_ptr<Program> program;
    bool little = false;  // its byte order, as it reported it
    std::string link;     // its "link" line
};

// get_swap() right after the connection.  Native mode: only a connecting end
// converts, and only when the two byte orders differ.  Big-endian mode: the
// records travel in big-endian order, so an end converts exactly when it is
// little-endian (between two little-endian ends both convert).
bool expected_link_swap(const End& e, const End& other, bool bigend_mode) {
    if (e.masked) return false;
    if (bigend_mode) return e.little;
    return !e.accepting && e.little != other.little;
}

class Interop : public testing::TestWithParam<Case> {
protected:
    void SetUp() override {
        peer_ = std::getenv("TARVEX_INTEROP_PEER");
        native_ = std::getenv("TARVEX_INTEROP_NATIVE");
        if (!peer_ || !native_)
            GTEST_SKIP() << "TARVEX_INTEROP_PEER and TARVEX_INTEROP_NATIVE are not set (scripts/interop.sh sets them)";
    }

    // Starts the program of `e` and waits until it is listening or about to
    // connect.
    void start(End& e, int port) {
        const Case& c = GetParam();
        std::vector<std::string> argv = launcher(e.big_endian ? peer_ : native_);
        argv.insert(argv.end(),
                    {e.accepting ? "--accept" : "--connect", std::to_string(port), e.sends ? "--send" : "--receive",
                     "--seed", std::to_string(c.seed), "--timeout", std::to_string(kProgramTimeoutS)});
        if (e.accepting && c.bigend_mode) argv.push_back("--bigend");
        if (e.masked) argv.push_back("--mask");
        if (e.sends && c.batch) argv.insert(argv.end(), {"--batch", "16"});
        std::string label = std::string(e.big_endian ? "big-endian " : "native ") +
                            (e.accepting ? "accepting" : "connecting") + (e.sends ? " sender" : " receiver");
        e.program = std::make_unique<Program>(argv, label);
        std::string ready;
        ASSERT_TRUE(e.program->started()) << label;
        ASSERT_TRUE(e.program->expect("ready", ready, kReadyMs)) << e.program->transcript();
        e.little = ready.find("order=little") != std::string::npos;
    }

    const char* peer_ = nullptr;
    const char* native_ = nullptr;
};

// Waits for both results; a receiver that ended early stops the sender, and
// a receiver left waiting inside a record by a sender that has ended is
// released by closing the sender's data connection.
void collect_results(Program& sender, Program& receiver) {
    const auto end = Clock::now() + std::chrono::milliseconds(kRunMs);
    bool told_stop = false, told_disconnect = false;
    Clock::time_point sender_done{};
    while (Clock::now() < end && !(sender.has_result() && receiver.has_result())) {
        if (!sender.has_result() && sender.poll_result(25)) sender_done = Clock::now();
        if (!receiver.has_result()) receiver.poll_result(25);
        if (receiver.has_result() && !sender.has_result() && !told_stop) {
            sender.tell("stop");
            told_stop = true;
        }
        if (sender.has_result() && !receiver.has_result() && !told_disconnect &&
            Clock::now() - sender_done > std::chrono::milliseconds(kIdleReceiverMs)) {
            sender.tell("disconnect");
            told_disconnect = true;
        }
    }
}

long flag(bool b) { return b ? 1 : 0; }

// A program killed before its SocketRelease leaves its socket file behind.
struct SocketFileGuard {
    std::string path;
    ~SocketFileGuard() { ::unlink(path.c_str()); }
};

TEST_P(Interop, EveryRecordArrivesAsMeant) {
    const Case& c = GetParam();
    tt::Watchdog dog(120, "interop case " + c.name);
    tt::EnvGuard transport("KBR7_TARVEX_SOCK_TYPE", c.local ? "UNIX" : nullptr);
    const int port = tt::unique_port();
    SocketFileGuard socket_file{tt::socket_file(port)};

    End acc(c.be_accepts, true, c.be_sends == c.be_accepts);
    End con(!c.be_accepts, false, !acc.sends);
    End& snd = acc.sends ? acc : con;
    End& rcv = acc.sends ? con : acc;
    snd.masked = c.mask_sender;

    // The connecting end starts once the accepting one listens.
    ASSERT_NO_FATAL_FAILURE(start(acc, port));
    ASSERT_NO_FATAL_FAILURE(start(con, port));
    for (End* e : {&acc, &con}) ASSERT_TRUE(e->program->expect("link", e->link, kReadyMs)) << e->program->transcript();
    EXPECT_NE(acc.little, con.little) << "both programs have the same byte order";

    for (End* e : {&acc, &con}) {
        const End& other = e == &acc ? con : acc;
        EXPECT_EQ(interop::field(e->link, "status"), 0) << e->program->label() << ": " << e->link;
        EXPECT_EQ(interop::field(e->link, "swap"), flag(expected_link_swap(*e, other, c.bigend_mode)))
            << e->program->label() << ", right after the connection";
    }

    collect_results(*snd.program, *rcv.program);
    for (End* e : {&snd, &rcv}) {
        const std::string& r = e->program->result();
        ASSERT_FALSE(r.empty()) << e->program->label() << " gave no result\n" << e->program->transcript();
        EXPECT_EQ(interop::field(r, "bad"), 0) << e->program->label() << ": " << r;
        EXPECT_EQ(interop::field(r, "ok"), interop::field(r, "of")) << e->program->label() << ": " << r;
    }

    // A receiver that does not convert, facing a sender that does not either
    // across different byte orders, switches on at the first 2010 event.
    const bool sender_swap = expected_link_swap(snd, rcv, c.bigend_mode);
    const bool receiver_swap = expected_link_swap(rcv, snd, c.bigend_mode);
    const bool switches = !receiver_swap && !rcv.masked && !sender_swap && snd.little != rcv.little;
    EXPECT_EQ(interop::field(snd.program->result(), "swap"), flag(sender_swap)) << "sender, after the transfer";
    EXPECT_EQ(interop::field(rcv.program->result(), "swap"), flag(receiver_swap || switches))
        << "receiver, after the transfer";
    EXPECT_EQ(rcv.program->count_output("Automatically switching swap"), switches ? 1 : 0);
    EXPECT_EQ(snd.program->count_output("Automatically switching swap"), 0);

    // A program exits with 1 when it found a fault, so anything else (a
    // crash, a hang that had to be killed) is a failure of its own.
    for (End* e : {&acc, &con}) {
        const bool clean = interop::field(e->link, "status") == 0 && interop::field(e->program->result(), "bad") == 0;
        EXPECT_EQ(e->program->finish(10000), clean ? 0 : 1) << e->program->label();
    }
    if (HasFailure()) std::printf("%s%s", acc.program->transcript().c_str(), con.program->transcript().c_str());
}

INSTANTIATE_TEST_SUITE_P(BigEndianPeer, Interop, testing::ValuesIn(all_cases()),
                         [](const testing::TestParamInfo<Case>& i) { return i.param.name; });

}  // namespace
