// Date: the least the application needs, a new Date holding the current local time.
#pragma once
#include <stdint.h>
#include "runtime/core/objects/object.h"

#ifdef __cplusplus
extern "C" {
#endif

MVObject* RuntimeNewDate(void);
int32_t DateHourGetter(MVObject* date);
int32_t DateMinuteGetter(MVObject* date);
int32_t DateSecondGetter(MVObject* date);

#ifdef __cplusplus
}
#endif
