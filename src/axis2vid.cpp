#include "axis2vid.h"

#include <sys/ioctl.h>

#include "ip-filter.h"
#include "vid-fmt.h"

namespace nexo {
namespace {

// The format record: width, height and scan code, three u32.
constexpr std::size_t kFmtWidthOff = 0;
constexpr std::size_t kFmtHeightOff = 4;
constexpr std::size_t kFmtScanOff = 8;
constexpr std::size_t kFmtSize = 12;
static_assert(kFmtScanOff + 4 == kFmtSize && kFmtSize <= kIoctlAreaSize);

static_assert(kAxis2VidSetFmt == _IOW('A', 0, uint64_t));

}  // namespace

int32_t set_axis2vid_format(device_rec* dev, const vid_fmt* fmt) {
    if (dev == nullptr || fmt == nullptr) {
        return -22;
    }
    if (dev->fd.get() < 0) {
        return -77;
    }
    const xlate_row* row = axis2vid_trnsp_xlate_table.data();
    while (row->key != -1 && static_cast<uint32_t>(row->key) != fmt->trnsp) {
        ++row;
    }
    if (row->key == -1) {
        return -1;
    }
    ioctl_area rec;
    rec.put32(kFmtWidthOff, fmt->width);
    rec.put32(kFmtHeightOff, fmt->height);
    rec.put32(kFmtScanOff, static_cast<uint32_t>(row->value));
    return ::ioctl(dev->fd.get(), kAxis2VidSetFmt, rec.bytes);
}

int32_t get_axis2vid_format(device_rec* dev, vid_fmt* fmt) {
    if (dev == nullptr || fmt == nullptr) {
        return -22;
    }
    if (dev->fd.get() < 0) {
        return -77;
    }
    return -38;
}

}  // namespace nexo
