#include "i18nerrgest.h"
#include <gtest/gtest.h>
TEST(Reporter, Placeholder) { EXPECT_TRUE(true); }
