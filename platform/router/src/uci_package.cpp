#include "uci_package.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

#include <json-c/json.h>

namespace router::uci {

std::string Option::joined() const
{
    std::string out;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i)
            out.push_back(' ');
        out += values[i];
    }
    return out;
}

const Option *Section::find(std::string_view option) const
{
    for (const auto &candidate : options)
        if (candidate.name == option)
            return &candidate;
    return nullptr;
}

std::vector<const Section *> Package::list(std::string_view type) const
{
    std::vector<const Section *> out;
    for (const auto &section : sections)
        if (section.type == type)
            out.push_back(&section);
    return out;
}

const Section *Package::named(std::string_view name) const
{
    if (name.empty())
        return nullptr;
    for (const auto &section : sections)
        if (section.name == name)
            return &section;
    return nullptr;
}

const Option *Package::package_option(std::string_view option) const
{
    if (format == Format::Json) {
        for (const auto &candidate : package_options)
            if (candidate.name == option)
                return &candidate;
        return nullptr;
    }
    return sections.empty() ? nullptr : sections.front().find(option);
}

bool valid_name(std::string_view name)
{
    if (name.empty())
        return false;
    for (char c : name) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok)
            return false;
    }
    return true;
}

bool valid_type(std::string_view type)
{
    // name ( ['[' digits ']'] '.' name )*: a list nested in a row ("connection[2].channel") or
    // in a named JSON object ("general.servers")
    while (true) {
        size_t end = type.find_first_of("[.");
        if (!valid_name(type.substr(0, end)))
            return false;
        if (end == std::string_view::npos)
            return true;
        if (type[end] == '[') {
            size_t close = type.find(']', end);
            if (close == std::string_view::npos || close == end + 1)
                return false;
            for (size_t i = end + 1; i < close; ++i)
                if (type[i] < '0' || type[i] > '9')
                    return false;
            end = close + 1;
            if (end >= type.size() || type[end] != '.')
                return false;
        }
        type.remove_prefix(end + 1);
    }
}

std::string quote(std::string_view value)
{
    std::string out = "'";
    for (char c : value) {
        if (c == '\'')
            out += "'\\''";
        else
            out.push_back(c);
    }
    out.push_back('\'');
    return out;
}

namespace {

// ---------------------------------------------------------------------------------------------
// UCI text

std::string printable(std::string_view word)
{
    std::string out;
    for (char c : word.substr(0, 32))
        out.push_back(c >= 0x20 && c < 0x7f ? c : '?');
    if (word.size() > 32)
        out += "...";
    return out;
}

class Lexer {
public:
    explicit Lexer(std::string_view text) : text_(text) {}

    enum class Result { Statement, End, Error };

    // Reads the words of the next statement, skipping blank lines and comments.
    Result next(std::vector<std::string> &words, Span &span, int &line, ParseError &error)
    {
        words.clear();
        bool started = false;
        while (true) {
            while (pos_ < text_.size() && (text_[pos_] == ' ' || text_[pos_] == '\t' || text_[pos_] == '\r'))
                ++pos_;
            if (pos_ >= text_.size()) {
                if (words.empty()) // nothing, or only line continuations
                    return Result::End;
                span.end = pos_;
                span.terminated = false;
                return Result::Statement;
            }
            char c = text_[pos_];
            if (c == '\n') {
                ++pos_;
                ++line_;
                if (words.empty()) {
                    started = false;
                    continue;
                }
                span.end = pos_;
                span.terminated = true;
                return Result::Statement;
            }
            if (c == '#') {
                while (pos_ < text_.size() && text_[pos_] != '\n')
                    ++pos_;
                continue;
            }
            if (!started) {
                started = true;
                line = line_;
                size_t line_start = text_.rfind('\n', pos_ == 0 ? 0 : pos_ - 1);
                span.begin = (line_start == std::string_view::npos || pos_ == 0) ? 0 : line_start + 1;
            }
            std::string word;
            bool has_part = false;
            if (!read_word(word, has_part, error))
                return Result::Error;
            if (has_part)
                words.push_back(std::move(word));
        }
    }

private:
    bool read_word(std::string &word, bool &has_part, ParseError &error)
    {
        while (pos_ < text_.size()) {
            char c = text_[pos_];
            if (c == ' ' || c == '\t' || c == '\r' || c == '\n')
                return true;
            if (c == '\0')
                return fail(error, line_, "NUL byte in the file");
            if (c == '\'') {
                int start_line = line_;
                has_part = true;
                ++pos_;
                while (true) {
                    if (pos_ >= text_.size())
                        return fail(error, start_line, "unterminated quote");
                    char q = text_[pos_++];
                    if (q == '\'')
                        break;
                    if (q == '\0')
                        return fail(error, line_, "NUL byte in the file");
                    if (q == '\n')
                        ++line_;
                    word.push_back(q);
                }
            } else if (c == '"') {
                int start_line = line_;
                has_part = true;
                ++pos_;
                while (true) {
                    if (pos_ >= text_.size())
                        return fail(error, start_line, "unterminated quote");
                    char q = text_[pos_++];
                    if (q == '"')
                        break;
                    if (q == '\0')
                        return fail(error, line_, "NUL byte in the file");
                    if (q == '\\') {
                        if (pos_ >= text_.size())
                            return fail(error, start_line, "unterminated quote");
                        q = text_[pos_++];
                        if (q == '\n') { // continuation: the line break is not part of the value
                            ++line_;
                            continue;
                        }
                        if (q == '\0')
                            return fail(error, line_, "NUL byte in the file");
                    } else if (q == '\n') {
                        ++line_;
                    }
                    word.push_back(q);
                }
            } else if (c == '\\') {
                if (pos_ + 1 >= text_.size())
                    return fail(error, line_, "backslash at the end of the file");
                char next = text_[pos_ + 1];
                pos_ += 2;
                if (next == '\n') {
                    ++line_;
                    continue;
                }
                if (next == '\0')
                    return fail(error, line_, "NUL byte in the file");
                has_part = true;
                word.push_back(next);
            } else {
                has_part = true;
                word.push_back(c);
                ++pos_;
            }
        }
        return true;
    }

    static bool fail(ParseError &error, int line, const char *message)
    {
        error.line = line;
        error.message = message;
        return false;
    }

    std::string_view text_;
    size_t pos_ = 0;
    int line_ = 1;
};

bool fail(ParseError &error, int line, std::string message)
{
    error.line = line;
    error.message = std::move(message);
    return false;
}

bool parse_text(std::string_view text, Package &package, ParseError &error)
{
    package = Package{};
    package.format = Format::Text;
    Lexer lexer(text);
    std::vector<std::string> words;
    Span span;
    int line = 0;
    Section *current = nullptr;
    while (true) {
        auto result = lexer.next(words, span, line, error);
        if (result == Lexer::Result::End)
            return true;
        if (result == Lexer::Result::Error)
            return false;
        const std::string &keyword = words[0];
        if (keyword == "package") {
            if (words.size() != 2)
                return fail(error, line, "expected: package <name>");
        } else if (keyword == "config") {
            if (words.size() < 2 || words.size() > 3)
                return fail(error, line, "expected: config <type> [<name>]");
            if (!valid_type(words[1]))
                return fail(error, line, "invalid section type '" + printable(words[1]) + "'");
            std::string name = words.size() == 3 ? words[2] : std::string();
            if (words.size() == 3 && !valid_name(name))
                return fail(error, line, "invalid section name '" + printable(name) + "'");
            // A named section that appears again continues the first one, as later statements of
            // a file override earlier ones.
            current = nullptr;
            if (!name.empty())
                for (auto &section : package.sections)
                    if (section.name == name)
                        current = &section;
            if (!current) {
                package.sections.emplace_back();
                current = &package.sections.back();
                current->name = std::move(name);
                current->line = line;
            }
            current->type = words[1];
            current->insert_at = span.end;
            current->insert_after_break = span.terminated;
        } else if (keyword == "option" || keyword == "list") {
            const bool is_list = keyword == "list";
            if (words.size() != 3)
                return fail(error, line, is_list ? "expected: list <name> <value>" : "expected: option <name> <value>");
            if (!current)
                return fail(error, line, "'" + keyword + "' before the first 'config'");
            if (!valid_name(words[1]))
                return fail(error, line, "invalid option name '" + printable(words[1]) + "'");
            Option *option = nullptr;
            for (auto &candidate : current->options)
                if (candidate.name == words[1])
                    option = &candidate;
            if (!option) {
                current->options.emplace_back();
                option = &current->options.back();
                option->name = words[1];
            }
            if (!is_list || !option->is_list)
                option->values.clear();
            option->is_list = is_list;
            option->values.push_back(std::move(words[2]));
            option->spans.push_back(span);
            current->insert_at = span.end;
            current->insert_after_break = span.terminated;
        } else {
            return fail(error, line, "unknown statement '" + printable(keyword) + "'");
        }
    }
}

// ---------------------------------------------------------------------------------------------
// JSON

struct JsonDeleter {
    void operator()(json_object *object) const { json_object_put(object); }
};
using JsonPtr = std::unique_ptr<json_object, JsonDeleter>;

struct TokenerDeleter {
    void operator()(json_tokener *tokener) const { json_tokener_free(tokener); }
};

constexpr int kJsonDepth = 32;

bool is_scalar(json_object *value)
{
    switch (json_object_get_type(value)) {
    case json_type_boolean:
    case json_type_double:
    case json_type_int:
    case json_type_string:
        return true;
    default:
        return false;
    }
}

bool all_objects(json_object *array)
{
    size_t n = json_object_array_length(array);
    for (size_t i = 0; i < n; ++i)
        if (!json_object_is_type(json_object_array_get_idx(array, i), json_type_object))
            return false;
    return true;
}

Option scalar_list(const char *name, json_object *array)
{
    Option option;
    option.name = name;
    option.is_list = true;
    size_t n = json_object_array_length(array);
    for (size_t i = 0; i < n; ++i) {
        json_object *element = json_object_array_get_idx(array, i);
        if (element)
            option.values.emplace_back(json_object_get_string(element));
    }
    return option;
}

// Turns JSON objects into sections, counting the rows of every list as it goes.
class JsonBuilder {
public:
    explicit JsonBuilder(Package &package) : package_(package) {}

    void add_section(const std::string &type, const std::string &name, json_object *object)
    {
        package_.sections.emplace_back();
        size_t index = package_.sections.size() - 1;
        package_.sections[index].type = type;
        package_.sections[index].name = name;
        std::string child_prefix;
        if (name.empty())
            child_prefix = type + "[" + std::to_string(++rows_[type]) + "].";
        else
            child_prefix = name + ".";
        add_members(index, child_prefix, object);
    }

private:
    // The members of one JSON object become the options of the section at `index` (the vector
    // grows while children are added, so no reference is held); arrays of objects among them
    // become the nested lists "<type>[row].<member>" (or "<name>.<member>" for a named section).
    void add_members(size_t index, const std::string &child_prefix, json_object *object)
    {
        json_object_object_foreach(object, key, value)
        {
            if (!value || !valid_name(key))
                continue; // not addressable through a path; the applets reading the JSON still see it
            if (is_scalar(value)) {
                Option option;
                option.name = key;
                option.values.emplace_back(json_object_get_string(value));
                package_.sections[index].options.push_back(std::move(option));
            } else if (json_object_is_type(value, json_type_array)) {
                if (json_object_array_length(value) > 0 && all_objects(value)) {
                    size_t n = json_object_array_length(value);
                    for (size_t i = 0; i < n; ++i)
                        add_section(child_prefix + key, {}, json_object_array_get_idx(value, i));
                } else {
                    package_.sections[index].options.push_back(scalar_list(key, value));
                }
            }
        }
    }

    Package &package_;
    std::map<std::string, size_t> rows_;
};

int line_of(std::string_view text, size_t offset)
{
    int line = 1;
    for (size_t i = 0; i < offset && i < text.size(); ++i)
        if (text[i] == '\n')
            ++line;
    return line;
}

bool parse_json(std::string_view text, Package &package, ParseError &error)
{
    package = Package{};
    package.format = Format::Json;
    std::unique_ptr<json_tokener, TokenerDeleter> tokener(json_tokener_new_ex(kJsonDepth));
    if (!tokener)
        return fail(error, 0, "out of memory");
    JsonPtr root(json_tokener_parse_ex(tokener.get(), text.data(), static_cast<int>(text.size())));
    json_tokener_error status = json_tokener_get_error(tokener.get());
    size_t end = json_tokener_get_parse_end(tokener.get());
    if (!root || status != json_tokener_success) {
        if (status == json_tokener_continue)
            return fail(error, line_of(text, text.size()), "JSON document ends too early");
        return fail(error, line_of(text, end), std::string("JSON: ") + json_tokener_error_desc(status));
    }
    for (size_t i = end; i < text.size(); ++i) {
        char c = text[i];
        if (c != ' ' && c != '\t' && c != '\r' && c != '\n')
            return fail(error, line_of(text, i), "text after the end of the JSON document");
    }
    if (!json_object_is_type(root.get(), json_type_object))
        return fail(error, 1, "the JSON document is not an object");

    JsonBuilder builder(package);
    json_object_object_foreach(root.get(), key, value)
    {
        if (!value || !valid_name(key))
            continue;
        if (is_scalar(value)) {
            Option option;
            option.name = key;
            option.values.emplace_back(json_object_get_string(value));
            package.package_options.push_back(std::move(option));
        } else if (json_object_is_type(value, json_type_array)) {
            if (json_object_array_length(value) > 0 && all_objects(value)) {
                size_t n = json_object_array_length(value);
                for (size_t i = 0; i < n; ++i)
                    builder.add_section(key, {}, json_object_array_get_idx(value, i));
            } else {
                package.package_options.push_back(scalar_list(key, value));
            }
        } else if (json_object_is_type(value, json_type_object)) {
            builder.add_section(key, key, value);
        }
    }
    return true;
}

// Steps from the document root to the object a target names: ("connection", 2), ("channel", 1)
// for the row 1 of "connection[2].channel".
bool json_locate(json_object *root, const Target &target, json_object **found, std::string &error)
{
    json_object *node = root;
    if (target.kind == Target::Kind::PackageOption) {
        *found = node;
        return true;
    }
    if (target.kind == Target::Kind::NamedSection) {
        json_object *child = nullptr;
        if (!json_object_object_get_ex(node, target.name.c_str(), &child) ||
            !json_object_is_type(child, json_type_object)) {
            error = "no section '" + target.name + "'";
            return false;
        }
        *found = child;
        return true;
    }
    // "a[2].b.c" is: row 2 of array "a", then object "b", then row target.row of array "c".
    const std::string missing = "no section " + target.type + "[" + std::to_string(target.row) + "]";
    std::string_view type = target.type;
    while (true) {
        size_t dot = type.find('.');
        std::string_view segment = type.substr(0, dot);
        size_t bracket = segment.find('[');
        std::string member(segment.substr(0, bracket));
        int row = 0;
        if (bracket != std::string_view::npos)
            row = std::atoi(std::string(segment.substr(bracket + 1)).c_str());
        else if (dot == std::string_view::npos)
            row = target.row;
        json_object *child = nullptr;
        if (!json_object_object_get_ex(node, member.c_str(), &child)) {
            error = missing;
            return false;
        }
        if (row == 0) { // a named object on the way
            if (!json_object_is_type(child, json_type_object)) {
                error = missing;
                return false;
            }
            node = child;
        } else {
            if (!json_object_is_type(child, json_type_array) || row < 1 ||
                static_cast<size_t>(row) > json_object_array_length(child)) {
                error = missing;
                return false;
            }
            node = json_object_array_get_idx(child, static_cast<size_t>(row - 1));
            if (!json_object_is_type(node, json_type_object)) {
                error = missing;
                return false;
            }
        }
        if (dot == std::string_view::npos)
            break;
        type.remove_prefix(dot + 1);
    }
    *found = node;
    return true;
}

bool set_json(std::string_view text, const Target &target, std::string_view value, std::string &out,
              std::string &error)
{
    std::unique_ptr<json_tokener, TokenerDeleter> tokener(json_tokener_new_ex(kJsonDepth));
    JsonPtr root(tokener ? json_tokener_parse_ex(tokener.get(), text.data(), static_cast<int>(text.size()))
                         : nullptr);
    if (!root || !json_object_is_type(root.get(), json_type_object)) {
        error = "the JSON document cannot be read";
        return false;
    }
    json_object *node = nullptr;
    if (!json_locate(root.get(), target, &node, error))
        return false;
    json_object_object_add(node, target.option.c_str(),
                           json_object_new_string_len(value.data(), static_cast<int>(value.size())));
    out = json_object_to_json_string_ext(root.get(), JSON_C_TO_STRING_PRETTY | JSON_C_TO_STRING_NOSLASHESCAPE);
    out.push_back('\n');
    return true;
}

const Section *text_section(const Package &package, const Target &target)
{
    switch (target.kind) {
    case Target::Kind::PackageOption:
        return package.sections.empty() ? nullptr : &package.sections.front();
    case Target::Kind::NamedSection:
        return package.named(target.name);
    case Target::Kind::Row: {
        auto rows = package.list(target.type);
        if (target.row < 1 || static_cast<size_t>(target.row) > rows.size())
            return nullptr;
        return rows[static_cast<size_t>(target.row - 1)];
    }
    }
    return nullptr;
}

bool set_text(std::string_view text, const Package &package, const Target &target, std::string_view value,
              std::string &out, std::string &error)
{
    const Section *section = text_section(package, target);
    if (!section) {
        error = target.kind == Target::Kind::PackageOption ? std::string("the package has no section")
                                                           : std::string("no such section");
        return false;
    }
    const Option *existing = section->find(target.option);
    std::string indent = "\t";
    if (existing && !existing->spans.empty()) {
        const Span &first = existing->spans.front();
        size_t i = first.begin;
        indent.clear();
        while (i < text.size() && (text[i] == ' ' || text[i] == '\t'))
            indent.push_back(text[i++]);
    }
    std::string statement = indent + "option " + target.option + " " + quote(value) + "\n";

    // Edits from the end of the text towards its start, so earlier offsets stay valid.
    struct Edit {
        size_t begin, end;
        std::string with;
    };
    std::vector<Edit> edits;
    if (existing) {
        for (size_t i = 0; i < existing->spans.size(); ++i) {
            const Span &span = existing->spans[i];
            std::string with;
            if (i + 1 == existing->spans.size()) {
                with = statement;
                if (!span.terminated)
                    with.pop_back(); // the statement ended the file without a line break
            }
            edits.push_back({span.begin, span.end, with});
        }
    } else {
        std::string with = statement;
        if (!section->insert_after_break)
            with.insert(with.begin(), '\n');
        edits.push_back({section->insert_at, section->insert_at, with});
    }
    out.assign(text);
    std::sort(edits.begin(), edits.end(), [](const Edit &a, const Edit &b) { return a.begin > b.begin; });
    for (const auto &edit : edits)
        out.replace(edit.begin, edit.end - edit.begin, edit.with);
    return true;
}

} // namespace

bool parse_package(std::string_view text, Package &package, ParseError &error)
{
    size_t first = text.find_first_not_of(" \t\r\n");
    if (first != std::string_view::npos && text[first] == '{')
        return parse_json(text, package, error);
    return parse_text(text, package, error);
}

bool set_option(std::string_view text, const Package &package, const Target &target, std::string_view value,
                std::string &out, std::string &error)
{
    if (!valid_name(target.option)) {
        error = "invalid option name '" + printable(target.option) + "'";
        return false;
    }
    if (package.format == Format::Json)
        return set_json(text, target, value, out, error);
    return set_text(text, package, target, value, out, error);
}

} // namespace router::uci
