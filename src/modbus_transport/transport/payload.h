// Payload templates: plain-text variables ($VALUE, $DATE, ...) replaced in table order, and the
// JSON text of combined payloads.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "transport/config.h"
#include "transport/reading.h"

struct json_object;

namespace transport {

struct TemplateContext {
    const TransportConfig &cfg;
    const Reading &reading;
    int connection; // poller connection the text is about
};

struct Variable {
    const char *token;
    int code;
    const char *label; // column title in CSV header lines
    std::string (*value)(const TemplateContext &ctx);
};

// Replaces every occurrence of `token` (left to right, non-overlapping).
void replace_every(std::string &text, std::string_view token, std::string_view value);

// For each variable of `table`, in order, that occurs in `tmpl` as written and whose code `use`
// accepts, replaces all its occurrences in the text built so far. The texts grow as needed: a
// value never gets cut to fit a fixed buffer.
std::string expand_template(const std::string &tmpl, const Variable *table, size_t count, const TemplateContext &ctx,
                            bool (*use)(int code) = nullptr);

// A looked-up text, or one space when the lookup gave nothing; frees the library's string.
std::string or_space(char *looked_up);

// json-c's default (spaced) serialisation.
std::string json_text(json_object *obj);

} // namespace transport
