#include <gtest/gtest.h>
TEST(placeholder, builds) { SUCCEED(); }
