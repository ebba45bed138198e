// For the view's tests: what a page does with the console's messages.
#pragma once

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "common/le_bytes.h"
#include "tools/webconsole/frame_encoder.h"
#include "tools/webconsole/web_server.h"

namespace qv::web::test {

// Decodes a rectangle message's PNG and draws it at its place in an RGB
// picture width pixels wide.
inline void Draw(const std::vector<uint8_t>& message, int32_t width, std::vector<uint8_t>* page) {
    ASSERT_GT(message.size(), kRectHeaderBytes);
    ASSERT_EQ(message[0], kRectMessageKind);
    ASSERT_EQ(message[1], 0);
    const uint16_t x = le::Get16(&message[2]), y = le::Get16(&message[4]), w = le::Get16(&message[6]),
                   h = le::Get16(&message[8]);
    png_image img{};
    img.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_memory(&img, message.data() + kRectHeaderBytes,
                                                 message.size() - kRectHeaderBytes));
    img.format = PNG_FORMAT_RGB;
    ASSERT_EQ(img.width, w);
    ASSERT_EQ(img.height, h);
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(img));
    ASSERT_TRUE(png_image_finish_read(&img, nullptr, rgb.data(), 0, nullptr)) << img.message;
    ASSERT_LE((y + h) * static_cast<std::size_t>(width) * 3, page->size());
    for (uint16_t r = 0; r < h; ++r)
        std::copy_n(&rgb[r * w * 3u], w * 3u, &(*page)[((y + r) * static_cast<std::size_t>(width) + x) * 3]);
}

// A page that keeps what the console sends it, in order.
class FakePage : public PageLink {
public:
    explicit FakePage(uint64_t id) : id_(id) {}
    uint64_t id() const override { return id_; }
    bool SendText(const std::string& text) override {
        std::lock_guard<std::mutex> l(mu_);
        if (gone_) return false;
        got_.push_back({nlohmann::json::parse(text), {}});
        cv_.notify_all();
        return true;
    }
    bool SendBinary(const uint8_t* data, std::size_t n) override {
        std::lock_guard<std::mutex> l(mu_);
        if (gone_) return false;
        got_.push_back({nullptr, std::vector<uint8_t>(data, data + n)});
        cv_.notify_all();
        return true;
    }
    void Close() {
        std::lock_guard<std::mutex> l(mu_);
        gone_ = true;
    }

    struct Message {
        nlohmann::json text;  // null for a binary message
        std::vector<uint8_t> binary;
    };
    // The messages up to and including the first text one for which done()
    // holds (taken from the page); empty when none comes in time.
    std::vector<Message> Until(const std::function<bool(const nlohmann::json&)>& done,
                               std::chrono::milliseconds wait = std::chrono::seconds(10)) {
        std::unique_lock<std::mutex> l(mu_);
        std::vector<Message> out;
        const auto until = std::chrono::steady_clock::now() + wait;
        for (;;) {
            while (!got_.empty()) {
                out.push_back(std::move(got_.front()));
                got_.erase(got_.begin());
                if (!out.back().text.is_null() && done(out.back().text)) return out;
            }
            if (cv_.wait_until(l, until) == std::cv_status::timeout && got_.empty()) return {};
        }
    }
    // The answer to request req (and what came before it).
    std::vector<Message> Answer(int req) {
        return Until([req](const nlohmann::json& m) {
            return m.value("req", -1) == req && (m["ev"] == "done" || m["ev"] == "error");
        });
    }
    // Whatever comes within wait.
    std::vector<Message> Drain(std::chrono::milliseconds wait) {
        std::this_thread::sleep_for(wait);
        std::lock_guard<std::mutex> l(mu_);
        std::vector<Message> out;
        out.swap(got_);
        return out;
    }
    std::size_t pending() {
        std::lock_guard<std::mutex> l(mu_);
        return got_.size();
    }

private:
    const uint64_t id_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<Message> got_;
    bool gone_ = false;
};

}  // namespace qv::web::test
