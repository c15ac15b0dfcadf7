#include "ui/background_job.h"

#include <wx/app.h>

BackgroundJob::BackgroundJob() : owner_(std::make_shared<Owner>(Owner{this})) {}

BackgroundJob::~BackgroundJob() {
  owner_->job = nullptr;  // for a delivery that runs on while this one goes
  owner_.reset();
  cancelled_ = true;
  if (thread_.joinable()) {
    thread_.join();
  }
}

void BackgroundJob::Run(Work work) {
  if (running_) {
    waiting_ = std::move(work);
    return;
  }
  Start(std::move(work));
}

void BackgroundJob::Start(Work work) {
  running_ = true;
  std::weak_ptr<Owner> owner = owner_;
  thread_ = std::thread([this, owner, work = std::move(work)] {
    Delivery delivery = work(cancelled_);
    // The app's queue is locked, so what the job wrote is seen on the GUI thread.
    wxTheApp->CallAfter([owner, delivery = std::move(delivery)] {
      const std::shared_ptr<Owner> alive = owner.lock();
      if (!alive || alive->job == nullptr) {
        return;
      }
      if (delivery) {
        delivery();
      }
      if (alive->job != nullptr) {
        alive->job->Finished();
      }
    });
  });
}

void BackgroundJob::Finished() {
  thread_.join();
  running_ = false;
  if (waiting_) {
    Work next = std::move(waiting_);
    waiting_ = nullptr;
    Start(std::move(next));
  }
}
