// Scopes that guard a test program: a watchdog that ends a run that hangs,
// and an environment variable set for a scope.
#ifndef TARVEX_SUPPORT_GUARDS_H
#define TARVEX_SUPPORT_GUARDS_H

#include <string>

namespace tt {

// Ends the whole program with a message when the scope has not been left
// within `seconds`: a hanging call fails the run instead of stalling it.
class Watchdog {
public:
    explicit Watchdog(int seconds, std::string what = "test");
    ~Watchdog();
    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    struct State;
    State* state_;
};

// Sets (or, with a null value, removes) an environment variable for a
// scope and puts the old value back afterwards.
class EnvGuard {
public:
    EnvGuard(const char* name, const char* value);
    ~EnvGuard();
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

private:
    std::string name_;
    std::string old_;
    bool had_;
};

}  // namespace tt

#endif
