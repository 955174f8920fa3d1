#include "log.h"
#include "unique_fd.h"

#include <librouter.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "fieldbridge/root.h"

namespace {

bool stat_path(const char *path, struct stat *st)
{
    if (!path || !*path)
        return false;
    return ::stat(fb::root_path(path).c_str(), st) == 0;
}

} // namespace

extern "C" {

int lib_file_exists(const char *path)
{
    struct stat st;
    return stat_path(path, &st) && !S_ISDIR(st.st_mode) ? 1 : 0;
}

int lib_dir_exists(const char *path)
{
    struct stat st;
    return stat_path(path, &st) && S_ISDIR(st.st_mode) ? 1 : 0;
}

int lib_file_touch(const char *path)
{
    if (!path || !*path)
        return -1;
    const std::string real = fb::root_path(path);
    router::UniqueFd fd(::open(real.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOCTTY, 0644));
    if (!fd) {
        router::log_message(LOG_ERR, "cannot create %s: %s", real.c_str(), std::strerror(errno));
        return -1;
    }
    return ::futimens(fd.get(), nullptr) == 0 ? 0 : -1;
}

int lib_remove_file(const char *path)
{
    if (!path || !*path)
        return -1;
    return ::unlink(fb::root_path(path).c_str()) == 0 ? 0 : -1;
}

int lib_file_safe_read(const char *path, char *buffer, int size)
{
    if (!buffer || size <= 0)
        return -1;
    buffer[0] = '\0';
    if (!path || !*path)
        return -1;
    const std::string real = fb::root_path(path);
    router::UniqueFd fd(::open(real.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd)
        return -1;
    // Status files are rewritten in place under a whole-file write lock; a shared lock keeps this
    // read from seeing one half-written.
    struct flock lock {};
    lock.l_type = F_RDLCK;
    lock.l_whence = SEEK_SET;
    while (::fcntl(fd.get(), F_SETLKW, &lock) != 0) {
        if (errno != EINTR)
            return -1;
    }
    int total = 0;
    while (total < size - 1) {
        ssize_t n = ::read(fd.get(), buffer + total, static_cast<size_t>(size - 1 - total));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            buffer[0] = '\0';
            return -1;
        }
        if (n == 0)
            break;
        total += static_cast<int>(n);
    }
    buffer[total] = '\0';
    return total; // closing the descriptor drops the lock
}

} // extern "C"
