#include <gtest/gtest.h>

#include "Tarvex.h"

TEST(Status, NamesComeFromOneTable) {
    EXPECT_STREQ(tarvex_status_name(ERR_NO_SPACE), "ERR_NO_SPACE");
    EXPECT_STREQ(tarvex_status_name(0), "OK");
    EXPECT_STREQ(tarvex_status_name(17), "UNKNOWN");
}
