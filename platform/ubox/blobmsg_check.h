// Checks shared by the blobmsg parser and the JSON formatter (not part of the public API).
#pragma once

#include <libubox/blobmsg.h>

#include <cstddef>

namespace ubox
{

// Containers nested deeper than this are rejected by validation and formatting: both recurse, and
// data from outside must not be able to exhaust the stack.
inline constexpr int kMaxNesting = 64;

// attr's header, name and value size are sound and it lies within the `avail` bytes at attr.
// Children of a container are not looked at.
bool check_attr_shallow(const blob_attr *attr, bool name, size_t avail);

} // namespace ubox
