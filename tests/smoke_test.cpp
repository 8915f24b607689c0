#include <gtest/gtest.h>
#include "support/client_dir.h"
#include "app/monitor_state.h"
TEST(Smoke, Starts) { ClientDir dir; EXPECT_EQ(state.firstPoll, 1); }
