// Helpers of the service manager's unit tests: a manual clock, an app on a fake
// monitor, and log capture.
#pragma once

#include "daemon/services/fake_monitor.hpp"
#include "daemon/services/svc_app.hpp"

#include <spdlog/sinks/base_sink.h>
#include <spdlog/spdlog.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>

namespace svc::testing {

// Time moves only when a thread sleeps on it (or a test advances it): single-
// threaded tests see exact timings.
class manual_clock final : public svc_clock {
public:
    time_point now() override
    {
        std::lock_guard lk(mutex_);
        return now_;
    }
    void sleep_for(duration d) override
    {
        advance(d);
        std::this_thread::yield();
    }
    duration real(duration) override { return std::chrono::milliseconds(1); }
    void advance(duration d)
    {
        std::lock_guard lk(mutex_);
        now_ += d;
    }

private:
    std::mutex mutex_;
    time_point now_{std::chrono::hours(1)};
};

// A sink that keeps the lines it is given; the test thread reads them while the
// app's threads log, so both go through the sink's own mutex.
class capture_sink final : public spdlog::sinks::base_sink<std::mutex> {
public:
    std::string text()
    {
        std::lock_guard lk(this->mutex_);
        return text_;
    }

protected:
    void sink_it_(const spdlog::details::log_msg& msg) override
    {
        spdlog::memory_buf_t line;
        this->formatter_->format(msg, line);
        text_.append(line.data(), line.size());
    }
    void flush_() override {}

private:
    std::string text_;
};

// Captures the default logger's lines for one test and restores it afterwards.
class log_capture {
public:
    log_capture()
    {
        saved_ = spdlog::default_logger();
        sink_->set_pattern("[%l] %v");
        auto logger = std::make_shared<spdlog::logger>("capture", sink_);
        logger->set_level(spdlog::level::trace);
        spdlog::set_default_logger(logger);
    }
    ~log_capture() { spdlog::set_default_logger(saved_); }
    std::string text() { return sink_->text(); }
    bool has(const std::string& line) { return text().find(line) != std::string::npos; }
    size_t count(const std::string& line)
    {
        const std::string t = text();
        size_t n = 0;
        for (size_t p = t.find(line); p != std::string::npos; p = t.find(line, p + 1))
            ++n;
        return n;
    }

private:
    std::shared_ptr<capture_sink> sink_ = std::make_shared<capture_sink>();
    std::shared_ptr<spdlog::logger> saved_;
};

// An app on a fake monitor of nodes 1-3 (own node 1), term 7.
struct app_fixture {
    manual_clock clock;
    fake_monitor mon{1, {1, 2, 3}, &clock};
    std::atomic<int> aborts{0};
    svc_app app{mon, clock, [this] { ++aborts; }};
    app_fixture()
    {
        mon.set_term(7);
        app.this_nodeid.store(1);
    }
    std::deque<node_event> queue()
    {
        std::lock_guard lk(app.main_mutex);
        return app.main_queue;
    }
};

}  // namespace svc::testing
