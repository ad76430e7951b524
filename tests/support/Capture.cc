#include "Capture.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace tt {

void begin_capture() {
    std::fflush(nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
}

Captured end_capture() {
    std::fflush(nullptr);
    Captured c;
    c.out = testing::internal::GetCapturedStdout();
    c.err = testing::internal::GetCapturedStderr();
    return c;
}

}  // namespace tt
