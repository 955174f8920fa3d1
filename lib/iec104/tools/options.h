// Command-line parsing shared by the two programs: strict number parsing and the option set that
// configures a link (field sizes, k, w, t1..t3).
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "iec104/types.h"

namespace iec104::tools {

inline bool parse_long(const char *text, long min, long max, long &out)
{
    if (!text || !*text)
        return false;
    errno = 0;
    char *end = nullptr;
    const long v = std::strtol(text, &end, 0);
    if (errno != 0 || *end != '\0' || v < min || v > max)
        return false;
    out = v;
    return true;
}

inline bool parse_double(const char *text, double &out)
{
    if (!text || !*text)
        return false;
    errno = 0;
    char *end = nullptr;
    const double v = std::strtod(text, &end);
    if (errno != 0 || *end != '\0')
        return false;
    out = v;
    return true;
}

// Handles --cot-size, --ca-size, --ioa-size, -k, -w, --t1, --t2, --t3 (seconds). Returns 1 when
// argv[i] (and its value argv[i + 1]) was one of them, 0 when it was not, -1 for a bad value.
inline int parse_link_option(int argc, char **argv, int &i, AppLayerParameters &app, ApciParameters &apci)
{
    const char *opt = argv[i];
    struct LinkOption {
        const char *name;
        long min, max;
    };
    static constexpr LinkOption kOptions[] = {{"--cot-size", 1, 2}, {"--ca-size", 1, 2}, {"--ioa-size", 1, 3},
                                      {"-k", 1, 32767},     {"-w", 1, 32767},    {"--t1", 1, 3600},
                                      {"--t2", 1, 3600},    {"--t3", 1, 86400}};
    for (const LinkOption &s : kOptions) {
        if (std::strcmp(opt, s.name) != 0)
            continue;
        long v = 0;
        if (i + 1 >= argc || !parse_long(argv[i + 1], s.min, s.max, v))
            return -1;
        ++i;
        const std::string name = s.name;
        if (name == "--cot-size")
            app.cot_size = static_cast<uint8_t>(v);
        else if (name == "--ca-size")
            app.ca_size = static_cast<uint8_t>(v);
        else if (name == "--ioa-size")
            app.ioa_size = static_cast<uint8_t>(v);
        else if (name == "-k")
            apci.k = static_cast<uint16_t>(v);
        else if (name == "-w")
            apci.w = static_cast<uint16_t>(v);
        else if (name == "--t1")
            apci.t1 = std::chrono::seconds(v);
        else if (name == "--t2")
            apci.t2 = std::chrono::seconds(v);
        else
            apci.t3 = std::chrono::seconds(v);
        return 1;
    }
    return 0;
}

inline const char *level_name(LogLevel l)
{
    switch (l) {
    case LogLevel::Error: return "error";
    case LogLevel::Warning: return "warning";
    case LogLevel::Info: return "info";
    case LogLevel::Debug: return "debug";
    }
    return "?";
}

} // namespace iec104::tools
