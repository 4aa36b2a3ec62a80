#ifndef YSL_YSLEEP_SEC_H
#define YSL_YSLEEP_SEC_H

// Sleeps for the given seconds (whole milliseconds, truncated), at most 31 days: 0, or -1
// for a time out of range.
int ysleep_sec(double seconds);

#endif
