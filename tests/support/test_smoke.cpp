#include <gtest/gtest.h>
#include "SNP_Log.h"
TEST(Smoke, Builds) { EXPECT_FALSE(SNP_Log::validateEmailAddress("x")); }
