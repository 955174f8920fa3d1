// uci_encrypt: turns a password into the text stored in a configuration option, which the
// applets decrypt with this device's secret (see platform/router/README.md).
//   uci_encrypt [--aes256 | --des3] [PASSWORD]
// Without PASSWORD the first line of standard input is used, which keeps it out of `ps`.
#include "secret.h"

#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

int main(int argc, char **argv)
{
    auto cipher = router::secret::Cipher::Aes256;
    int arg = 1;
    if (arg < argc && std::strcmp(argv[arg], "--des3") == 0) {
        cipher = router::secret::Cipher::Des3;
        ++arg;
    } else if (arg < argc && std::strcmp(argv[arg], "--aes256") == 0) {
        ++arg;
    }
    if (argc - arg > 1 || (arg < argc && argv[arg][0] == '-' && argv[arg][1] == '-')) {
        std::fprintf(stderr, "usage: uci_encrypt [--aes256 | --des3] [PASSWORD]\n");
        return 2;
    }
    std::string plain;
    if (arg < argc) {
        plain = argv[arg];
    } else if (!std::getline(std::cin, plain)) {
        std::fprintf(stderr, "uci_encrypt: no password given\n");
        return 1;
    }
    if (!plain.empty() && plain.back() == '\r')
        plain.pop_back();
    auto text = router::secret::encrypt(cipher, plain);
    if (!text) {
        std::fprintf(stderr, "uci_encrypt: encryption failed\n");
        return 1;
    }
    std::printf("%s\n", text->c_str());
    return 0;
}
