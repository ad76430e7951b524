// Record formats carried by a Tarvex link.
//
// Every record starts with a fixed header whose first 32-bit word is a
// pattern naming the record kind and the data-format generation; the header's
// length field counts the whole record, header included. The structs below
// are the exact wire images (no packing between fields, no padding), so a
// header can be copied to and from the wire with memcpy.
#ifndef TARVEX_EVENT_H
#define TARVEX_EVENT_H

#include <cstddef>
#include <cstdint>
#include <type_traits>

// Record patterns, as a host-order 32-bit word ...
constexpr uint32_t KBR7_PATTERN_LEGACY = 0xffeeffeeu;     // event, legacy
constexpr uint32_t KBR7_PATTERN_2010 = 0xffeeffddu;       // event, 2010
constexpr uint32_t KBR7_PATTERN_2024 = 0xffccffccu;       // event, 2024
constexpr uint32_t KBR7_PATTERN_SLOW = 0xffeeffccu;       // slow data, legacy
constexpr uint32_t KBR7_PATTERN_SLOW_2024 = 0xffeeffffu;  // slow data, 2024

// ... and the same words as they read when they travelled in the other byte
// order. A receiver that meets one of these knows the peer's order differs.
constexpr uint32_t KBR7_PATTERN_LEGACY_SWAPPED = 0xeeffeeffu;
constexpr uint32_t KBR7_PATTERN_2010_SWAPPED = 0xddffeeffu;
constexpr uint32_t KBR7_PATTERN_2024_SWAPPED = 0xccffccffu;
constexpr uint32_t KBR7_PATTERN_SLOW_SWAPPED = 0xccffeeffu;
constexpr uint32_t KBR7_PATTERN_SLOW_2024_SWAPPED = 0xffffeeffu;

// Event type. KBR7_EV_EVMAX doubles as "no event type" where there is no
// record to ask.
enum KBR7_EVTYPE : int32_t {
    KBR7_EV_HB = 0,
    KBR7_EV_NORMAL = 1,
    KBR7_EV_BOR = 2,
    KBR7_EV_EOR = 3,
    KBR7_EV_ENV = 4,
    KBR7_EV_UPD = 5,
    KBR7_EV_IMAGE = 6,
    KBR7_EV_WS = 7,
    KBR7_EV_MCP = 8,
    KBR7_EV_WSS = 9,
    KBR7_EV_BL1 = 10,
    KBR7_EV_BL2 = 11,
    KBR7_EV_BL3 = 12,
    KBR7_EV_PG0 = 13,
    KBR7_EV_PG1 = 14,
    KBR7_EV_PG2 = 15,
    KBR7_EV_GMD = 16,
    KBR7_EV_PHOTEN = 17,
    KBR7_EV_PHOTWL = 18,
    KBR7_EV_BEAM_ENERGY = 19,
    KBR7_EV_LLRF_ML = 20,
    KBR7_EV_BEAM_ENERGY_BYPASS = 21,
    KBR7_EV_SPECTR_1 = 22,
    KBR7_EV_SPECTR_2 = 23,
    KBR7_EV_SPECTR_3 = 24,
    KBR7_EV_SPECTR_4 = 25,
    KBR7_EV_SPECTR_5 = 26,
    KBR7_EV_TOROID_ML = 27,
    KBR7_EV_28 = 28,
    KBR7_EV_29 = 29,
    KBR7_EV_30 = 30,
    KBR7_EV_31 = 31,
    KBR7_EV_EVMAX = 32
};

// Type of a block inside an event body: 1..28 legacy, 31 reserved,
// 33..63 the 2010 generation.
enum KBR7_SUBBLOCK_TYPE : int32_t {
    KBR7_UPD_BLOCK = 1,
    KBR7_ENV_DICT_BLOCK = 2,
    KBR7_ENV_BLOCK = 3,
    KBR7_BOR_BLOCK = 4,
    KBR7_EOR_BLOCK = 5,
    KBR7_BLOCK_BPM = 6,
    KBR7_BLOCK_BPM_Z = 7,
    KBR7_BLOCK_BPM_S = 8,
    KBR7_BLOCK_SINGLE = 9,
    KBR7_BLOCK_TOROID = 10,
    KBR7_BLOCK_RF_250K = 11,
    KBR7_BLOCK_ENERGY = 12,
    KBR7_BLOCK_IMAGE = 13,
    KBR7_BLOCK_WS_FAST = 14,
    KBR7_BLOCK_WS_SLOW = 15,
    KBR7_BLOCK_CPLINTL = 16,
    KBR7_BLOCK_GUNINTL = 17,
    KBR7_BLOCK_MCP = 18,
    KBR7_BLOCK_PHM = 19,
    KBR7_BLOCK_WSS_RAW = 20,
    KBR7_BLOCK_WSS_COR = 21,
    KBR7_BLOCK_NAME_VALUE = 22,
    KBR7_BLOCK_EQDATA = 23,
    KBR7_BLOCK_IMG_ROI1 = 24,
    KBR7_BLOCK_IMG_ROI2 = 25,
    KBR7_BLOCK_IMG_ROI3 = 26,
    KBR7_BLOCK_IMAGE_EXT = 27,
    KBR7_BLOCK_GENERIC_SPECT = 28,
    KBR7_UPD_BLOCK_DONT_USE_31 = 31,
    KBR7_UPD_BLOCK_2010 = 33,
    KBR7_ENV_DICT_BLOCK_2010 = 34,
    KBR7_ENV_BLOCK_2010 = 35,
    KBR7_BOR_BLOCK_2010 = 36,
    KBR7_EOR_BLOCK_2010 = 37,
    KBR7_BLOCK_BPM_2010 = 38,
    KBR7_BLOCK_BPM_Z_2010 = 39,
    KBR7_BLOCK_BPM_S_2010 = 40,
    KBR7_BLOCK_1CHAN_2010 = 41,
    KBR7_BLOCK_TOROID_2010 = 42,
    KBR7_BLOCK_RF_250K_2010 = 43,
    KBR7_BLOCK_ENERGY_2010 = 44,
    KBR7_BLOCK_2CHAN_2010 = 45,
    KBR7_BLOCK_WS_2010 = 46,
    KBR7_BLOCK_4CHAN_2010 = 47,
    KBR7_BLOCK_CPLINTL_2010 = 48,
    KBR7_BLOCK_GUNINTL_2010 = 49,
    KBR7_BLOCK_MCP_2010 = 50,
    KBR7_BLOCK_PHM_2010 = 51,
    KBR7_BLOCK_6CHAN_2010 = 52,
    KBR7_BLOCK_8CHAN_2010 = 53,
    KBR7_BLOCK_3CHAN_2010 = 60,
    KBR7_BLOCK_5CHAN_2010 = 61,
    KBR7_BLOCK_7CHAN_2010 = 62,
    KBR7_BLOCK_MAX_2010 = 63
};

struct time_stamp {
    uint32_t timeup;   // upper time word
    uint32_t timelow;  // lower time word
};

// Event header of the legacy (0xffeeffee) and 2010 (0xffeeffdd) generations.
struct kbr7_eventheader {
    uint32_t pattern;
    uint32_t event_length;  // whole record in bytes, header included
    uint32_t event_number;
    KBR7_EVTYPE event_type;
    time_stamp event_time;
    int32_t tmask;
    int32_t status;
    int32_t num_svr_block;
};

// Event header of the 2024 generation (0xffccffcc). The 64-bit fields sit on
// 8-byte boundaries, so the record ends with an explicit alignment word that
// travels as part of the 48 bytes.
struct alignas(8) kbr7_eventheader_2024 {
    uint32_t pattern;
    KBR7_EVTYPE event_type;
    int64_t event_length;  // whole record in bytes; senders use the low 32 bits
    uint64_t event_number;
    time_stamp event_time;
    int32_t tmask;
    int32_t status;
    int32_t num_svr_block;
    uint32_t alignment;
};

// Slow-data header, legacy (0xffeeffcc) or 2024 (0xffeeffff).
struct kbr7_daq_slow_data_header {
    uint32_t pattern;
    uint32_t data_length;  // whole record in bytes, header included
    uint32_t channels_number;
};

// Image intro: starts an image record with one of the three event patterns.
struct kbr7_image_head {
    uint32_t pattern;
    uint32_t length;  // whole record in bytes
};

// Spectrum intro: same shape as the image intro.
struct kbr7_spect_head {
    uint32_t pattern;
    uint32_t length;  // whole record in bytes
};

struct kbr7_image_ext_frame_head {
    int32_t width;
    int32_t height;
    int32_t aoi_width;
    int32_t aoi_height;
    int32_t x_start;
    int32_t y_start;
    int32_t bpp;
    int32_t ebitpp;
    int32_t hbin;
    int32_t vbin;
    int32_t source_format;
    int32_t image_format;
    uint32_t frame;
    uint32_t event;
    float scale_x;
    float scale_y;
    float image_rotation;
    float fspare2;
    float fspare3;
    float fspare4;
    int32_t image_flags;
    int32_t ispare2;
    int32_t ispare3;
    int32_t ispare4;
    int32_t length;
};

struct kbr7_image_ext_intro {
    kbr7_image_head intro;
    kbr7_image_ext_frame_head head;
};

struct kbr7_spect_header {
    int32_t i;
    float f1;
    float f2;
    float f3;
    float start;
    float inc;
    uint32_t usec;
    uint32_t sec;
    uint32_t bnum;
    uint32_t bnum_req;
    uint32_t event_nm;
    int32_t error;
};

struct kbr7_spect_intro {
    kbr7_spect_head intro;
    kbr7_spect_header head;
};

// The wire images depend on these layouts; a compiler or edit that changes
// one must fail the build rather than corrupt the stream.
static_assert(sizeof(float) == 4, "float fields are 32-bit on the wire");
static_assert(std::is_standard_layout<kbr7_eventheader>::value &&
                  std::is_standard_layout<kbr7_eventheader_2024>::value &&
                  std::is_standard_layout<kbr7_daq_slow_data_header>::value &&
                  std::is_standard_layout<kbr7_image_ext_intro>::value &&
                  std::is_standard_layout<kbr7_spect_intro>::value,
              "records are plain wire images");

static_assert(sizeof(time_stamp) == 8, "time_stamp size");
static_assert(sizeof(kbr7_eventheader) == 36, "kbr7_eventheader size");
static_assert(sizeof(kbr7_eventheader_2024) == 48, "kbr7_eventheader_2024 size");
static_assert(sizeof(kbr7_daq_slow_data_header) == 12, "kbr7_daq_slow_data_header size");
static_assert(sizeof(kbr7_image_head) == 8, "kbr7_image_head size");
static_assert(sizeof(kbr7_spect_head) == 8, "kbr7_spect_head size");
static_assert(sizeof(kbr7_image_ext_frame_head) == 100, "kbr7_image_ext_frame_head size");
static_assert(sizeof(kbr7_image_ext_intro) == 108, "kbr7_image_ext_intro size");
static_assert(sizeof(kbr7_spect_header) == 48, "kbr7_spect_header size");
static_assert(sizeof(kbr7_spect_intro) == 56, "kbr7_spect_intro size");

static_assert(offsetof(kbr7_eventheader, pattern) == 0, "");
static_assert(offsetof(kbr7_eventheader, event_length) == 4, "");
static_assert(offsetof(kbr7_eventheader, event_number) == 8, "");
static_assert(offsetof(kbr7_eventheader, event_type) == 12, "");
static_assert(offsetof(kbr7_eventheader, event_time) == 16, "");
static_assert(offsetof(kbr7_eventheader, num_svr_block) == 32, "");

static_assert(offsetof(kbr7_eventheader_2024, pattern) == 0, "");
static_assert(offsetof(kbr7_eventheader_2024, event_type) == 4, "");
static_assert(offsetof(kbr7_eventheader_2024, event_length) == 8, "");
static_assert(offsetof(kbr7_eventheader_2024, event_number) == 16, "");
static_assert(offsetof(kbr7_eventheader_2024, event_time) == 24, "");
static_assert(offsetof(kbr7_eventheader_2024, num_svr_block) == 40, "");
static_assert(offsetof(kbr7_eventheader_2024, alignment) == 44, "");

static_assert(offsetof(kbr7_daq_slow_data_header, pattern) == 0, "");
static_assert(offsetof(kbr7_daq_slow_data_header, data_length) == 4, "");
static_assert(offsetof(kbr7_daq_slow_data_header, channels_number) == 8, "");

static_assert(offsetof(kbr7_image_head, pattern) == 0, "");
static_assert(offsetof(kbr7_image_head, length) == 4, "");
static_assert(offsetof(kbr7_spect_head, pattern) == 0, "");
static_assert(offsetof(kbr7_spect_head, length) == 4, "");
static_assert(offsetof(kbr7_image_ext_frame_head, frame) == 48, "");
static_assert(offsetof(kbr7_image_ext_frame_head, scale_x) == 56, "");
static_assert(offsetof(kbr7_image_ext_frame_head, image_flags) == 80, "");
static_assert(offsetof(kbr7_image_ext_frame_head, length) == 96, "");
static_assert(offsetof(kbr7_image_ext_intro, intro) == 0, "");
static_assert(offsetof(kbr7_image_ext_intro, head) == 8, "");
static_assert(offsetof(kbr7_spect_header, usec) == 24, "");
static_assert(offsetof(kbr7_spect_header, error) == 44, "");
static_assert(offsetof(kbr7_spect_intro, intro) == 0, "");
static_assert(offsetof(kbr7_spect_intro, head) == 8, "");

#endif  // TARVEX_EVENT_H
