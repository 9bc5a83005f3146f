#include "StatsTestSupport.h"
TEST(Placeholder2, Build) {}
