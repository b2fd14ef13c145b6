#include "video_types.h"

#include <cstddef>
#include <cstdio>
#include <cstring>

namespace nexo {
namespace {

constexpr uint32_t kEndCode = 255;
constexpr uint32_t kCspaceYcr422 = 2;
constexpr uint32_t kCspaceKey = 4;  // the last code of colorspace_xlate_table
constexpr uint32_t kCspaceNone = 0xFFFFFFFF;
constexpr uint32_t kTrnspProgressive = 1;

constexpr int32_t count_stds() {
    int32_t n = 0;
    while (supported_video_std_table[static_cast<std::size_t>(n)].frame_type != kEndCode) {
        ++n;
    }
    return n;
}
constexpr int32_t kNbrStds = count_stds();
static_assert(kNbrStds == 33 && kNbrStds + 1 == supported_video_std_table.size());

constexpr std::array<freq, 4> video_clocks = {{
    {148500000, 1},
    {148500000000, 1001},
    {74250000, 1},
    {74250000000, 1001},
}};

// Replaced by every get_name_of_standard.
char standard_name[16];

template <std::size_t N>
const vid_name_row& row_of_code(const std::array<vid_name_row, N>& table, uint32_t code) {
    const vid_name_row* row = table.data();
    while (row->name[0] != '\0' && row->code != code) {
        ++row;
    }
    return *row;
}

template <std::size_t N>
uint32_t code_of_name(const std::array<vid_name_row, N>& table, const char* text) {
    const vid_name_row* row = table.data();
    if (text == nullptr) {
        return table.back().code;
    }
    while (row->name[0] != '\0' && std::strcmp(row->name, text) != 0) {
        ++row;
    }
    return row->code;
}

template <std::size_t N>
const char* name_of_code(const std::array<vid_name_row, N>& table, int32_t code) {
    // A negative code would wrap onto a large one; no row holds either.
    if (code < 0) {
        return table.back().name;
    }
    return row_of_code(table, static_cast<uint32_t>(code)).name;
}

uint8_t data_rate_class(const vid_std* standard) {
    return standard->flags & kVidStdClassMask;
}

}  // namespace

// --- Catalogue ---------------------------------------------------------------------------------

int32_t get_nbr_supported_video_stds() {
    return kNbrStds;
}

const vid_std* get_vid_std_ptr(int32_t index) {
    if (index < 0 || index >= kNbrStds) {
        return nullptr;
    }
    return &supported_video_std_table[static_cast<std::size_t>(index)];
}

const char* get_name_of_standard(int32_t index) {
    const vid_std* standard = get_vid_std_ptr(index);
    if (standard == nullptr) {
        std::snprintf(standard_name, sizeof standard_name, "%s", "undefined");
        return standard_name;
    }
    const char* frame_type = row_of_code(frametype_to_name_table, standard->frame_type).name;
    if (frame_type[0] == '\0') {
        standard_name[0] = '\0';
        return standard_name;
    }
    std::snprintf(standard_name, sizeof standard_name, "%s%s", frame_type,
                  row_of_code(framerate_to_name_table, standard->rate).name);
    return standard_name;
}

int32_t get_frame_rate_of_standard(const vid_std* standard, freq* f) {
    if (standard == nullptr || f == nullptr) {
        return -22;
    }
    const rate_numerator_row* row = rate_to_numerator_table.data();
    while (row->rate != kEndCode && row->rate != standard->rate) {
        ++row;
    }
    if (row->rate == kEndCode) {
        return -2;
    }
    f->num = row->numerator;
    f->den = (standard->flags & kVidStdPromilleLess) != 0 ? 1001 : 1000;
    return 0;
}

const char* get_data_rate_name_of_standard(const vid_std* standard) {
    if (standard == nullptr) {
        return datarate_to_name_table.back().name;
    }
    return row_of_code(datarate_to_name_table, data_rate_class(standard)).name;
}

const char* get_subsampling_name_of_standard(const vid_std* standard) {
    if (standard == nullptr) {
        return subsampling_to_name_table.back().name;
    }
    return row_of_code(subsampling_to_name_table, standard->subsampling).name;
}

// --- Names and codes ---------------------------------------------------------------------------

uint32_t rate_string_to_rate(const char* text) {
    return code_of_name(framerate_to_name_table, text);
}

uint32_t framestring_to_frametype(const char* text) {
    return code_of_name(frametype_to_name_table, text);
}

uint32_t subsampling_string_to_subsampling(const char* text) {
    return code_of_name(subsampling_to_name_table, text);
}

const char* framerate_to_string(int32_t code) {
    return name_of_code(framerate_to_name_table, code);
}

const char* frametype_to_string(int32_t code) {
    return name_of_code(frametype_to_name_table, code);
}

const char* subsampling_to_string(int32_t code) {
    return name_of_code(subsampling_to_name_table, code);
}

// --- Rates and clocks --------------------------------------------------------------------------

int32_t vid_std_is_promille_less(const vid_std* standard) {
    return standard != nullptr && (standard->flags & kVidStdPromilleLess) != 0 ? 1 : 0;
}

int32_t vid_std_is_sd(const vid_std* standard) {
    return standard != nullptr && data_rate_class(standard) == kClassSdSdi ? 1 : 0;
}

int32_t vid_std_clock_is_promille_less(const vid_std* standard) {
    return vid_std_is_promille_less(standard) != 0 && vid_std_is_sd(standard) == 0 ? 1 : 0;
}

int32_t vid_std_to_clock_freq(const vid_std* standard) {
    // A standard that follows the ST 2059 rate has no clock until get_vid_std resolved it.
    if (standard == nullptr || standard->rate == 0) {
        return -1;
    }
    bool promille_less = (standard->flags & kVidStdPromilleLess) != 0;
    switch (data_rate_class(standard)) {
        case kClassSdSdi:
            return 0;
        case kClassHdSdi:
            return promille_less ? 3 : 2;
        case kClass12gSdi:
            return promille_less ? 5 : 4;
        default:
            return promille_less ? 1 : 0;
    }
}

int32_t video_clock_to_frequency(uint32_t clock, freq* f) {
    if (f == nullptr || clock >= video_clocks.size()) {
        return -22;
    }
    *f = video_clocks[clock];
    return 0;
}

uint32_t frequency_to_fr_type(const freq* f) {
    if (f == nullptr) {
        return kEndCode;
    }
    // The end row is never compared, so 0/0 gives 255 by reaching it, not by matching it.
    const f2f_row* row = f2f_table.data();
    for (; row->code != kEndCode; ++row) {
        freq a = row->f;
        freq b = *f;
        simplify_freq(&a);
        simplify_freq(&b);
        if (a.num == b.num && a.den == b.den) {
            break;
        }
    }
    return row->code;
}

int32_t st2110_20_to_vid_std(const vid_fmt* fmt, vid_std* standard, freq* f) {
    if (fmt == nullptr || standard == nullptr || f == nullptr) {
        return -22;
    }
    // Interlaced and segmented-frame formats carry the field rate; a standard names the frame
    // rate.
    *f = {fmt->rate_num, fmt->rate_den};
    if (fmt->trnsp == kTrnspProgressive) {
        standard->flags = 0;
    } else {
        f->num >>= 1;
        standard->flags = kVidStdInterlaced;
    }
    // The catalogue holds no standard for the other colour spaces of the table. Codes beyond
    // the table are let through and keep the caller's subsampling.
    if (fmt->cspace == kCspaceYcr422) {
        standard->subsampling = 0;
    } else if (fmt->cspace <= kCspaceKey || fmt->cspace == kCspaceNone) {
        return -1;
    }
    standard->rate = frequency_to_fr_type(f);
    int32_t result = standard->rate == kEndCode ? -3 : 0;
    // An unknown rate (255) takes the faster class.
    bool fast = standard->rate > 5;
    uint8_t data_rate;
    if (fmt->height == 1080 && fmt->trnsp == kTrnspProgressive) {
        standard->frame_type = 4;
        data_rate = fast ? kClass3gSdi : kClassHdSdi;
    } else if (fmt->height == 1080) {
        standard->frame_type = 3;
        data_rate = kClassHdSdi;
    } else if (fmt->height == 2160) {
        standard->frame_type = 5;
        data_rate = fast ? kClass12gSdi : kClass6gSdi;
    } else if (fmt->height == 720) {
        standard->frame_type = 2;
        data_rate = kClassHdSdi;
    } else {
        return -2;
    }
    standard->flags |= data_rate;
    // Only 0 is a whole multiple of a denominator of 0, and dividing by it would trap.
    bool whole = f->den == 0 ? f->num == 0 : f->num % f->den == 0;
    if (!whole) {
        standard->flags |= kVidStdPromilleLess;
    }
    return result;
}

}  // namespace nexo
