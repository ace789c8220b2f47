#include <gtest/gtest.h>
#include <time.h>

#include "runtime/core/objects/object.h"
#include "runtime/values/date.h"

namespace {

TEST(Date, HoldsLocalTimeOfCreation) {
  // Retried when the clock passes a second boundary between the readings.
  for (int attempt = 0; attempt < 3; attempt++) {
    time_t before = time(nullptr);
    MVObject* d = RuntimeNewDate();
    time_t after = time(nullptr);
    ASSERT_NE(d, nullptr);
    if (before != after) {
      RuntimeUnlockObject(d);
      continue;
    }
    struct tm t;
    localtime_r(&before, &t);
    EXPECT_EQ(DateHourGetter(d), t.tm_hour);
    EXPECT_EQ(DateMinuteGetter(d), t.tm_min);
    EXPECT_EQ(DateSecondGetter(d), t.tm_sec);
    EXPECT_EQ(d->cls, MVFindClass("Date"));
    RuntimeUnlockObject(d);
    return;
  }
}

}  // namespace
