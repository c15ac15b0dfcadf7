#include "ui/delay_graph.h"

#include <wx/datetime.h>
#include <wx/dcbuffer.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <iterator>

#include "ui/host_figures.h"
#include "ui/range_marks.h"
#include "ui/translations.h"

#ifdef __WXMSW__
// The engine's headers bring in windows.h, whose DrawText macro would rename wxDC's.
#include <wx/msw/winundef.h>
#endif

namespace {

constexpr int kMinutesShown = kRecentSpan.count();
// Room around the plot for the tick labels and the axis titles, in pixels.
constexpr int kLeftMargin = 64;
constexpr int kRightMargin = 12;
constexpr int kTopMargin = 22;  // the timeout marks sit in this band
constexpr int kBottomMargin = 40;
constexpr int kDelayTicks = 4;
const wxColour kDelayColour(30, 100, 200);
const wxColour kAverageColour(230, 140, 0);
const wxColour kGridColour(225, 225, 225);
const wxColour kBandColour(170, 200, 240);    // the min-max band
const wxColour kOutageColour(250, 215, 215);  // the shading of an outage
// At most this many time labels along a history range's axis.
constexpr int kMaxTimeTicks = 6;
// The round steps between them, in seconds, shortest first.
constexpr std::int64_t kTimeSteps[] = {60,    300,       600,       1800,
                                       3600,  3 * 3600,  6 * 3600,  12 * 3600,
                                       86400, 2 * 86400, 7 * 86400, 14 * 86400};

}  // namespace

DelayGraph::DelayGraph(wxWindow* parent)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxSize(560, 240)),
      now_(ProbeHistory::Clock::now()) {
  SetBackgroundStyle(wxBG_STYLE_PAINT);  // every pixel is painted, through a buffer
  Bind(wxEVT_PAINT, &DelayGraph::OnPaint, this);
  Bind(wxEVT_SIZE, [this](wxSizeEvent& event) {
    Refresh();
    // A wider graph is worth more buckets.
    if (range_shown_ && on_view_changed) {
      on_view_changed(view_);
    }
    event.Skip();
  });
  Bind(wxEVT_MOUSEWHEEL, &DelayGraph::OnWheel, this);
  Bind(wxEVT_LEFT_DOWN, &DelayGraph::OnDrag, this);
  Bind(wxEVT_MOTION, &DelayGraph::OnDrag, this);
  Bind(wxEVT_LEFT_UP, &DelayGraph::OnDrag, this);
  Bind(wxEVT_MOUSE_CAPTURE_LOST, [](wxMouseCaptureLostEvent&) {});
}

void DelayGraph::SetProbes(std::vector<ProbeHistory::Probe> probes,
                           ProbeHistory::Clock::time_point now) {
  probes_ = std::move(probes);
  now_ = now;
  range_shown_ = false;
  Refresh();
}

void DelayGraph::SetRange(const TimeView& view, std::vector<DelaySummary> points,
                          std::int64_t bucket_s,
                          std::vector<std::pair<std::int64_t, std::int64_t>> outages) {
  points_ = std::move(points);
  bucket_s_ = bucket_s;
  outages_ = std::move(outages);
  painted_buckets = -1;
  SetView(view);
}

void DelayGraph::SetView(const TimeView& view) {
  view_ = view;
  range_shown_ = true;
  Refresh();
}

wxRect DelayGraph::PlotRect() const {
  const wxSize size = GetClientSize();
  const wxRect plot(kLeftMargin, kTopMargin, size.x - kLeftMargin - kRightMargin,
                    size.y - kTopMargin - kBottomMargin);
  return plot.GetWidth() < 2 || plot.GetHeight() < 2 ? wxRect() : plot;
}

int DelayGraph::PlotWidth() const {
  return std::max(1, PlotRect().GetWidth());
}

double DelayGraph::DelayScale() const {
  std::uint32_t highest = 0;
  for (const auto& probe : probes_) {
    highest = std::max(highest, probe.delay_ms.value_or(0));
  }
  if (range_shown_) {
    highest = 0;
    for (const auto& point : points_) {
      highest = std::max(highest, point.max_ms);
    }
  }
  // 1, 2 or 5 times a power of ten, at least 10 ms. Whole numbers: log10 is not exact
  // in every C library (Wine's gave 10 a decade of 1, and this loop never ended).
  for (std::uint64_t decade = 10;; decade *= 10) {
    for (const std::uint64_t step : {1, 2, 5}) {
      if (step * decade >= highest) {
        return static_cast<double>(step * decade);
      }
    }
  }
}

int DelayGraph::TimeX(const wxRect& plot, ProbeHistory::Clock::time_point at) const {
  const double age = std::chrono::duration<double>(now_ - at).count();
  const double fraction = 1.0 - age / std::chrono::duration<double>(kRecentSpan).count();
  return plot.GetLeft() + static_cast<int>(std::lround(fraction * (plot.GetWidth() - 1)));
}

void DelayGraph::DrawDelayTicks(wxDC& dc, const wxRect& plot, double scale) const {
  dc.SetFont(GetFont());
  dc.SetTextForeground(*wxBLACK);
  for (int tick = 0; tick <= kDelayTicks; ++tick) {
    const int y = plot.GetBottom() - tick * (plot.GetHeight() - 1) / kDelayTicks;
    dc.SetPen(wxPen(kGridColour));
    dc.DrawLine(plot.GetLeft(), y, plot.GetRight(), y);
    const wxString label = wxString::Format("%g", scale * tick / kDelayTicks);
    const wxSize size = dc.GetTextExtent(label);
    dc.DrawText(label, plot.GetLeft() - size.x - 4, y - size.y / 2);
  }
}

void DelayGraph::DrawAxes(wxDC& dc, const wxRect& plot, double scale) const {
  DrawDelayTicks(dc, plot, scale);
  for (int minute = 0; minute <= kMinutesShown; minute += 2) {
    const int x = plot.GetLeft() + minute * (plot.GetWidth() - 1) / kMinutesShown;
    dc.SetPen(wxPen(kGridColour));
    dc.DrawLine(x, plot.GetTop(), x, plot.GetBottom());
    const wxString label = wxString::Format("%d", minute - kMinutesShown);
    dc.DrawText(label, x - dc.GetTextExtent(label).x / 2, plot.GetBottom() + 2);
  }
  // The band above the plot holds the timeout marks.
  DrawAxisTitles(dc, plot, _("时间（分钟，0 = 现在）"), _("超时"));
}

void DelayGraph::DrawAxisTitles(wxDC& dc, const wxRect& plot, const wxString& time_title,
                                const wxString& band_title) const {
  dc.SetPen(*wxBLACK_PEN);
  dc.DrawLine(plot.GetLeftTop(), plot.GetLeftBottom());
  dc.DrawLine(plot.GetLeftBottom(), plot.GetRightBottom());
  dc.DrawText(time_title, plot.GetLeft() + (plot.GetWidth() - dc.GetTextExtent(time_title).x) / 2,
              plot.GetBottom() + 2 + dc.GetCharHeight());
  dc.SetTextForeground(*wxRED);
  dc.DrawText(band_title, plot.GetLeft() - dc.GetTextExtent(band_title).x - 4,
              plot.GetTop() - kTopMargin + 2);
  dc.SetTextForeground(*wxBLACK);
  const wxString delay_title = _("延迟 (ms)");
  dc.DrawRotatedText(delay_title, 2,
                     plot.GetTop() + (plot.GetHeight() + dc.GetTextExtent(delay_title).x) / 2, 90);
}

void DelayGraph::DrawProbes(wxDC& dc, const wxRect& plot, double scale) const {
  const auto delay_y = [&](double delay_ms) {
    return plot.GetBottom() -
           static_cast<int>(std::lround(delay_ms / scale * (plot.GetHeight() - 1)));
  };
  double sum = 0;
  int replies = 0;
  std::vector<wxPoint> line;  // consecutive replies, broken at every timeout
  const auto flush = [&] {
    if (line.size() > 1) {
      dc.SetPen(wxPen(kDelayColour, 2));
      dc.DrawLines(static_cast<int>(line.size()), line.data());
    } else if (line.size() == 1) {
      dc.SetPen(wxPen(kDelayColour));
      dc.SetBrush(wxBrush(kDelayColour));
      dc.DrawCircle(line.front(), 2);
    }
    line.clear();
  };
  for (const auto& probe : probes_) {
    const int x = TimeX(plot, probe.sent);
    if (!probe.delay_ms) {
      flush();
      dc.SetPen(wxPen(*wxRED, 2));
      dc.DrawLine(x, plot.GetTop() - kTopMargin + 4, x, plot.GetTop() - 2);
      continue;
    }
    sum += *probe.delay_ms;
    ++replies;
    line.emplace_back(x, delay_y(*probe.delay_ms));
  }
  flush();
  if (replies > 0) {
    const double average = sum / replies;
    const int y = delay_y(average);
    dc.SetPen(wxPen(kAverageColour, 1, wxPENSTYLE_LONG_DASH));
    dc.DrawLine(plot.GetLeft(), y, plot.GetRight(), y);
    // At the left end, where the 10-minute history starts filling last, on white so the
    // delays behind it cannot hide it.
    dc.SetTextForeground(kAverageColour);
    dc.SetTextBackground(*wxWHITE);
    dc.SetBackgroundMode(wxBRUSHSTYLE_SOLID);
    const wxString label = _("平均 ") + wxString::Format("%.1f ms", average);
    dc.DrawText(label, plot.GetLeft() + 4, std::max(plot.GetTop(), y - dc.GetCharHeight() - 1));
    dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
  }
}

void DelayGraph::DrawRangeAxes(wxDC& dc, const wxRect& plot, double scale) const {
  DrawDelayTicks(dc, plot, scale);
  std::int64_t step = kTimeSteps[std::size(kTimeSteps) - 1];
  for (const std::int64_t candidate : kTimeSteps) {
    if (view_.span() / candidate <= kMaxTimeTicks) {
      step = candidate;
      break;
    }
  }
  // Ticks on round local times: midnight, whole hours.
  const std::int64_t offset = -wxDateTime::TimeZone(wxDateTime::Local).GetOffset();
  const std::int64_t first = ((view_.from_s - offset) / step + 1) * step + offset;
  const char* const format = step < 86400 ? "%H:%M" : "%m-%d";
  for (std::int64_t at = first; at < view_.to_s; at += step) {
    const int x =
        plot.GetLeft() + static_cast<int>(view_.X(static_cast<double>(at), plot.GetWidth()));
    dc.SetPen(wxPen(kGridColour));
    dc.DrawLine(x, plot.GetTop(), x, plot.GetBottom());
    const wxString label = wxDateTime(static_cast<time_t>(at)).Format(format);
    dc.DrawText(label, x - dc.GetTextExtent(label).x / 2, plot.GetBottom() + 2);
  }
  const wxString span_title = wxString::FromUTF8(
      Fill(Tr("时间（%s 至 %s）"),
           {wxDateTime(static_cast<time_t>(view_.from_s)).Format("%Y-%m-%d %H:%M").utf8_string(),
            wxDateTime(static_cast<time_t>(view_.to_s)).Format("%Y-%m-%d %H:%M").utf8_string()}));
  DrawAxisTitles(dc, plot, span_title, _("丢包"));
}

void DelayGraph::DrawOutages(wxDC& dc, const wxRect& plot) const {
  dc.SetPen(*wxTRANSPARENT_PEN);
  dc.SetBrush(wxBrush(kOutageColour));
  const int width = plot.GetWidth();
  for (const auto& [from_ms, to_ms] : outages_) {
    if (to_ms <= view_.from_s * 1000 || from_ms >= view_.to_s * 1000) {
      continue;
    }
    // To the millisecond, and at least a pixel wide, so that a short outage still shows;
    // cut to the plot before it becomes an int (an outage may have begun years before).
    const auto x = [&](std::int64_t at_ms) {
      return std::clamp(view_.X(static_cast<double>(at_ms) / 1000.0, width), 0.0,
                        static_cast<double>(width));
    };
    const int first = static_cast<int>(std::floor(x(from_ms)));
    const int end = static_cast<int>(std::ceil(x(to_ms)));
    dc.DrawRectangle(plot.GetLeft() + first, plot.GetTop(), std::max(1, end - first),
                     plot.GetHeight());
  }
}

void DelayGraph::DrawBuckets(wxDC& dc, const wxRect& plot, double scale) {
  const auto delay_y = [&](double delay_ms) {
    return plot.GetBottom() -
           static_cast<int>(std::lround(delay_ms / scale * (plot.GetHeight() - 1)));
  };
  const int tick_room = kTopMargin - 6;
  painted_buckets = 0;
  // The medians as step lines over the bands, broken at gaps and where every probe was lost.
  std::vector<std::vector<wxPoint>> median_lines(1);
  std::int64_t line_end_s = 0;  // where the last line's latest bucket ends
  for (const DelaySummary& point : points_) {
    const auto [first, end] = view_.BucketPixels(point.start_s, bucket_s_, plot.GetWidth());
    if (end <= first) {
      continue;
    }
    ++painted_buckets;
    const BucketMarks marks = MarksOf(point, tick_room);
    const int left = plot.GetLeft() + first;
    dc.SetPen(*wxTRANSPARENT_PEN);
    if (marks.band) {
      const int top = delay_y(point.max_ms);
      dc.SetBrush(wxBrush(kBandColour));
      dc.DrawRectangle(left, top, end - first, delay_y(point.min_ms) - top + 1);
    }
    if (marks.loss) {
      dc.SetBrush(*wxRED_BRUSH);
      dc.DrawRectangle(left, plot.GetTop() - 2 - marks.loss_height, end - first, marks.loss_height);
    }
    if (marks.all_lost || (marks.median && !median_lines.back().empty() &&
                           point.start_s - line_end_s >= kProbeGapS)) {
      median_lines.emplace_back();
    }
    if (marks.median) {
      const int y = delay_y(point.median_ms);
      median_lines.back().emplace_back(left, y);
      median_lines.back().emplace_back(plot.GetLeft() + end - 1, y);
      line_end_s = point.start_s + bucket_s_;
    }
  }
  dc.SetPen(wxPen(kDelayColour, 2));
  for (const auto& line : median_lines) {
    if (!line.empty()) {
      dc.DrawLines(static_cast<int>(line.size()), line.data());
    }
  }
}

void DelayGraph::OnPaint(wxPaintEvent& /*event*/) {
  wxBufferedPaintDC dc(this);
  dc.SetBackground(*wxWHITE_BRUSH);
  dc.Clear();
  const wxRect plot = PlotRect();
  if (plot.IsEmpty()) {
    return;
  }
  const double scale = DelayScale();
  if (range_shown_) {
    DrawRangeAxes(dc, plot, scale);
    DrawOutages(dc, plot);
    DrawBuckets(dc, plot, scale);
    return;
  }
  DrawAxes(dc, plot, scale);
  DrawProbes(dc, plot, scale);
}

void DelayGraph::OnWheel(wxMouseEvent& event) {
  const wxRect plot = PlotRect();
  if (!range_shown_ || plot.IsEmpty() || event.GetWheelRotation() == 0) {
    return;
  }
  const double fraction =
      std::clamp(static_cast<double>(event.GetX() - plot.GetLeft()) / plot.GetWidth(), 0.0, 1.0);
  // Away from the user zooms in, one notch at a time whatever the wheel's resolution.
  view_.Zoom(event.GetWheelRotation() > 0 ? 1 : -1, fraction, std::time(nullptr));
  ViewChanged();
}

void DelayGraph::OnDrag(wxMouseEvent& event) {
  if (!range_shown_) {
    return;
  }
  if (event.LeftDown()) {
    drag_x_ = event.GetX();
    drag_view_ = view_;
    CaptureMouse();
  } else if (event.LeftUp()) {
    if (HasCapture()) {
      ReleaseMouse();
    }
  } else if (event.Dragging() && HasCapture()) {
    view_ = drag_view_;
    view_.Drag(event.GetX() - drag_x_, PlotWidth(), std::time(nullptr));
    ViewChanged();
  }
}

void DelayGraph::ViewChanged() {
  Refresh();
  if (on_view_changed) {
    on_view_changed(view_);
  }
}
