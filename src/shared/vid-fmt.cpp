#include "vid-fmt.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

namespace nexo {

void simplify_freq(freq* f) {
    if (f->num == 0 || f->den == 0 || f->den == 1 || f->num == 1) {
        return;
    }
    static constexpr uint32_t kDivisors[] = {100, 50, 10, 5, 3, 2};
    for (uint32_t d : kDivisors) {
        while (f->num % d == 0 && f->den % d == 0) {
            f->num /= d;
            f->den /= d;
        }
    }
}

char vid_trnsp_to_char(uint32_t code) {
    static constexpr char kIps[] = "IPS";
    return code <= 2 ? kIps[code] : '?';
}

const colorspace_row* colorspace_by_name(const char* text) {
    for (const colorspace_row& row : colorspace_xlate_table) {
        if (row.code != -1 && strcasecmp(row.name, text) == 0) {
            return &row;
        }
    }
    return nullptr;
}

const f_rate_row* f_rate_by_name(const char* text) {
    for (std::size_t i = 0; i + 1 < f_rate_xlate_table.size(); ++i) {
        if (std::strcmp(f_rate_xlate_table[i].name, text) == 0) {
            return &f_rate_xlate_table[i];
        }
    }
    return nullptr;
}

const colorspace_row* find_colorspace(uint32_t code) {
    const colorspace_row* cs = colorspace_xlate_table.data();
    while (cs->code != -1 && static_cast<uint32_t>(cs->code) != code) {
        ++cs;
    }
    return cs;
}

const f_rate_row* find_f_rate(const freq& f) {
    // The last row names every rate the others do not match; it is never compared.
    const f_rate_row* fr = f_rate_xlate_table.data();
    for (; fr + 1 != f_rate_xlate_table.data() + f_rate_xlate_table.size(); ++fr) {
        freq a = fr->rate;
        freq b = f;
        simplify_freq(&a);
        simplify_freq(&b);
        if (a.num == b.num && a.den == b.den) {
            break;
        }
    }
    return fr;
}

bool name_vid_fmt(vid_fmt* fmt) {
    const f_rate_row* fr = find_f_rate({fmt->rate_num, fmt->rate_den});
    if (find_colorspace(fmt->cspace)->code == -1 || vid_trnsp_to_char(fmt->trnsp) == '?' ||
        fr == &f_rate_xlate_table.back()) {
        return false;
    }
    fmt->rate_num = fr->rate.num;
    fmt->rate_den = fr->rate.den;
    return true;
}

int vid_fmt_to_string(const vid_fmt* fmt, char* dst, std::size_t size) {
    return std::snprintf(dst, size, "%s %hhu %c %hu %hu %s", find_colorspace(fmt->cspace)->name,
                         fmt->bpc, vid_trnsp_to_char(fmt->trnsp), fmt->width, fmt->height,
                         find_f_rate({fmt->rate_num, fmt->rate_den})->name);
}

}  // namespace nexo
