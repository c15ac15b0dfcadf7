#include "engine/lookup_queue.h"

#include <chrono>
#include <string>
#include <utility>

#include "engine/delay_target.h"

namespace {

// How often a batch under way checks whether it is to give up.
constexpr auto kStopCheck = std::chrono::milliseconds(100);

}  // namespace

LookupQueue::LookupQueue(Deliver deliver, NameResolver::ResolveFunction resolve)
    : deliver_(std::move(deliver)), resolve_(std::move(resolve)) {}

LookupQueue::~LookupQueue() {
  Stop();
}

void LookupQueue::Add(const std::vector<std::shared_ptr<DelayTarget>>& targets) {
  if (targets.empty()) {
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_) {
    return;
  }
  queued_.insert(queued_.end(), targets.begin(), targets.end());
  if (!thread_.joinable()) {
    thread_ = std::thread(&LookupQueue::Run, this);
  }
  wake_.notify_one();
}

void LookupQueue::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    queued_.clear();
  }
  wake_.notify_one();
  if (thread_.joinable()) {
    thread_.join();
  }
}

void LookupQueue::Run() {
  for (;;) {
    std::vector<std::shared_ptr<DelayTarget>> batch;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stopping_ || !queued_.empty(); });
      if (stopping_) {
        return;
      }
      batch.swap(queued_);
    }
    std::vector<std::string> hosts;
    hosts.reserve(batch.size());
    for (const auto& target : batch) {
      hosts.push_back(target->host);
    }
    NameResolver names(std::move(hosts), resolve_);
    while (!names.Wait(kStopCheck)) {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) {
        names.Cancel();  // its threads end on their own; nothing is delivered
        return;
      }
    }
    const std::vector<std::optional<NameResolver::Address>> addresses = names.Results();
    std::vector<Result> results(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
      results[i] = Result{std::move(batch[i]), addresses[i]};
    }
    deliver_(std::move(results));
  }
}
