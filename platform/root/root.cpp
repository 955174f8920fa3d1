#include "fieldbridge/root.h"

#include <cstdlib>

namespace fb {

std::string root_prefix()
{
    // Read on every call: tests change the variable between cases, and the cost is a getenv.
    const char *env = std::getenv("FIELDBRIDGE_ROOT");
    if (!env)
        return {};
    std::string prefix(env);
    while (!prefix.empty() && prefix.back() == '/')
        prefix.pop_back();
    return prefix;
}

std::string root_path(std::string_view path)
{
    if (path.empty() || path.front() != '/')
        return std::string(path);
    std::string out = root_prefix();
    out.append(path);
    return out;
}

} // namespace fb
