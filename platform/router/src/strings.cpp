#include <librouter.h>

#include <cstdlib>
#include <cstring>

extern "C" {

char *lib_string_clone(const char *text)
{
    return text ? strdup(text) : nullptr;
}

int lib_string_is_not_empty(const char *text)
{
    return text && *text ? 1 : 0;
}

int lib_string_is_digit(const char *text)
{
    if (!text || !*text)
        return 0;
    for (const char *p = text; *p; ++p)
        if (*p < '0' || *p > '9')
            return 0;
    return 1;
}

int lib_string_cmp(const char *a, const char *b)
{
    return a && b && std::strcmp(a, b) == 0 ? 1 : 0;
}

int lib_string_to_uint32_t(const char *text, uint32_t *value)
{
    if (!lib_string_is_digit(text) || !value)
        return 0;
    uint64_t result = 0;
    for (const char *p = text; *p; ++p) {
        result = result * 10 + static_cast<uint64_t>(*p - '0');
        if (result > UINT32_MAX)
            return 0;
    }
    *value = static_cast<uint32_t>(result);
    return 1;
}

int lib_string_split(char *text, char separator, char *parts[], int max)
{
    if (!text || !*text || !parts || max <= 0)
        return 0;
    int count = 0;
    char *field = text;
    while (true) {
        parts[count++] = field;
        if (count == max)
            break; // the last part keeps the rest of the text
        char *end = std::strchr(field, separator);
        if (!end || separator == '\0')
            break;
        *end = '\0';
        field = end + 1;
    }
    return count;
}

const char *lib_basename(const char *path)
{
    if (!path)
        return "";
    const char *slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

} // extern "C"
