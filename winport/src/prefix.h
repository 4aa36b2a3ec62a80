// The winport prefix: the directory that holds the machine-wide state of winport (registry,
// drive C:, device links), as a Wine prefix does. Internal to winport.
#ifndef WINPORT_SRC_PREFIX_H
#define WINPORT_SRC_PREFIX_H

#include <string>

namespace winport {

// $WINPORT_PREFIX, or $HOME/.winport, created with mode 0700 on first use. Empty when it
// cannot be made (the last error then says why). Read once per process.
const std::string& prefix_dir();

// A path inside the prefix: prefix_dir() + "/" + relative; empty when there is no prefix.
std::string prefix_path(const std::string& relative);

// Creates a directory with mode 0700 if it does not exist. False (last error set) when it
// cannot be made or exists as something else.
bool make_private_dir(const std::string& path);

}  // namespace winport

#endif
