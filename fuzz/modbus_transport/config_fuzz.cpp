// Configuration documents: whatever the file holds, the loader either loads or refuses it.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <librouter.h>
#include <sys/stat.h>

#include "modbus_transport/modbus_flavour.h"
#include "transport/config.h"

namespace {

// The root lives as long as the process and is removed at exit.
struct TempDir {
    std::string dir;
    TempDir()
    {
        char tmpl[] = "/tmp/mtfuzz.XXXXXX";
        dir = mkdtemp(tmpl);
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

std::string setup_root()
{
    static TempDir temp;
    const std::string &dir = temp.dir;
    setenv("FIELDBRIDGE_ROOT", dir.c_str(), 1);
    for (const char *d : {"/etc", "/etc/config", "/etc/config/applications", "/tmp", "/tmp/.usi",
                          "/tmp/.usi/applications"})
        mkdir((dir + d).c_str(), 0755);
    usi_set("system.serial_number", "FUZZ");
    return dir + "/etc/config/applications/modbus_transport";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const std::string path = setup_root();
    static const modbus_transport::ModbusFlavour flavour;
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return 0;
    fwrite(data, 1, size, f);
    fclose(f);
    for (int index : {1, 2}) {
        transport::TransportConfig cfg;
        if (transport::conf_init(flavour, index, cfg) && cfg.index != index)
            abort();
    }
    return 0;
}
