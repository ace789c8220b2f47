// Date: a runtime class whose new objects hold the local time of their creation.
#include "runtime/values/date.h"

#include <stddef.h>
#include <time.h>

#include "runtime/core/objects/exception.h"
#include "runtime/core/objects/object.h"

namespace {

struct DateObject {
  MVObject header;
  int32_t year;
  int32_t month;   // 1..12
  int32_t day;     // 1..31
  int32_t hour;    // 0..23
  int32_t minute;  // 0..59
  int32_t second;  // 0..60
};
static_assert(offsetof(DateObject, year) == sizeof(MVObject), "fields follow the object header");

MVClass* DateClass() {
  static MVClass* cls = MVMakeClass("Date", nullptr, sizeof(DateObject), nullptr, nullptr, nullptr);
  return cls;
}

DateObject* AsDate(MVObject* o) {
  if (!o) {
    RaiseNilObjectException();
    return nullptr;
  }
  return reinterpret_cast<DateObject*>(o);
}

}  // namespace

extern "C" MVObject* RuntimeNewDate(void) {
  MVObject* o = RuntimeNewObject(DateClass());
  if (!o) return nullptr;
  DateObject* d = reinterpret_cast<DateObject*>(o);
  // The clock is read with time() and localtime() only.
  time_t now = time(nullptr);
  const struct tm* t = localtime(&now);
  if (t) {
    d->year = t->tm_year + 1900;
    d->month = t->tm_mon + 1;
    d->day = t->tm_mday;
    d->hour = t->tm_hour;
    d->minute = t->tm_min;
    d->second = t->tm_sec;
  }
  return o;
}

extern "C" int32_t DateHourGetter(MVObject* date) {
  DateObject* d = AsDate(date);
  return d ? d->hour : 0;
}

extern "C" int32_t DateMinuteGetter(MVObject* date) {
  DateObject* d = AsDate(date);
  return d ? d->minute : 0;
}

extern "C" int32_t DateSecondGetter(MVObject* date) {
  DateObject* d = AsDate(date);
  return d ? d->second : 0;
}
