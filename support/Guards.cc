#include "Guards.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace tt {

struct Watchdog::State {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread t;
};

Watchdog::Watchdog(int seconds, std::string what) : state_(new State) {
    State* s = state_;
    s->t = std::thread([s, seconds, what] {
        std::unique_lock<std::mutex> lock(s->m);
        if (!s->cv.wait_for(lock, std::chrono::seconds(seconds), [s] { return s->done; })) {
            std::fprintf(stderr, "WATCHDOG: %s did not finish within %d s\n", what.c_str(), seconds);
            std::fflush(stderr);
            std::_Exit(99);
        }
    });
}

Watchdog::~Watchdog() {
    {
        std::lock_guard<std::mutex> lock(state_->m);
        state_->done = true;
    }
    state_->cv.notify_all();
    state_->t.join();
    delete state_;
}

EnvGuard::EnvGuard(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    if (value)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}

EnvGuard::~EnvGuard() {
    if (had_)
        ::setenv(name_.c_str(), old_.c_str(), 1);
    else
        ::unsetenv(name_.c_str());
}

}  // namespace tt
