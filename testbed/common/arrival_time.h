/* Arrival times of the kernel doubles: the performance counter in 100 ns units,
 * the clock a user-mode QueryPerformanceCounter reading converts to, so a client
 * can put a driver's record and its own readings on one time line. Include after
 * <wdm.h> or <ntddk.h>; the driver links hal. */
#pragma once

static ULONGLONG ArrivalTime(void) {
  LARGE_INTEGER frequency;
  const ULONGLONG ticks = (ULONGLONG)KeQueryPerformanceCounter(&frequency).QuadPart;
  const ULONGLONG perSecond = frequency.QuadPart > 0 ? (ULONGLONG)frequency.QuadPart : 1;
  /* Split so that ticks * 10^7 cannot overflow however long the machine runs. */
  return ticks / perSecond * 10000000ull + ticks % perSecond * 10000000ull / perSecond;
}
