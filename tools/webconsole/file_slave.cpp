#include "tools/webconsole/file_slave.h"

#include <chrono>

namespace qv::web {

bool FileSlave::Watched::Send(const uint8_t* d, std::size_t n) {
    const bool ok = link_->Send(d, n);
    if (!ok) broken_ = true;
    return ok;
}

int FileSlave::Watched::Recv(uint8_t* b, std::size_t cap, int t) {
    const int got = link_->Recv(b, cap, t);
    if (got < 0) broken_ = true;
    return got;
}

FileSlave::FileSlave(std::unique_ptr<ftc::PacketLink> link, int timeout_ms, std::function<void()> on_lost,
                     int keep_alive_ms)
    : link_(std::move(link), broken_),
      client_(link_, timeout_ms),
      on_lost_(std::move(on_lost)),
      keep_alive_ms_(keep_alive_ms),
      thread_([this] { Run(); }) {}

FileSlave::~FileSlave() {
    cancelled_ = true;
    {
        std::lock_guard<std::mutex> lock(mu_);
        quit_ = true;
    }
    cv_.notify_all();
    thread_.join();
}

void FileSlave::Post(Job job) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        jobs_.push_back(std::move(job));
    }
    cv_.notify_all();
}

void FileSlave::Run() {
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        const bool woken = cv_.wait_for(lock, std::chrono::milliseconds(keep_alive_ms_),
                                        [this] { return !jobs_.empty() || quit_; });
        bool lost = false;
        if (!woken) {
            if (gone_) continue;
            lock.unlock();
            lost = !client_.Existence().ok;
        } else if (!jobs_.empty()) {
            Job job = std::move(jobs_.front());
            jobs_.pop_front();
            lock.unlock();
            const bool usable = !gone_ && !cancelled_;
            job(usable ? &client_ : nullptr);
            // A request that found the connection broken or the slave silent
            // (a transfer the console stopped is neither).
            lost = usable && !cancelled_ && !gone_ && broken_;
        } else {
            return;  // quit, with every job answered
        }
        if (lost && !gone_.exchange(true) && on_lost_) on_lost_();
        lock.lock();
    }
}

}  // namespace qv::web
