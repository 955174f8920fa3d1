// Texts placed inside hand-built JSON (bus events, notifications): a quote, a backslash or a
// control character in a value must stay inside its string instead of breaking the document.
#pragma once

#include <string>
#include <string_view>

namespace fb {

// `text` as the inside of a JSON string, without the surrounding quotes: quotes, backslashes and
// control characters escaped, every other byte (UTF-8 included) as it is.
std::string json_escape(std::string_view text);

} // namespace fb
