// RTP senders: real ST 2110-style streams from GStreamer (gst-launch-1.0 with rtpvrawpay,
// rtpL24pay, rtpL16pay) or from FFmpeg (its RFC 4175 and L16/L24 payloaders), started in the
// senders' namespace behind the switch (switch_fabric.h). The two stamp interlaced video
// differently: GStreamer gives each field its own timestamp, FFmpeg gives both fields the
// frame's and tells them apart by the field bit and the marker.
//
// A sender is described by a stream_desc: sender kind, destination group and port, source
// address, and the video raster or audio format. It writes the matching complete ST 2110 SDP
// when it starts, so that SDP tooling can be driven from the same description; FFmpeg also
// writes its own (which lacks exactframerate, colorimetry, TP, ts-refclk and mediaclk) beside
// it. The senders do not pace packets within a frame (bursts), so the SDP says TP=2110TPW.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace nexo::sim {

enum class media_kind { video, audio };
enum class sender_kind { gstreamer, ffmpeg };

struct stream_desc {
    media_kind kind = media_kind::video;
    sender_kind via = sender_kind::gstreamer;
    std::string group = "239.1.1.1";
    uint16_t port = 5004;
    std::string source = "192.0.2.20";  // one of kSenderAddrs
    uint8_t payload_type = 96;
    // Video: 4:2:2 at 8 or 10 bits, or RGB at 8 bits; rate in frames per second.
    bool rgb = false;
    int depth = 8;
    uint32_t width = 1280;
    uint32_t height = 720;
    bool interlaced = false;
    uint32_t rate_num = 25;
    uint32_t rate_den = 1;
    // Audio: L24 or L16 PCM, packet time in microseconds (1000 or 125).
    int bits = 24;
    int channels = 2;
    uint32_t sample_rate = 48000;
    uint32_t ptime_us = 1000;
};

// Reads a description from words such as
//   video 239.1.1.1:5004 720x576i25 depth=10 src=192.0.2.21
//   video 239.1.1.2:5004 1280x720p59.94 rgb
//   audio 239.1.2.1:5006 L24/48000/2 ptime=125
//   video 239.1.1.3:5004 720x576i25 depth=10 via=ffmpeg
// (rates 23.98, 29.97 and 59.94 stand for the /1001 rates; via=gstreamer is the default).
// False with *error set on a malformed description.
bool parse_stream_desc(const std::vector<std::string>& words, stream_desc& out, std::string* error);

// The description in the words parse_stream_desc() reads.
std::string describe(const stream_desc& d);

// The stream's SDP (ST 2110-20 or -30 attributes, source filter for the source address).
std::string stream_sdp(const stream_desc& d, const std::string& name);

// The gst-launch-1.0 arguments (after the program name) that send the stream.
std::vector<std::string> gst_arguments(const stream_desc& d);

// The ffmpeg arguments (after the program name) that send the stream and write FFmpeg's own
// SDP to native_sdp.
std::vector<std::string> ffmpeg_arguments(const stream_desc& d, const std::string& native_sdp);

// Where FFmpeg's own SDP goes beside the ST 2110 one: /run/cam1.sdp -> /run/cam1.ffmpeg.sdp.
std::string native_sdp_path(const std::string& sdp_path);

// True when the sender kind's program (gst-launch-1.0 and the payloaders, or ffmpeg) is
// installed; otherwise *missing names what is not.
bool senders_available(std::string* missing = nullptr, sender_kind kind = sender_kind::gstreamer);

class rtp_sender {
  public:
    rtp_sender() = default;
    ~rtp_sender();  // stops a running sender
    rtp_sender(const rtp_sender&) = delete;
    rtp_sender& operator=(const rtp_sender&) = delete;

    // Starts the sender in the senders' namespace and writes the SDP to sdp_path (when not
    // empty; FFmpeg's own to native_sdp_path(sdp_path)). False when the program could not be
    // started or ended at once; then log() says why.
    bool start(const stream_desc& d, const std::string& sdp_path = "");
    // Stops the sender (SIGINT, then SIGKILL after a second) and reaps it.
    void stop();
    bool running();
    pid_t pid() const { return pid_; }
    const stream_desc& desc() const { return desc_; }
    // What the sender printed (its standard output and error go to a file).
    std::string log() const;

  private:
    pid_t pid_ = -1;
    stream_desc desc_;
    std::string log_path_;
};

}  // namespace nexo::sim
