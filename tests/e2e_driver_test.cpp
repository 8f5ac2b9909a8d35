#include "e2e_util.h"
#include <gtest/gtest.h>
TEST(Driver, Placeholder) { EXPECT_TRUE(file_exists(zovizeve_path())); }
