// Arbitrary text through the session description reader, the capability check and the
// planner: no crash, no read past the input, and whatever reads as a description is written
// out as text that reads back to the same description.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "chan_plan.h"
#include "sdp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace nexo::client;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    sdp_parse_result first = parse_sdp(text);
    if (!first.ok()) {
        (void)to_string(first.error);
        return 0;
    }
    std::string written = write_sdp(*first.session);
    sdp_parse_result second = parse_sdp(written);
    if (!second.ok() || write_sdp(*second.session) != written) {
        std::abort();
    }
    // The channel index changes nothing but the name in the lines: one channel of each type.
    for (channel_id ch : {channel_id{20, 0}, channel_id{30, 1}, channel_id{40, 3}}) {
        channel_plan plan = plan_channel(*first.session, ch);
        if (plan.refused) {
            (void)to_string(*plan.refused);
            continue;
        }
        (void)config_lines(plan.config, true);
        // What the board would hold describes itself as a description that plans the same.
        config_sdp back = config_to_sdp(plan.config);
        if (back.session) {
            channel_plan again = plan_channel(*back.session, ch);
            if (again.refused || !(again.config == plan.config)) {
                std::abort();
            }
        }
    }
    (void)plan_channel(*first.session, std::nullopt);
    return 0;
}
