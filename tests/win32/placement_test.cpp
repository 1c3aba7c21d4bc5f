// The window's size and place as the settings keep it: read back only when it is exactly what was
// written, and never put back off the monitor's work area.
#include "win32/placement.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace tallivan {
namespace {

bool Same(const RECT& a, const RECT& b) {
  return a.left == b.left && a.top == b.top && a.right == b.right && a.bottom == b.bottom;
}

TEST(PlacementTest, ReadsBackWhatWasKeptAndNothingElse) {
  const struct {
    std::string text;
    std::optional<Placement> expected;
  } cases[] = {
      {"10,20,410,320,0", Placement{{10, 20, 410, 320}, false}},
      {"-1900,-5,-1500,300,1", Placement{{-1900, -5, -1500, 300}, true}},
      {"", std::nullopt},
      {"10,20,410,320", std::nullopt},     // no maximized flag
      {"10,20,410,320,0,", std::nullopt},  // more after it
      {"10,20,410,320,2", std::nullopt},   // not a flag
      {"10, 20,410,320,0", std::nullopt},  // a blank
      {"410,20,10,320,0", std::nullopt},   // no width
      {"10,320,410,20,0", std::nullopt},   // no height
      {"0,0,100000,300,0", std::nullopt},  // larger than any screen
      {"0,0,99999999999999999999,3,0", std::nullopt},
      {"a,b,c,d,0", std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::optional<Placement> got = ParsePlacement(c.text);
    ASSERT_EQ(got.has_value(), c.expected.has_value());
    if (!got) continue;
    EXPECT_TRUE(Same(got->frame, c.expected->frame));
    EXPECT_EQ(got->maximized, c.expected->maximized);
    EXPECT_EQ(PlacementText(*got), c.text);
  }
}

TEST(PlacementTest, AFrameIsPulledInsideTheWorkArea) {
  const RECT work{0, 0, 1024, 738};  // a task bar below
  const struct {
    const char* name;
    RECT frame, expected;
  } cases[] = {
      {"inside", {100, 100, 500, 400}, {100, 100, 500, 400}},
      {"off to the left", {-300, 100, 100, 400}, {0, 100, 400, 400}},
      {"off to the right and below", {900, 700, 1300, 1000}, {624, 438, 1024, 738}},
      {"under the task bar", {100, 600, 500, 760}, {100, 578, 500, 738}},
      {"larger than the work area", {-50, -50, 2000, 2000}, {0, 0, 1024, 738}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(Same(FitInto(c.frame, work), c.expected));
  }
}

}  // namespace
}  // namespace tallivan
