// Every public session description of the shared corpus through `nexoctl sdp check`: what the
// board can receive gives its daemon lines (exit 0), the rest is refused naming why (exit 4).
// Skipped where the corpus is not beside the repository.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;

struct expected {
    const char* file;
    int status;
    const char* says;  // a piece of the output (lines or refusal)
};

// clang-format off
const expected kCorpus[] = {
    {"amwa-nmos-testing-IS0401-audio.sdp", 0, "SET RX_AUD_FMT 30:0 2 L24 48000 1"},
    {"amwa-nmos-testing-IS0401-data.sdp", 0, "SET RX_IP_SRC 40:0 eth1 R 172.29.80.65 0 105"},
    {"amwa-nmos-testing-IS0401-mux.sdp", 4, "a=rtpmap SMPTE2022-6/27000000"},
    {"amwa-nmos-testing-IS0401-video.sdp", 0, "SET RX_VID_FMT 20:0 YCR422 10 I 1920 1080 50"},
    {"amwa-nmos-testing-is05-control-anc-7.sdp", 0, "leg SECONDARY is ignored"},
    {"amwa-nmos-testing-is05-control-anc.sdp", 0, "SET RX_IP_SRC 40:0 eth1 R 0.0.0.0 0 100"},
    {"amwa-nmos-testing-is05-control-audio-7.sdp", 0, "SET RX_IP_DEST 30:0 eth1 R 239.61.1.1 50060 97"},
    {"amwa-nmos-testing-is05-control-audio.sdp", 0, "SET RX_AUD_FMT 30:0 8 L24 48000 1"},
    {"amwa-nmos-testing-is05-control-dummy-sdp.sdp", 4, "a=rtpmap H264/90000"},
    {"amwa-nmos-testing-is05-control-video-1080i-7.sdp", 0, "SET RX_IP_DEST 20:0 eth1 R 239.50.2.2 50050 96"},
    {"amwa-nmos-testing-is05-control-video-1080i.sdp", 0, "YCR422 10 I 1920 1080 50"},
    {"amwa-nmos-testing-is05-control-video-1080p-7.sdp", 0, "SET RX_IP_DEST 20:0 eth1 R 239.50.2.1 50050 96"},
    {"amwa-nmos-testing-is05-control-video-1080p.sdp", 0, "YCR422 10 P 1920 1080 50"},
    {"amwa-nmos-testing-sdp-video-2022-7-template.sdp", 4, "line 6: m=video {{ dst_port }}"},
    {"amwa-sdpoker-invalid-aes67-mcast.sdp", 0, "SET RX_IP_DEST 30:0 eth1 R 239.0.0.1 5004 96"},
    {"amwa-sdpoker-invalid-bad-line-format.sdp", 4, "a=fmtp none for payload type 96"},
    {"amwa-sdpoker-invalid-bad-maxudp.sdp", 4, "MAXUDP 9628"},
    {"amwa-sdpoker-invalid-missing-media.sdp", 4, "m= (none)"},
    {"amwa-sdpoker-invalid-missing-ts-refclk.sdp", 0, "YCR422 10 I 1920 1080 50"},
    {"amwa-sdpoker-invalid-missing-v0.sdp", 4, "line 1: v=1"},
    {"amwa-sdpoker-rfc7104_sep_dest.sdp", 4, "a=rtpmap MP2T/90000"},
    {"amwa-sdpoker-rfc7104_sep_source.sdp", 4, "a=rtpmap MP2T/90000"},
    {"amwa-sdpoker-st2110-10.sdp", 0, "YCR422 10 P 1280 720 59.94"},
    {"amwa-sdpoker-st2110-31.sdp", 4, "a=rtpmap AM824/48000"},
    {"amwa-sdpoker-valid-st2110-20-maxudp.sdp", 4, "a=fmtp 3840x2160p@50 YCbCr-4:2:2"},
    {"ebu-pi-list-audio_AM824.sdp", 4, "a=rtpmap none for payload type 97"},
    {"ebu-pi-list-audio_L24.sdp", 0, "SET RX_AUD_FMT 30:0 2 L24 48000 1"},
    {"ebu-pi-list-dual_video.sdp", 0, "SET RX_IP_SRC 20:0 eth1 R 192.168.20.202 0 98"},
    {"ebu-pi-list-single_audio.sdp", 0, "SET RX_AUD_FMT 30:0 16 L24 48000 1"},
    {"ebu-pi-list-single_video.sdp", 0, "YCR422 10 P 1920 1080 50"},
    {"ebu-pi-list-video_jxsv-2160p50.sdp", 4, "a=rtpmap jxsv/90000"},
    // Its folded fmtp reads; the misspelt "interlaced" is an unknown parameter.
    {"ebu-pi-list-video_raw.sdp", 0, "YCR422 10 P 1920 1080 60"},
    {"ebu-pi-list-video_smpte291.sdp", 0, "SET RX_IP_DEST 40:0 eth1 R 239.1.1.1 20000 100"},
    {"generated-ffmpeg5.1-L16-96k-2ch.sdp", 0, "SET RX_AUD_FMT 30:0 2 L16 96000 1"},
    {"generated-ffmpeg5.1-L24-48k-8ch.sdp", 0, "SET RX_AUD_FMT 30:0 8 L24 48000 1"},
    {"generated-ffmpeg5.1-rfc4175-360p-rgb24.sdp", 4, "exactframerate (missing)"},
    {"generated-ffmpeg5.1-rfc4175-720p-yuv422p10.sdp", 4, "exactframerate (missing)"},
    {"ilansmith-sdp_parser-ias-2018.sdp", 0, "YCR422 10 I 1920 1080 59.94"},
    {"ilansmith-sdp_parser-ias_2110.sdp", 0, "SET RX_VID_FMT 20:0 YCR422 10 P 1920 1080 25"},
    {"ilansmith-sdp_parser-sdp-txt.sdp", 0, "SET RX_IP_SRC 20:0 eth1 R 192.168.100.2 0 112"},
    {"leeo86-mxl-st2110-gateway-anc-50.sdp", 0, "SET RX_IP_DEST 40:0 eth1 R 239.1.1.3 20006 100"},
    {"leeo86-mxl-st2110-gateway-audio-16ch-l24-125us.sdp", 4, "a=ptime 0.125"},
    {"leeo86-mxl-st2110-gateway-audio-8ch-l24-1ms-dup.sdp", 0, "leg secondary is ignored"},
    {"leeo86-mxl-st2110-gateway-malformed-fmtp.sdp", 4, "width=wide"},
    {"leeo86-mxl-st2110-gateway-malformed-garbage.sdp", 4, "line 1: this is not an SDP"},
    {"leeo86-mxl-st2110-gateway-malformed-no-rtpmap.sdp", 4, "a=rtpmap none for payload type 96"},
    {"leeo86-mxl-st2110-gateway-video-1080i50.sdp", 0, "YCR422 10 I 1920 1080 50"},
    {"leeo86-mxl-st2110-gateway-video-2160p50.sdp", 4, "a=fmtp 3840x2160p@50"},
    {"pkeroulas-st2110-toolkit-sdp-sample-2019.sdp", 0, "YCR422 10 I 1920 1080 59.94"},
    {"pkeroulas-st2110-toolkit-sdp-sample.sdp", 0, "SET RX_AUD_FMT 30:0 8 L24 48000 1"},
    {"streampunk-sdpoker-st2110_sender.sdp", 0, "YCR422 10 I 1920 1080 59.94"},
};
// clang-format on

// The corpus lives in shared/ beside the repository (or beside the worktree's parent).
fs::path corpus_dir() {
    for (const char* rel : {"../shared/sdp-corpus", "../../shared/sdp-corpus"}) {
        fs::path p = fs::path(NEXO_SOURCE_DIR) / rel;
        if (fs::is_directory(p)) {
            return p;
        }
    }
    return {};
}

TEST(sdp_corpus, every_file_checks_as_expected) {
    fs::path dir = corpus_dir();
    if (dir.empty()) {
        GTEST_SKIP() << "no shared/sdp-corpus beside " << NEXO_SOURCE_DIR;
    }
    std::set<std::string> listed;
    for (const expected& e : kCorpus) {
        listed.insert(e.file);
        fs::path file = dir / e.file;
        if (!fs::exists(file)) {
            ADD_FAILURE() << "missing from the corpus: " << e.file;
            continue;
        }
        std::string cmd = std::string(NEXOCTL_PATH) + " sdp check '" + file.string() + "' 2>&1";
        FILE* p = ::popen(cmd.c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string out;
        char buf[512];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
            out.append(buf, n);
        }
        int st = ::pclose(p);
        EXPECT_EQ(WIFEXITED(st) ? WEXITSTATUS(st) : -1, e.status) << e.file << "\n" << out;
        EXPECT_NE(out.find(e.says), std::string::npos) << e.file << "\n" << out;
    }
    // A file added to the corpus needs its expected outcome here.
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() == ".sdp") {
            EXPECT_TRUE(listed.count(entry.path().filename().string()) != 0)
                << "no expected outcome for " << entry.path().filename();
        }
    }
}

}  // namespace
