// Event utilities: byte-order conversion of records and the process-wide
// data-format generation.
//
// Conversion rules
// ----------------
// * Headers are converted field by field: every 32-bit field (floats and
//   enumerations included) has its 4 bytes reversed, every 64-bit field of
//   the 2024 event header its 8 bytes. The 2024 header's alignment word is a
//   32-bit field and travels converted like the others.
// * The event-header layout (36 or 48 bytes) is the one of the current
//   generation: 48 bytes when 2024 is selected, 36 bytes otherwise.
// * Record extent: the header's length field counts the whole record, header
//   included. For a 2024 event only the low 32 bits of event_length count,
//   the same rule a sender uses to size what it sends. A length of 0 or below
//   the header size is refused before any byte is written.
// * Event and slow-data bodies are converted as consecutive 32-bit words
//   starting right behind the header; 1 to 3 trailing bytes that do not make
//   a whole word are left as they are.
// * Image records: the image receiver converts only the intro's length and
//   the 100-byte frame header behind the intro, and hands pixel data over
//   unconverted. A sender therefore converts the frame header behind an
//   8-byte intro and never the pixels (see kbr7_convert_data).
// * Spectrum data behind the 56-byte intro is never converted.
// * Every conversion turns one byte order into the other, so the same call
//   serves both directions; where a function must read a length, its comment
//   says in which order it expects the header.
// * Source and destination are either the same address (in-place
//   conversion) or do not overlap. When they differ, the whole extent is
//   copied to the destination and converted there, so the destination holds
//   the complete record, unconverted parts included.
// * A refused call writes nothing at all.
//
// Memory: every function reads and writes only within the record it is
// given; what it relies on about the caller's memory is stated at each
// function. None of them requires any alignment.
//
// Thread safety: conversions keep no state. The generation is held in one
// atomic, so concurrent setters and readers are data-race free; a record's
// conversions must still follow the generation chosen for that record, which
// the caller orders.
#ifndef TARVEX_EVENT_UTIL_H
#define TARVEX_EVENT_UTIL_H

#include <sys/uio.h>

#include <cstdint>

#include "TarvexExport.h"
#include "event.h"

// Results of the conversion functions. 0 is success; every failure is a
// distinct non-zero (negative) value, so the sum of several results is
// non-zero when any of them failed.
constexpr int KBR7_CONV_OK = 0;
constexpr int KBR7_CONV_ERR_NULL = -1;           // a null pointer was given
constexpr int KBR7_CONV_ERR_SHORT_LENGTH = -2;   // length 0 or below header
constexpr int KBR7_CONV_ERR_LAYOUT = -3;         // header type vs generation
constexpr int KBR7_CONV_ERR_BLOCK_TYPE = -4;     // unknown sub-block type
constexpr int KBR7_CONV_ERR_HEADER_LENGTH = -5;  // header length vs block type
constexpr int KBR7_CONV_ERR_BEYOND_BOUND = -6;   // length beyond caller bound
constexpr int KBR7_CONV_ERR_PATTERN = -7;        // pattern differs from header
constexpr int KBR7_CONV_ERR_FRAGMENTS = -8;      // body fragments exceed record
constexpr int KBR7_CONV_ERR_LENGTH = -9;         // length differs from header
constexpr int KBR7_CONV_ERR_RANGE = -10;         // window or range outside the record

// Text for a result of the conversion functions: "no error" for 0, a fixed
// text for each code above and a generic text for any other value. The
// pointer stays valid for the life of the process.
TARVEX_API const char* kbr7_get_convert_error(int code);

// ---- Data-format generation ------------------------------------------------
//
// Two flags, 2010 and 2024. The generation is 2024 when its flag is set,
// else 2010 when its flag is set, else legacy.

enum kbr7_data_format { KBR7_FORMAT_LEGACY, KBR7_FORMAT_2010, KBR7_FORMAT_2024 };

// Sets the 2010 flag to `flag` != 0 and always clears the 2024 flag, so that
// after either call is_data_format_2024() is false until
// set_data_format_2024(1).
TARVEX_API void set_data_format_2010(int flag);
// 1 sets the 2024 flag, 0 clears it; the 2010 flag is left alone.
TARVEX_API void set_data_format_2024(int flag);
// True while the 2024 generation is selected.
TARVEX_API bool is_data_format_2024();
// True while the 2010 generation is the one in force (its flag set, the 2024
// flag clear).
TARVEX_API bool is_data_format_2010();
TARVEX_API kbr7_data_format kbr7_get_data_format();

// ---- Word helper -------------------------------------------------------------

// Reverses the bytes of each of `count` consecutive 32-bit words from `src`
// into `dst` (which may equal `src`). Relies on both holding 4 * count bytes.
// Does nothing for a null pointer or count <= 0.
TARVEX_API void kbr7_swap4(const void* src, void* dst, int count);

// ---- Headers -----------------------------------------------------------------
// Each converts exactly sizeof(*src) bytes from `src` into `dst` and relies
// on both holding a whole header. They never look at the length fields.

// 36-byte event header. Converts only while the legacy or 2010 generation is
// selected; with 2024 selected it returns KBR7_CONV_ERR_LAYOUT and writes
// nothing (a 36-byte header must never be written as 48 bytes).
TARVEX_API int kbr7_convert_event_head(const kbr7_eventheader* src, kbr7_eventheader* dst);
// 48-byte event header. Converts only while 2024 is selected; otherwise
// KBR7_CONV_ERR_LAYOUT and nothing is written.
TARVEX_API int kbr7_convert_event_head(const kbr7_eventheader_2024* src, kbr7_eventheader_2024* dst);

// 12-byte slow-data header.
TARVEX_API int kbr7_convert_slow_data_head(const kbr7_daq_slow_data_header* src, kbr7_daq_slow_data_header* dst);

// 8-byte image intro (what a sender passes).
TARVEX_API int kbr7_convert_image_head(const kbr7_image_head* src, kbr7_image_head* dst);
// 100-byte frame header (what the image receiver passes).
TARVEX_API int kbr7_convert_image_head(const kbr7_image_ext_frame_head* src, kbr7_image_ext_frame_head* dst);

// 100-byte frame header.
TARVEX_API int kbr7_convert_image_ext_head(const kbr7_image_ext_frame_head* src, kbr7_image_ext_frame_head* dst);

// Whole 56-byte spectrum intro: pattern, length and every header field.
TARVEX_API int kbr7_convert_spect_head(const kbr7_spect_intro* src, kbr7_spect_intro* dst);

// ---- Whole records ---------------------------------------------------------

// Converts a whole event, header and body, from host order to the other
// order. The header at `src` is in HOST order; its layout is the current
// generation's. The record length is read from it (low 32 bits for 2024).
// `len` >= 0 is the number of bytes the caller has at `src` and `dst`: a
// record longer than that is refused with KBR7_CONV_ERR_BEYOND_BOUND. A
// negative `len` (a sender passes -1) sets no bound beyond the header's
// length.
// Relies on: `src` holds at least the header, and at least as many bytes as
// its length field says; so does `dst` when it differs from `src`.
TARVEX_API int kbr7_convert_event_hton(void* src, void* dst, int len);

// Converts a whole received event to host order. The header at `src` is in
// the PEER's order, so the length is read by reversing it (low 32 bits for
// 2024); layout and body rule as kbr7_convert_event_hton.
// Relies on: `src` holds at least the header, and at least as many bytes as
// its length field says; so does `dst` when it differs from `src`.
TARVEX_API int kbr7_convert_event(void* src, void* dst);

// Converts the BODY of a slow-data record, behind its header, to the peer's
// order: consecutive 32-bit words over data_length - 12 bytes.
// It takes no length: it relies on the body being preceded, in the same
// block, by its 12-byte kbr7_daq_slow_data_header, still in HOST order (so a
// sender converts the body first and the header after), and reads
// data_length from there. `pattern` must equal that header's pattern
// (KBR7_CONV_ERR_PATTERN otherwise), which catches a body pointer that does
// not stand behind its header. `channels` is accepted for interface
// compatibility and not used: the extent comes from data_length alone.
// Relies on: the 12 bytes before `src` are the header, and `src` (and `dst`
// when it differs) hold data_length - 12 bytes.
TARVEX_API int kbr7_convert_slow_data_block_hton(void* src, void* dst, uint32_t channels, uint32_t pattern);

// Converts a whole received slow-data record to host order: the header
// fields and the body as 32-bit words. The header at `src` is in the PEER's
// order; data_length is read by reversing it.
// Relies on: `src` holds at least 12 bytes and at least data_length bytes;
// so does `dst` when it differs from `src`.
TARVEX_API int kbr7_convert_slow_data(void* src, void* dst);

// Converts the data behind an image header whose header has ALREADY been
// converted to the other byte order, in keeping with the image receiver,
// which converts the intro's length and the 100-byte frame header and hands
// pixel data over unconverted:
// * (KBR7_BLOCK_IMAGE, 8): `src` follows an 8-byte kbr7_image_head; its
//   `length` (reversed back to learn it) is the whole record. The first 100
//   bytes of the data are a kbr7_image_ext_frame_head and are converted; the
//   pixels behind them are left untouched. A record shorter than 8 + 100
//   bytes is refused (KBR7_CONV_ERR_SHORT_LENGTH).
// * (KBR7_BLOCK_IMAGE_EXT, 100): `src` follows a 100-byte
//   kbr7_image_ext_frame_head whose `length` (offset 96, reversed back to
//   learn it) is the whole record. The data is pixels: nothing is converted.
// Any other block type gives KBR7_CONV_ERR_BLOCK_TYPE; a header length that
// does not belong to the block type gives KBR7_CONV_ERR_HEADER_LENGTH; a
// record length below `header_length` gives KBR7_CONV_ERR_SHORT_LENGTH.
// Relies on: the `header_length` bytes before `src` are that header, and
// `src` (and `dst` when it differs) hold length - header_length bytes. No
// byte beyond them is touched.
TARVEX_API int kbr7_convert_data(void* src, void* dst, int block_type, int header_length);

// ---- Gathered records (sender) ---------------------------------------------
//
// A sender holds a record as a header in HOST order plus body fragments (the
// entries 1.. of its gather list). These functions gather and convert it in
// one pass into `dst`, which holds exactly `length` bytes: the header, then
// the fragments back to back, then zeros for whatever the fragments leave
// unfilled, every byte converted on its way.
//
// The bytes written and the result are those of the two-step path: copy the
// header and fragments into a `length`-byte buffer, zero-fill the rest, and
// convert that buffer in place with the call(s) named at each function,
// results added. So a conversion that fails leaves dst as the two-step path
// leaves its buffer (gathered, converted as far as that path converts it).
//
// Refused before a byte is written, in this order:
// * a null `head` or `dst`, a null `body` with fragments > 0, a null
//   fragment base with a non-zero length: KBR7_CONV_ERR_NULL;
// * `length` other than the header's own record length, read as a sender
//   does (low 32 bits of a 2024 event_length; a frame header's signed length
//   as unsigned): KBR7_CONV_ERR_LENGTH;
// * `length` below the header's size (the sender refuses such a record
//   before it converts): KBR7_CONV_ERR_SHORT_LENGTH;
// * fragments whose lengths add up to more than length - header size:
//   KBR7_CONV_ERR_FRAGMENTS (the sender refuses these before it converts).
// `fragments` <= 0 means no body: everything behind the header is zeros.
// Fragments may have any length (0 included, not multiples of 4); a word
// may straddle fragments. dst must not overlap the header or a fragment.
// Nothing outside dst's `length` bytes is written.

// Event with a 36-byte header; two-step path: kbr7_convert_event_hton(buf,
// buf, length). Like that call it converts with the layout of the generation
// selected at the call, whatever the header's type: a header of the other
// layout (which kbr7_convert_event_head refuses, so a sender never gets this
// far with it) has its length read from the other layout's field, and a
// length beyond `length` is refused with KBR7_CONV_ERR_BEYOND_BOUND, where a
// sender's kbr7_convert_event_hton(buf, buf, -1) would run past the buffer.
// With the header's own layout the bound changes nothing.
TARVEX_API int kbr7_convert_event_gather_hton(const kbr7_eventheader* head, const struct iovec* body, int fragments,
                                              void* dst, uint32_t length);
// Event with a 48-byte header; as above.
TARVEX_API int kbr7_convert_event_gather_hton(const kbr7_eventheader_2024* head, const struct iovec* body,
                                              int fragments, void* dst, uint32_t length);
// Slow data; two-step path: kbr7_convert_slow_data_block_hton(buf + 12,
// buf + 12, head->channels_number, head->pattern) +
// kbr7_convert_slow_data_head(buf, buf).
TARVEX_API int kbr7_convert_slow_data_gather_hton(const kbr7_daq_slow_data_header* head, const struct iovec* body,
                                                  int fragments, void* dst, uint32_t length);
// Image behind an 8-byte intro (frame header converted, pixels not);
// two-step path: kbr7_convert_image_head(buf, buf) + kbr7_convert_data(buf +
// 8, buf + 8, KBR7_BLOCK_IMAGE, 8).
TARVEX_API int kbr7_convert_image_gather_hton(const kbr7_image_head* head, const struct iovec* body, int fragments,
                                              void* dst, uint32_t length);
// Image behind a 100-byte frame header (pixels not converted); two-step
// path: kbr7_convert_image_ext_head(buf, buf) + kbr7_convert_data(buf + 100,
// buf + 100, KBR7_BLOCK_IMAGE_EXT, 100).
TARVEX_API int kbr7_convert_image_ext_gather_hton(const kbr7_image_ext_frame_head* head, const struct iovec* body,
                                                  int fragments, void* dst, uint32_t length);

// ---- Records in pieces ---------------------------------------------------------
//
// A large record converted in cache-sized pieces, each while it is hot: a
// sender converts a window of the record into a small buffer and writes it
// out before it converts the next one; a receiver converts each piece of a
// record stored as it travelled right after the piece arrived. The pieces
// together give exactly the bytes and the result of the whole conversion.

// Windows of a gathered record (sender). Each writes the bytes [from, from +
// count) of what the whole call of the same kind (above, same arguments)
// writes into its `length`-byte dst, and nothing else: exactly `count` bytes,
// to dst[0] onwards. Windows that cover [0, length) in any order and any
// sizes (not word-aligned, 1 byte, 0 bytes, a field or word cut by an edge)
// together write exactly what the whole call writes.
// Every window returns what the whole call returns for the record; a record
// the whole call refuses is refused by every window, which writes nothing.
// After those refusals, a window with from > length or from + count >
// length is refused with KBR7_CONV_ERR_RANGE and writes nothing.
// The header and gather list must stay as they are over a record's windows,
// and so must the generation (for events).
//
// Without a cursor each window checks the whole gather list again and walks
// it to the window's start, as the whole call checks it once: with many
// fragments (hundreds) that makes small windows dearer per byte than the
// whole call. `cursor` (optional) avoids both: a window at from 0 makes the
// whole-record checks and keeps their outcome and its place in the gather
// list there, and each later window of the record goes on from that place.
// Pass the same cursor to the windows of one record in increasing order. A
// window at from 0, or one for another header, gather list, count of
// fragments or length, starts the cursor afresh, and a window before the
// previous one walks from the start: the bytes and results stay exact in
// any order. Zero-initialise a cursor before its first use (= {}); it needs
// no reset between records, whose first window is at 0.
struct kbr7_gather_cursor {
    uint64_t opaque[12];  // private to the event utilities
};

TARVEX_API int kbr7_convert_event_gather_hton_part(const kbr7_eventheader* head, const struct iovec* body,
                                                   int fragments, void* dst, uint32_t length, uint32_t from,
                                                   uint32_t count, kbr7_gather_cursor* cursor = nullptr);
TARVEX_API int kbr7_convert_event_gather_hton_part(const kbr7_eventheader_2024* head, const struct iovec* body,
                                                   int fragments, void* dst, uint32_t length, uint32_t from,
                                                   uint32_t count, kbr7_gather_cursor* cursor = nullptr);
TARVEX_API int kbr7_convert_slow_data_gather_hton_part(const kbr7_daq_slow_data_header* head, const struct iovec* body,
                                                       int fragments, void* dst, uint32_t length, uint32_t from,
                                                       uint32_t count, kbr7_gather_cursor* cursor = nullptr);
TARVEX_API int kbr7_convert_image_gather_hton_part(const kbr7_image_head* head, const struct iovec* body, int fragments,
                                                   void* dst, uint32_t length, uint32_t from, uint32_t count,
                                                   kbr7_gather_cursor* cursor = nullptr);
TARVEX_API int kbr7_convert_image_ext_gather_hton_part(const kbr7_image_ext_frame_head* head, const struct iovec* body,
                                                       int fragments, void* dst, uint32_t length, uint32_t from,
                                                       uint32_t count, kbr7_gather_cursor* cursor = nullptr);

// Pieces of a received record (receiver). `record` holds a record stored as
// it travelled, `length` bytes long; `length` is its record length, which
// the caller read from the header (in the peer's order). Each call converts
// in place, to host order, what lies in [from, to): the header as one unit
// when its last byte does, and each whole 32-bit body word whose last byte
// does; trailing bytes stay as they are. The caller makes the calls for
// consecutive ranges [0, a), [a, b), ... up to length as bytes arrive, each
// once all bytes before its `to` are there. Calls that cover [0, length)
// that way leave exactly the bytes of one kbr7_convert_event(record, record)
// (kbr7_convert_slow_data) call. Events take the header layout of the
// current generation, which must stay as it is over a record's calls.
// Each call returns, writing nothing when it refuses:
// * a null record: KBR7_CONV_ERR_NULL;
// * `length` below the header's size: KBR7_CONV_ERR_SHORT_LENGTH, as the
//   whole call for such a record;
// * from > to or to > length: KBR7_CONV_ERR_RANGE;
// * a range that ends before the header's last byte: 0, nothing converted;
// * otherwise the header's length is checked: as it travelled by the call
//   that holds the header's last byte, in host order by later calls (which
//   find an accepted header converted). When it differs from `length` the
//   call refuses: KBR7_CONV_ERR_SHORT_LENGTH when the header's length is
//   below its size (the whole call's refusal), KBR7_CONV_ERR_LENGTH else.
//   A refused header stays as it travelled, so each later call refuses the
//   same way, unless `length` is the header's length field read in host
//   order, which no caller passes that read it as above;
// * 0 when the range was converted.
// So a record is converted whole, with 0 from every call, or not at all,
// with the same refusal from every call that can tell: every call when
// `length` is below the header's size, else every call from the one that
// holds the header's last byte on.
TARVEX_API int kbr7_convert_event_part(void* record, uint32_t length, uint32_t from, uint32_t to);
TARVEX_API int kbr7_convert_slow_data_part(void* record, uint32_t length, uint32_t from, uint32_t to);

#endif  // TARVEX_EVENT_UTIL_H
