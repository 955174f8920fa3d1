// uci: read and change configuration packages from a shell.
//   uci show [PACKAGE[.SECTION]]   every option as PATH='VALUE'
//   uci get PATH                   one value (a section's type for a section path)
//   uci set PATH=VALUE             change or add one option, keeping the rest of the file
#include "uci_path.h"
#include "uci_store.h"

#include <cstdio>
#include <cstring>
#include <string>

using namespace router::uci;

namespace {

int usage()
{
    std::fprintf(stderr, "usage: uci show [PACKAGE[.SECTION]]\n"
                         "       uci get PACKAGE.SECTION.OPTION\n"
                         "       uci set PACKAGE.SECTION.OPTION=VALUE\n"
                         "SECTION is a name, @type[n] (0-based) or type[row] (1-based).\n");
    return 2;
}

// Reads a package, printing the reason when it cannot be read.
bool read_or_report(const std::string &name, std::string &file, std::string &text, Package &package)
{
    file = package_file(name);
    if (file.empty()) {
        std::fprintf(stderr, "uci: invalid package name '%s'\n", name.c_str());
        return false;
    }
    std::string error;
    switch (read_package(file, text, package, error)) {
    case ReadStatus::Ok:
        return true;
    case ReadStatus::Missing:
        std::fprintf(stderr, "uci: package '%s' not found (%s)\n", name.c_str(), file.c_str());
        return false;
    default:
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
}

std::string values_text(const Option &option)
{
    std::string out;
    for (size_t i = 0; i < option.values.size(); ++i) {
        if (i)
            out.push_back(' ');
        out += quote(option.values[i]);
    }
    return out;
}

void print_section(const std::string &package_name, const Package &package, const Section &section)
{
    std::string ref = section.name;
    if (ref.empty()) {
        auto rows = package.list(section.type);
        for (size_t i = 0; i < rows.size(); ++i)
            if (rows[i] == &section)
                ref = section.type + "[" + std::to_string(i + 1) + "]";
    }
    std::printf("%s.%s=%s\n", package_name.c_str(), ref.c_str(), section.type.c_str());
    for (const auto &option : section.options)
        std::printf("%s.%s.%s=%s\n", package_name.c_str(), ref.c_str(), option.name.c_str(),
                    values_text(option).c_str());
}

int show(const char *what)
{
    std::vector<std::string> names;
    Path path;
    if (what) {
        std::string error;
        if (!parse_path(what, path, error) || !path.option.empty()) {
            std::fprintf(stderr, "uci: invalid argument '%s': %s\n", what, error.empty() ? "not a section" : error.c_str());
            return 1;
        }
        names.push_back(path.package);
    } else {
        names = package_names();
    }
    int status = 0;
    for (const auto &name : names) {
        std::string file, text;
        Package package;
        if (!read_or_report(name, file, text, package)) {
            status = 1;
            continue;
        }
        if (what && (!path.word.empty() || path.section.kind != SectionRef::Kind::None)) {
            SectionRef ref = path.section;
            if (!path.word.empty()) {
                ref.kind = SectionRef::Kind::Named;
                ref.name = path.word;
            }
            const Section *section = find_section(package, ref);
            if (!section) {
                std::fprintf(stderr, "uci: Entry not found\n");
                return 1;
            }
            print_section(name, package, *section);
            continue;
        }
        for (const auto &option : package.package_options)
            std::printf("%s.%s=%s\n", name.c_str(), option.name.c_str(), values_text(option).c_str());
        for (const auto &section : package.sections)
            print_section(name, package, section);
    }
    return status;
}

int get(const char *text_path)
{
    Path path;
    std::string error;
    if (!parse_path(text_path, path, error)) {
        std::fprintf(stderr, "uci: invalid path '%s': %s\n", text_path, error.c_str());
        return 1;
    }
    std::string file, text;
    Package package;
    if (!read_or_report(path.package, file, text, package))
        return 1;
    auto value = resolve(package, path);
    if (!value) {
        std::fprintf(stderr, "uci: Entry not found\n");
        return 1;
    }
    std::printf("%s\n", value->c_str());
    return 0;
}

int set(const char *assignment)
{
    const char *equals = std::strchr(assignment, '=');
    if (!equals) {
        std::fprintf(stderr, "uci: expected PATH=VALUE\n");
        return 1;
    }
    std::string text_path(assignment, static_cast<size_t>(equals - assignment));
    std::string value(equals + 1);
    Path path;
    std::string error;
    if (!parse_path(text_path, path, error)) {
        std::fprintf(stderr, "uci: invalid path '%s': %s\n", text_path.c_str(), error.c_str());
        return 1;
    }
    if (path.word.empty() && path.option.empty()) {
        std::fprintf(stderr, "uci: '%s' names no option\n", text_path.c_str());
        return 1;
    }
    std::string file, text;
    Package package;
    if (!read_or_report(path.package, file, text, package))
        return 1;
    if (!path.word.empty() && package.named(path.word)) {
        std::fprintf(stderr, "uci: '%s' is a section; give PACKAGE.SECTION.OPTION=VALUE\n", text_path.c_str());
        return 1;
    }
    Target target;
    bool found = path.word.empty() ? make_target(package, path.section, path.option, target)
                                   : make_target(package, SectionRef{}, path.word, target);
    std::string updated;
    if (!found) {
        std::fprintf(stderr, "uci: Entry not found\n");
        return 1;
    }
    if (!set_option(text, package, target, value, updated, error)) {
        std::fprintf(stderr, "uci: %s\n", error.c_str());
        return 1;
    }
    if (!write_file_atomically(file, updated, error)) {
        std::fprintf(stderr, "uci: %s\n", error.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    std::string command = argv[1];
    if (command == "show" && argc <= 3)
        return show(argc == 3 ? argv[2] : nullptr);
    if (command == "get" && argc == 3)
        return get(argv[2]);
    if (command == "set" && argc == 3)
        return set(argv[2]);
    return usage();
}
