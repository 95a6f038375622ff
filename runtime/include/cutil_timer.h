// The SDK utility timer: millisecond timers from a monotonic clock.
// Every call but the reading returns 1 for success, 0 for failure.
#pragma once

typedef int CUTBoolean;
enum { CUTFalse = 0, CUTTrue = 1 };

extern "C" {
/// Creates a stopped timer reading 0 and writes its handle to *name.
CUTBoolean cutCreateTimer(unsigned int* name);
CUTBoolean cutDeleteTimer(unsigned int name);
/// Begins a measurement now, also when one is already running.
CUTBoolean cutStartTimer(unsigned int name);
/// Ends the running measurement, adding it to the reading; succeeds when stopped too.
CUTBoolean cutStopTimer(unsigned int name);
/// Sets the reading back to 0 (a running measurement restarts now).
CUTBoolean cutResetTimer(unsigned int name);
/// Milliseconds measured since creation or the last reset, including a running
/// measurement; 0 for an unknown handle.
float cutGetTimerValue(unsigned int name);
}
