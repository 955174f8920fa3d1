#include "uci_path.h"

#include <cstdlib>

namespace router::uci {

namespace {

bool parse_int(std::string_view text, bool allow_negative, int &value)
{
    if (text.empty() || text.size() > 9)
        return false;
    bool negative = false;
    if (allow_negative && text.front() == '-') {
        negative = true;
        text.remove_prefix(1);
        if (text.empty())
            return false;
    }
    int result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + (c - '0');
    }
    value = negative ? -result : result;
    return true;
}

bool parse_section(std::string_view reference, SectionRef &ref, std::string &error)
{
    const bool at = !reference.empty() && reference.front() == '@';
    if (at)
        reference.remove_prefix(1);
    if (!reference.empty() && reference.back() == ']') {
        size_t open = reference.rfind('[');
        if (open == std::string_view::npos) {
            error = "invalid section reference";
            return false;
        }
        std::string_view type = reference.substr(0, open);
        std::string_view number = reference.substr(open + 1, reference.size() - open - 2);
        int index = 0;
        if (!valid_type(type) || !parse_int(number, at, index) || (!at && index < 1)) {
            error = "invalid section reference";
            return false;
        }
        ref.kind = at ? SectionRef::Kind::At : SectionRef::Kind::Row;
        ref.name = std::string(type);
        ref.index = index;
        return true;
    }
    if (at || !valid_name(reference)) {
        error = "invalid section reference";
        return false;
    }
    ref.kind = SectionRef::Kind::Named;
    ref.name = std::string(reference);
    return true;
}

} // namespace

bool valid_package(std::string_view name)
{
    if (name.empty())
        return false;
    size_t start = 0;
    while (true) {
        size_t slash = name.find('/', start);
        std::string_view part = name.substr(start, slash == std::string_view::npos ? std::string_view::npos : slash - start);
        if (part.empty())
            return false;
        for (char c : part) {
            bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
            if (!ok)
                return false;
        }
        if (slash == std::string_view::npos)
            return true;
        start = slash + 1;
    }
}

bool parse_path(std::string_view text, Path &path, std::string &error)
{
    path = Path{};
    size_t dot = text.find('.');
    path.package = std::string(text.substr(0, dot));
    if (!valid_package(path.package)) {
        error = "invalid package name";
        return false;
    }
    if (dot == std::string_view::npos)
        return true;
    std::string_view rest = text.substr(dot + 1);
    if (rest.empty()) {
        error = "invalid path";
        return false;
    }
    if (rest.back() == ']')
        return parse_section(rest, path.section, error);
    size_t last = rest.rfind('.');
    if (last == std::string_view::npos) {
        if (!valid_name(rest)) {
            error = "invalid option name";
            return false;
        }
        path.word = std::string(rest);
        return true;
    }
    std::string_view option = rest.substr(last + 1);
    if (!valid_name(option)) {
        error = "invalid option name";
        return false;
    }
    path.option = std::string(option);
    return parse_section(rest.substr(0, last), path.section, error);
}

const Section *find_section(const Package &package, const SectionRef &ref)
{
    switch (ref.kind) {
    case SectionRef::Kind::None:
        return nullptr;
    case SectionRef::Kind::Named:
        return package.named(ref.name);
    case SectionRef::Kind::At:
    case SectionRef::Kind::Row: {
        auto rows = package.list(ref.name);
        long count = static_cast<long>(rows.size());
        long position = ref.kind == SectionRef::Kind::Row ? ref.index - 1L
                        : ref.index >= 0                  ? ref.index
                                                          : count + ref.index;
        if (position < 0 || position >= count)
            return nullptr;
        return rows[static_cast<size_t>(position)];
    }
    }
    return nullptr;
}

std::optional<std::string> resolve(const Package &package, const Path &path)
{
    if (!path.word.empty()) {
        if (const Section *section = package.named(path.word))
            return section->type;
        if (const Option *option = package.package_option(path.word))
            return option->joined();
        return std::nullopt;
    }
    const Section *section = find_section(package, path.section);
    if (!section)
        return std::nullopt;
    if (path.option.empty())
        return section->type;
    const Option *option = section->find(path.option);
    if (!option)
        return std::nullopt;
    return option->joined();
}

bool make_target(const Package &package, const SectionRef &ref, const std::string &option, Target &target)
{
    target = Target{};
    target.option = option;
    if (ref.kind == SectionRef::Kind::None) {
        target.kind = Target::Kind::PackageOption;
        return true;
    }
    const Section *section = find_section(package, ref);
    if (!section)
        return false;
    if (!section->name.empty()) {
        target.kind = Target::Kind::NamedSection;
        target.name = section->name;
        return true;
    }
    // Rows are what both forms of the file understand; turn @type[n] into one.
    auto rows = package.list(section->type);
    for (size_t i = 0; i < rows.size(); ++i) {
        if (rows[i] == section) {
            target.kind = Target::Kind::Row;
            target.type = section->type;
            target.row = static_cast<int>(i + 1);
            return true;
        }
    }
    return false;
}

} // namespace router::uci
