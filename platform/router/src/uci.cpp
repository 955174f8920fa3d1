#include "log.h"
#include "uci_path.h"
#include "uci_store.h"
#include "unique_fd.h"
#include "usi_store.h"

#include <librouter.h>
#include <uci.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

#include "fieldbridge/root.h"

struct uci_context {
    int reserved;
};

namespace router::uci {

namespace {

// Configuration files are small; anything larger is not a configuration file.
constexpr off_t kMaxFileSize = 8 * 1024 * 1024;

struct FileVersion {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = 0;
    long mtime_sec = 0;
    long mtime_nsec = 0;
    bool operator==(const FileVersion &) const = default;
};

FileVersion version_of(const struct stat &st)
{
    return {st.st_dev, st.st_ino, st.st_size, static_cast<long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec};
}

// File systems stamp modification times from a coarse clock, so a file rewritten twice within one
// tick with the same size looks unchanged. A file modified in the last two seconds is therefore
// read again on every lookup until its time stamp has aged.
bool modified_recently(const FileVersion &version)
{
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return now.tv_sec - version.mtime_sec < 2;
}

struct CacheEntry {
    FileVersion version;
    bool recent = false; // modified too recently for its time stamp to tell a later rewrite apart
    std::shared_ptr<const Package> package; // null: the file failed to load (already logged)
};

std::mutex g_cache_mutex;
std::map<std::string, CacheEntry> g_cache;
std::atomic<int> g_contexts{0};

ReadStatus read_fd(int fd, const std::string &file, std::string &text, std::string &error)
{
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "uci: cannot read " + file + ": not a regular file";
        return ReadStatus::Unreadable;
    }
    if (st.st_size > kMaxFileSize) {
        error = "uci: cannot read " + file + ": file too large";
        return ReadStatus::Unreadable;
    }
    text.clear();
    char buffer[16384];
    while (true) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = "uci: cannot read " + file + ": " + std::strerror(errno);
            return ReadStatus::Unreadable;
        }
        if (n == 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
        if (text.size() > static_cast<size_t>(kMaxFileSize)) {
            error = "uci: cannot read " + file + ": file too large";
            return ReadStatus::Unreadable;
        }
    }
    return ReadStatus::Ok;
}

ReadStatus open_and_parse(const std::string &file, std::string &text, Package &package, std::string &error,
                          FileVersion *version)
{
    UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY));
    if (!fd) {
        if (errno == ENOENT || errno == ENOTDIR)
            return ReadStatus::Missing;
        error = "uci: cannot read " + file + ": " + std::strerror(errno);
        return ReadStatus::Unreadable;
    }
    if (version) {
        struct stat st;
        if (::fstat(fd.get(), &st) == 0)
            *version = version_of(st);
    }
    ReadStatus status = read_fd(fd.get(), file, text, error);
    if (status != ReadStatus::Ok)
        return status;
    ParseError parse_error;
    if (!parse_package(text, package, parse_error)) {
        error = "uci: error in " + file + " line " + std::to_string(parse_error.line) + ": " + parse_error.message;
        return ReadStatus::Malformed;
    }
    return ReadStatus::Ok;
}

std::string join_rows(const std::vector<int> &rows)
{
    std::string out;
    for (int row : rows) {
        if (!out.empty())
            out.push_back(' ');
        out += std::to_string(row);
    }
    return out;
}

} // namespace

std::string package_file(std::string_view package)
{
    if (!valid_package(package))
        return {};
    std::string applications = fb::root_path("/etc/config/applications/" + std::string(package));
    struct stat st;
    if (::stat(applications.c_str(), &st) == 0)
        return applications;
    return fb::root_path("/etc/config/" + std::string(package));
}

ReadStatus read_package(const std::string &file, std::string &text, Package &package, std::string &error)
{
    return open_and_parse(file, text, package, error, nullptr);
}

std::shared_ptr<const Package> load(std::string_view package)
{
    const std::string file = package_file(package);
    if (file.empty())
        return nullptr;
    struct stat st;
    if (::stat(file.c_str(), &st) != 0)
        return nullptr;
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    auto found = g_cache.find(file);
    if (found != g_cache.end() && !found->second.recent && found->second.version == version_of(st))
        return found->second.package;

    auto parsed = std::make_shared<Package>();
    std::string text, error;
    FileVersion version = version_of(st);
    ReadStatus status = open_and_parse(file, text, *parsed, error, &version);
    if (status == ReadStatus::Missing)
        return nullptr;
    // A broken file is reported once per version, not on every lookup.
    const bool reported = found != g_cache.end() && found->second.version == version && !found->second.package;
    CacheEntry entry;
    entry.version = version;
    entry.recent = modified_recently(version);
    if (status == ReadStatus::Ok)
        entry.package = std::move(parsed);
    else if (!reported)
        log_message(LOG_ERR, "%s", error.c_str());
    g_cache[file] = entry;
    return entry.package;
}

bool write_file_atomically(const std::string &file, std::string_view text, std::string &error)
{
    std::string temp = file + ".XXXXXX";
    UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) {
        error = "cannot write " + file + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    mode_t mode = ::stat(file.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    ::fchmod(fd.get(), mode);
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd.get(), text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "cannot write " + file + ": " + std::strerror(errno);
            ::unlink(temp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (::fsync(fd.get()) != 0 || ::rename(temp.c_str(), file.c_str()) != 0) {
        error = "cannot write " + file + ": " + std::strerror(errno);
        ::unlink(temp.c_str());
        return false;
    }
    return true;
}

std::vector<std::string> package_names()
{
    std::vector<std::string> names;
    auto scan = [&names](const std::string &dir, const std::string &prefix) {
        DIR *handle = ::opendir(dir.c_str());
        if (!handle)
            return;
        while (dirent *entry = ::readdir(handle)) {
            std::string name = entry->d_name;
            struct stat st;
            if (!valid_package(name) || ::stat((dir + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode))
                continue;
            names.push_back(prefix + name);
        }
        ::closedir(handle);
    };
    scan(fb::root_path("/etc/config"), "");
    scan(fb::root_path("/etc/config/applications"), "applications/");
    std::sort(names.begin(), names.end());
    return names;
}

namespace {

// "package.type" of the list calls.
std::shared_ptr<const Package> load_list(const char *path, std::string &type)
{
    if (!path)
        return nullptr;
    std::string_view text(path);
    size_t dot = text.find('.');
    if (dot == std::string_view::npos)
        return nullptr;
    type = std::string(text.substr(dot + 1));
    if (!valid_type(type))
        return nullptr;
    return load(text.substr(0, dot));
}

const Option *list_option(const Package &package, const std::string &type, int index, const char *option)
{
    if (!option || index < 1)
        return nullptr;
    auto rows = package.list(type);
    if (static_cast<size_t>(index) > rows.size())
        return nullptr;
    return rows[static_cast<size_t>(index - 1)]->find(option);
}

std::string trimmed(const std::string &text)
{
    size_t begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string::npos)
        return {};
    size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

// The value a plain path names: an option, a section's type, or nothing.
std::optional<std::string> path_value(const char *text)
{
    if (!text)
        return std::nullopt;
    Path path;
    std::string error;
    if (!parse_path(text, path, error))
        return std::nullopt;
    auto package = load(path.package);
    if (!package)
        return std::nullopt;
    return resolve(*package, path);
}

} // namespace

} // namespace router::uci

using namespace router::uci;

extern "C" {

struct uci_context *uci_alloc_context(void)
{
    auto *ctx = static_cast<uci_context *>(std::calloc(1, sizeof(uci_context)));
    if (ctx)
        ++g_contexts;
    return ctx;
}

void uci_free_context(struct uci_context *ctx)
{
    if (!ctx)
        return;
    std::free(ctx);
    if (--g_contexts == 0) {
        std::lock_guard<std::mutex> lock(g_cache_mutex);
        g_cache.clear();
    }
}

char *uci_list_get(const char *path, int index, const char *option)
{
    std::string type;
    auto package = load_list(path, type);
    if (!package)
        return nullptr;
    const Option *found = list_option(*package, type, index, option);
    return found ? strdup(found->joined().c_str()) : nullptr;
}

int uci_list_match(const char *path, int index, const char *option, const char *value)
{
    if (!value)
        return 0;
    char *found = uci_list_get(path, index, option);
    int equal = found && std::strcmp(found, value) == 0;
    std::free(found);
    return equal ? 1 : 0;
}

int uci_list_get_int(const char *path, int index, const char *option, int *out)
{
    char *found = uci_list_get(path, index, option);
    if (!found)
        return 0;
    std::string text = trimmed(found);
    std::free(found);
    if (text.empty() || !out)
        return 0;
    errno = 0;
    char *end = nullptr;
    long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || value < INT_MIN || value > INT_MAX)
        return 0;
    *out = static_cast<int>(value);
    return 1;
}

int uci_list_get_uint32(const char *path, int index, const char *option, uint32_t *out)
{
    char *found = uci_list_get(path, index, option);
    if (!found)
        return 0;
    std::string text = trimmed(found);
    std::free(found);
    if (!out)
        return 0;
    return lib_string_to_uint32_t(text.c_str(), out);
}

int uci_list_get_max_entry(const char *path)
{
    std::string type;
    auto package = load_list(path, type);
    return package ? static_cast<int>(package->list(type).size()) : 0;
}

char *uci_list_get_current_entry(const char *scope, const char *path)
{
    if (!scope || !path)
        return nullptr;
    std::vector<int> rows;
    if (std::strcmp(scope, "uci") == 0) {
        int count = uci_list_get_max_entry(path);
        for (int row = 1; row <= count; ++row)
            rows.push_back(row);
    } else if (std::strcmp(scope, "usi") == 0) {
        rows = router::usi::rows(path);
    }
    if (rows.empty())
        return nullptr;
    return strdup(join_rows(rows).c_str());
}

char *uci_get(const char *path)
{
    auto value = path_value(path);
    return value ? strdup(value->c_str()) : nullptr;
}

int uci_match(const char *path, const char *value)
{
    auto found = path_value(path);
    return value && found && *found == value ? 1 : 0;
}

} // extern "C"
