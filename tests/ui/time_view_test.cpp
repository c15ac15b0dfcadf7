#include "ui/time_view.h"

#include <gtest/gtest.h>

namespace {

using Pixels = std::pair<int, int>;

TEST(TimeView, BucketsCoverTheirPixelsAndNoneVanishes) {
  // 600 s over 300 pixels: 2 s a pixel.
  const TimeView view(1000, 1600);
  EXPECT_EQ(view.BucketPixels(1000, 60, 300), Pixels(0, 30));
  EXPECT_EQ(view.BucketPixels(1300, 60, 300), Pixels(150, 180));
  // Cut at both edges.
  EXPECT_EQ(view.BucketPixels(980, 60, 300), Pixels(0, 20));
  EXPECT_EQ(view.BucketPixels(1590, 60, 300), Pixels(295, 300));
  // Wholly outside: nothing.
  EXPECT_EQ(view.BucketPixels(900, 60, 300).first, view.BucketPixels(900, 60, 300).second);
  EXPECT_EQ(view.BucketPixels(1600, 60, 300).first, view.BucketPixels(1600, 60, 300).second);
  // A minute in 30 days over 720 pixels is a 60th of a pixel, drawn as one.
  const TimeView month(0, 30 * 86400);
  EXPECT_EQ(month.BucketPixels(0, 60, 720), Pixels(0, 1));
  EXPECT_EQ(month.BucketPixels(30 * 86400 - 60, 60, 720), Pixels(719, 720));
}

// The view's edges after a zoom or a drag, for comparing in one step.
using Edges = std::pair<std::int64_t, std::int64_t>;
Edges Zoomed(TimeView view, int notches, double fraction, std::int64_t latest_s) {
  view.Zoom(notches, fraction, latest_s);
  return {view.from_s, view.to_s};
}
Edges Dragged(TimeView view, int dx, int width, std::int64_t latest_s) {
  view.Drag(dx, width, latest_s);
  return {view.from_s, view.to_s};
}

TEST(TimeView, ZoomKeepsTheTimeUnderTheMouseWithinItsLimits) {
  EXPECT_EQ(Zoomed({0, 3600}, 1, 0.5, 10000), Edges(900, 2700));
  EXPECT_EQ(Zoomed({0, 3600}, 1, 0.0, 10000), Edges(0, 1800));
  // Out around the middle would pass now: it ends at now instead.
  EXPECT_EQ(Zoomed({0, 3600}, -1, 0.5, 3600), Edges(-3600, 3600));
  // Never under a minute nor over 30 days.
  EXPECT_EQ(Zoomed({0, 100}, 3, 0.5, 10000), Edges(20, 80));
  EXPECT_EQ(Zoomed({0, 20 * 86400}, -1, 1.0, 20 * 86400), Edges(-10 * 86400, 20 * 86400));
}

TEST(TimeView, DragMovesByTheTimeOfItsPixelsButNotPastNow) {
  EXPECT_EQ(Dragged({1000, 1600}, 30, 300, 5000), Edges(940, 1540));  // 60 s into the past
  // Left by a whole width, but now is 1800.
  EXPECT_EQ(Dragged({1000, 1600}, -300, 300, 1800), Edges(1200, 1800));
}

TEST(TimeView, ExportStepsKeepEachRangeWithinADayOfMinutes) {
  const auto step = [](std::int64_t span) { return TimeView(0, span).ExportStep(); };
  EXPECT_EQ(step(600), 10);           // 60 rows
  EXPECT_EQ(step(3600), 10);          // 360
  EXPECT_EQ(step(6 * 3600), 60);      // 360
  EXPECT_EQ(step(86400), 60);         // 1,440
  EXPECT_EQ(step(7 * 86400), 900);    // 672
  EXPECT_EQ(step(30 * 86400), 3600);  // 720
}

}  // namespace
