// Synthetic records for the tools: every kind a link carries, built from a
// sequence number so that a receiver can rebuild what the sender sent and
// compare, and tagged so that any receiver can check a payload on its own.
//
// The payload is the part a receiver hands over opaque: the body of an event
// or slow-data record, the pixels of an image, the data of a spectrum.  Its
// first two 32-bit words are the tag: the sequence number and a checksum of
// the payload bytes behind the tag, both in host order.  The rest is filled
// from the sequence number.
#ifndef TARVEX_TOOLS_RECORDS_H
#define TARVEX_TOOLS_RECORDS_H

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "detail/RecordKinds.h"

namespace tvt {

// The link's own record kinds; KindInfo is the tools' view of a row.
using Kind = tarvex::kinds::Kind;

struct KindInfo {
    Kind kind;
    const char* name;        // command-line name: "event2010", "slow2024", ...
    const char* label;       // for tables and dumps: "event", "slow", "image", ...
    const char* generation;  // "legacy", "2010", "2024"
    uint32_t pattern;        // first word of the header
    size_t head_size;        // first gather piece (the 8-byte intro for images)
    size_t fixed_size;       // bytes in front of the payload
};

const KindInfo& info(Kind k);
const std::vector<KindInfo>& all_kinds();
bool parse_kind(const std::string& name, Kind& k);
// "event2010,slow" -> {Event2010, Slow}; false on an unknown name.
bool parse_kind_list(const std::string& names, std::vector<Kind>& kinds);
// "event2010|legacy|..." for help texts.
std::string kind_names();

// The event or slow-data kind a host-order pattern word starts, if any.
bool kind_of_pattern(uint32_t pattern, Kind& k);

constexpr size_t kTagSize = 8;

// A record laid out contiguously, header first, in host order.
struct Record {
    Kind kind = Kind::Event2010;
    std::vector<unsigned char> bytes;

    size_t length() const { return bytes.size(); }
    const unsigned char* payload() const { return bytes.data() + info(kind).fixed_size; }
    size_t payload_size() const { return bytes.size() - info(kind).fixed_size; }
    // Fills v[0 .. n) with the header and then the rest of the record cut
    // into `pieces` fragments (at least one); returns n.  The sender may
    // rewrite the entries, so a fresh list is made for every send.
    int gather(iovec* v, int pieces);
};

// Builds record number `seq` of `kind` with `payload` bytes of payload (at
// least the tag's 8 bytes; a smaller count is raised to 8).  Reuses the
// storage of `out`.
void build_record(Kind kind, uint32_t seq, size_t payload, Record& out);

// True when `payload` starts with a tag whose checksum matches the bytes
// behind it; `seq` is then the tag's sequence number.
bool read_tag(const unsigned char* payload, size_t n, uint32_t& seq);

// Reads the next record from a file of concatenated records in host order
// (what tarvex-dump --save writes).  `as` is Image or Spectrum for files of
// those, anything else for events and slow data told apart by their
// pattern (images and spectra start with one of the event patterns).
// Returns 1 for a record, 0 at the end of the file, -1 on a malformed
// record, with a description in `problem`.
int read_record(std::FILE* f, Kind as, Record& out, std::string& problem);

}  // namespace tvt

#endif
