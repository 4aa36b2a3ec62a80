// What the reader, the writer and the whole-file functions share. Internal to yfileio.
#ifndef YSL_YFILEIO_SRC_FASTFILE_INTERNAL_H
#define YSL_YFILEIO_SRC_FASTFILE_INTERNAL_H

#include <ysl/fastfile.h>

#include <cstddef>

namespace fastfile_internal {

constexpr std::size_t buffer_size = YFASTFILE_BUFFER_SIZE;

// Taken before a report starts: the report itself may change the last error.
inline unsigned last_error()
{
    return static_cast<unsigned>(GetLastError());
}

inline const char* text_of(const char* s)
{
    return s ? s : "";
}

// A step's result, with the step named in a trace when it failed (-1).
int traced(int result, const char* step);

// A write mode taken apart; the one place that reads its bits.
struct write_mode {
    int base;  // the mode without YFASTFILE_WRITE_THROUGH: what openwritefile opens by
    bool write_through;
    bool replace;            // YFASTFILE_REPLACE or YFASTFILE_REPLACE_OR_IN_PLACE
    bool in_place_fallback;  // YFASTFILE_REPLACE_OR_IN_PLACE
};

inline write_mode decode_write_mode(int mode)
{
    const int base = mode & ~YFASTFILE_WRITE_THROUGH;
    return {base, (mode & YFASTFILE_WRITE_THROUGH) != 0,
            base == YFASTFILE_REPLACE || base == YFASTFILE_REPLACE_OR_IN_PLACE, base == YFASTFILE_REPLACE_OR_IN_PLACE};
}

}  // namespace fastfile_internal

#endif
