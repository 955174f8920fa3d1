// Texts that would do harm if a shell, a printf format, a JSON text or a mail header took them
// literally. Each "touch" names a file under `marker` that must never appear.
#pragma once

#include <string>
#include <vector>

namespace fbtest_hostile
{

inline std::vector<std::string> values(const std::string &marker)
{
    const std::string m = marker;
    std::vector<std::string> v = {
        "; touch " + m + "1",
        "$(touch " + m + "2)",
        "`touch " + m + "3`",
        "' ; touch " + m + "4 ; '",
        "\" ; touch " + m + "5 ; \"",
        "| touch " + m + "6",
        "&& touch " + m + "7",
        "|| touch " + m + "8",
        "\ntouch " + m + "9\n",
        "> " + m + "10",
        ">> " + m + "11",
        "IFS=x; touch " + m + "12",
        "\"; touch " + m + "13; echo \"",
        "$(printf x > " + m + "14)",
        "< /etc/passwd",
        "$(id)",
        "${HOME}",
        "$HOME",
        "$((1+1))",
        "$'\\x41'",
        "%s%s%s%n",
        "%d %x %p 100%",
        "%",
        "\\n\\t\\\\",
        "\\",
        "a\\",
        "\\\"",
        "'",
        "\"",
        "``",
        "!!",
        "*",
        "/*",
        "~root",
        "-",
        "-t",
        "--help",
        "-oQ/tmp/x --read-envelope-from",
        "\r\nBcc: victim@example.com",
        "\r\nSubject: injected",
        "\nX-Injected: 1",
        "\r\n\r\nbody after an injected blank line",
        "\r\n.\r\nMAIL FROM:<x@example.com>\r\nRCPT TO:<y@example.com>",
        ".",
        ".\n.",
        "{\"name\":\"x\"}",
        "\", \"level\": \"critical",
        "\"}",
        "\t tab and\ttabs",
        "\x01\x02\x1b[31mred\x1b[0m",
        "\x7f del",
        "\xff\xfe\xfd",
        "\xc3\x28",
        "\xc0\xaf",
        "\xed\xa0\x80",
        "Gr\xc3\xbc\xc3\x9f"
        "e \xe6\xb8\xa9\xe5\xba\xa6 \xf0\x9f\x94\xa5",
        std::string(900, 'A'),
        std::string(990, 'B') + " " + std::string(990, 'C'),
    };
    std::string long_text;
    for (int i = 0; i < 400; ++i)
        long_text += "word" + std::to_string(i) + " ";
    v.push_back(long_text);
    return v;
}

} // namespace fbtest_hostile
