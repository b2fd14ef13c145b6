#include "rtp-fmt-det.h"

#include <sys/ioctl.h>

#include <cstdio>
#include <cstring>

#include "axis2vid.h"
#include "ip-filter.h"
#include "vid-fmt.h"

namespace nexo {
namespace {

// Detector code to record value; each table's last row is its end row.
inline constexpr std::array<xlate_row, 3> trnsp_xlate_table = {{{0, 1}, {1, 0}, {-1, -1}}};
inline constexpr std::array<xlate_row, 5> bpc_xlate_table = {
    {{0, 8}, {1, 10}, {2, 12}, {3, 16}, {-1, 0}}};
inline constexpr std::array<xlate_row, 5> cspace_xlate_table = {
    {{0, 0}, {1, 1}, {2, 2}, {3, 3}, {-1, -1}}};

struct frate_row {
    uint32_t code;
    freq rate;
};
// The end row is recognised by its code, 13.
inline constexpr std::array<frate_row, 14> frate_xlate_table = {{
    {0, {24000, 1001}},
    {1, {24, 1}},
    {2, {25, 1}},
    {3, {30000, 1001}},
    {4, {30, 1}},
    {5, {48000, 1001}},
    {6, {48, 1}},
    {7, {50, 1}},
    {8, {60000, 1001}},
    {9, {60, 1}},
    {10, {100, 1}},
    {11, {120000, 1001}},
    {12, {120, 1}},
    {13, {0, 0}},
}};

template <std::size_t N>
int32_t xlate(const std::array<xlate_row, N>& table, uint32_t code) {
    for (const xlate_row& row : table) {
        if (row.key == -1) {
            return row.value;
        }
        if (static_cast<uint32_t>(row.key) == code) {
            return row.value;
        }
    }
    return table.back().value;
}

int32_t check_dev(const device_rec* dev) {
    if (dev == nullptr) {
        return -22;
    }
    return dev->fd.get() < 0 ? -77 : 0;
}

// The state record: one u32.
constexpr std::size_t kDetStateOff = 0;
// The detected format record: six u32, each a code of the tables above but width and height.
constexpr std::size_t kDetWidthOff = 0;
constexpr std::size_t kDetHeightOff = 4;
constexpr std::size_t kDetCspaceOff = 8;
constexpr std::size_t kDetBpcOff = 12;
constexpr std::size_t kDetTrnspOff = 16;
constexpr std::size_t kDetRateOff = 20;
constexpr std::size_t kDetFmtSize = 24;
static_assert(kDetRateOff + 4 == kDetFmtSize && kDetFmtSize <= kIoctlAreaSize);

static_assert(kFmtDetEnable == _IOW('V', 0, uint8_t));
static_assert(kFmtDetGetState == _IOR('V', 2, uint64_t));
static_assert(kFmtDetGetFmt == _IOR('V', 3, uint64_t));

}  // namespace

int32_t set_rtp_vid_fmt_det_enable(device_rec* dev, uint8_t enable) {
    if (int32_t r = check_dev(dev); r != 0) {
        return r;
    }
    return ::ioctl(dev->fd.get(), kFmtDetEnable, static_cast<unsigned long>(enable));
}

int32_t get_rtp_vid_fmt_det_state_value(device_rec* dev, uint32_t* state) {
    if (int32_t r = check_dev(dev); r != 0) {
        return r;
    }
    ioctl_area rec;
    int32_t r = ::ioctl(dev->fd.get(), kFmtDetGetState, rec.bytes);
    if (r != 0) {
        return r;
    }
    *state = rec.get32(kDetStateOff);
    return 0;
}

int32_t get_rtp_vid_fmt_det_state(device_rec* dev, char* buf, std::size_t size) {
    if (buf == nullptr) {
        return -22;
    }
    uint32_t state = 0;
    if (int32_t r = get_rtp_vid_fmt_det_state_value(dev, &state); r != 0) {
        return r;
    }
    for (const det_state_row& row : rtp_vid_fmt_det_state_xlate_table) {
        if (row.name == nullptr) {
            break;
        }
        if (row.value == state) {
            return std::snprintf(buf, size, "%s", row.name) < 0 ? -2 : 0;
        }
    }
    return -1;
}

int32_t get_rtp_vid_fmt_det_format(device_rec* dev, vid_fmt* fmt) {
    if (fmt == nullptr) {
        return -22;
    }
    if (int32_t r = check_dev(dev); r != 0) {
        return r;
    }
    ioctl_area rec;
    int32_t r = ::ioctl(dev->fd.get(), kFmtDetGetFmt, rec.bytes);
    if (r != 0) {
        return r;
    }
    fmt->width = static_cast<uint16_t>(rec.get32(kDetWidthOff));
    fmt->height = static_cast<uint16_t>(rec.get32(kDetHeightOff));
    fmt->cspace = static_cast<uint32_t>(xlate(cspace_xlate_table, rec.get32(kDetCspaceOff)));
    fmt->bpc = static_cast<uint8_t>(xlate(bpc_xlate_table, rec.get32(kDetBpcOff)));
    fmt->trnsp = static_cast<uint32_t>(xlate(trnsp_xlate_table, rec.get32(kDetTrnspOff)));
    const uint32_t rate = rec.get32(kDetRateOff);
    const frate_row* row = frate_xlate_table.data();
    while (row->code != 13 && row->code != rate) {
        ++row;
    }
    fmt->rate_num = row->rate.num;
    fmt->rate_den = row->rate.den;
    return 0;
}

}  // namespace nexo
