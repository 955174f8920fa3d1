/*
 * Router support library: indexed UCI configuration access, the `usi` status store shared by every
 * process, password decryption, and the string, file, network, serial and process helpers the
 * applets call.
 *
 * Conventions of every function below:
 *  - Strings returned as `char *` are newly allocated with malloc; the caller frees them.
 *  - "non-zero when ..." results are 1 or 0; actions return 0 on success and -1 on failure.
 *  - Absolute paths given to this library are router paths (/etc/config/..., /tmp/..., /dev/...):
 *    the library prefixes them with $FIELDBRIDGE_ROOT (fb::root_path) before touching them.
 *  - Null pointers are accepted everywhere and treated as a missing value.
 *  - Errors (unreadable or malformed files, an unusable store) go to syslog at error level, naming
 *    the file and, for configuration files, the line; with FIELDBRIDGE_LOG_STDERR=1 they are also
 *    written to standard error.
 *  - All functions are safe to call from several threads of one process and from many processes.
 */
#ifndef FIELDBRIDGE_LIBROUTER_H
#define FIELDBRIDGE_LIBROUTER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---------------------------------------------------------------------------------------------
 * Log switches. Defaults: logenable 1, logverbose 0. When the process starts, the environment
 * variables FIELDBRIDGE_LOGENABLE and FIELDBRIDGE_LOGVERBOSE ("0" or "1") override them.
 * ------------------------------------------------------------------------------------------- */
extern unsigned char logenable;
extern unsigned char logverbose;

/* ---------------------------------------------------------------------------------------------
 * UCI configuration.
 *
 * A package is a file /etc/config/applications/<package>, or /etc/config/<package> when the former
 * does not exist; a package name may itself contain a directory ("applications/iec104_server").
 * The file is either UCI text (config/option/list lines) or a JSON document (first character
 * '{'); both are read through the same paths, see platform/router/README.md.
 *
 * A list path is "<package>.<section type>", e.g. "iec104_server.iec104_connection"; a nested list
 * is "<package>.<type>[<row>].<child>", e.g. "modbus_poll.connection[2].channel". Rows (`index`)
 * are 1-based: index 1 is the first section of that type.
 * ------------------------------------------------------------------------------------------- */

/* The option's value (a `list` option: its values joined by single spaces), or null when the
 * package, the section or the option does not exist. */
char *uci_list_get(const char *path, int index, const char *option);
/* Non-zero when the option exists and equals `value` exactly. */
int uci_list_match(const char *path, int index, const char *option, const char *value);
/* Parse the option as a decimal integer (an optional sign, surrounding blanks allowed) into `out`;
 * non-zero on success. A missing option or trailing garbage leaves `out` untouched and gives 0. */
int uci_list_get_int(const char *path, int index, const char *option, int *out);
int uci_list_get_uint32(const char *path, int index, const char *option, uint32_t *out);
/* The number of sections in the list (0 when the package or the list does not exist). */
int uci_list_get_max_entry(const char *path);
/* The rows present in a list as one text of ascending numbers separated by single spaces
 * ("1 2 3"), or null when the list is missing or empty. `scope` "uci" reads a configuration list
 * (path as above); "usi" reads a list of the status store (the rows of "<list>[<row>].<field>"
 * keys). */
char *uci_list_get_current_entry(const char *scope, const char *path);

/* Plain paths: "<package>.<option>" (an option of the package's first section; for a JSON package
 * a top-level member), "<package>.<section>.<option>" with a named section, "@<type>[n]" (0-based,
 * negative counts from the end) or "<type>[row]" (1-based) in place of <section>. A path naming a
 * section without an option ("<package>.<section>") gives the section's type. */
char *uci_get(const char *path);
int uci_match(const char *path, const char *value);

/* The plain text of a password stored by the `uci_encrypt` tool, or null when `text` is not such
 * a value (for example a password stored in plain text) or does not decrypt with this device's
 * key. Callers try des3, then aes256, then use the text as it stands. */
char *uci_des3_decrypt_from_base64(const char *text);
char *uci_aes256_decrypt_from_base64(const char *text);

/* ---------------------------------------------------------------------------------------------
 * usi status store. Keys are dotted names ("system.serial_number"); a field of a list row is the
 * key "<list>[<row>].<field>" (row 1-based), so usi_list_set("modbus_poll.channel", 3, "status",
 * "ok") and usi_set("modbus_poll.channel[3].status", "ok") are the same write.
 * Keys are at most USI_KEY_MAX bytes (longer keys are refused); values longer than USI_VALUE_MAX
 * bytes are cut to that length.
 * ------------------------------------------------------------------------------------------- */
#define USI_KEY_MAX 255
#define USI_VALUE_MAX 4095

char *usi_get(const char *key);
int usi_set(const char *key, const char *value);
int usi_printf(const char *key, const char *format, ...) __attribute__((format(printf, 2, 3)));
/* Removes the key and everything below it: usi_del("dnp3_to_iec104.iec104_status[2]") removes
 * every field of that row. 0 also when nothing was there. */
int usi_del(const char *key);
int usi_match(const char *key, const char *value);
char *usi_list_get(const char *list, int index, const char *field);
int usi_list_set(const char *list, int index, const char *field, const char *value);

/* ---------------------------------------------------------------------------------------------
 * Strings.
 * ------------------------------------------------------------------------------------------- */
char *lib_string_clone(const char *text);
int lib_string_is_not_empty(const char *text);
/* Non-zero when `text` is non-empty and made of the digits 0-9 only. */
int lib_string_is_digit(const char *text);
/* Non-zero when both texts exist and are equal. */
int lib_string_cmp(const char *a, const char *b);
/* Decimal digits only (no sign, no blanks), at most 4294967295; non-zero on success. */
int lib_string_to_uint32_t(const char *text, uint32_t *value);
/* Splits `text` in place at every `separator`, storing at most `max` pointers into `parts`; when
 * there are more fields, the last part keeps the unsplit rest. Empty fields are kept. Returns the
 * number of parts stored (0 for a null or empty text). */
int lib_string_split(char *text, char separator, char *parts[], int max);
/* The part after the last '/', pointing into `path` ("" for null). */
const char *lib_basename(const char *path);

/* ---------------------------------------------------------------------------------------------
 * Files (router paths).
 * ------------------------------------------------------------------------------------------- */
int lib_file_exists(const char *path); /* non-zero for an existing entry that is not a directory */
int lib_dir_exists(const char *path);
/* Creates the file when missing (mode 0644, the directory must exist) and sets its times to now. */
int lib_file_touch(const char *path);
int lib_remove_file(const char *path);
/* Reads at most size - 1 bytes of the file into `buffer` under a shared lock (so a writer holding
 * the whole-file write lock is never seen half-way) and terminates it. Returns the number of bytes
 * stored, or -1 (with buffer[0] = 0 when size > 0). */
int lib_file_safe_read(const char *path, char *buffer, int size);

/* ---------------------------------------------------------------------------------------------
 * Network and devices.
 * ------------------------------------------------------------------------------------------- */
/* The first IPv4 address of `host` as dotted text, or null. */
char *lib_resolve_domain_name(const char *host);
/* Non-zero for a dotted-quad IPv4 address ("192.168.1.1"). */
int lib_is_valid_ipv4_address(const char *text);
/* TCP keep-alive on a connected socket (idle 30 s, probes every 10 s, 3 probes). */
int lib_sock_enable_keepalive(int fd);
/* Opens a serial device in raw mode: baud rate (50 to 4000000, a standard rate), data bits 5-8,
 * stop bits 1 or 2, parity 0 none, 1 odd, 2 even; flow_control non-zero selects RTS/CTS. The
 * descriptor is blocking, without controlling terminal, and reads return as soon as one byte is
 * there. Returns the descriptor, or -1 when the device cannot be opened, -2 for a setting out of
 * range, -3 when the line cannot be configured. */
int serial_open(const char *device, int baud, int data_bits, int stop_bits, int parity, int flow_control);

/* ---------------------------------------------------------------------------------------------
 * Processes. Programs are found through PATH; an absolute program path is a router path.
 * ------------------------------------------------------------------------------------------- */
/* Runs the null-terminated argument vector (no shell). `path`, when given, receives the child's
 * standard output and error: "file" or ">file" truncates, ">>file" appends. With a null `ppid`
 * waits for the child (at most `timeout` seconds when timeout > 0, then kills it) and returns its
 * exit status (0 is success; 128 + n when killed by signal n; -1 when it could not be started or
 * timed out). With `ppid`, stores the child's process id there and returns 0 at once; reaping the
 * child is the caller's (its SIGCHLD handler's) job. */
int _eval(const char *const argv[], const char *path, int timeout, int *ppid);
/* Formats a command line and runs it with `sh -c`, waiting for it; returns its exit status as
 * _eval does. Values placed into the command are the caller's to quote. */
int exec_printf(const char *format, ...) __attribute__((format(printf, 1, 2)));

#ifdef __cplusplus
}
#endif

#endif /* FIELDBRIDGE_LIBROUTER_H */
