#ifndef LUMORET_ENGINE_LOOKUP_QUEUE_H
#define LUMORET_ENGINE_LOOKUP_QUEUE_H

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "engine/name_resolver.h"

class DelayTarget;

// Looks targets' names up while the engine runs, batch after batch, on a thread of its
// own (each batch side by side through NameResolver), so that neither the worker nor the
// window ever waits on a resolver. Each batch's results go to a callback on that thread.
class LookupQueue {
 public:
  // What one look-up found: the target's address, or nothing when its name did not resolve.
  struct Result {
    std::shared_ptr<DelayTarget> target;           // whose host was looked up
    std::optional<NameResolver::Address> address;  // empty: it did not resolve
  };
  using Deliver = std::function<void(std::vector<Result> results)>;

  // Hands each batch's results to deliver; resolve looks one host up.
  explicit LookupQueue(Deliver deliver,
                       NameResolver::ResolveFunction resolve = NameResolver::ResolveFirst);
  // Stop, then nothing more is delivered.
  ~LookupQueue();
  LookupQueue(const LookupQueue&) = delete;
  LookupQueue& operator=(const LookupQueue&) = delete;

  // Queues the targets' hosts for looking up; any thread.
  void Add(const std::vector<std::shared_ptr<DelayTarget>>& targets);
  // Gives up on the look-ups under way (they end on their own, ignored) and on those
  // queued, and waits for the thread, which never waits on a resolver when told to stop.
  void Stop();

 private:
  void Run();

  const Deliver deliver_;                             // called on thread_
  const NameResolver::ResolveFunction resolve_;       // looks one host up
  std::mutex mutex_;                                  // guards the three below
  std::condition_variable wake_;                      // work queued, or Stop
  std::vector<std::shared_ptr<DelayTarget>> queued_;  // waiting for the next batch
  bool stopping_ = false;                             // Stop was called
  std::thread thread_;  // started by the first Add, so an unchanged list costs no thread
};

#endif  // LUMORET_ENGINE_LOOKUP_QUEUE_H
