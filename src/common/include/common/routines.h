// Small socket, serial, time, string and file-lock routines shared by every deliverable.
#pragma once

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <ctime>

// CRC-16/MODBUS (reflected 0xA001, initial 0xFFFF). Storing the low byte of the result first
// gives the wire order of an RTU frame; over a frame that includes its CRC the result is 0.
uint16_t crc16_modbus(const uint8_t *data, uint16_t length);

// Reads up to `wanted` bytes; `timeout_ms` applies afresh to every wait (an inter-chunk timeout).
// Returns `wanted` when complete, the count so far on a timeout (0 when nothing came), -1 on a
// select or read error or on end of file before any byte arrived.
int read_with_timeout(int fd, uint8_t *buffer, int wanted, int timeout_ms);

// Writes everything, retrying after EINTR/EAGAIN. Returns `length`, or 0 on any other failure
// (including fd <= 0 and a write of 0 bytes).
int write_fully(int fd, const uint8_t *data, int length);

// Non-blocking connect bounded by `timeout_s` seconds (0: wait until the kernel gives up).
// 1 on success with the descriptor flags restored; 0 on failure with errno set and, on a timeout
// or a socket error, the socket closed.
int connect_with_timeout(int sock, const struct sockaddr *addr, socklen_t addr_len, int timeout_s);

// "YYYY-MM-DD hh:mm:ss" of the local time in a static buffer that the next call overwrites.
const char *local_time_string(time_t t);

// Copies `source` into `output`, replacing every non-overlapping `token` (left to right) by
// `text`. Null source or output gives null; a null or empty token or a null text leaves `output`
// untouched. `output_size` bounds the result (it is always terminated and cut, never overflowed).
char *replace_all(const char *source, const char *token, const char *text, char *output, size_t output_size);

// Debug line "tag(len): XX XX ..." cut at 512 characters, when logging is enabled.
void hex_dump_log(const char *tag, const uint8_t *data, int length);

// 1 when `address` (dotted IPv4) lies in the subnet of an IPv4 interface whose name begins with
// `ifname_prefix`; 0 otherwise.
int lan_subnet_match(const char *ifname_prefix, const char *address);

// Whole-file advisory write lock (waits) and its release, around read-modify-write of status files.
int file_write_lock(int fd);
int file_unlock(int fd);

// Bit routines on register values.
uint16_t bit_set(uint16_t value, unsigned bit);      // bit >= 32 leaves the value unchanged
int bit_get(uint32_t value, unsigned bit);            // bit >= 32 reads bit 31
void bit_log(uint32_t value, unsigned count);         // the `count` lowest bits, highest first

// Seconds since boot.
long uptime_seconds();

// Identifier/position pairs sorted ascending by identifier with a stable top-down merge sort,
// so connections or channels with equal identifiers keep their configured order.
struct IdPosition {
    long id;
    int position;
};
void merge_sort_by_id(IdPosition *items, size_t count);
