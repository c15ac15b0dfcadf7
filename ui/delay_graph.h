#ifndef LUMORET_UI_DELAY_GRAPH_H
#define LUMORET_UI_DELAY_GRAPH_H

#include <wx/panel.h>

#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

#include "engine/history_rollup.h"
#include "engine/probe_history.h"
#include "ui/time_view.h"

// A host's probes of the last 10 minutes: delay against time, timeouts as red marks
// along the top, and the average delay as a line. Or a longer range from the history
// store, as buckets: the min-max band, the median, loss as red ticks along the top and
// the outages of the host's log shaded; the mouse wheel zooms it and a drag moves it
// along time.
class DelayGraph : public wxPanel {
 public:
  explicit DelayGraph(wxWindow* parent);

  // Shows probes, oldest first and none older than kRecentSpan, on a time axis that ends
  // at now.
  void SetProbes(std::vector<ProbeHistory::Probe> probes, ProbeHistory::Clock::time_point now);
  // Shows the buckets of a history range over view from now on (until SetProbes): points
  // oldest first, each bucket_s long, and outages as [start, end) in ms since the epoch;
  // none while they are being read.
  void SetRange(const TimeView& view, std::vector<DelaySummary> points, std::int64_t bucket_s,
                std::vector<std::pair<std::int64_t, std::int64_t>> outages = {});
  // Moves the history range's view, keeping its buckets until new ones come.
  void SetView(const TimeView& view);
  // The history range's width in pixels: as many buckets as are worth reading.
  int PlotWidth() const;
  const TimeView& view() const { return view_; }

  // Runs after the user zoomed or dragged the history range, with its new view.
  std::function<void(const TimeView&)> on_view_changed;
  // Buckets with probes that the latest paint drew; -1 before the first paint of a range.
  int painted_buckets = -1;

 private:
  void OnPaint(wxPaintEvent& event);
  // The delay axis' upper end: a round number above every delay shown.
  double DelayScale() const;
  // The delay axis's grid lines and labels, in the window's font, shared by both views.
  void DrawDelayTicks(wxDC& dc, const wxRect& plot, double scale) const;
  void DrawAxes(wxDC& dc, const wxRect& plot, double scale) const;
  // The axis lines and titles both views share: time below, the marks' band above on
  // the left, delay upwards.
  void DrawAxisTitles(wxDC& dc, const wxRect& plot, const wxString& time_title,
                      const wxString& band_title) const;
  void DrawProbes(wxDC& dc, const wxRect& plot, double scale) const;
  // x of a time in the plot, the left edge 10 minutes before now.
  int TimeX(const wxRect& plot, ProbeHistory::Clock::time_point at) const;
  // The same parts for a history range.
  void DrawRangeAxes(wxDC& dc, const wxRect& plot, double scale) const;
  void DrawOutages(wxDC& dc, const wxRect& plot) const;
  void DrawBuckets(wxDC& dc, const wxRect& plot, double scale);
  // The plot's rectangle in the client area; empty when too small.
  wxRect PlotRect() const;
  void OnWheel(wxMouseEvent& event);
  void OnDrag(wxMouseEvent& event);
  // Hands the view to on_view_changed after the user changed it.
  void ViewChanged();

  std::vector<ProbeHistory::Probe> probes_;  // oldest first
  ProbeHistory::Clock::time_point now_;      // the right end of the time axis
  bool range_shown_ = false;                 // buckets of the history rather than probes
  TimeView view_;                            // the history range shown
  std::vector<DelaySummary> points_;         // its buckets, oldest first
  std::int64_t bucket_s_ = 0;                // seconds per bucket
  std::vector<std::pair<std::int64_t, std::int64_t>> outages_;  // [start, end) in ms
  int drag_x_ = 0;                                              // where the drag started, in pixels
  TimeView drag_view_;                                          // the view when it started
};

#endif  // LUMORET_UI_DELAY_GRAPH_H
