// One started file transfer slave as the web console holds it: the link to
// it and a thread of its own that runs the pages' requests one at a time,
// in the order they came, so that a second transfer waits for the first
// instead of mixing its blocks with it.
//
// While no request comes, the thread asks the slave's existence now and
// then: a slave whose user closed it, or whose machine went away, is found
// out and reported (on_lost) instead of surprising the next request.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "tools/ftconsole/ftclient.h"

namespace qv::web {

class FileSlave {
public:
    // A request's work. client is null when the slave is gone (lost,
    // stopped, or the console is closing): the job then only reports that.
    using Job = std::function<void(ftc::FtClient* client)>;

    static constexpr int kKeepAliveMs = 15000;

    // link: the connection to a slave that has answered the existence
    // request. on_lost runs on the slave's thread when the keep-alive or a
    // request finds the connection broken or the slave silent.
    FileSlave(std::unique_ptr<ftc::PacketLink> link, int timeout_ms, std::function<void()> on_lost,
              int keep_alive_ms = kKeepAliveMs);
    // Stops a running transfer, runs the waiting jobs without the slave (so
    // each request is still answered) and ends the thread.
    ~FileSlave();
    FileSlave(const FileSlave&) = delete;
    FileSlave& operator=(const FileSlave&) = delete;

    void Post(Job job);
    // No more requests reach the slave (after it was told to terminate).
    void MarkGone() { gone_ = true; }
    bool gone() const { return gone_; }
    // True once the console is closing: a transfer in progress stops.
    bool cancelled() const { return cancelled_; }

private:
    // The link, noting when the connection broke.
    class Watched : public ftc::PacketLink {
    public:
        Watched(std::unique_ptr<ftc::PacketLink> l, std::atomic<bool>& broken) : link_(std::move(l)), broken_(broken) {}
        bool Send(const uint8_t* d, std::size_t n) override;
        int Recv(uint8_t* b, std::size_t cap, int t) override;

    private:
        std::unique_ptr<ftc::PacketLink> link_;
        std::atomic<bool>& broken_;
    };

    void Run();

    std::atomic<bool> gone_{false}, cancelled_{false}, broken_{false};
    Watched link_;
    ftc::FtClient client_;
    std::function<void()> on_lost_;
    const int keep_alive_ms_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Job> jobs_;
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace qv::web
