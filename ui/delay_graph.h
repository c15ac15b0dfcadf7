#ifndef LUMORET_UI_DELAY_GRAPH_H
#define LUMORET_UI_DELAY_GRAPH_H

#include <wx/panel.h>

#include <vector>

#include "engine/probe_history.h"

// A host's probes of the last 10 minutes: delay against time, timeouts as red marks
// along the top, and the average delay as a line.
class DelayGraph : public wxPanel {
 public:
  explicit DelayGraph(wxWindow* parent);

  // Shows probes, oldest first and none older than kRecentSpan, on a time axis that ends
  // at now.
  void SetProbes(std::vector<ProbeHistory::Probe> probes, ProbeHistory::Clock::time_point now);

 private:
  void OnPaint(wxPaintEvent& event);
  // The delay axis' upper end: a round number above every delay shown.
  double DelayScale() const;
  void DrawAxes(wxDC& dc, const wxRect& plot, double scale) const;
  void DrawProbes(wxDC& dc, const wxRect& plot, double scale) const;
  // x of a time in the plot, the left edge 10 minutes before now.
  int TimeX(const wxRect& plot, ProbeHistory::Clock::time_point at) const;

  std::vector<ProbeHistory::Probe> probes_;  // oldest first
  ProbeHistory::Clock::time_point now_;      // the right end of the time axis
};

#endif  // LUMORET_UI_DELAY_GRAPH_H
