// tarvex-interop: one end of a byte-order interop run.
//
// Two of these, built for machines of different byte order, make a link and
// move every record kind across it: events of the legacy, 2010 and 2024
// generations, legacy and 2024 slow data, images and spectra, first
// acknowledged and then not.  Both ends build the same records from
// (kind, index, seed) as values in their own host order (records.h); the
// receiving end compares every record it gets, once the link has converted
// it, with the one it builds itself.
//
// The driver (the interop test) talks to each end over standard input and
// output with "@ " lines (control.h):
//   out: "ready order=little|big"  the end is listening, or about to connect
//        "link status=N swap=0|1"  the connection is made (or failed)
//        "note <text>"             one finding, before the result
//        "result ok=N bad=N of=N swap=0|1"
//   in:  "stop"        a sender ends after the record it is sending
//        "disconnect"  a sender that has finished closes the data connection,
//                      so that a receiver stuck inside a record ends too
//        "quit"        the end tears the link down and exits
// Run by hand with standard input at its end (</dev/null), an end exits as
// soon as its part is done.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Tarvex.h"
#include "control.h"
#include "event_util.h"
#include "records.h"

namespace {

using interop::Bytes;
using interop::Item;
using interop::Kind;
using interop::Record;

constexpr int kFirstWaitSeconds = 20;          // for the first bytes of each event record
constexpr unsigned long kRingBytes = 1 << 20;  // holds the largest record of a plan
constexpr int kConnectWaitMs = 10000;          // while the accepting end is not listening yet

struct Options {
    bool accept = false;
    std::string host = "127.0.0.1";
    int port = 0;
    bool bigend = false;
    bool mask = false;
    bool send = false;
    bool receive = false;
    uint32_t seed = 1;
    unsigned timeout_s = 60;
    int batch = 0;  // unacknowledged events, slow data and images go out in batches of up to this many
};

const char* usage =
    "usage: tarvex-interop (--accept PORT | --connect PORT [--host HOST]) (--send | --receive)\n"
    "                      [--bigend] [--mask] [--seed N] [--timeout SECONDS] [--batch N]\n"
    "  --bigend   the accepting end asks both ends to convert (BIGEND_MODE)\n"
    "  --batch N  a sender sends runs of unacknowledged records with SendEventBatch, N at most per call\n"
    "  --mask     this end never converts (set_swap_mask(true))\n"
    "  KBR7_TARVEX_SOCK_TYPE=UNIX in the environment selects the local socket.\n";

bool parse(int argc, char** argv, Options& o) {
    bool have_port = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> const char* { return i + 1 < argc ? argv[++i] : nullptr; };
        const char* v = nullptr;
        if (a == "--accept" || a == "--connect") {
            if (!(v = value())) return false;
            o.accept = a == "--accept";
            o.port = std::atoi(v);
            have_port = true;
        } else if (a == "--host") {
            if (!(v = value())) return false;
            o.host = v;
        } else if (a == "--seed") {
            if (!(v = value())) return false;
            o.seed = static_cast<uint32_t>(std::strtoul(v, nullptr, 10));
        } else if (a == "--timeout") {
            if (!(v = value())) return false;
            o.timeout_s = static_cast<unsigned>(std::atoi(v));
        } else if (a == "--batch") {
            if (!(v = value())) return false;
            o.batch = std::atoi(v);
        } else if (a == "--bigend") {
            o.bigend = true;
        } else if (a == "--mask") {
            o.mask = true;
        } else if (a == "--send") {
            o.send = true;
        } else if (a == "--receive") {
            o.receive = true;
        } else {
            return false;
        }
    }
    return have_port && o.port > 0 && o.send != o.receive;
}

void say(const std::string& line) {
    std::printf("%s%s\n", interop::kControlPrefix, line.c_str());
    std::fflush(stdout);
}

bool little_endian() {
    const uint32_t one = 1;
    unsigned char first;
    std::memcpy(&first, &one, 1);
    return first == 1;
}

std::string status_text(int st) { return std::string(tarvex_status_name(st)) + " (" + std::to_string(st) + ")"; }

// Outcome of one end's part of the run.
struct Tally {
    int ok = 0;
    int bad = 0;
    std::vector<std::string> notes;

    void fail(const Item& it, const std::string& what) {
        ++bad;
        notes.push_back(std::string(interop::kind_name(it.kind)) + " #" + std::to_string(it.index) +
                        (it.ack ? " (acknowledged)" : "") + ": " + what);
    }
};

template <class T>
T load(const Bytes& b, size_t at = 0) {
    T v;
    std::memcpy(&v, b.data() + at, sizeof v);
    return v;
}

// ---- sending ----------------------------------------------------------------

// No send operation frames a spectrum: the writer puts the 56-byte intro and
// the data on the wire itself.  It writes them in the link's wire order, as
// the event sender does with its records: converted when this end converts.
int send_spectrum(Tarvex& link, const Record& r) {
    Bytes b = r.whole();
    if (link.get_swap()) {
        kbr7_spect_intro intro = load<kbr7_spect_intro>(b);
        kbr7_convert_spect_head(&intro, &intro);
        std::memcpy(b.data(), &intro, sizeof intro);
    }
    return link.SendRequest(reinterpret_cast<char*>(b.data()), static_cast<int>(b.size()));
}

int send_one(Tarvex& link, const Item& it, uint32_t seed) {
    Record r = interop::make_record(it.kind, it.index, seed);
    if (r.kind == Kind::Spectrum) return send_spectrum(link, r);
    std::vector<iovec> v;
    int n = r.gather(v);
    return link.SendEvent(v.data(), n, it.ack ? SendEvent_ACK : SendEvent_NOACK);
}

// Whether a step may go out in a batch: unacknowledged, and a kind the
// event sender frames (a spectrum is written raw).
bool batchable(const Item& it) { return !it.ack && !it.refuse && it.kind != Kind::Spectrum; }

// Sends plan[first .. first + n) with one SendEventBatch call.
int send_batch(Tarvex& link, const std::vector<Item>& plan, size_t first, size_t n, uint32_t seed, int& sent) {
    std::vector<Record> records;
    std::vector<std::vector<iovec>> lists(n);
    std::vector<TarvexRecord> batch;
    for (size_t i = 0; i < n; ++i)
        records.push_back(interop::make_record(plan[first + i].kind, plan[first + i].index, seed));
    for (size_t i = 0; i < n; ++i) batch.push_back({nullptr, records[i].gather(lists[i])});
    for (size_t i = 0; i < n; ++i) batch[i].vec = lists[i].data();
    return link.SendEventBatch(batch.data(), static_cast<int>(n), &sent);
}

// Sends the plan, stopping at the first unexpected status or when the
// driver says that the receiver has ended.  With `batch`, runs of
// batchable steps go out together.
Tally send_all(Tarvex& link, uint32_t seed, int batch, interop::LineReader& control) {
    Tally t;
    std::string cmd;
    const std::vector<Item> plan = interop::make_plan();
    for (size_t at = 0; at < plan.size();) {
        if (control.next(cmd, 0) && cmd == "stop") {
            t.notes.push_back("sender stopped: the receiver has ended");
            break;
        }
        size_t run = 0;
        while (batch > 0 && run < static_cast<size_t>(batch) && at + run < plan.size() && batchable(plan[at + run]))
            ++run;
        if (run > 0) {
            int sent = 0;
            const int st = send_batch(link, plan, at, run, seed, sent);
            t.ok += sent;
            if (st != 0 || sent != static_cast<int>(run)) {
                t.fail(plan[at + static_cast<size_t>(sent)],
                       "SendEventBatch returned " + status_text(st) + " after " + std::to_string(sent) + " records");
                break;
            }
            at += run;
            continue;
        }
        const Item& it = plan[at++];
        int st = send_one(link, it, seed);
        int want = it.refuse ? ERR_NO_SPACE : 0;
        if (st != want) {
            t.fail(it, (it.kind == Kind::Spectrum ? "SendRequest" : "SendEvent") + std::string(" returned ") +
                           status_text(st) + ", expected " + status_text(want));
            break;
        }
        ++t.ok;
    }
    return t;
}

// ---- receiving --------------------------------------------------------------

// The body buffer of one image or spectrum: the caller's own (even
// indexes, exactly the body's size) or one the receiver allocates for the
// caller (odd indexes), released here in either case.
class BodyBuffer {
public:
    BodyBuffer(const Item& it, size_t body_size) : lent_(it.index % 2 == 0) {
        if (lent_) {
            own_.resize(body_size + 1);
            ptr_ = own_.data();
            limit_ = static_cast<int>(body_size);
        }
    }
    ~BodyBuffer() {
        if (!lent_) delete[] ptr_;
    }
    BodyBuffer(const BodyBuffer&) = delete;
    BodyBuffer& operator=(const BodyBuffer&) = delete;

    char** slot() { return &ptr_; }
    int limit() const { return limit_; }
    const char* data() const { return ptr_; }

private:
    bool lent_;
    std::vector<char> own_;
    char* ptr_ = nullptr;
    int limit_ = static_cast<int>(kRingBytes);
};

class Receiver {
public:
    Receiver(Tarvex& link, uint32_t seed) : link_(link), seed_(seed) {}

    // Receives and checks one step; false when the stream can no longer be
    // trusted to be in step.
    bool receive(const Item& it, Tally& t) {
        Record want = interop::make_record(it.kind, it.index, seed_);
        switch (it.kind) {
            case Kind::Image: return receive_image(it, want, t);
            case Kind::Spectrum: return receive_spectrum(it, want, t);
            default: return receive_event(it, want, t);
        }
    }

private:
    bool receive_event(const Item& it, const Record& want, Tally& t) {
        const Bytes w = want.whole();
        std::unique_ptr<RNG_RingBuffer> too_small;
        RNG_RingBuffer* rb = nullptr;
        if (it.refuse) {
            too_small = std::make_unique<RNG_RingBuffer>(w.size() - 1);
            rb = too_small.get();
        } else if (it.ack) {
            rb = &ring_;
        }
        int st = link_.ReceiveEvent(rb, 1, kFirstWaitSeconds, 0);
        if (!status_as_planned("ReceiveEvent", st, it, t)) return false;
        if (it.refuse) {
            ++t.ok;
            return true;
        }
        if (int wst = link_.WriteBlockToRingBuffer(ring_)) {
            t.fail(it, "WriteBlockToRingBuffer returned " + status_text(wst));
            return false;
        }
        Bytes got(ring_.nextRecordSize());
        ring_.Read(reinterpret_cast<char*>(got.data()), got.size());
        if (!same(it, got, w, t)) return got.size() == w.size();
        if (accessors_agree(it.kind, w))
            ++t.ok;
        else
            t.fail(it, "the header accessors disagree with the stored record");
        return true;
    }

    bool receive_image(const Item& it, const Record& want, Tally& t) {
        kbr7_image_ext_intro in;
        std::memset(&in, 0xa5, sizeof in);
        BodyBuffer body(it, want.payload.size());
        int st = link_.ReceiveImage(&in, body.slot(), body.limit());
        if (!status_as_planned("ReceiveImage", st, it, t)) return false;
        return check_intro(it, want, in.intro.pattern, in.intro.length, &in.head, sizeof in.head, body, t);
    }

    bool receive_spectrum(const Item& it, const Record& want, Tally& t) {
        kbr7_spect_intro in;
        std::memset(&in, 0xa5, sizeof in);
        BodyBuffer body(it, want.payload.size());
        int st = link_.ReceiveSpect(&in, body.slot(), body.limit());
        if (!status_as_planned("ReceiveSpect", st, it, t)) return false;
        return check_intro(it, want, in.intro.pattern, in.intro.length, &in.head, sizeof in.head, body, t);
    }

    bool status_as_planned(const char* op, int st, const Item& it, Tally& t) {
        int want = it.refuse ? ERR_NO_SPACE : 0;
        if (st == want) return true;
        t.fail(it, std::string(op) + " returned " + status_text(st) + ", expected " + status_text(want));
        return false;
    }

    // The image and spectrum receivers keep an intro's pattern to themselves
    // (the intro record's pattern stays 0), so the record to compare takes
    // it from the expected one.
    bool check_intro(const Item& it, const Record& want, uint32_t pattern, uint32_t length, const void* head,
                     size_t head_size, const BodyBuffer& body, Tally& t) {
        const size_t fixed = 8 + head_size;
        // After a successful receive the buffer holds `length` - `fixed`
        // bytes: the receiver sized it, or refused a body beyond our own.
        size_t body_size = length >= fixed && body.data() ? length - fixed : 0;
        Bytes got(fixed + body_size);
        std::memcpy(got.data(), want.head.data(), 4);
        std::memcpy(got.data() + 4, &length, 4);
        std::memcpy(got.data() + 8, head, head_size);
        if (body_size) std::memcpy(got.data() + fixed, body.data(), body_size);
        const Bytes w = want.whole();
        if (!same(it, got, w, t)) return got.size() == w.size();
        if (pattern == 0)
            ++t.ok;
        else
            t.fail(it, "intro.pattern is " + std::to_string(pattern) + ", expected 0");
        return true;
    }

    static bool same(const Item& it, const Bytes& got, const Bytes& want, Tally& t) {
        std::string diff = interop::describe_difference(it.kind, got, want);
        if (!diff.empty()) t.fail(it, diff);
        return diff.empty();
    }

    // The header accessors read the record just stored; own counting is off,
    // so the event number is the record's.
    bool accessors_agree(Kind k, const Bytes& w) {
        switch (k) {
            case Kind::Event2010:
            case Kind::Legacy: {
                auto h = load<kbr7_eventheader>(w);
                return link_.get_event_header() && link_.get_event_length() == h.event_length &&
                       link_.get_event_type() == h.event_type &&
                       link_.get_event_number() == static_cast<int>(h.event_number);
            }
            case Kind::Event2024: {
                auto h = load<kbr7_eventheader_2024>(w);
                return link_.get_event_header_2024() &&
                       link_.get_event_length() == static_cast<uint32_t>(h.event_length) &&
                       link_.get_event_type() == h.event_type &&
                       link_.get_event_number() == static_cast<int>(static_cast<uint32_t>(h.event_number));
            }
            default: return link_.get_slow_data_header() != nullptr;
        }
    }

    Tarvex& link_;
    uint32_t seed_;
    RNG_RingBuffer ring_{kRingBytes};
};

Tally receive_all(Tarvex& link, uint32_t seed) {
    Tally t;
    Receiver r(link, seed);
    for (const Item& it : interop::make_plan())
        if (!r.receive(it, t)) break;
    return t;
}

// ---- link set-up and the run --------------------------------------------------

std::unique_ptr<Tarvex> make_link(const Options& o) {
    auto link = std::make_unique<Tarvex>(static_cast<int>(o.bigend ? Tarvex::BIGEND_MODE : Tarvex::NATIVE_MODE));
    link->set_swap_mask(o.mask);
    link->set_own_cnt(false);
    return link;
}

// The driver starts the connecting end once the accepting one is
// listening; the retry only covers a slow start.
int connect_link(Tarvex& link, const Options& o) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kConnectWaitMs);
    while (true) {
        int st = link.Connect(o.host.c_str(), o.port);
        if (st != ERR_CONNECT || std::chrono::steady_clock::now() >= end) return st;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

int establish(Tarvex& link, const Options& o) {
    const std::string ready = std::string("ready order=") + (little_endian() ? "little" : "big");
    if (!o.accept) {
        say(ready);
        return connect_link(link, o);
    }
    if (int st = link.SocketSetup(o.port)) return st;
    say(ready);
    return link.Connect(true);
}

// Serves the driver's commands until it says "quit" or goes away.
void serve_until_quit(Tarvex& link, interop::LineReader& control) {
    std::string cmd;
    while (!control.ended()) {
        if (!control.next(cmd, 1000)) continue;
        if (cmd == "quit") return;
        if (cmd == "disconnect") link.Disconnect();
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (!parse(argc, argv, o)) {
        std::fputs(usage, stderr);
        return 2;
    }
    // A run that hangs ends here rather than outliving its driver.
    alarm(o.timeout_s);
    interop::LineReader control(STDIN_FILENO);
    std::unique_ptr<Tarvex> link = make_link(o);

    int st = establish(*link, o);
    say("link status=" + std::to_string(st) + " swap=" + std::to_string(link->get_swap()));
    Tally t;
    if (st == 0) {
        t = o.send ? send_all(*link, o.seed, o.batch, control) : receive_all(*link, o.seed);
        for (const std::string& n : t.notes) say("note " + n);
    }
    say("result ok=" + std::to_string(t.ok) + " bad=" + std::to_string(t.bad) +
        " of=" + std::to_string(interop::make_plan().size()) + " swap=" + std::to_string(link->get_swap()));
    serve_until_quit(*link, control);
    link->SocketRelease();
    return st == 0 && t.bad == 0 ? 0 : 1;
}
