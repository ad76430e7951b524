// Writes the seed corpus of the fuzz harnesses: records of every kind as the
// link's own sender puts them on the wire (SendEvent or SendRequest into a
// socket pair, with and without acknowledgement, with and without
// conversion), the preamble as a real accepting end sends it, and a few
// hand-made edge cases (garbage in front, a cut header, hostile lengths).
//
// Usage: fuzz_make_seeds <corpus-dir>   (writes <corpus-dir>/<target>/...)
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "Bytes.h"
#include "Headers.h"
#include "Ports.h"
#include "RawPeer.h"
#include "Tarvex.h"
#include "TestAccess.h"
#include "event_util.h"

namespace {

using tt::Bytes;
using tt::bytes_of;
using tt::cat;

[[noreturn]] void die(const std::string& what) {
    std::fprintf(stderr, "fuzz_make_seeds: %s\n", what.c_str());
    std::exit(1);
}

// `n` bytes counting up from `first`.
Bytes counting(size_t n, uint8_t first = 1) {
    Bytes b(n);
    for (size_t k = 0; k < n; ++k) b[k] = static_cast<uint8_t>(first + k);
    return b;
}

// Bytes that hold no record pattern anywhere (no 0xff at all).
Bytes garbage(size_t n) {
    Bytes b(n);
    uint32_t x = 12345;
    for (auto& c : b) {
        x = x * 1103515245u + 12345u;
        c = static_cast<uint8_t>((x >> 16) % 0xf0);
    }
    return b;
}

// ---- The link's own sender, captured ------------------------------------------

// A link whose data socket is one end of a socket pair; what it sends is
// read back from the other end.
class SendingLink {
public:
    explicit SendingLink(bool convert) : link_(false) {
        int sv[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) die("socketpair");
        mine_ = sv[0];
        peer_ = sv[1];
        TarvexTestAccess::attach(link_, mine_);
        TarvexTestAccess::must_swap(link_) = convert ? 1 : 0;
    }
    ~SendingLink() {
        TarvexTestAccess::detach(link_);
        ::close(mine_);
        ::close(peer_);
    }

    // One record: `parts[0]` is the header, the rest the body fragments.
    Bytes event(const std::vector<Bytes>& parts, bool ack) {
        std::vector<iovec> vec;
        for (const Bytes& p : parts) vec.push_back({const_cast<uint8_t*>(p.data()), p.size()});
        // The receiver's answer is there before it is asked for: room.
        const int32_t room = 0;
        if (ack && ::write(peer_, &room, sizeof room) != sizeof room) die("answer");
        const int st = link_.SendEvent(vec.data(), static_cast<int>(vec.size()), ack ? SendEvent_ACK : SendEvent_NOACK);
        if (st != 0) die("SendEvent returned " + std::to_string(st));
        return drain();
    }

    Bytes request(Bytes raw) {
        const int st = link_.SendRequest(reinterpret_cast<char*>(raw.data()), static_cast<int>(raw.size()));
        if (st != 0) die("SendRequest returned " + std::to_string(st));
        return drain();
    }

private:
    Bytes drain() {
        Bytes out;
        uint8_t chunk[4096];
        for (;;) {
            ssize_t n = ::recv(peer_, chunk, sizeof chunk, MSG_DONTWAIT);
            if (n <= 0) break;
            out.insert(out.end(), chunk, chunk + n);
        }
        return out;
    }

    Tarvex link_;
    int mine_ = -1;
    int peer_ = -1;
};

// ---- Records, in host order, as a sending process builds them -----------------

// The kind whose pattern `pattern` is, in host order.
tt::Kind kind_of(uint32_t pattern) { return tarvex::kinds::event_kind_of(pattern)->kind; }

tt::HeadFields event_fields(uint64_t number, KBR7_EVTYPE type, time_stamp time, int32_t tmask, int32_t status,
                            int32_t num_svr_block) {
    tt::HeadFields f;
    f.number = number;
    f.type = type;
    f.time = time;
    f.tmask = tmask;
    f.status = status;
    f.num_svr_block = num_svr_block;
    return f;
}

std::vector<Bytes> event36(uint32_t pattern, size_t body_bytes, uint32_t number) {
    const tt::HeadFields f = event_fields(number, KBR7_EV_NORMAL, {0x11223344u, 0x55667788u}, 0x0f, 1, 1);
    // Two fragments, so that the gather list has more than one body entry.
    Bytes body = counting(body_bytes);
    const size_t half = body_bytes / 2;
    return {tt::record_head(kind_of(pattern), sizeof(kbr7_eventheader) + body_bytes, f),
            Bytes(body.begin(), body.begin() + static_cast<long>(half)),
            Bytes(body.begin() + static_cast<long>(half), body.end())};
}

std::vector<Bytes> event48(size_t body_bytes, uint64_t number) {
    const tt::HeadFields f = event_fields(number, KBR7_EV_BOR, {0x01020304u, 0x05060708u}, 3, 0, 2);
    return {tt::record_head(tt::Kind::Event2024, sizeof(kbr7_eventheader_2024) + body_bytes, f),
            counting(body_bytes, 0x40)};
}

std::vector<Bytes> slow(uint32_t pattern, uint32_t channels) {
    tt::HeadFields f;
    f.channels = channels;
    return {tt::record_head(kind_of(pattern), sizeof(kbr7_daq_slow_data_header) + 4 * channels, f),
            counting(4 * channels, 0x80)};
}

// The 8-byte intro, the frame header, the pixels.
std::vector<Bytes> image(uint32_t pattern, size_t pixels) {
    const uint32_t length = static_cast<uint32_t>(sizeof(kbr7_image_ext_intro) + pixels);
    tt::HeadFields f;
    f.pattern = pattern;
    kbr7_image_ext_frame_head& im = f.frame;
    im.width = 4;
    im.height = 2;
    im.aoi_width = 4;
    im.aoi_height = 2;
    im.bpp = 1;
    im.ebitpp = 8;
    im.hbin = im.vbin = 1;
    im.frame = 7;
    im.event = 9;
    im.scale_x = 1.5f;
    im.scale_y = 0.5f;
    im.length = static_cast<int32_t>(length);
    const Bytes intro = tt::record_head(tt::Kind::Image, length, f);
    const auto frame_at = intro.begin() + sizeof(kbr7_image_head);
    return {Bytes(intro.begin(), frame_at), Bytes(frame_at, intro.end()), counting(pixels, 0x20)};
}

// A spectrum record in host order, or with its intro converted as a peer of
// the other byte order writes it (the data behind it is never converted).
Bytes spectrum(uint32_t pattern, size_t data_bytes, bool convert) {
    tt::HeadFields f;
    f.pattern = pattern;
    f.spectrum.i = 1;
    f.spectrum.f1 = 2.0f;
    f.spectrum.start = 100.0f;
    f.spectrum.inc = 0.25f;
    f.spectrum.sec = 1700000000u;
    f.spectrum.bnum = 42;
    f.spectrum.event_nm = 3;
    Bytes intro = tt::record_head(tt::Kind::Spectrum, sizeof(kbr7_spect_intro) + data_bytes, f);
    if (convert) {
        kbr7_spect_intro s;
        std::memcpy(&s, intro.data(), sizeof s);
        if (kbr7_convert_spect_head(&s, &s) != 0) die("spect head");
        intro = bytes_of(s);
    }
    return cat({intro, counting(data_bytes, 0x30)});
}

// ---- Output ---------------------------------------------------------------------

std::string g_root;

void write_seed(const std::string& target, const std::string& name, uint8_t selector, const Bytes& body) {
    const std::string dir = g_root + "/" + target;
    ::mkdir(g_root.c_str(), 0755);
    ::mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) die("cannot write " + path);
    std::fputc(selector, f);
    if (!body.empty()) std::fwrite(body.data(), 1, body.size(), f);
    std::fclose(f);
}

std::string hex(unsigned v) {
    char s[8];
    std::snprintf(s, sizeof s, "%02x", v);
    return s;
}

// ---- Targets -----------------------------------------------------------------------

void receive_event_seeds() {
    for (bool convert : {false, true}) {
        const std::string order = convert ? "swapped" : "native";
        struct Named {
            const char* name;
            std::vector<Bytes> parts;
        };
        const Named records[] = {
            {"legacy", event36(KBR7_PATTERN_LEGACY, 24, 1)},
            {"e2010", event36(KBR7_PATTERN_2010, 34, 2)},
            {"e2010-empty", event36(KBR7_PATTERN_2010, 0, 3)},
            {"e2024", event48(40, 0x100000004ull)},
            {"slow", slow(KBR7_PATTERN_SLOW, 5)},
            {"slow2024", slow(KBR7_PATTERN_SLOW_2024, 3)},
        };
        Bytes mixed;
        for (bool ack : {false, true}) {
            for (const Named& r : records) {
                SendingLink s(convert);
                Bytes wire = s.event(r.parts, ack);
                if (!ack) {
                    mixed.insert(mixed.end(), wire.begin(), wire.end());
                    continue;
                }
                // The receiver's view: with and without a ring buffer.
                const uint8_t conv = convert ? 0x02 : 0x00;
                write_seed("receive_event", order + "-" + r.name + "-norb", conv, wire);
                write_seed("receive_event", order + "-" + r.name + "-rb", conv | 0x11, wire);
            }
        }
        // Every kind in a row, under several receiver settings.  A swapped
        // stream read without conversion asked for switches it on by itself.
        for (uint8_t sel : {0x00, 0x01, 0x02, 0x03, 0x04, 0x09, 0x13, 0x21, 0x42, 0x83}) {
            if (!convert && (sel & 0x02)) continue;
            write_seed("receive_event", order + "-mixed-" + hex(sel), sel, mixed);
        }
    }

    // Hand-made edge cases, in host order.
    SendingLink s(false);
    const Bytes e2010 = s.event(event36(KBR7_PATTERN_2010, 16, 5), false);
    write_seed("receive_event", "edge-garbage-prefix", 0x01, cat({garbage(3000), e2010}));
    write_seed("receive_event", "edge-cut-header", 0x00, cat({Bytes(e2010.begin(), e2010.begin() + 20), e2010, e2010}));
    write_seed("receive_event", "edge-cut-body", 0x00, Bytes(e2010.begin(), e2010.end() - 3));
    write_seed("receive_event", "edge-trailing-garbage", 0x00, cat({e2010, garbage(64)}));

    auto with_length32 = [](Bytes rec, uint32_t length) {
        std::memcpy(rec.data() + offsetof(kbr7_eventheader, event_length), &length, sizeof length);
        return rec;
    };
    for (uint32_t length : {0u, 4u, 35u, 0x100000u})
        write_seed("receive_event", "edge-e2010-length-" + std::to_string(length), 0x00,
                   cat({with_length32(e2010, length), e2010}));
    write_seed("receive_event", "edge-e2010-huge-rb", 0x09, cat({with_length32(e2010, 0xfffffff0u), e2010}));

    const Bytes e2024 = s.event(event48(8, 9), false);
    for (int64_t length : {int64_t{-2024}, int64_t{0}, int64_t{47}, int64_t{1} << 33}) {
        Bytes rec = e2024;
        std::memcpy(rec.data() + offsetof(kbr7_eventheader_2024, event_length), &length, sizeof length);
        write_seed("receive_event", "edge-e2024-length-" + std::to_string(length), 0x01, cat({rec, e2024}));
    }

    const Bytes sl = s.event(slow(KBR7_PATTERN_SLOW, 2), false);
    for (uint32_t length : {0u, 11u}) {
        Bytes rec = sl;
        std::memcpy(rec.data() + offsetof(kbr7_daq_slow_data_header, data_length), &length, sizeof length);
        write_seed("receive_event", "edge-slow-length-" + std::to_string(length), 0x00, cat({rec, sl}));
    }
}

// Images and spectra: receiver settings that accept the body into a caller
// buffer, let the receiver allocate it, call header and data one by one,
// and refuse it for want of room.
const uint8_t kIntroSelectors[] = {0x18, 0x1c, 0x38, 0x08, 0x80};

void receive_image_seeds() {
    for (bool convert : {false, true}) {
        const std::string order = convert ? "swapped" : "native";
        const uint8_t conv = convert ? 0x01 : 0x00;
        Bytes stream;
        for (bool ack : {false, true}) {
            for (uint32_t pattern : {KBR7_PATTERN_2010, KBR7_PATTERN_LEGACY, KBR7_PATTERN_2024}) {
                SendingLink s(convert);
                // An image receiver never answers; the answer written for
                // the acknowledged mode only lets that sender path run.
                Bytes wire = s.event(image(pattern, ack ? 0 : 8), ack);
                stream.insert(stream.end(), wire.begin(), wire.end());
            }
        }
        for (uint8_t sel : kIntroSelectors) write_seed("receive_image", order + "-" + hex(sel), sel | conv, stream);
    }
    SendingLink s(false);
    const Bytes img = s.event(image(KBR7_PATTERN_2010, 8), false);
    write_seed("receive_image", "edge-garbage-prefix", 0x18, cat({garbage(2000), img}));
    Bytes slow_first = s.event(slow(KBR7_PATTERN_SLOW, 1), false);
    write_seed("receive_image", "edge-slow-pattern-first", 0x18, cat({slow_first, img}));
    Bytes short_rec = img;
    const uint32_t short_len = 50;
    std::memcpy(short_rec.data() + 4, &short_len, sizeof short_len);
    write_seed("receive_image", "edge-length-below-intro", 0x1c, cat({short_rec, img}));
    write_seed("receive_image", "edge-cut-body", 0x1c, Bytes(img.begin(), img.end() - 2));
}

void receive_spect_seeds() {
    for (bool convert : {false, true}) {
        const std::string order = convert ? "swapped" : "native";
        const uint8_t conv = convert ? 0x01 : 0x00;
        Bytes stream;
        for (uint32_t pattern : {KBR7_PATTERN_2010, KBR7_PATTERN_LEGACY, KBR7_PATTERN_2024}) {
            SendingLink s(false);
            Bytes wire = s.request(spectrum(pattern, pattern == KBR7_PATTERN_LEGACY ? 0 : 12, convert));
            stream.insert(stream.end(), wire.begin(), wire.end());
        }
        for (uint8_t sel : kIntroSelectors) write_seed("receive_spect", order + "-" + hex(sel), sel | conv, stream);
    }
    SendingLink s(false);
    const Bytes sp = s.request(spectrum(KBR7_PATTERN_2024, 12, false));
    write_seed("receive_spect", "edge-garbage-prefix", 0x18, cat({garbage(2000), sp}));
    Bytes short_rec = sp;
    const uint32_t short_len = 20;
    std::memcpy(short_rec.data() + 4, &short_len, sizeof short_len);
    write_seed("receive_spect", "edge-length-below-intro", 0x1c, cat({short_rec, sp}));
    write_seed("receive_spect", "edge-cut-intro", 0x18, Bytes(sp.begin(), sp.begin() + 30));
}

// The preamble exactly as an accepting end sends it, in native and in
// big-endian mode, captured from a real connection.
Bytes accepted_preamble(int mode) {
    const int port = tt::bind_any_port();
    if (port <= 0) die("free port");
    ::unsetenv("KBR7_TARVEX_SOCK_TYPE");
    Tarvex accepting(mode);
    if (accepting.SocketSetup(port) != 0) die("SocketSetup");
    Bytes got;
    std::thread peer([&] {
        tt::RawPeer p = tt::RawPeer::connect_tcp(port);
        if (!p.valid()) die("connect");
        got = p.read_exact(4);
        if (got.size() != 4) die("preamble read");
    });
    if (accepting.Connect(true) != 0) die("Connect(true)");
    peer.join();
    accepting.SocketRelease();
    return got;
}

void preamble_seeds() {
    const Bytes native = accepted_preamble(Tarvex::NATIVE_MODE);
    const Bytes bigend = accepted_preamble(Tarvex::BIGEND_MODE);
    // A peer of the other byte order sends the same words reversed.
    const Bytes native_other(native.rbegin(), native.rend());
    const Bytes bigend_other(bigend.rbegin(), bigend.rend());
    struct Named {
        const char* name;
        Bytes bytes;
    };
    const Named words[] = {
        {"native", native},
        {"native-other-order", native_other},
        {"bigend", bigend},
        {"bigend-other-order", bigend_other},
        {"zero", Bytes(4, 0)},
        {"empty", Bytes()},
        {"short3", Bytes(native.begin(), native.begin() + 3)},
        {"native-then-record", cat({native, counting(40)})},
    };
    for (const Named& w : words) {
        write_seed("preamble", std::string(w.name) + "-tcp", 0x00, w.bytes);
        write_seed("preamble", std::string(w.name) + "-local", 0x01, w.bytes);
    }
    write_seed("preamble", "native-bytewise-swapset", 0x06, native);
    write_seed("preamble", "garbage-swapset", 0x02, garbage(4));
}

// Conversion seeds: an operation byte and an option byte (see convert.cc),
// then a record in the order the operation expects.
void convert_seeds() {
    SendingLink host(false), peer(true);
    auto host_rec = [&](const std::vector<Bytes>& parts) { return host.event(parts, false); };
    auto peer_rec = [&](const std::vector<Bytes>& parts) { return peer.event(parts, false); };
    const Bytes e36 = host_rec(event36(KBR7_PATTERN_2010, 18, 1));
    const Bytes e36_peer = peer_rec(event36(KBR7_PATTERN_2010, 18, 1));
    const Bytes e48 = host_rec(event48(20, 77));
    const Bytes e48_peer = peer_rec(event48(20, 77));
    const Bytes sl = host_rec(slow(KBR7_PATTERN_SLOW, 4));
    const Bytes sl_peer = peer_rec(slow(KBR7_PATTERN_SLOW_2024, 4));
    const Bytes img_peer = peer_rec(image(KBR7_PATTERN_2010, 6));
    const Bytes sp = spectrum(KBR7_PATTERN_2010, 4, false);

    struct Seed {
        const char* name;
        uint8_t op, option;
        Bytes bytes;
    };
    // fit: the length field follows the record's own size (plus 0 here).
    const uint8_t g2010 = 1, g2024 = 2, separate = 4, alt = 8, fit = 0x10 | (4 << 5);
    const Seed seeds[] = {
        {"swap4", 0, 0, e36},
        {"event-head36", 1, g2010, e36},
        {"event-head36-under-2024", 1, g2024, e36},
        {"event-head48", 2, g2024 | separate, e48},
        {"slow-head", 3, 0, sl},
        {"image-head", 4, 0, Bytes(img_peer.begin(), img_peer.begin() + 8)},
        {"frame-head", 5, separate, Bytes(img_peer.begin() + 8, img_peer.begin() + 108)},
        {"image-ext-head", 6, 0, Bytes(img_peer.begin() + 8, img_peer.begin() + 108)},
        {"spect-head", 7, 0, sp},
        {"event-hton36-bounded", 8, g2010 | alt, e36},
        {"event-hton48", 8, g2024, e48},
        {"event-hton48-bounded-separate", 8, g2024 | alt | separate, e48},
        {"event36", 9, g2010, e36_peer},
        {"event48-separate", 9, g2024 | separate, e48_peer},
        {"slow-block-hton", 10, alt, sl},
        {"slow-block-hton-wrong-pattern", 10, 0, sl},
        {"slow-data", 11, 0, sl_peer},
        {"image-data", 12, 0, img_peer},
        {"image-data-fit", 12, fit, img_peer},
        {"event-hton48-fit", 8, g2024 | fit, e48},
        {"event36-fit-separate", 9, g2010 | fit | separate, e36_peer},
        {"slow-data-fit", 11, fit, sl_peer},
        {"image-ext-data", 13, separate, Bytes(img_peer.begin() + 8, img_peer.end())},
        {"data-refused", 14, 0, cat({bytes_of(int32_t{KBR7_BLOCK_IMAGE}), bytes_of(int32_t{100}), img_peer})},
        {"texts-and-generation", 15, 0, Bytes{0xfe, 0xff, 0xff, 0xff, 1, 3, 2, 0, 1, 3}},
    };
    for (const Seed& s : seeds) {
        Bytes b = cat({Bytes{s.option}, s.bytes});
        write_seed("convert", s.name, s.op, b);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus-dir>\n", argv[0]);
        return 2;
    }
    g_root = argv[1];
    receive_event_seeds();
    receive_image_seeds();
    receive_spect_seeds();
    preamble_seeds();
    convert_seeds();
    return 0;
}
