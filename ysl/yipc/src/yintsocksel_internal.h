// What the tests of the wait set reach inside it. Not installed.
#ifndef YSL_YIPC_YINTSOCKSEL_INTERNAL_H
#define YSL_YIPC_YINTSOCKSEL_INTERNAL_H

// The time YIntSockSel_Wait waits, in milliseconds (10000 unless a test changes it); for
// every set of the process. Gives the previous value.
unsigned yintsocksel_set_wait_limit(unsigned milliseconds);

#endif
