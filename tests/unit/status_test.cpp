// The status of all channels as people and scripts read it: a detector's format record is
// shown only when the detector says it measured one.
#include "status.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace nexo::client {
namespace {

channel_state video_channel(const std::string& det_state, const std::string& det_format) {
    channel_state s;
    s.config.channel = {20, 2};
    s.config.destination = "239.1.1.1";
    s.config.video = video_format{"YCR422", 10, 'I', 1920, 1080, "50"};
    s.format_text = "YCR422 10 I 1920 1080 50";
    s.auto_detect = true;
    s.auto_detect_state = det_state;
    s.auto_detect_format = det_format;
    return s;
}

TEST(status, shows_a_detected_format_only_when_the_detector_measured_one) {
    struct row {
        const char* state;
        const char* record;  // what RX_FMT_AUTO_DET_FMT answers
        const char* table;   // the DETECTED column
        const char* json;    // the "detected" object
    };
    const row rows[] = {
        {"BUSY", "RGB 8 P 0 0 23.98", "no signal", R"({"state": "BUSY", "format": null})"},
        {"DISABLED", "RGB 8 P 0 0 23.98", "off", R"({"state": "DISABLED", "format": null})"},
        {"STREAM_DETECTED", "YCR422 8 P 1280 720 50", "measuring",
         R"({"state": "STREAM_DETECTED", "format": null})"},
        {"FORMAT_DETECTED", "YCR422 10 I 1920 1080 50", "YCR422 10 I 1920 1080 50",
         R"({"state": "FORMAT_DETECTED", "format": {"colour_space": "YCR422", "depth": 10, )"
         R"("scan": "I", "width": 1920, "height": 1080, "rate": "50"}})"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.state);
        const std::vector<channel_state> chans = {video_channel(r.state, r.record)};
        const std::string table = status_table(chans);
        const std::string line = table.substr(table.find('\n') + 1);
        const std::string column = line.substr(table.find(" DETECTED ") + 1);
        EXPECT_EQ(column.substr(0, column.find("  ")), r.table) << table;
        if (std::string(r.state) != "FORMAT_DETECTED") {
            EXPECT_EQ(line.find(r.record), std::string::npos) << table;
        }
        const std::string json = status_json(chans);
        EXPECT_NE(json.find(std::string("\"detected\": ") + r.json), std::string::npos) << json;
    }
    // An audio channel's format is an object of its fields; it has no detector.
    channel_state audio;
    audio.config.channel = {30, 1};
    audio.config.audio = audio_format{8, "L24", 48000, 1};
    const std::string json = status_json({audio});
    EXPECT_NE(json.find(R"("format": {"channels": 8, "encoding": "L24", "sample_rate": 48000, )"
                        R"("packet_time_ms": 1}, "auto_detect": false, "detected": null)"),
              std::string::npos)
        << json;
}

TEST(status, health_in_the_table_the_json_and_as_changes) {
    channel_state s = video_channel("FORMAT_DETECTED", "YCR422 10 P 1280 720 50");
    s.enabled = true;
    board_health board;
    board.link = nc_link_status::all_up;
    board.link_message = "eth1 is up";
    board.synchronization = nc_synchronization_status::healthy;
    board.synchronization_message = "locked to grandmaster 02-00-00-ff-fe-00-00-01";
    board.synchronization_source = "02-00-00-ff-fe-00-00-01";
    const rx_observation o = observe_channel(s, board);

    const std::string table = status_table({s}, {o});
    EXPECT_NE(table.find("\n\nCHANNEL  OVERALL    LINK   CONNECTION  SYNC     STREAM     WHY\n"
                         "20:2     Unhealthy  AllUp  Healthy     Healthy  Unhealthy  stream: "
                         "receiving YCR422 10 P 1280 720 50 but configured for YCR422 10 I 1920 "
                         "1080 50\n"),
              std::string::npos)
        << table;
    const std::string json = status_json({s}, {o});
    EXPECT_NE(json.find(R"("recons_delay": "", "health": {"overall": {"status": "Unhealthy", )"
                        R"("value": 3, "message": "stream: receiving YCR422 10 P 1280 720 50 but )"
                        R"(configured for YCR422 10 I 1920 1080 50"}, "link": {"status": )"
                        R"("AllUp", "value": 1, "message": "eth1 is up"}, "connection": )"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find(R"("source": "02-00-00-ff-fe-00-00-01"}, "stream": {"status": )"
                        R"("Unhealthy", "value": 3, )"),
              std::string::npos)
        << json;
    // Without health the output is what it always was.
    EXPECT_EQ(status_table({s}).find("OVERALL"), std::string::npos);
    EXPECT_EQ(status_json({s}).find("health"), std::string::npos);

    // Changes: the status that moved with its old value, the overall first; a message alone.
    rx_observation after = o;
    after.link = nc_link_status::all_down;
    after.link_message = "eth1 is down (down)";
    after.synchronization_message = "locked to grandmaster 02-00-00-ff-fe-00-00-01 again";
    EXPECT_EQ(health_changes(&o, after),
              (std::vector<std::string>{
                  "20:2 overall Unhealthy: link: eth1 is down (down); stream: receiving YCR422 10 "
                  "P 1280 720 50 but configured for YCR422 10 I 1920 1080 50",
                  "20:2 link AllUp -> AllDown: eth1 is down (down)",
                  "20:2 sync Healthy: locked to grandmaster 02-00-00-ff-fe-00-00-01 again",
              }));
    EXPECT_TRUE(health_changes(&after, after).empty());
    EXPECT_EQ(health_changes(nullptr, after).size(), 1u);
}

}  // namespace
}  // namespace nexo::client
