#include "axis2vid.h"

#include <sys/ioctl.h>

#include <cstring>

#include "ip-filter.h"
#include "vid-fmt.h"

namespace nexo {

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
    // width, height, scan: three u32 in the machine's order. The request's size field says 8;
    // the area handed over is at least as large as the record and the size.
    uint8_t rec[16] = {};
    uint32_t w = fmt->width;
    uint32_t h = fmt->height;
    auto scan = static_cast<uint32_t>(row->value);
    std::memcpy(rec + 0, &w, 4);
    std::memcpy(rec + 4, &h, 4);
    std::memcpy(rec + 8, &scan, 4);
    return ::ioctl(dev->fd.get(), kAxis2VidSetFmt, rec);
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
