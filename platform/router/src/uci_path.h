// The router's configuration paths:
//   package                         a whole package
//   package.word                    an option of the package, or the type of section `word`
//   package.section[.option]        a named section
//   package.@type[n][.option]       the n-th section of a type, 0-based, negative from the end
//   package.type[row][.option]      the same with a 1-based row, as list rows are numbered
// `type` may name a nested list ("connection[2].channel").
#pragma once

#include "uci_package.h"

#include <optional>
#include <string>
#include <string_view>

namespace router::uci {

struct SectionRef {
    enum class Kind { None, Named, At, Row } kind = Kind::None;
    std::string name; // Named: the section name; At/Row: the section type
    int index = 0;    // At: 0-based or negative; Row: 1-based
};

struct Path {
    std::string package;
    SectionRef section;
    std::string option; // empty when the path names a section or a package
    std::string word;   // the "package.word" form, resolved against the package
};

bool valid_package(std::string_view name);
bool parse_path(std::string_view text, Path &path, std::string &error);

// The section a reference names in `package`, or null.
const Section *find_section(const Package &package, const SectionRef &ref);
// The value a path names in its package: an option's value (list values joined by spaces), or
// the type when the path names a section.
std::optional<std::string> resolve(const Package &package, const Path &path);
// The edit target of a section reference plus option, when the section exists.
bool make_target(const Package &package, const SectionRef &ref, const std::string &option, Target &target);

} // namespace router::uci
