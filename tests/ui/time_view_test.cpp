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

TEST(TimeView, ZoomKeepsTheTimeUnderTheMouseWithinItsLimits) {
  TimeView view(0, 3600);
  view.Zoom(1, 0.5, 10000);
  EXPECT_EQ(view.from_s, 900);
  EXPECT_EQ(view.to_s, 2700);
  view = TimeView(0, 3600);
  view.Zoom(1, 0.0, 10000);
  EXPECT_EQ(view.from_s, 0);
  EXPECT_EQ(view.to_s, 1800);
  // Out around the middle would pass now: it ends at now instead.
  view = TimeView(0, 3600);
  view.Zoom(-1, 0.5, 3600);
  EXPECT_EQ(view.from_s, -3600);
  EXPECT_EQ(view.to_s, 3600);
  // Never under a minute nor over 30 days.
  view = TimeView(0, 100);
  view.Zoom(3, 0.5, 10000);
  EXPECT_EQ(view.from_s, 20);
  EXPECT_EQ(view.to_s, 80);
  view = TimeView(0, 20 * 86400);
  view.Zoom(-1, 1.0, 20 * 86400);
  EXPECT_EQ(view.from_s, -10 * 86400);
  EXPECT_EQ(view.to_s, 20 * 86400);
}

TEST(TimeView, DragMovesByTheTimeOfItsPixelsButNotPastNow) {
  TimeView view(1000, 1600);
  view.Drag(30, 300, 5000);  // right: 60 s into the past
  EXPECT_EQ(view.from_s, 940);
  EXPECT_EQ(view.to_s, 1540);
  view = TimeView(1000, 1600);
  view.Drag(-300, 300, 1800);  // left by a whole width, but now is 1800
  EXPECT_EQ(view.from_s, 1200);
  EXPECT_EQ(view.to_s, 1800);
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
