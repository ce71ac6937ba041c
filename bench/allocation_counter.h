// Counts every allocation of a benchmark program that links allocation_counter.cpp, so the bytes a
// store holds, and holds at its peak, are exact rather than read from the process's resident set.
#pragma once

#include <cstddef>

// Bytes allocated with operator new and not freed yet.
size_t LiveAllocatedBytes();

// The most bytes live at once since the last ResetAllocationPeak().
size_t PeakAllocatedBytes();

// Starts a new peak at what is live now, and returns that.
size_t ResetAllocationPeak();
