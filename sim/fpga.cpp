// Simulated FPGA: device models of the filter, the formatters and the detectors behind umockdev.
#include "fpga.h"

#include <umockdev.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

namespace nexo::sim {
namespace {

enum class block { filter, formatter, detector };

// How a request passes its argument: not at all, as the value itself, or as the address of a
// record of a fixed length.
enum class arg_kind { none, value, record };

// What the caller hands in and what the device writes back, for the journal.
enum class direction { none, in, out, in_out };

struct node_desc {
    const char* name;  // under /dev and /devices/virtual/misc
    block kind;
    int index;
};

constexpr std::array<node_desc, 9> kNodes = {{
    {"zeb-ip-filter-0", block::filter, 0},
    {"axis2vid-0", block::formatter, 0},
    {"axis2vid-1", block::formatter, 1},
    {"axis2vid-2", block::formatter, 2},
    {"axis2vid-3", block::formatter, 3},
    {"rtp-vid-fmt-det-0", block::detector, 0},
    {"rtp-vid-fmt-det-1", block::detector, 1},
    {"rtp-vid-fmt-det-2", block::detector, 2},
    {"rtp-vid-fmt-det-3", block::detector, 3},
}};

// Record lengths. The size field of the request numbers says 8 for all of them, so these are
// what the drivers really copy.
constexpr size_t kChanCountLen = 1;
constexpr size_t kEnableLen = 2;
constexpr size_t kCfgLen = 20;
constexpr size_t kOutFmtLen = 12;
constexpr size_t kStateLen = 4;
constexpr size_t kDetFmtLen = 24;
static_assert(sizeof(filter_channel::cfg) == kCfgLen);
static_assert(std::tuple_size_v<decltype(std::declval<fpga>().formatter(0))> == kOutFmtLen);
static_assert(kDetFmtLen == 6 * sizeof(uint32_t));

struct request_desc {
    block kind;
    uint32_t request;
    arg_kind arg;
    direction dir;
    size_t len;  // record length for arg_kind::record
};

constexpr std::array<request_desc, 9> kRequests = {{
    {block::filter, kFiltGetChanNbr, arg_kind::record, direction::out, kChanCountLen},
    {block::filter, kFiltReset, arg_kind::none, direction::none, 0},
    {block::filter, kFiltSetCfg, arg_kind::record, direction::in, kCfgLen},
    {block::filter, kFiltSetEna, arg_kind::record, direction::in, kEnableLen},
    {block::filter, kFiltGetEna, arg_kind::record, direction::in_out, kEnableLen},
    {block::formatter, kVidOutSetFmt, arg_kind::record, direction::in, kOutFmtLen},
    {block::detector, kFmtDetEna, arg_kind::value, direction::none, 0},
    {block::detector, kFmtDetGetState, arg_kind::record, direction::out, kStateLen},
    {block::detector, kFmtDetGetFmt, arg_kind::record, direction::out, kDetFmtLen},
}};

const request_desc* find_request(block kind, uint32_t request) {
    for (const request_desc& r : kRequests) {
        if (r.kind == kind && r.request == request) {
            return &r;
        }
    }
    return nullptr;
}

void put_u32(uint8_t* p, uint32_t v) {
    std::memcpy(p, &v, sizeof v);
}

struct detector_state {
    bool enabled = false;
    uint32_t state = 0;
    detected_format fmt;
};

struct fault {
    int count = 0;
    int err = 0;
};

// The state of all nine devices. Requests arrive on umockdev's worker thread, the accessors on
// the test's threads; everything below mu.
struct device_state {
    mutable std::mutex mu;
    mutable std::condition_variable journal_grew;
    std::vector<ioctl_record> journal;
    std::map<uint32_t, fault> faults;

    uint8_t chan_count = 16;
    // Indexed by the channel byte, so that any count up to 255 needs no reallocation.
    std::array<filter_channel, 256> channels{};
    std::array<std::array<uint8_t, kOutFmtLen>, 4> out_fmt{};
    std::array<bool, 4> out_fmt_written{};
    std::array<detector_state, 4> detectors{};
    std::atomic<uint64_t> filter_generation{0};

    // Applies a modelled request with its input bytes (or value) to the state. Fills `out`
    // with the record to write back and returns the errno to answer. Called with mu held.
    int apply(const node_desc& node, const request_desc& req, const std::vector<uint8_t>& in,
              uint64_t value, std::vector<uint8_t>& out);
};

int device_state::apply(const node_desc& node, const request_desc& req,
                        const std::vector<uint8_t>& in, uint64_t value, std::vector<uint8_t>& out) {
    switch (req.request) {
        case kFiltGetChanNbr:
            out.assign(1, chan_count);
            return 0;
        case kFiltReset:
            for (filter_channel& ch : channels) {
                ch = filter_channel{};
            }
            ++filter_generation;
            return 0;
        case kFiltSetCfg:
            if (in[0] >= chan_count) {
                return EINVAL;
            }
            std::copy(in.begin(), in.end(), channels[in[0]].cfg.begin());
            channels[in[0]].cfg_written = true;
            ++filter_generation;
            return 0;
        case kFiltSetEna:
            if (in[0] >= chan_count) {
                return EINVAL;
            }
            channels[in[0]].enable = in[1];
            ++filter_generation;
            return 0;
        case kFiltGetEna:
            if (in[0] >= chan_count) {
                return EINVAL;
            }
            // Byte 0 stays the caller's channel number; only byte 1 is the device's.
            out = {in[0], channels[in[0]].enable};
            return 0;
        case kVidOutSetFmt:
            std::copy(in.begin(), in.end(), out_fmt[node.index].begin());
            out_fmt_written[node.index] = true;
            return 0;
        case kFmtDetEna: {
            // The driver takes 0 or 1. Anything else is most likely an address passed where the
            // value belongs, and is refused so that such a caller fails at once.
            if (value > 1) {
                return EINVAL;
            }
            detector_state& d = detectors[node.index];
            d.enabled = value != 0;
            if (!d.enabled) {
                d.state = 0;
            } else if (d.state == 0) {
                d.state = 1;
            }
            return 0;
        }
        case kFmtDetGetState:
            out.resize(kStateLen);
            put_u32(out.data(), detectors[node.index].state);
            return 0;
        case kFmtDetGetFmt: {
            const detected_format& f = detectors[node.index].fmt;
            out.resize(kDetFmtLen);
            put_u32(out.data() + 0, f.width);
            put_u32(out.data() + 4, f.height);
            put_u32(out.data() + 8, f.cspace);
            put_u32(out.data() + 12, f.bpc);
            put_u32(out.data() + 16, f.trnsp);
            put_u32(out.data() + 20, f.rate);
            return 0;
        }
    }
    return ENOTTY;
}

// The handler object umockdev calls for one node: a UMockdevIoctlBase subclass that knows its
// node and the state of the devices it belongs to.
struct NexoFpgaNode {
    UMockdevIoctlBase parent_instance;
    device_state* state;
    int node;  // index into kNodes
};

struct NexoFpgaNodeClass {
    UMockdevIoctlBaseClass parent_class;
};

gboolean nexo_fpga_node_handle_ioctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client);

G_DEFINE_TYPE(NexoFpgaNode, nexo_fpga_node, UMOCKDEV_TYPE_IOCTL_BASE)

void nexo_fpga_node_class_init(NexoFpgaNodeClass* klass) {
    UMOCKDEV_IOCTL_BASE_CLASS(klass)->handle_ioctl = nexo_fpga_node_handle_ioctl;
}

void nexo_fpga_node_init(NexoFpgaNode* self) {
    self->state = nullptr;
    self->node = 0;
}

// Answers one request on the worker thread, every one of them itself: a request left to
// umockdev (by returning FALSE) does not reliably come back as ENOTTY; one with the filter's
// type letter 'E', which evdev uses too, comes back as ENOENT.
gboolean nexo_fpga_node_handle_ioctl(UMockdevIoctlBase* base, UMockdevIoctlClient* client) {
    auto* self = reinterpret_cast<NexoFpgaNode*>(base);
    device_state& b = *self->state;
    const node_desc& node = kNodes[self->node];
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);

    ioctl_record rec;
    rec.node = std::string("/dev/") + node.name;
    rec.request = static_cast<uint32_t>(umockdev_ioctl_client_get_request(client));
    const request_desc* req = find_request(node.kind, rec.request);

    // The argument word as the caller passed it: a value or an address.
    uint64_t word = 0;
    std::memcpy(&word, arg->data, std::min<size_t>(sizeof word, std::max(arg->data_len, 0)));

    UMockdevIoctlData* data = nullptr;
    int err = 0;
    if (req == nullptr || req->arg == arg_kind::value) {
        // For a request the node does not model the word is all there is to show.
        rec.value = word;
    } else if (req->arg == arg_kind::record) {
        // A null address would make the preload fault inside the caller; a driver answers it
        // with EFAULT.
        if (word == 0) {
            err = EFAULT;
        } else {
            GError* gerr = nullptr;
            data = umockdev_ioctl_data_resolve(arg, 0, req->len, &gerr);
            if (data == nullptr) {
                g_clear_error(&gerr);
                err = EFAULT;
            } else if (req->dir == direction::in || req->dir == direction::in_out) {
                rec.in.assign(data->data, data->data + data->data_len);
            }
        }
    }

    // The journal entry is in place before the caller's ioctl returns, so that whoever saw the
    // call finish finds it in the journal.
    {
        std::lock_guard lock(b.mu);
        auto f = b.faults.find(rec.request);
        if (err == 0 && f != b.faults.end() && f->second.count > 0) {
            err = f->second.err;
            if (--f->second.count == 0) {
                b.faults.erase(f);
            }
        } else if (err == 0 && req == nullptr) {
            err = ENOTTY;
        } else if (err == 0) {
            err = b.apply(node, *req, rec.in, rec.value, rec.out);
        }
        if (err == 0 && !rec.out.empty()) {
            umockdev_ioctl_data_update(data, 0, rec.out.data(), static_cast<gint>(rec.out.size()));
        }
        rec.error = err;
        b.journal.push_back(std::move(rec));
    }
    b.journal_grew.notify_all();

    if (err == 0) {
        umockdev_ioctl_client_complete(client, 0, 0);
    } else {
        umockdev_ioctl_client_complete(client, -1, err);
    }
    if (data != nullptr) {
        g_object_unref(data);
    }
    return TRUE;
}

}  // namespace

struct fpga::impl {
    device_state state;
    UMockdevTestbed* testbed = nullptr;
    std::vector<NexoFpgaNode*> handlers;
    std::string root;
};

namespace {

[[noreturn]] void testbed_failure(const char* what, GError* err) {
    std::fprintf(stderr, "fpga: %s: %s\n", what, err != nullptr ? err->message : "failed");
    std::abort();
}

}  // namespace

fpga::fpga(std::vector<std::string> omit) : p_(std::make_unique<impl>()) {
    // Sets UMOCKDEV_DIR in this process's environment; umockdev's worker thread reads it, so it
    // is never changed again while the testbed lives.
    p_->testbed = umockdev_testbed_new();
    gchar* root = umockdev_testbed_get_root_dir(p_->testbed);
    p_->root = root;
    g_free(root);

    for (size_t i = 0; i < kNodes.size(); ++i) {
        std::string dev = std::string("/dev/") + kNodes[i].name;
        if (std::find(omit.begin(), omit.end(), dev) != omit.end()) {
            continue;
        }
        // Without the N: line the testbed has the sysfs entry but no /dev node.
        std::string desc = std::string("P: /devices/virtual/misc/") + kNodes[i].name +
                           "\nN: " + kNodes[i].name + "\nE: SUBSYSTEM=misc\n";
        GError* err = nullptr;
        if (!umockdev_testbed_add_from_string(p_->testbed, desc.c_str(), &err)) {
            testbed_failure(dev.c_str(), err);
        }
        auto* h = static_cast<NexoFpgaNode*>(g_object_new(nexo_fpga_node_get_type(), nullptr));
        h->state = &p_->state;
        h->node = static_cast<int>(i);
        if (!umockdev_testbed_attach_ioctl(p_->testbed, dev.c_str(), &h->parent_instance, &err)) {
            testbed_failure(dev.c_str(), err);
        }
        p_->handlers.push_back(h);
    }
}

fpga::~fpga() {
    // The testbed goes first: its worker thread may still be inside a handler, and the handlers
    // point into p_->state.
    g_object_unref(p_->testbed);
    for (NexoFpgaNode* h : p_->handlers) {
        g_object_unref(h);
    }
}

std::vector<std::string> fpga::preload_env() const {
    std::string preload = "libumockdev-preload.so.0";
    // A sanitized program aborts unless ASan's runtime is the first library loaded.
    if (std::strlen(NEXO_ASAN_RUNTIME) != 0) {
        preload = std::string(NEXO_ASAN_RUNTIME) + ":" + preload;
    }
    return {"LD_PRELOAD=" + preload, "UMOCKDEV_DIR=" + p_->root};
}

std::vector<ioctl_record> fpga::journal() const {
    std::lock_guard lock(p_->state.mu);
    return p_->state.journal;
}

void fpga::clear_journal() {
    std::lock_guard lock(p_->state.mu);
    p_->state.journal.clear();
}

bool fpga::wait_journal(size_t n, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(p_->state.mu);
    return p_->state.journal_grew.wait_for(lock, timeout,
                                           [&] { return p_->state.journal.size() >= n; });
}

void fpga::fail_next(uint32_t request, int count, int err) {
    std::lock_guard lock(p_->state.mu);
    if (count <= 0) {
        p_->state.faults.erase(request);
    } else {
        p_->state.faults[request] = {count, err};
    }
}

void fpga::set_filter_channel_count(uint8_t n) {
    std::lock_guard lock(p_->state.mu);
    p_->state.chan_count = n;
    ++p_->state.filter_generation;
}

filter_channel fpga::filter(uint8_t chan) const {
    std::lock_guard lock(p_->state.mu);
    return p_->state.channels[chan];
}

void fpga::set_filter_enable(uint8_t chan, uint8_t enable) {
    std::lock_guard lock(p_->state.mu);
    p_->state.channels[chan].enable = enable;
    ++p_->state.filter_generation;
}

std::vector<filter_channel> fpga::filter_table() const {
    std::lock_guard lock(p_->state.mu);
    return {p_->state.channels.begin(), p_->state.channels.begin() + p_->state.chan_count};
}

uint64_t fpga::filter_generation() const {
    return p_->state.filter_generation.load();
}

std::array<uint8_t, 12> fpga::formatter(int i) const {
    std::lock_guard lock(p_->state.mu);
    if (i < 0 || i >= 4) {
        return {};
    }
    return p_->state.out_fmt[i];
}

bool fpga::formatter_written(int i) const {
    std::lock_guard lock(p_->state.mu);
    return i >= 0 && i < 4 && p_->state.out_fmt_written[i];
}

bool fpga::detector_enabled(int i) const {
    std::lock_guard lock(p_->state.mu);
    return i >= 0 && i < 4 && p_->state.detectors[i].enabled;
}

void fpga::set_detector(int i, uint32_t state, detected_format fmt) {
    std::lock_guard lock(p_->state.mu);
    if (i < 0 || i >= 4) {
        return;
    }
    p_->state.detectors[i].state = state;
    p_->state.detectors[i].fmt = fmt;
}

bool fpga::report_detector(int i, uint32_t state, detected_format fmt) {
    std::lock_guard lock(p_->state.mu);
    if (i < 0 || i >= 4 || !p_->state.detectors[i].enabled) {
        return false;
    }
    p_->state.detectors[i].state = state;
    p_->state.detectors[i].fmt = fmt;
    return true;
}

}  // namespace nexo::sim
