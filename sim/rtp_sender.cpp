#include "rtp_sender.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "sandbox.h"
#include "switch_fabric.h"
#include "unique_fd.h"

namespace nexo::sim {
namespace {

struct named_rate {
    const char* name;
    uint32_t num;
    uint32_t den;
};

// Rates written with decimals stand for the NTSC-family rates.
constexpr named_rate kNamedRates[] = {
    {"23.98", 24000, 1001}, {"29.97", 30000, 1001},   {"59.94", 60000, 1001},
    {"47.95", 48000, 1001}, {"119.88", 120000, 1001},
};

bool parse_uint(const std::string& s, uint32_t& v) {
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    return ec == std::errc() && end == s.data() + s.size();
}

bool parse_rate(const std::string& s, uint32_t& num, uint32_t& den) {
    for (const named_rate& r : kNamedRates) {
        if (s == r.name) {
            num = r.num;
            den = r.den;
            return true;
        }
    }
    den = 1;
    return parse_uint(s, num) && num > 0;
}

std::string rate_text(uint32_t num, uint32_t den) {
    return den == 1 ? std::to_string(num) : std::to_string(num) + "/" + std::to_string(den);
}

// "1280x720p25": width, height, scan letter, rate.
bool parse_raster(const std::string& s, stream_desc& d) {
    const size_t x = s.find('x');
    const size_t scan = s.find_first_of("pi", x == std::string::npos ? 0 : x);
    if (x == std::string::npos || scan == std::string::npos) {
        return false;
    }
    d.interlaced = s[scan] == 'i';
    return parse_uint(s.substr(0, x), d.width) &&
           parse_uint(s.substr(x + 1, scan - x - 1), d.height) &&
           parse_rate(s.substr(scan + 1), d.rate_num, d.rate_den) && d.width > 0 && d.height > 0;
}

// "L24/48000/2"
bool parse_pcm(const std::string& s, stream_desc& d) {
    if (s.size() < 4 || s[0] != 'L') {
        return false;
    }
    const size_t a = s.find('/');
    const size_t b = a == std::string::npos ? a : s.find('/', a + 1);
    uint32_t bits = 0;
    uint32_t channels = 0;
    if (b == std::string::npos || !parse_uint(s.substr(1, a - 1), bits) ||
        !parse_uint(s.substr(a + 1, b - a - 1), d.sample_rate) ||
        !parse_uint(s.substr(b + 1), channels) || (bits != 16 && bits != 24) || channels == 0 ||
        channels > 64 || d.sample_rate == 0) {
        return false;
    }
    d.bits = static_cast<int>(bits);
    d.channels = static_cast<int>(channels);
    return true;
}

const char* video_caps_format(const stream_desc& d) {
    if (d.rgb) {
        return "RGB";
    }
    return d.depth == 10 ? "UYVP" : "UYVY";
}

uint32_t samples_per_packet(const stream_desc& d) {
    return static_cast<uint32_t>(uint64_t{d.sample_rate} * d.ptime_us / 1000000);
}

}  // namespace

bool parse_stream_desc(const std::vector<std::string>& words, stream_desc& out,
                       std::string* error) {
    auto fail = [&](const std::string& why) {
        if (error != nullptr) {
            *error = why;
        }
        return false;
    };
    if (words.size() < 3) {
        return fail("need: video|audio GROUP:PORT FORMAT [options]");
    }
    stream_desc d;
    if (words[0] == "audio") {
        d.kind = media_kind::audio;
        d.payload_type = 97;
    } else if (words[0] != "video") {
        return fail("kind must be video or audio");
    }
    const size_t colon = words[1].find(':');
    uint32_t port = 0;
    if (colon == std::string::npos || !parse_uint(words[1].substr(colon + 1), port) || port == 0 ||
        port > 65535) {
        return fail("destination must be GROUP:PORT");
    }
    d.group = words[1].substr(0, colon);
    d.port = static_cast<uint16_t>(port);
    if (d.kind == media_kind::video ? !parse_raster(words[2], d) : !parse_pcm(words[2], d)) {
        return fail(d.kind == media_kind::video ? "video format like 1280x720p25"
                                                : "audio format like L24/48000/2");
    }
    for (size_t i = 3; i < words.size(); ++i) {
        const std::string& w = words[i];
        const size_t eq = w.find('=');
        const std::string key = w.substr(0, eq);
        const std::string value = eq == std::string::npos ? "" : w.substr(eq + 1);
        uint32_t v = 0;
        if (key == "rgb" && d.kind == media_kind::video) {
            d.rgb = true;
        } else if (key == "depth" && parse_uint(value, v) && (v == 8 || v == 10)) {
            d.depth = static_cast<int>(v);
        } else if (key == "src" && !value.empty()) {
            d.source = value;
        } else if (key == "pt" && parse_uint(value, v) && v >= 96 && v <= 127) {
            d.payload_type = static_cast<uint8_t>(v);
        } else if (key == "ptime" && parse_uint(value, v) && (v == 1000 || v == 125)) {
            d.ptime_us = v;
        } else if (key == "via" && (value == "ffmpeg" || value == "gstreamer")) {
            d.via = value == "ffmpeg" ? sender_kind::ffmpeg : sender_kind::gstreamer;
        } else {
            return fail("unknown option '" + w + "'");
        }
    }
    if (d.rgb && d.depth != 8) {
        return fail("RGB is sent at 8 bits only");
    }
    out = d;
    return true;
}

std::string describe(const stream_desc& d) {
    std::string s = d.kind == media_kind::video ? "video " : "audio ";
    s += d.group + ":" + std::to_string(d.port) + " ";
    if (d.kind == media_kind::video) {
        std::string rate = std::to_string(d.rate_num);
        for (const named_rate& r : kNamedRates) {
            if (r.num == d.rate_num && r.den == d.rate_den) {
                rate = r.name;
            }
        }
        s += std::to_string(d.width) + "x" + std::to_string(d.height) + (d.interlaced ? "i" : "p") +
             rate;
        s += d.rgb ? " rgb" : " depth=" + std::to_string(d.depth);
    } else {
        char pcm[64];
        std::snprintf(pcm, sizeof pcm, "L%d/%u/%d ptime=%u", d.bits, d.sample_rate, d.channels,
                      d.ptime_us);
        s += pcm;
    }
    s += " src=" + d.source;
    return d.via == sender_kind::ffmpeg ? s + " via=ffmpeg" : s;
}

std::string stream_sdp(const stream_desc& d, const std::string& name) {
    const std::string pt = std::to_string(d.payload_type);
    std::string s = "v=0\r\n";
    s += "o=- " + std::to_string(d.port) + " 0 IN IP4 " + d.source + "\r\n";
    s += "s=" + name + "\r\n";
    s += "t=0 0\r\n";
    s += std::string("m=") + (d.kind == media_kind::video ? "video " : "audio ") +
         std::to_string(d.port) + " RTP/AVP " + pt + "\r\n";
    s += "c=IN IP4 " + d.group + "/64\r\n";
    s += "a=source-filter: incl IN IP4 " + d.group + " " + d.source + "\r\n";
    if (d.kind == media_kind::video) {
        s += "a=rtpmap:" + pt + " raw/90000\r\n";
        s += "a=fmtp:" + pt + " sampling=" + (d.rgb ? "RGB" : "YCbCr-4:2:2") +
             "; width=" + std::to_string(d.width) + "; height=" + std::to_string(d.height) +
             "; exactframerate=" + rate_text(d.rate_num, d.rate_den) +
             "; depth=" + std::to_string(d.depth) +
             "; TCS=SDR; colorimetry=BT709; PM=2110GPM; SSN=ST2110-20:2017; TP=2110TPW; " +
             (d.interlaced ? "interlace; " : "") + "\r\n";
    } else {
        s += "a=rtpmap:" + pt + " L" + std::to_string(d.bits) + "/" +
             std::to_string(d.sample_rate) + "/" + std::to_string(d.channels) + "\r\n";
        s += d.ptime_us == 1000 ? "a=ptime:1\r\n" : "a=ptime:0.125\r\n";
    }
    s += "a=ts-refclk:ptp=IEEE1588-2008:traceable\r\n";
    s += "a=mediaclk:direct=0\r\n";
    return s;
}

std::vector<std::string> gst_arguments(const stream_desc& d) {
    std::vector<std::string> a{"-q"};
    if (d.kind == media_kind::video) {
        // A live source paces frames at the frame rate; the sink then sends each frame's packets
        // at once (waiting on the clock as well would lose frames under load).
        std::string caps =
            std::string("video/x-raw,format=") + video_caps_format(d) +
            ",width=" + std::to_string(d.width) + ",height=" + std::to_string(d.height) +
            ",framerate=" + std::to_string(d.rate_num) + "/" + std::to_string(d.rate_den);
        if (d.interlaced) {
            caps += ",interlace-mode=interleaved";
        }
        a.insert(a.end(), {"videotestsrc", "is-live=true", "pattern=smpte", "!", caps, "!",
                           "rtpvrawpay", "mtu=1400", "pt=" + std::to_string(d.payload_type)});
    } else {
        const std::string ptime = std::to_string(uint64_t{d.ptime_us} * 1000);
        a.insert(a.end(), {"audiotestsrc", "is-live=true",
                           "samplesperbuffer=" + std::to_string(samples_per_packet(d)), "!",
                           std::string("audio/x-raw,format=") + (d.bits == 24 ? "S24BE" : "S16BE") +
                               ",rate=" + std::to_string(d.sample_rate) +
                               ",channels=" + std::to_string(d.channels),
                           "!", d.bits == 24 ? "rtpL24pay" : "rtpL16pay", "min-ptime=" + ptime,
                           "max-ptime=" + ptime, "pt=" + std::to_string(d.payload_type)});
    }
    a.insert(a.end(), {"!", "udpsink", "host=" + d.group, "port=" + std::to_string(d.port),
                       std::string("multicast-iface=") + kSenderIface, "bind-address=" + d.source,
                       "ttl-mc=64", "auto-multicast=false", "sync=false", "async=false"});
    return a;
}

std::vector<std::string> ffmpeg_arguments(const stream_desc& d, const std::string& native_sdp) {
    std::vector<std::string> a{"-nostdin", "-loglevel", "error", "-re", "-f", "lavfi", "-i"};
    // Packets of a fixed size: lines then span packets, as the detector needs to see a pixel
    // group (at 1460 bytes a 720-pixel 8-bit line would fill each packet exactly).
    uint32_t packet_size = 1400;
    if (d.kind == media_kind::video) {
        a.push_back("testsrc=size=" + std::to_string(d.width) + "x" + std::to_string(d.height) +
                    ":rate=" + rate_text(d.rate_num, d.rate_den));
        if (d.interlaced) {
            a.insert(a.end(), {"-vf", "setfield=tff", "-field_order", "tt"});
        }
        if (d.rgb) {
            a.insert(a.end(), {"-pix_fmt", "rgb24", "-c:v", "rawvideo"});
        } else if (d.depth == 10) {
            a.insert(a.end(), {"-pix_fmt", "yuv422p10", "-c:v", "bitpacked"});
        } else {
            a.insert(a.end(), {"-pix_fmt", "uyvy422", "-c:v", "rawvideo"});
        }
    } else {
        const uint32_t samples = samples_per_packet(d);
        a.push_back("sine=frequency=1000:sample_rate=" + std::to_string(d.sample_rate));
        a.insert(a.end(), {"-ac", std::to_string(d.channels), "-af",
                           "asetnsamples=n=" + std::to_string(samples), "-c:a",
                           d.bits == 24 ? "pcm_s24be" : "pcm_s16be"});
        packet_size = 12 + samples * static_cast<uint32_t>(d.channels * d.bits / 8);
    }
    a.insert(a.end(),
             {"-payload_type", std::to_string(d.payload_type), "-sdp_file", native_sdp, "-f", "rtp",
              "rtp://" + d.group + ":" + std::to_string(d.port) +
                  "?ttl=64&pkt_size=" + std::to_string(packet_size) + "&localaddr=" + d.source});
    return a;
}

std::string native_sdp_path(const std::string& sdp_path) {
    const std::string ext = ".sdp";
    if (sdp_path.size() > ext.size() && sdp_path.ends_with(ext)) {
        return sdp_path.substr(0, sdp_path.size() - ext.size()) + ".ffmpeg.sdp";
    }
    return sdp_path + ".ffmpeg";
}

bool senders_available(std::string* missing, sender_kind kind) {
    std::string out;
    if (kind == sender_kind::ffmpeg) {
        if (run({"ffmpeg", "-hide_banner", "-version"}, &out) != 0) {
            if (missing != nullptr) {
                *missing = "ffmpeg";
            }
            return false;
        }
        return true;
    }
    const char* elements[] = {"rtpvrawpay", "rtpL24pay", "rtpL16pay", "udpsink", "videotestsrc"};
    for (const char* e : elements) {
        if (run({"gst-inspect-1.0", "--exists", e}, &out) != 0) {
            if (missing != nullptr) {
                *missing = e;
            }
            return false;
        }
    }
    return true;
}

rtp_sender::~rtp_sender() {
    stop();
}

bool rtp_sender::start(const stream_desc& d, const std::string& sdp_path) {
    stop();
    desc_ = d;
    if (!sdp_path.empty()) {
        unique_fd f(::open(sdp_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
        const std::string sdp = stream_sdp(d, describe(d));
        if (!f.valid() ||
            ::write(f.get(), sdp.data(), sdp.size()) != static_cast<ssize_t>(sdp.size())) {
            return false;
        }
    }
    log_path_ = "/run/nexo-sender-" + d.group + "-" + std::to_string(d.port) + ".log";
    // `ip netns exec` execs the program, so the pid is the sender's.
    const bool ffmpeg = d.via == sender_kind::ffmpeg;
    std::vector<std::string> argv{"ip", "netns", "exec", kSenderNetns,
                                  ffmpeg ? "ffmpeg" : "gst-launch-1.0"};
    const std::string native =
        native_sdp_path(sdp_path.empty() ? "/run/nexo-sender-" + d.group + ".sdp" : sdp_path);
    for (std::string& a : ffmpeg ? ffmpeg_arguments(d, native) : gst_arguments(d)) {
        argv.push_back(std::move(a));
    }
    pid_t pid = spawn(argv, log_path_);
    if (pid < 0) {
        return false;
    }
    pid_ = pid;
    // A pipeline that cannot be built ends within a moment; one that runs stays.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return running();
}

bool rtp_sender::running() {
    if (pid_ < 0) {
        return false;
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void rtp_sender::stop() {
    if (pid_ < 0) {
        return;
    }
    end_child(pid_, SIGINT, std::chrono::seconds(1));
    pid_ = -1;
}

std::string rtp_sender::log() const {
    return log_path_.empty() ? std::string() : read_file(log_path_);
}

}  // namespace nexo::sim
