#include <unistd.h>
#include <gtest/gtest.h>

TEST(Process, ToolsAreBuilt) {
  EXPECT_EQ(0, access(VEXOL_BINARY, X_OK));
  EXPECT_EQ(0, access(VEXOL_EXAMPLES_TOOL, X_OK));
}
