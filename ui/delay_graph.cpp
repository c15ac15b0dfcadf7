#include "ui/delay_graph.h"

#include <wx/dcbuffer.h>

#include <algorithm>
#include <chrono>
#include <cmath>

#include "ui/host_figures.h"

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

}  // namespace

DelayGraph::DelayGraph(wxWindow* parent)
    : wxPanel(parent, wxID_ANY, wxDefaultPosition, wxSize(560, 240)),
      now_(ProbeHistory::Clock::now()) {
  SetBackgroundStyle(wxBG_STYLE_PAINT);  // every pixel is painted, through a buffer
  Bind(wxEVT_PAINT, &DelayGraph::OnPaint, this);
  Bind(wxEVT_SIZE, [this](wxSizeEvent& event) {
    Refresh();
    event.Skip();
  });
}

void DelayGraph::SetProbes(std::vector<ProbeHistory::Probe> probes,
                           ProbeHistory::Clock::time_point now) {
  probes_ = std::move(probes);
  now_ = now;
  Refresh();
}

double DelayGraph::DelayScale() const {
  std::uint32_t highest = 0;
  for (const auto& probe : probes_) {
    highest = std::max(highest, probe.delay_ms.value_or(0));
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

void DelayGraph::DrawAxes(wxDC& dc, const wxRect& plot, double scale) const {
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
  for (int minute = 0; minute <= kMinutesShown; minute += 2) {
    const int x = plot.GetLeft() + minute * (plot.GetWidth() - 1) / kMinutesShown;
    dc.SetPen(wxPen(kGridColour));
    dc.DrawLine(x, plot.GetTop(), x, plot.GetBottom());
    const wxString label = wxString::Format("%d", minute - kMinutesShown);
    dc.DrawText(label, x - dc.GetTextExtent(label).x / 2, plot.GetBottom() + 2);
  }
  dc.SetPen(*wxBLACK_PEN);
  dc.DrawLine(plot.GetLeftTop(), plot.GetLeftBottom());
  dc.DrawLine(plot.GetLeftBottom(), plot.GetRightBottom());
  const wxString time_title = wxString::FromUTF8("时间（分钟，0 = 现在）");
  dc.DrawText(time_title, plot.GetLeft() + (plot.GetWidth() - dc.GetTextExtent(time_title).x) / 2,
              plot.GetBottom() + 2 + dc.GetCharHeight());
  // The band above the plot holds the timeout marks.
  dc.SetTextForeground(*wxRED);
  const wxString timeout_title = wxString::FromUTF8("超时");
  dc.DrawText(timeout_title, plot.GetLeft() - dc.GetTextExtent(timeout_title).x - 4,
              plot.GetTop() - kTopMargin + 2);
  dc.SetTextForeground(*wxBLACK);
  const wxString delay_title = wxString::FromUTF8("延迟 (ms)");
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
    const wxString label = wxString::FromUTF8("平均 ") + wxString::Format("%.1f ms", average);
    dc.DrawText(label, plot.GetLeft() + 4, std::max(plot.GetTop(), y - dc.GetCharHeight() - 1));
    dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
  }
}

void DelayGraph::OnPaint(wxPaintEvent& /*event*/) {
  wxBufferedPaintDC dc(this);
  dc.SetBackground(*wxWHITE_BRUSH);
  dc.Clear();
  const wxSize size = GetClientSize();
  const wxRect plot(kLeftMargin, kTopMargin, size.x - kLeftMargin - kRightMargin,
                    size.y - kTopMargin - kBottomMargin);
  if (plot.GetWidth() < 2 || plot.GetHeight() < 2) {
    return;
  }
  const double scale = DelayScale();
  DrawAxes(dc, plot, scale);
  DrawProbes(dc, plot, scale);
}
