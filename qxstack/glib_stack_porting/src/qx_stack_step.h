// Results of the non-blocking steps of the HTTP client stack. A step returns
// at once: a count or done (0 or more), not yet, or failed.
#ifndef QX_STACK_STEP_H
#define QX_STACK_STEP_H

constexpr int QX_STEP_DONE = 0;        // done; counts are 0 or more as well
constexpr int QX_STEP_FAILED = -1;     // failed for good
constexpr int QX_STEP_AGAIN = -2;      // not yet: try again on a later step
constexpr int QX_STEP_NO_BUFFER = -3;  // socket layer: no buffer given

#endif
