// usi: read and change the status store from a shell.
//   usi show [PREFIX]    every KEY='VALUE' whose key starts with PREFIX, sorted
//   usi get KEY          one value
//   usi set KEY VALUE
//   usi del KEY          the key and everything below it (KEY.x, KEY[n]...)
#include "uci_package.h"
#include "usi_store.h"

#include <cstdio>
#include <string>

namespace {

int usage()
{
    std::fprintf(stderr, "usage: usi show [PREFIX]\n"
                         "       usi get KEY\n"
                         "       usi set KEY VALUE\n"
                         "       usi del KEY\n"
                         "A list field is KEY = LIST[ROW].FIELD, rows counted from 1.\n");
    return 2;
}

int invalid_key(const char *key)
{
    std::fprintf(stderr, "usi: invalid key '%s'\n", key);
    return 1;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return usage();
    std::string command = argv[1];
    if (command == "show" && argc <= 3) {
        std::vector<std::pair<std::string, std::string>> entries;
        if (!router::usi::list(argc == 3 ? argv[2] : "", entries)) {
            std::fprintf(stderr, "usi: the status store cannot be read\n");
            return 1;
        }
        for (const auto &[key, value] : entries)
            std::printf("%s=%s\n", key.c_str(), router::uci::quote(value).c_str());
        return 0;
    }
    if (command == "get" && argc == 3) {
        if (!router::usi::valid_key(argv[2]))
            return invalid_key(argv[2]);
        auto value = router::usi::get(argv[2]);
        if (!value) {
            std::fprintf(stderr, "usi: Entry not found\n");
            return 1;
        }
        std::printf("%s\n", value->c_str());
        return 0;
    }
    if (command == "set" && argc == 4) {
        if (!router::usi::valid_key(argv[2]))
            return invalid_key(argv[2]);
        if (!router::usi::set(argv[2], argv[3])) {
            std::fprintf(stderr, "usi: cannot write the status store\n");
            return 1;
        }
        return 0;
    }
    if (command == "del" && argc == 3) {
        if (!router::usi::valid_key(argv[2]))
            return invalid_key(argv[2]);
        if (!router::usi::remove(argv[2])) {
            std::fprintf(stderr, "usi: cannot write the status store\n");
            return 1;
        }
        return 0;
    }
    return usage();
}
