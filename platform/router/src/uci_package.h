// In-memory form of one configuration package, read from UCI text or from a JSON document, and
// the edits the `uci` tool makes to its file.
//
// UCI text: `package`, `config <type> [<name>]`, `option <name> <value>`, `list <name> <value>`
// statements, one per line; words are unquoted (a backslash escapes the next character),
// 'single-quoted' (taken literally) or "double-quoted" (a backslash escapes the next character),
// and adjacent parts join into one word; a quoted word may span lines; '#' starts a comment.
// A section type may name a nested list, "connection[2].channel", the sections of the child list
// "channel" of row 2 of "connection".
//
// JSON: top-level scalars are package options; a member holding an array of objects is a list of
// anonymous sections of that type, and arrays of objects inside row n of list "a" under member "b"
// form the list "a[n].b"; a member holding an object is a section named and typed by the member
// (an array of objects inside it, member "b" of object "a", is the list "a.b"); deeper objects are
// not addressable;
// arrays of scalars are list options. Scalars are taken in their text form (numbers as written by
// json-c, booleans as "true"/"false"); null members are absent.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace router::uci {

// Byte range of one statement in the source text, from the start of its line to just past the
// newline that ends it.
struct Span {
    size_t begin = 0;
    size_t end = 0;
    bool terminated = false; // ended by a line break (not by the end of the file)
};

struct Option {
    std::string name;
    std::vector<std::string> values; // one for `option`, one or more for `list`
    bool is_list = false;
    std::vector<Span> spans; // every statement that defined it (text form only)

    std::string joined() const; // list values joined by single spaces
};

struct Section {
    std::string type;
    std::string name; // empty for an anonymous section
    std::vector<Option> options;
    int line = 0;           // line of its `config` statement (text form)
    size_t insert_at = 0;   // where a new option statement goes: after its last statement
    bool insert_after_break = false; // that statement ended with a line break

    const Option *find(std::string_view option) const;
};

enum class Format { Text, Json };

struct Package {
    Format format = Format::Text;
    std::vector<Section> sections;      // in file order
    std::vector<Option> package_options; // JSON top-level scalars

    // Sections of a list (section type), in file order.
    std::vector<const Section *> list(std::string_view type) const;
    const Section *named(std::string_view name) const;
    // An option of the package itself: a JSON top-level member, or for UCI text an option of the
    // first section (packages read this way hold a single section).
    const Option *package_option(std::string_view option) const;
};

struct ParseError {
    int line = 0;
    std::string message;
};

// Reads a package from its file contents; on failure `error` tells the line and the reason.
bool parse_package(std::string_view text, Package &package, ParseError &error);

// Valid names: options and section names [A-Za-z0-9_]+; section types such names, optionally
// joined as "a[1].b" (the list "b" in row 1 of "a") or "a.b" (the list "b" in section "a").
bool valid_name(std::string_view name);
bool valid_type(std::string_view type);

// The value quoted for a UCI text file: 'it''s' style, single quotes with '\'' for a quote.
std::string quote(std::string_view value);

// Where an edit applies.
struct Target {
    enum class Kind { PackageOption, NamedSection, Row } kind = Kind::PackageOption;
    std::string name; // NamedSection: the section name
    std::string type; // Row: the section type
    int row = 0;      // Row: 1-based
    std::string option;
};

// Sets an option in the file contents `text` (which `package` was parsed from), keeping every
// other statement, comment and blank line as it stands. A `list` option is replaced by a single
// `option`. Returns false with `error` when the section does not exist.
bool set_option(std::string_view text, const Package &package, const Target &target, std::string_view value,
                std::string &out, std::string &error);

} // namespace router::uci
