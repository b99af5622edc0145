#include <gtest/gtest.h>
#include "core/Classes.h"
TEST(Placeholder, Builds) { EXPECT_EQ(kapo::Format("%2.2d", 5), "05"); }
