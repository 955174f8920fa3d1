// One-block allocation of a structure and its variable-sized companions.

#include <libubox/utils.h>

#include <cstdarg>
#include <cstdlib>

namespace
{

size_t align_any(size_t len)
{
    constexpr size_t a = alignof(max_align_t);
    return (len + a - 1) & ~(a - 1);
}

} // namespace

extern "C" void *__calloc_a(size_t len, ...)
{
    // The piece lengths are read as size_t: callers pass sizeof/strlen results or cast.
    va_list ap;
    size_t total = align_any(len);
    va_start(ap, len);
    while (void **addr = va_arg(ap, void **)) {
        (void)addr;
        size_t piece = va_arg(ap, size_t);
        if (piece > SIZE_MAX / 2 || total > SIZE_MAX / 2) {
            va_end(ap);
            return nullptr;
        }
        total += align_any(piece);
    }
    va_end(ap);

    char *block = static_cast<char *>(calloc(1, total));
    if (!block)
        return nullptr;

    size_t at = align_any(len);
    va_start(ap, len);
    while (void **addr = va_arg(ap, void **)) {
        size_t piece = va_arg(ap, size_t);
        *addr = block + at;
        at += align_any(piece);
    }
    va_end(ap);
    return block;
}
