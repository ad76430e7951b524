// The runner the reliability programs share: a child process per case (a
// hostile peer's case, a side of a soak phase, a peer that dies on purpose)
// that hands its report back whole, time limits for the child and for one
// call in this process, and the choice of cases by name.
#ifndef TARVEX_RELIABILITY_RUNNER_H
#define TARVEX_RELIABILITY_RUNNER_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace trl {

// A forked child that runs `body` and reports back through a pipe of its
// own.  The body's return value is the child's exit code; what it leaves in
// `report` reaches the parent whole, sent once the body has returned
// (the leak checker runs after that, as a child that ends with _exit never
// reaches the check at exit).  The parent takes the report within a time
// limit, then collects the child, killing it when it overruns.
class Child {
public:
    using Body = std::function<int(std::string& report)>;

    explicit Child(const Body& body);
    // Kills and collects a child that is still running.
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // False when the pipe or the fork failed.
    bool started() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

    // Waits for the whole report until `until` (a tt::now() time); false
    // when the child ended without one or the time passed first.
    bool take_report(double until);
    bool reported() const { return reported_; }
    const std::string& report() const { return report_; }

    // Collects the child, killing it first when it has not ended by
    // `until`.  Returns its exit code: 128 + the signal's number when a
    // signal ended it.
    int finish(double until);
    // True when finish() killed it at its limit.
    bool killed() const { return killed_; }

    // How the child ended, in words for a report ("hung: killed after 20 s",
    // "crashed: Segmentation fault", "exit status 23 (a sanitizer's
    // report?)", "no report"); empty for a child that reported and exited
    // with 0.  `limit_s` is the time limit it was given.
    std::string ending(double limit_s) const;

private:
    pid_t pid_ = -1;
    int from_child_ = -1;
    bool reported_ = false;
    bool collected_ = false;
    bool killed_ = false;
    int code_ = -1;
    std::string report_;
};

// Arms a process timer for `seconds` around one call that must not hang.
// When it fires, blocking system calls in the call are interrupted and
// expired() turns true; if the call still has not returned `grace_s`
// seconds later, the process prints what hung and ends with exit code 3,
// since a call that ignores the interruption cannot be recovered from.
// One deadline at a time; not for use in forked children.
class Deadline {
public:
    Deadline(const char* what, double seconds, double grace_s = 20.0);
    ~Deadline();
    Deadline(const Deadline&) = delete;
    Deadline& operator=(const Deadline&) = delete;

    bool expired() const;
    double elapsed() const;

private:
    double start_;
};

// Where the deadline's last words go (standard error unless changed): a
// program that sends the library's diagnostics elsewhere points this at its
// own report.
void deadline_report_fd(int fd);

// The places in `names` of the names that the comma-separated `list` gives,
// in its order; "all" gives every name once, in order.  False for a name
// that is none of them, which `unknown` then holds.
bool pick_names(const std::string& list, const std::vector<std::string>& names, std::vector<size_t>& picked,
                std::string& unknown);

}  // namespace trl

#endif
