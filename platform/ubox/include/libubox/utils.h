/*
 * Small helpers shared by the message and loop code: byte order conversion (message headers are
 * big-endian so the same bytes mean the same on the ARM router and on an x86 host), array sizes
 * and one-block allocation of a structure with its variable-sized tails.
 */
#ifndef LIBUBOX_UTILS_H
#define LIBUBOX_UTILS_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

#ifndef ARRAY_SIZE
#define ARRAY_SIZE(arr) (sizeof(arr) / sizeof((arr)[0]))
#endif

#ifndef __packed
#define __packed __attribute__((packed))
#endif

#ifndef __hidden
#define __hidden __attribute__((visibility("hidden")))
#endif

#ifndef BUILD_BUG_ON
#define BUILD_BUG_ON(condition) ((void)sizeof(char[1 - 2 * !!(condition)]))
#endif

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
#define cpu_to_be64(x) ((uint64_t)(x))
#define cpu_to_be32(x) ((uint32_t)(x))
#define cpu_to_be16(x) ((uint16_t)(x))
#define cpu_to_le64(x) __builtin_bswap64((uint64_t)(x))
#define cpu_to_le32(x) __builtin_bswap32((uint32_t)(x))
#define cpu_to_le16(x) __builtin_bswap16((uint16_t)(x))
#else
#define cpu_to_be64(x) __builtin_bswap64((uint64_t)(x))
#define cpu_to_be32(x) __builtin_bswap32((uint32_t)(x))
#define cpu_to_be16(x) __builtin_bswap16((uint16_t)(x))
#define cpu_to_le64(x) ((uint64_t)(x))
#define cpu_to_le32(x) ((uint32_t)(x))
#define cpu_to_le16(x) ((uint16_t)(x))
#endif

#define be64_to_cpu(x) cpu_to_be64(x)
#define be32_to_cpu(x) cpu_to_be32(x)
#define be16_to_cpu(x) cpu_to_be16(x)
#define le64_to_cpu(x) cpu_to_le64(x)
#define le32_to_cpu(x) cpu_to_le32(x)
#define le16_to_cpu(x) cpu_to_le16(x)

/*
 * calloc_a(len0, &addr1, len1, &addr2, len2, ..., NULL): one zeroed allocation holding the first
 * object followed by the others, each aligned for any type; every addrN receives its piece.
 * Freeing the returned pointer frees them all.
 */
void *__calloc_a(size_t len, ...);

#define calloc_a(len, ...) __calloc_a(len, ##__VA_ARGS__, NULL)

#define __is_constant(x) __builtin_constant_p(x)

#ifdef __cplusplus
}
#endif

#endif
