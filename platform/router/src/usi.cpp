#include "usi_store.h"

#include <librouter.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

// "<list>[<row>].<field>", or "" when the parts cannot form a key.
std::string row_key(const char *list, int index, const char *field)
{
    if (!list || !*list || !field || !*field || index < 1)
        return {};
    char key[USI_KEY_MAX + 2];
    int n = std::snprintf(key, sizeof key, "%s[%d].%s", list, index, field);
    if (n < 0 || n > USI_KEY_MAX)
        return {};
    return std::string(key, static_cast<size_t>(n));
}

char *copy(const std::optional<std::string> &value)
{
    return value ? strdup(value->c_str()) : nullptr;
}

} // namespace

extern "C" {

char *usi_get(const char *key)
{
    return key ? copy(router::usi::get(key)) : nullptr;
}

int usi_set(const char *key, const char *value)
{
    if (!key)
        return -1;
    return router::usi::set(key, value ? value : "") ? 0 : -1;
}

int usi_printf(const char *key, const char *format, ...)
{
    if (!key || !format)
        return -1;
    char value[USI_VALUE_MAX + 1];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(value, sizeof value, format, args);
    va_end(args);
    if (n < 0)
        return -1;
    return usi_set(key, value);
}

int usi_del(const char *key)
{
    if (!key)
        return -1;
    return router::usi::remove(key) ? 0 : -1;
}

int usi_match(const char *key, const char *value)
{
    if (!key || !value)
        return 0;
    auto found = router::usi::get(key);
    return found && *found == value ? 1 : 0;
}

char *usi_list_get(const char *list, int index, const char *field)
{
    std::string key = row_key(list, index, field);
    return key.empty() ? nullptr : copy(router::usi::get(key));
}

int usi_list_set(const char *list, int index, const char *field, const char *value)
{
    std::string key = row_key(list, index, field);
    if (key.empty())
        return -1;
    return router::usi::set(key, value ? value : "") ? 0 : -1;
}

} // extern "C"
