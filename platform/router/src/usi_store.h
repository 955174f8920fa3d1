// The usi status store: one memory-mapped file shared by every process (default
// /var/run/usi/store under the root prefix), holding a hash table of keys into an arena of
// key/value records, guarded by a robust process-shared mutex in the file's header page.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace router::usi {

// Router path of the store file.
inline constexpr const char *kStorePath = "/var/run/usi/store";

std::optional<std::string> get(std::string_view key);
// false when the key is invalid or the store cannot be used (logged).
bool set(std::string_view key, std::string_view value);
// Removes the key and every key below it ("key.x", "key[n]..."); false only when the store cannot
// be used.
bool remove(std::string_view key);
// Every (key, value) whose key starts with `prefix`, sorted by key; false when the store cannot
// be used (nothing stored yet is not an error).
bool list(std::string_view prefix, std::vector<std::pair<std::string, std::string>> &out);
// The rows present in list `list` (keys "<list>[row]..."), ascending.
std::vector<int> rows(std::string_view list);

bool valid_key(std::string_view key);

} // namespace router::usi
