#include "usi_store.h"

#include "log.h"
#include "unique_fd.h"

#include <librouter.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <optional>
#include <pthread.h>
#include <set>
#include <sys/mman.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

#include "fieldbridge/root.h"

namespace router::usi {

namespace {

// File layout: one header page, then `bucket_count` buckets, then the record arena.
// A bucket holds the key's hash and the arena offset of its record (0 empty, kTombstone deleted).
// A record is {size, key length, value capacity, value length}, the key and a NUL, then room for
// value_cap bytes of value and a NUL. Values are updated in place while they fit, so the common
// write (a poller refreshing a value) is a lookup and a copy under the lock.
constexpr char kMagic[8] = {'F', 'B', 'U', 'S', 'I', 'S', 'T', '1'};
constexpr uint32_t kVersion = 1;
constexpr size_t kHeaderSize = 4096;
constexpr uint32_t kTombstone = UINT32_MAX;
constexpr uint32_t kMinBuckets = 512;
constexpr uint64_t kMinArena = 32 * 1024;
constexpr uint32_t kArenaStart = 8; // offset 0 means "empty bucket"

struct Header {
    char magic[8];
    uint32_t version;
    uint32_t header_size;
    pthread_mutex_t mutex;
    uint64_t file_size;
    uint64_t arena_offset;
    uint64_t arena_used;
    uint64_t dead_bytes;
    uint32_t bucket_count;
    uint32_t live;
    uint32_t tombstones;
    uint32_t busy; // set while the table is rebuilt; a holder dying then leaves it unusable
};
static_assert(sizeof(Header) <= kHeaderSize);

struct Bucket {
    uint32_t hash;
    uint32_t offset;
};

struct Record {
    uint32_t size;
    uint32_t key_len;
    uint32_t value_cap;
    uint32_t value_len;
    char *key() { return reinterpret_cast<char *>(this + 1); }
    char *value() { return key() + key_len + 1; }
};

constexpr size_t align8(size_t n)
{
    return (n + 7) & ~size_t{7};
}

size_t record_size(size_t key_len, size_t value_cap)
{
    return align8(sizeof(Record) + key_len + 1 + value_cap + 1);
}

uint32_t hash_key(std::string_view key)
{
    uint32_t h = 2166136261u;
    for (unsigned char c : key) {
        h ^= c;
        h *= 16777619u;
    }
    return h;
}

// Room for a value to grow a little before its record has to move.
uint32_t capacity_for(size_t length)
{
    size_t cap = std::max<size_t>(31, length + length / 4);
    return static_cast<uint32_t>(std::min<size_t>(cap, USI_VALUE_MAX));
}

std::string_view cut_value(std::string_view value)
{
    if (value.size() <= USI_VALUE_MAX)
        return value;
    size_t end = USI_VALUE_MAX;
    // Never leave half a UTF-8 character at the end.
    while (end > 0 && (static_cast<unsigned char>(value[end]) & 0xC0) == 0x80)
        --end;
    return value.substr(0, end);
}

bool below(std::string_view key, std::string_view base)
{
    if (key.size() < base.size() || key.compare(0, base.size(), base) != 0)
        return false;
    if (key.size() == base.size())
        return true;
    char next = key[base.size()];
    return next == '.' || next == '[';
}

class Store {
public:
    ~Store() { unmap(); }

    // Runs `fn` with the store locked and mapped; false when the store cannot be used.
    template <typename Fn>
    bool with_lock(Fn &&fn)
    {
        std::lock_guard<std::mutex> local(local_mutex_);
        if (!attach())
            return false;
        int rc = pthread_mutex_lock(&header_->mutex);
        bool owner_died = false;
        if (rc == EOWNERDEAD) {
            pthread_mutex_consistent(&header_->mutex);
            owner_died = true;
        } else if (rc != 0) {
            log_message(LOG_ERR, "usi: cannot lock the store %s: %s", path_.c_str(), std::strerror(rc));
            return false;
        }
        failed_ = false;
        damaged_ = false;
        bool ok = check_header() && remap_if_grown();
        if (ok) {
            // A writer that died half-way through a rebuild leaves the table unusable; one that
            // died during a simple update left at most that value torn.
            if (owner_died && (header_->busy || !check_all()))
                reset("a process died while changing it");
            fn();
            if (damaged_) {
                // The store was found damaged and cleared; do the operation on the clean one.
                damaged_ = false;
                fn();
            }
            ok = !failed_;
        }
        failed_ = false;
        pthread_mutex_unlock(&header_->mutex);
        return ok;
    }

    std::optional<std::string> get(std::string_view key)
    {
        std::optional<std::string> result;
        with_lock([&] {
            uint32_t h = hash_key(key);
            long at = find(key, h, nullptr);
            if (at >= 0) {
                Record *record = live_record(buckets()[at].offset);
                if (record)
                    result.emplace(record->value(), record->value_len);
            }
        });
        return result;
    }

    bool set(std::string_view key, std::string_view value)
    {
        return with_lock([&] { set_locked(key, value); });
    }

    bool remove(std::string_view key)
    {
        return with_lock([&] {
            Bucket *table = buckets();
            for (uint32_t i = 0; i < header_->bucket_count && !damaged_; ++i) {
                if (table[i].offset == 0 || table[i].offset == kTombstone)
                    continue;
                Record *record = live_record(table[i].offset);
                if (record && below(std::string_view(record->key(), record->key_len), key)) {
                    header_->dead_bytes += record->size;
                    table[i].offset = kTombstone;
                    --header_->live;
                    ++header_->tombstones;
                }
            }
        });
    }

    bool each(std::string_view prefix, const std::function<void(std::string_view, std::string_view)> &fn)
    {
        return with_lock([&] {
            Bucket *table = buckets();
            for (uint32_t i = 0; i < header_->bucket_count && !damaged_; ++i) {
                if (table[i].offset == 0 || table[i].offset == kTombstone)
                    continue;
                Record *record = live_record(table[i].offset);
                if (!record)
                    return;
                std::string_view key(record->key(), record->key_len);
                if (key.substr(0, prefix.size()) == prefix)
                    fn(key, std::string_view(record->value(), record->value_len));
            }
        });
    }

private:
    Bucket *buckets() { return reinterpret_cast<Bucket *>(data_ + kHeaderSize); }
    uint8_t *arena() { return data_ + header_->arena_offset; }

    // ------------------------------------------------------------------ attaching to the file

    bool attach()
    {
        std::string path = fb::root_path(kStorePath);
        struct stat st;
        bool same = header_ && path == path_ && ::stat(path.c_str(), &st) == 0 && st.st_dev == dev_ &&
                    st.st_ino == ino_;
        if (same) {
            seen_size_ = static_cast<uint64_t>(st.st_size);
            return true;
        }
        unmap();
        path_ = path;
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (open_existing())
                return true;
            if (!create())
                return false;
        }
        log_message(LOG_ERR, "usi: cannot open the store %s", path_.c_str());
        return false;
    }

    bool open_existing()
    {
        UniqueFd fd(::open(path_.c_str(), O_RDWR | O_CLOEXEC | O_NOCTTY));
        if (!fd) {
            if (errno != ENOENT)
                log_message(LOG_ERR, "usi: cannot open the store %s: %s", path_.c_str(), std::strerror(errno));
            return false;
        }
        struct stat st;
        if (::fstat(fd.get(), &st) != 0)
            return false;
        const char *problem = nullptr;
        void *head = MAP_FAILED;
        if (!S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(kHeaderSize)) {
            problem = "it is too short";
        } else {
            head = ::mmap(nullptr, kHeaderSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0);
            if (head == MAP_FAILED) {
                log_message(LOG_ERR, "usi: cannot map the store %s: %s", path_.c_str(), std::strerror(errno));
                return false;
            }
            auto *header = static_cast<Header *>(head);
            if (std::memcmp(header->magic, kMagic, sizeof kMagic) != 0)
                problem = "it is not a status store";
            else if (header->version != kVersion || header->header_size != kHeaderSize)
                problem = "it has another layout version";
        }
        if (problem) {
            if (head != MAP_FAILED)
                ::munmap(head, kHeaderSize);
            // Unusable: keep it aside for a person to look at and start a fresh store, as the
            // applets rewrite their status values as they run.
            std::string aside = path_ + ".bad";
            log_message(LOG_ERR, "usi: the store %s is unusable (%s); moved to %s", path_.c_str(), problem,
                        aside.c_str());
            ::rename(path_.c_str(), aside.c_str());
            return false;
        }
        fd_ = std::move(fd);
        seen_size_ = static_cast<uint64_t>(st.st_size);
        header_ = static_cast<Header *>(head);
        dev_ = st.st_dev;
        ino_ = st.st_ino;
        return true;
    }

    // A new store is prepared under a temporary name and linked into place, so no process ever
    // sees a half-initialised one; when two processes race, the first link wins.
    bool create()
    {
        std::string dir = path_.substr(0, path_.rfind('/'));
        if (!make_dirs(dir))
            return false;
        std::string temp = path_ + ".XXXXXX";
        UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
        if (!fd) {
            log_message(LOG_ERR, "usi: cannot create the store %s: %s", path_.c_str(), std::strerror(errno));
            return false;
        }
        ::fchmod(fd.get(), 0644);
        const uint64_t size = kHeaderSize + uint64_t{kMinBuckets} * sizeof(Bucket) + kMinArena;
        bool ok = ::posix_fallocate(fd.get(), 0, static_cast<off_t>(size)) == 0;
        void *map = ok ? ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd.get(), 0) : MAP_FAILED;
        if (map != MAP_FAILED) {
            auto *header = static_cast<Header *>(map);
            std::memset(map, 0, size);
            pthread_mutexattr_t attr;
            pthread_mutexattr_init(&attr);
            pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
            pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
            ok = pthread_mutex_init(&header->mutex, &attr) == 0;
            pthread_mutexattr_destroy(&attr);
            header->version = kVersion;
            header->header_size = kHeaderSize;
            header->file_size = size;
            header->bucket_count = kMinBuckets;
            header->arena_offset = kHeaderSize + uint64_t{kMinBuckets} * sizeof(Bucket);
            header->arena_used = kArenaStart;
            std::memcpy(header->magic, kMagic, sizeof kMagic); // last: marks the store complete
            ::munmap(map, size);
        } else {
            ok = false;
        }
        if (ok && ::link(temp.c_str(), path_.c_str()) != 0 && errno != EEXIST)
            ok = false;
        if (!ok)
            log_message(LOG_ERR, "usi: cannot create the store %s: %s", path_.c_str(), std::strerror(errno));
        ::unlink(temp.c_str());
        return ok;
    }

    static bool make_dirs(const std::string &dir)
    {
        struct stat st;
        if (dir.empty() || ::stat(dir.c_str(), &st) == 0)
            return true;
        size_t slash = dir.rfind('/');
        if (slash != std::string::npos && slash > 0 && !make_dirs(dir.substr(0, slash)))
            return false;
        if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
            log_message(LOG_ERR, "usi: cannot create %s: %s", dir.c_str(), std::strerror(errno));
            return false;
        }
        return true;
    }

    void unmap()
    {
        if (data_)
            ::munmap(data_, data_size_);
        if (header_)
            ::munmap(header_, kHeaderSize);
        data_ = nullptr;
        data_size_ = 0;
        header_ = nullptr;
        fd_.reset();
    }

    // The header page stays mapped at one address for the life of the attachment (the robust
    // mutex is registered with the kernel by address); the whole file is mapped a second time
    // and that mapping follows the file when another process grows it.
    bool remap_if_grown()
    {
        if (data_ && data_size_ == header_->file_size)
            return true;
        struct stat st;
        if (::fstat(fd_.get(), &st) != 0 || static_cast<uint64_t>(st.st_size) < header_->file_size) {
            log_message(LOG_ERR, "usi: the store %s is shorter than its header says", path_.c_str());
            return false;
        }
        if (data_)
            ::munmap(data_, data_size_);
        data_size_ = header_->file_size;
        void *map = ::mmap(nullptr, data_size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_.get(), 0);
        if (map == MAP_FAILED) {
            data_ = nullptr;
            data_size_ = 0;
            log_message(LOG_ERR, "usi: cannot map the store %s: %s", path_.c_str(), std::strerror(errno));
            return false;
        }
        data_ = static_cast<uint8_t *>(map);
        return true;
    }

    // ------------------------------------------------------------------ consistency

    bool header_sane() const
    {
        const Header &h = *header_;
        uint32_t n = h.bucket_count;
        return n >= 8 && (n & (n - 1)) == 0 && h.arena_offset == kHeaderSize + uint64_t{n} * sizeof(Bucket) &&
               h.arena_offset < h.file_size && h.arena_used >= kArenaStart &&
               h.arena_used <= h.file_size - h.arena_offset && h.file_size - h.arena_offset <= UINT32_MAX;
    }

    // Checks the header against the file as it is now. The header only changes under the lock,
    // so a header that does not fit means the file was damaged (or cut short) from outside; the
    // store is then laid out afresh in whatever file there is.
    bool check_header()
    {
        // The size seen when attaching is enough unless the file grew since, which only a
        // writer holding the lock does; then ask again.
        if (header_sane() && header_->file_size <= seen_size_)
            return true;
        struct stat st;
        if (::fstat(fd_.get(), &st) != 0)
            return false;
        uint64_t actual = static_cast<uint64_t>(st.st_size);
        seen_size_ = actual;
        if (header_sane() && header_->file_size <= actual)
            return true;
        const uint64_t minimum = kHeaderSize + uint64_t{kMinBuckets} * sizeof(Bucket) + kMinArena;
        if (actual < minimum) {
            int rc = ::posix_fallocate(fd_.get(), 0, static_cast<off_t>(minimum));
            if (rc != 0) {
                log_message(LOG_ERR, "usi: cannot repair the store %s: %s", path_.c_str(), std::strerror(rc));
                return false;
            }
            actual = minimum;
        }
        header_->bucket_count = kMinBuckets;
        header_->arena_offset = kHeaderSize + uint64_t{kMinBuckets} * sizeof(Bucket);
        header_->file_size = std::min<uint64_t>(actual, header_->arena_offset + UINT32_MAX);
        header_->arena_used = kArenaStart;
        if (data_) { // the old mapping may reach past the end of the file now
            ::munmap(data_, data_size_);
            data_ = nullptr;
            data_size_ = 0;
        }
        if (!remap_if_grown())
            return false;
        reset("its header did not match the file");
        return true;
    }

    bool check_all()
    {
        Bucket *table = buckets();
        for (uint32_t i = 0; i < header_->bucket_count; ++i)
            if (table[i].offset != 0 && table[i].offset != kTombstone && !record_at(table[i].offset))
                return false;
        return true;
    }

    void reset(const char *reason)
    {
        log_message(LOG_ERR, "usi: the store %s was inconsistent (%s); its values were cleared", path_.c_str(),
                    reason);
        header_->busy = 1;
        std::memset(buckets(), 0, uint64_t{header_->bucket_count} * sizeof(Bucket));
        header_->arena_used = kArenaStart;
        header_->dead_bytes = 0;
        header_->live = 0;
        header_->tombstones = 0;
        header_->busy = 0;
    }

    // The record at an arena offset, after checking that it lies wholly inside the used arena.
    Record *record_at(uint32_t offset)
    {
        uint64_t used = header_->arena_used;
        if (offset < kArenaStart || offset % 8 != 0 || uint64_t{offset} + sizeof(Record) > used)
            return nullptr;
        auto *record = reinterpret_cast<Record *>(arena() + offset);
        uint64_t need = uint64_t{sizeof(Record)} + uint64_t{record->key_len} + 1 + uint64_t{record->value_cap} + 1;
        if (record->size < need || uint64_t{offset} + record->size > used || record->value_len > record->value_cap ||
            record->key_len == 0 || record->key_len > USI_KEY_MAX || record->value_cap > USI_VALUE_MAX)
            return nullptr;
        return record;
    }

    // The record a bucket points at; a damaged one clears the store and ends the operation.
    Record *live_record(uint32_t offset)
    {
        Record *record = record_at(offset);
        if (!record)
            damaged("a damaged record");
        return record;
    }

    void damaged(const char *reason)
    {
        if (!damaged_)
            reset(reason);
        damaged_ = true;
    }

    // ------------------------------------------------------------------ table operations

    // The bucket holding `key`, or -1; `slot` receives where the key would be inserted (-1 when
    // the table has no free bucket).
    long find(std::string_view key, uint32_t h, long *slot)
    {
        Bucket *table = buckets();
        uint32_t mask = header_->bucket_count - 1;
        long tombstone = -1;
        uint32_t i = h & mask;
        for (uint32_t probe = 0; probe < header_->bucket_count; ++probe, i = (i + 1) & mask) {
            const Bucket &b = table[i];
            if (b.offset == 0) {
                if (slot)
                    *slot = tombstone >= 0 ? tombstone : static_cast<long>(i);
                return -1;
            }
            if (b.offset == kTombstone) {
                if (tombstone < 0)
                    tombstone = i;
                continue;
            }
            if (b.offset >= header_->arena_used || b.offset % 8 != 0) {
                damaged("a damaged bucket");
                return -1;
            }
            if (b.hash != h)
                continue;
            Record *record = live_record(b.offset);
            if (!record)
                return -1;
            if (std::string_view(record->key(), record->key_len) == key)
                return i;
        }
        if (slot)
            *slot = tombstone;
        return -1;
    }

    uint32_t append_record(std::string_view key, std::string_view value, uint32_t cap)
    {
        size_t size = record_size(key.size(), cap);
        uint32_t offset = static_cast<uint32_t>(header_->arena_used);
        auto *record = reinterpret_cast<Record *>(arena() + offset);
        record->size = static_cast<uint32_t>(size);
        record->key_len = static_cast<uint32_t>(key.size());
        record->value_cap = cap;
        record->value_len = static_cast<uint32_t>(value.size());
        std::memcpy(record->key(), key.data(), key.size());
        record->key()[key.size()] = '\0';
        std::memcpy(record->value(), value.data(), value.size());
        record->value()[value.size()] = '\0';
        header_->arena_used += size;
        return offset;
    }

    bool fits(size_t record_bytes, bool new_key) const
    {
        uint64_t arena_capacity = header_->file_size - header_->arena_offset;
        bool arena_ok = header_->arena_used + record_bytes <= arena_capacity;
        bool table_ok = !new_key || (uint64_t{header_->live} + header_->tombstones + 1) * 4 <= uint64_t{header_->bucket_count} * 3;
        return arena_ok && table_ok;
    }

    void set_locked(std::string_view key, std::string_view value)
    {
        uint32_t h = hash_key(key);
        long slot = -1;
        long at = find(key, h, &slot);
        if (damaged_)
            return;
        if (at >= 0) {
            Record *record = live_record(buckets()[at].offset);
            if (!record)
                return;
            if (value.size() <= record->value_cap) {
                std::memcpy(record->value(), value.data(), value.size());
                record->value()[value.size()] = '\0';
                record->value_len = static_cast<uint32_t>(value.size());
                return;
            }
            uint32_t cap = capacity_for(value.size());
            size_t size = record_size(key.size(), cap);
            if (!fits(size, false)) {
                rebuild(size);
                if (!failed_ && !damaged_)
                    set_locked(key, value);
                return;
            }
            header_->dead_bytes += record->size;
            buckets()[at].offset = append_record(key, value, cap);
            return;
        }
        uint32_t cap = capacity_for(value.size());
        size_t size = record_size(key.size(), cap);
        if (slot < 0 || !fits(size, true)) {
            rebuild(size);
            if (!failed_ && !damaged_)
                set_locked(key, value);
            return;
        }
        Bucket &bucket = buckets()[slot];
        if (bucket.offset == kTombstone)
            --header_->tombstones;
        uint32_t offset = append_record(key, value, cap);
        bucket.hash = h;
        bucket.offset = offset; // published last: the record is complete before it is reachable
        ++header_->live;
    }

    // Copies the live records out, sizes table and arena for them plus `extra` bytes, grows the
    // file when needed and writes everything back compacted.
    void rebuild(size_t extra)
    {
        std::vector<std::tuple<std::string, std::string, uint32_t>> live;
        uint64_t need = extra;
        Bucket *table = buckets();
        for (uint32_t i = 0; i < header_->bucket_count; ++i) {
            if (table[i].offset == 0 || table[i].offset == kTombstone)
                continue;
            Record *record = live_record(table[i].offset);
            if (!record)
                return;
            live.emplace_back(std::string(record->key(), record->key_len),
                              std::string(record->value(), record->value_len), record->value_cap);
            need += record->size;
        }
        uint32_t buckets_wanted = kMinBuckets;
        while ((uint64_t{live.size()} + 1) * 2 > buckets_wanted)
            buckets_wanted *= 2;
        uint64_t arena_capacity = std::max<uint64_t>(kMinArena, header_->file_size - header_->arena_offset);
        while (need + kArenaStart > arena_capacity / 2)
            arena_capacity *= 2;
        uint64_t arena_offset = kHeaderSize + uint64_t{buckets_wanted} * sizeof(Bucket);
        uint64_t size = std::max<uint64_t>(header_->file_size, arena_offset + arena_capacity);
        if (size - arena_offset > UINT32_MAX) {
            log_message(LOG_ERR, "usi: the store %s is full", path_.c_str());
            failed_ = true;
            return;
        }
        if (size > header_->file_size) {
            int rc = ::posix_fallocate(fd_.get(), 0, static_cast<off_t>(size));
            if (rc != 0) {
                log_message(LOG_ERR, "usi: cannot grow the store %s: %s", path_.c_str(), std::strerror(rc));
                failed_ = true;
                return;
            }
        }
        header_->busy = 1;
        header_->file_size = size;
        header_->bucket_count = buckets_wanted;
        header_->arena_offset = arena_offset;
        if (!remap_if_grown()) {
            failed_ = true;
            return; // busy stays set: the next locker finds the store inconsistent and clears it
        }
        std::memset(buckets(), 0, uint64_t{buckets_wanted} * sizeof(Bucket));
        header_->arena_used = kArenaStart;
        header_->dead_bytes = 0;
        header_->live = 0;
        header_->tombstones = 0;
        uint32_t mask = buckets_wanted - 1;
        for (const auto &[key, value, cap] : live) {
            uint32_t h = hash_key(key);
            uint32_t i = h & mask;
            while (buckets()[i].offset != 0)
                i = (i + 1) & mask;
            buckets()[i].hash = h;
            buckets()[i].offset = append_record(key, value, cap);
            ++header_->live;
        }
        header_->busy = 0;
    }

    std::mutex local_mutex_;
    std::string path_;
    UniqueFd fd_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
    Header *header_ = nullptr;
    uint8_t *data_ = nullptr;
    size_t data_size_ = 0;
    uint64_t seen_size_ = 0; // file size at the last check
    bool failed_ = false;  // the operation could not be done (logged)
    bool damaged_ = false; // damage was found and the store cleared during the operation
};

Store &store()
{
    static Store instance;
    return instance;
}

} // namespace

bool valid_key(std::string_view key)
{
    if (key.empty() || key.size() > USI_KEY_MAX)
        return false;
    for (char c : key)
        if (c <= 0x20 || c >= 0x7f)
            return false;
    return true;
}

std::optional<std::string> get(std::string_view key)
{
    if (!valid_key(key))
        return std::nullopt;
    return store().get(key);
}

bool set(std::string_view key, std::string_view value)
{
    if (!valid_key(key)) {
        log_message(LOG_ERR, "usi: invalid key '%.*s'", static_cast<int>(std::min<size_t>(key.size(), 64)),
                    key.data());
        return false;
    }
    return store().set(key, cut_value(value));
}

bool remove(std::string_view key)
{
    if (!valid_key(key))
        return false;
    return store().remove(key);
}

bool list(std::string_view prefix, std::vector<std::pair<std::string, std::string>> &out)
{
    out.clear();
    bool ok = store().each(prefix, [&out](std::string_view key, std::string_view value) {
        out.emplace_back(std::string(key), std::string(value));
    });
    std::sort(out.begin(), out.end());
    return ok;
}

std::vector<int> rows(std::string_view list_name)
{
    std::set<int> found;
    if (!valid_key(list_name))
        return {};
    std::string prefix = std::string(list_name) + "[";
    store().each(prefix, [&](std::string_view key, std::string_view) {
        key.remove_prefix(prefix.size());
        size_t close = key.find(']');
        if (close == 0 || close == std::string_view::npos || close > 9)
            return;
        int row = 0;
        for (size_t i = 0; i < close; ++i) {
            if (key[i] < '0' || key[i] > '9')
                return;
            row = row * 10 + (key[i] - '0');
        }
        if (row > 0)
            found.insert(row);
    });
    return {found.begin(), found.end()};
}

} // namespace router::usi
