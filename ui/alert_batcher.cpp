#include "ui/alert_batcher.h"

#include <ctime>

#include "engine/user_text.h"
#include "ui/cell_rules.h"
#include "ui/range_marks.h"
#include "ui/utf8_text.h"

namespace {

// The notification's title: the program that tells.
constexpr char kTitle[] = "Lumoret";

// Whether a change is one the user is told of: a host going down, or coming back from down
// to answering. Between up and lossy, or to "not yet" and "unresolved", nobody is alerted.
bool Counts(HostState from, HostState to) {
  return (to == HostState::kDown && from != HostState::kDown) ||
         (from == HostState::kDown && (to == HostState::kUp || to == HostState::kLossy));
}

bool Answering(HostState state) {
  return state == HostState::kUp || state == HostState::kLossy;
}

// "14:03:07", the local time of at_ms.
std::string LocalClock(std::int64_t at_ms) {
  const std::tm local = LocalTime(static_cast<std::time_t>(at_ms / 1000));
  char text[16];
  return std::string(text, std::strftime(text, sizeof text, "%H:%M:%S", &local));
}

}  // namespace

void AlertBatcher::Add(const std::string& host, HostState from, HostState to, std::int64_t at_ms) {
  const bool counts = Counts(from, to);
  const auto found = index_.find(host);
  if (found == index_.end()) {
    if (counts) {
      index_.emplace(host, pending_.size());
      pending_.push_back(Pending{host, from == HostState::kDown, to, at_ms});
      grew_ = true;
    }
    return;
  }
  grew_ = true;
  // Only the latest state counts: a flapping host is told once, by where it ended.
  Pending& pending = pending_[found->second];
  pending.now = to;
  if (counts) {
    pending.since_ms = at_ms;
  }
}

std::optional<AlertBatcher::Alert> AlertBatcher::Take(std::int64_t now_ms) {
  std::vector<const Pending*> down;
  std::vector<const Pending*> back;
  for (const Pending& pending : pending_) {
    if (!pending.was_down && pending.now == HostState::kDown) {
      down.push_back(&pending);
    } else if (pending.was_down && Answering(pending.now)) {
      back.push_back(&pending);
    }
  }
  if (down.empty() && back.empty()) {
    // Every host is back where it was last told: nothing to hold on to.
    pending_.clear();
    index_.clear();
    first_look_ms_.reset();
    return std::nullopt;
  }
  if (!first_look_ms_) {
    first_look_ms_ = now_ms;
  }
  const bool settling = grew_ && now_ms - *first_look_ms_ < kMaxHoldMs;
  grew_ = false;
  if (settling || (last_given_ms_ && now_ms - *last_given_ms_ < kMinGapMs)) {
    return std::nullopt;
  }
  Alert alert = Compose(down, back);
  pending_.clear();
  index_.clear();
  first_look_ms_.reset();
  last_given_ms_ = now_ms;
  return alert;
}

AlertBatcher::Alert AlertBatcher::Compose(const std::vector<const Pending*>& down,
                                          const std::vector<const Pending*>& back) {
  if (down.size() + back.size() == 1) {
    const Pending& one = down.empty() ? *back.front() : *down.front();
    return {kTitle, Fill(Tr("%s：%s，自 %s 起"),
                         {ValidUtf8(one.host), StateText(one.now), LocalClock(one.since_ms)})};
  }
  const auto line = [](const std::vector<const Pending*>& hosts, const std::string& what) {
    std::string text = Fill(what, {std::to_string(hosts.size())});
    for (std::size_t i = 0; i < hosts.size() && i < kNamesShown; ++i) {
      text += (i == 0 ? "" : ", ") + ValidUtf8(hosts[i]->host);
    }
    return hosts.size() > kNamesShown ? text + " …" : text;
  };
  std::string body;
  if (!down.empty()) {
    body = line(down, TrN("%s 台主机中断：", "%s 台主机中断：", down.size()));
  }
  if (!back.empty()) {
    body += (body.empty() ? "" : "\n") +
            line(back, TrN("%s 台主机恢复：", "%s 台主机恢复：", back.size()));
  }
  return {kTitle, body};
}
