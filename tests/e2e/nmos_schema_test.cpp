// The published IS-04 and IS-05 schemas as the judge of what the node says: every kind of
// response body of both APIs, the bodies the node registers with, and the request bodies a
// controller sends, each validated against the schema the specifications name for it. The
// schemas are reference data beside the project (../shared/nmos-schemas); without them the test
// is skipped.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "node_fixture.h"
#include "registry.h"
#include "wait_until.h"

namespace {

namespace fs = std::filesystem;
using json = nlohmann::json;
using namespace std::chrono_literals;

constexpr int kRegistryPort = 18240;
const std::string kNode = "/x-nmos/node/v1.3/";
const std::string kConn = "/x-nmos/connection/v1.1/";
const std::string kIs04 = "is-04/APIs/schemas/";
const std::string kIs05 = "is-05/APIs/schemas/";

const char* kVideoSdp =
    "v=0\r\no=- 1 1 IN IP4 192.0.2.1\r\ns=cam\r\nt=0 0\r\n"
    "m=video 5004 RTP/AVP 96\r\nc=IN IP4 239.10.0.1/64\r\n"
    "a=source-filter: incl IN IP4 239.10.0.1 192.0.2.1\r\n"
    "a=rtpmap:96 raw/90000\r\n"
    "a=fmtp:96 sampling=YCbCr-4:2:2; width=1280; height=720; exactframerate=50; depth=10; "
    "colorimetry=BT709; PM=2110GPM; SSN=ST2110-20:2017; TP=2110TPN\r\n"
    "a=mediaclk:direct=0\r\na=ts-refclk:localmac=02-00-00-00-00-01\r\n";

fs::path schema_root() {
    if (const char* d = std::getenv("NEXO_NMOS_SCHEMAS")) {
        return d;
    }
    return fs::path(NEXO_SOURCE_DIR) / ".." / "shared" / "nmos-schemas";
}

// Documents to validate, written to a scratch folder and judged in one run of the validator.
struct judge {
    fs::path dir = fs::temp_directory_path() / ("nexo-schema-" + std::to_string(::getpid()));
    std::ofstream manifest;
    int n = 0;

    judge() {
        fs::create_directories(dir);
        manifest.open(dir / "manifest");
    }
    ~judge() { fs::remove_all(dir); }
    void add(const std::string& schema, const json& doc, const std::string& what) {
        fs::path f = dir / (std::to_string(n++) + ".json");
        std::ofstream(f) << doc.dump();
        manifest << schema << ' ' << f.string() << ' ' << what << '\n';
    }
    // The validator's report; empty when every document validates.
    std::string verdict() {
        manifest.close();
        std::string cmd = "/usr/bin/python3 " NEXO_SOURCE_DIR
                          "/tests/e2e/tools/validate_schemas.py '" +
                          schema_root().string() + "' '" + (dir / "manifest").string() + "' > '" +
                          (dir / "out").string() + "' 2>&1";
        int rc = std::system(cmd.c_str());
        std::ifstream in(dir / "out");
        std::string out((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return rc == 0 ? std::string() : out.empty() ? "validator did not run" : out;
    }
};

using nmos_schema = nexo::sim::node_fixture;

TEST_F(nmos_schema, every_body_the_node_sends_and_takes_validates_against_the_published_schemas) {
    if (!fs::exists(schema_root() / kIs04) || !fs::exists(schema_root() / kIs05)) {
        GTEST_SKIP() << "no NMOS schemas at " << schema_root() << " (shared/nmos-schemas)";
    }
    if (std::system("/usr/bin/python3 -c 'import jsonschema' 2>/dev/null") != 0) {
        GTEST_SKIP() << "python3-jsonschema is not installed";
    }
    nexo::sim::registry registry({.port = kRegistryPort});
    start({"--registry", registry.url()});
    judge j;

    auto get = [&](const std::string& path, const std::string& schema, int status = 200) {
        nexo::sim::node_reply r = call("GET", path);
        ASSERT_EQ(r.status, status) << path << ": " << r.body.dump();
        ASSERT_FALSE(r.body.is_discarded()) << path;
        j.add(schema, r.body, "GET " + path);
    };
    auto send = [&](const std::string& method, const std::string& path, const json& body,
                    const std::string& request_schema, const std::string& response_schema,
                    int status) {
        if (!request_schema.empty()) {
            j.add(request_schema, body, method + " " + path + " (request)");
        }
        nexo::sim::node_reply r = call(method, path, body);
        ASSERT_EQ(r.status, status) << method << ' ' << path << ": " << r.body.dump();
        j.add(response_schema, r.body, method + " " + path);
    };

    // Node API.
    get(kNode, kIs04 + "nodeapi-base.json");
    get(kNode + "self", kIs04 + "node.json");
    get(kNode + "devices", kIs04 + "devices.json");
    get(kNode + "receivers", kIs04 + "receivers.json");
    get(kNode + "senders", kIs04 + "senders.json");
    get(kNode + "sources", kIs04 + "sources.json");
    get(kNode + "flows", kIs04 + "flows.json");
    json receivers = call("GET", kNode + "receivers").body;
    std::string device = call("GET", kNode + "devices").body[0]["id"];
    get(kNode + "devices/" + device, kIs04 + "device.json");
    for (const json& r : receivers) {
        get(kNode + "receivers/" + r["id"].get<std::string>(), kIs04 + "receiver.json");
    }
    get(kNode + "receivers/00000000-0000-4000-8000-000000000000", kIs04 + "error.json", 404);

    // Connection API, every receiver.
    get(kConn, kIs05 + "connectionapi-base.json");
    get(kConn + "single/", kIs05 + "connectionapi-single.json");
    get(kConn + "bulk/", kIs05 + "connectionapi-bulk.json");
    for (const json& r : receivers) {
        std::string base = kConn + "single/receivers/" + r["id"].get<std::string>() + "/";
        get(base, kIs05 + "connectionapi-receiver.json");
        get(base + "constraints", kIs05 + "constraints-schema.json");
        get(base + "staged", kIs05 + "receiver-response-schema.json");
        get(base + "active", kIs05 + "receiver-response-schema.json");
        get(base + "transporttype", kIs05 + "transporttype-response-schema.json");
    }
    std::string video = kConn + "single/receivers/" + receivers[0]["id"].get<std::string>() + "/";
    std::string audio = kConn + "single/receivers/" + receivers[4]["id"].get<std::string>() + "/";

    // Staging and activation as a controller sends them, accepted and refused.
    send("PATCH", video + "staged",
         {{"sender_id", "0a174530-e3cf-4ebc-8ba3-4d5a4bd3f8c2"},
          {"master_enable", true},
          {"transport_file", {{"data", kVideoSdp}, {"type", "application/sdp"}}},
          {"activation", {{"mode", "activate_immediate"}}}},
         kIs05 + "receiver-stage-schema.json", kIs05 + "receiver-response-schema.json", 200);
    get(video + "active", kIs05 + "receiver-response-schema.json");
    get(video + "transportfile", kIs05 + "error.json", 404);
    send("PATCH", audio + "staged",
         {{"transport_params", {{{"multicast_ip", "239.10.0.9"}, {"destination_port", 5006}}}},
          {"activation", {{"mode", "activate_scheduled_relative"}, {"requested_time", "3600:0"}}}},
         kIs05 + "receiver-stage-schema.json", kIs05 + "receiver-response-schema.json", 202);
    send("PATCH", audio + "staged", {{"activation", {{"mode", nullptr}}}},
         kIs05 + "receiver-stage-schema.json", kIs05 + "receiver-response-schema.json", 200);
    send("PATCH", video + "staged", {{"transport_params", {{{"destination_port", "x"}}}}}, "",
         kIs05 + "error.json", 400);
    send("POST", kConn + "bulk/receivers",
         json::array(
             {{{"id", receivers[1]["id"]},
               {"params",
                {{"master_enable", false}, {"activation", {{"mode", "activate_immediate"}}}}}},
              {{"id", "00000000-0000-4000-8000-000000000000"},
               {"params", {{"master_enable", false}}}}}),
         kIs05 + "bulk-receiver-post-schema.json", kIs05 + "bulk-response-schema.json", 200);

    // What the node registers: node, device and every receiver.
    wait_until([&] { return registry.resources() >= 14; }, 10s);
    std::vector<json> posted = registry.registrations();
    ASSERT_GE(posted.size(), 14u);
    for (const json& p : posted) {
        j.add(kIs04 + "registrationapi-resource-post-request.json", p,
              "registration of a " + p.value("type", std::string("?")));
    }

    EXPECT_EQ(j.verdict(), "");
}

}  // namespace
