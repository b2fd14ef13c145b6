// The state directory of applied descriptions: whole texts replaced atomically, nothing left
// behind, and a failure said rather than ignored.
#include "chan_store.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "scratch_dir.h"

namespace nexo::client {
namespace {

TEST(chan_store, keeps_the_last_description_of_each_channel) {
    const test::scratch_dir root;
    const std::string dir = root / "state";  // created on first use
    std::string error;
    EXPECT_FALSE(load_description(dir, {20, 1}));
    ASSERT_TRUE(store_description(dir, {20, 1}, "v=0\r\nfirst\r\n", &error)) << error;
    ASSERT_TRUE(store_description(dir, {20, 1}, "v=0\r\n", &error)) << error;
    ASSERT_TRUE(store_description(dir, {30, 2}, "audio", &error)) << error;
    EXPECT_EQ(load_description(dir, {20, 1}), "v=0\r\n");
    EXPECT_EQ(load_description(dir, {30, 2}), "audio");
    EXPECT_EQ(stored_path(dir, {30, 2}), dir + "/30-2.sdp");
    std::size_t files = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        EXPECT_EQ(e.path().extension(), ".sdp") << e.path();
        ++files;
    }
    EXPECT_EQ(files, 2u);
    // A directory that cannot be made: said, not ignored.
    EXPECT_FALSE(store_description(root / "no/such", {20, 0}, "x", &error));
    EXPECT_NE(error.find("no/such"), std::string::npos) << error;
}

}  // namespace
}  // namespace nexo::client
