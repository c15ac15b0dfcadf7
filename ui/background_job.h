#ifndef LUMORET_UI_BACKGROUND_JOB_H
#define LUMORET_UI_BACKGROUND_JOB_H

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

// Work that reads the disk (the history store) on a thread of its own, so that the GUI
// thread never waits on it; its result is handed back on the GUI thread. One job runs at
// a time; of those asked for meanwhile only the latest waits, since it supersedes the
// others (a graph dragged along).
class BackgroundJob {
 public:
  // What a job hands back: runs on the GUI thread, while the BackgroundJob still lives.
  using Delivery = std::function<void()>;
  // A job: true in cancelled once its owner is going, so that a long one stops early.
  using Work = std::function<Delivery(const std::atomic<bool>& cancelled)>;

  BackgroundJob();
  // Cancels the running job and waits for it; its delivery is dropped.
  ~BackgroundJob();
  BackgroundJob(const BackgroundJob&) = delete;
  BackgroundJob& operator=(const BackgroundJob&) = delete;

  // Runs work now, or after the running job in place of any other waiting. GUI thread.
  void Run(Work work);
  // Whether a job runs or waits.
  bool busy() const { return running_; }

 private:
  // Tells a delivery whether its BackgroundJob still lives (both on the GUI thread).
  struct Owner {
    BackgroundJob* job;  // the one that started it; null once it is gone
  };
  void Start(Work work);
  // On the GUI thread after a delivery: joins the thread and starts the waiting job.
  void Finished();

  std::shared_ptr<Owner> owner_;        // dropped first by the destructor
  std::thread thread_;                  // the running job's
  Work waiting_;                        // the next job, or empty
  std::atomic<bool> cancelled_{false};  // the owner is going
  bool running_ = false;                // thread_ runs a job not yet delivered
};

#endif  // LUMORET_UI_BACKGROUND_JOB_H
