#include "transport/payload.h"

#include <cstdlib>

#include <json-c/json.h>

namespace transport {

void replace_every(std::string &text, std::string_view token, std::string_view value)
{
    if (token.empty())
        return;
    std::string out;
    size_t from = 0;
    for (;;) {
        size_t at = text.find(token, from);
        if (at == std::string::npos)
            break;
        out.append(text, from, at - from);
        out.append(value);
        from = at + token.size();
    }
    if (from == 0)
        return;
    out.append(text, from, std::string::npos);
    text.swap(out);
}

std::string expand_template(const std::string &tmpl, const Variable *table, size_t count, const TemplateContext &ctx,
                            bool (*use)(int code))
{
    std::string text = tmpl;
    for (size_t i = 0; i < count; ++i) {
        const Variable &v = table[i];
        if (use && !use(v.code))
            continue;
        if (tmpl.find(v.token) == std::string::npos)
            continue;
        replace_every(text, v.token, v.value(ctx));
    }
    return text;
}

std::string or_space(char *looked_up)
{
    std::string s = looked_up ? looked_up : " ";
    free(looked_up);
    return s;
}

std::string json_text(json_object *obj)
{
    const char *t = json_object_to_json_string(obj);
    return t ? t : "";
}

} // namespace transport
