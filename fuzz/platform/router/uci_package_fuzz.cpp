// Reads a configuration package (UCI text or JSON) from arbitrary bytes. When it reads, every
// path to every option resolves to that option's value, and setting an option through the editor
// gives a file that reads back with the new value and every other option unchanged.
#include "uci_package.h"
#include "uci_path.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace router::uci;

namespace {

void require(bool condition)
{
    if (!condition)
        std::abort();
}

// The path of a section as `uci show` prints it, without the package.
std::string section_ref(const Package &package, const Section &section)
{
    if (!section.name.empty())
        return section.name;
    auto rows = package.list(section.type);
    for (size_t i = 0; i < rows.size(); ++i)
        if (rows[i] == &section)
            return section.type + "[" + std::to_string(i + 1) + "]";
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    Package package;
    ParseError error;
    if (!parse_package(text, package, error)) {
        require(!error.message.empty() && error.line >= 0);
        return 0;
    }
    for (const auto &section : package.sections) {
        std::string ref = section_ref(package, section);
        for (const auto &option : section.options) {
            Path path;
            std::string message;
            require(parse_path("pkg." + ref + "." + option.name, path, message));
            auto value = resolve(package, path);
            // A named section that appears twice is one section; the first holds the options.
            if (package.named(section.name) == &section || section.name.empty())
                require(value && *value == option.joined());
        }
    }
    if (package.sections.empty())
        return 0;

    // Edit the last section and read the result back.
    const Section &last = package.sections.back();
    Path path;
    std::string message;
    require(parse_path("pkg." + section_ref(package, last) + ".fuzz_edit", path, message));
    Target target;
    require(make_target(package, path.section, path.option, target));
    const std::string value = "it's \"x\" \\ \n#no comment";
    std::string edited;
    require(set_option(text, package, target, value, edited, message));
    Package again;
    require(parse_package(edited, again, error));
    require(again.sections.size() == package.sections.size());
    auto resolved = resolve(again, path);
    require(resolved && *resolved == value);
    for (size_t i = 0; i + 1 < package.sections.size(); ++i)
        require(again.sections[i].options.size() == package.sections[i].options.size());
    return 0;
}
