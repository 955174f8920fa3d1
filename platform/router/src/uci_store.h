// Configuration packages on disk: which file a package is, a cache of parsed packages that follows
// changes to the files, and the atomic rewrite the `uci` tool uses.
#pragma once

#include "uci_package.h"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace router::uci {

// The file of a package (root prefix applied): /etc/config/applications/<name> when it exists,
// else /etc/config/<name>. Empty for an invalid name.
std::string package_file(std::string_view package);

// The parsed package, from the cache while its file is unchanged; null when the file is missing,
// unreadable or malformed (the last two are logged with file and line, once per file version).
std::shared_ptr<const Package> load(std::string_view package);

enum class ReadStatus { Ok, Missing, Unreadable, Malformed };
// Reads and parses a file afresh; `error` is a full message naming the file (and line).
ReadStatus read_package(const std::string &file, std::string &text, Package &package, std::string &error);

// Replaces the file's contents through a temporary file and a rename, so readers see either the
// old or the new contents. Keeps the file's mode.
bool write_file_atomically(const std::string &file, std::string_view text, std::string &error);

// Names of every package file under /etc/config and /etc/config/applications, sorted.
std::vector<std::string> package_names();

} // namespace router::uci
