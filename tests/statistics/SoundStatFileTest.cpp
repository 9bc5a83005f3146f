#include "StatsTestSupport.h"
TEST(Placeholder, Build) {}
