// Every absolute path the system touches (/etc/config/..., /tmp/..., /flash/..., /dev/RS485, the
// bus socket) is passed through root_path(). On the router FIELDBRIDGE_ROOT is unset and paths
// are used as they stand; on a host, tests and demos set it to a temporary directory so nothing
// outside that directory is ever read or written.
#pragma once

#include <string>
#include <string_view>

namespace fb {

// The prefix in force: the value of $FIELDBRIDGE_ROOT without trailing slashes, or "".
std::string root_prefix();

// `path` with the prefix prepended when it is absolute; relative paths are returned unchanged.
std::string root_path(std::string_view path);

} // namespace fb
