#include "fieldbridge/root.h"
#include "fbtest/support.h"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(RootPath, PrefixesAbsolutePathsOnlyWhenRootIsSet)
{
    unsetenv("FIELDBRIDGE_ROOT");
    EXPECT_EQ(fb::root_path("/etc/config/applications/modbus_poll"), "/etc/config/applications/modbus_poll");
    {
        fbtest::TempRoot root;
        EXPECT_EQ(fb::root_path("/tmp/.usi/applications/modbus_poll"),
                  root.dir() + "/tmp/.usi/applications/modbus_poll");
        // Relative paths are the caller's business and stay as they are.
        EXPECT_EQ(fb::root_path("relative/file"), "relative/file");
    }
    EXPECT_EQ(std::getenv("FIELDBRIDGE_ROOT"), nullptr);
}

TEST(RootPath, TrailingSlashesOfTheRootAreIgnored)
{
    setenv("FIELDBRIDGE_ROOT", "/srv/gw//", 1);
    EXPECT_EQ(fb::root_prefix(), "/srv/gw");
    EXPECT_EQ(fb::root_path("/dev/RS485"), "/srv/gw/dev/RS485");
    setenv("FIELDBRIDGE_ROOT", "", 1);
    EXPECT_EQ(fb::root_path("/dev/RS485"), "/dev/RS485");
    unsetenv("FIELDBRIDGE_ROOT");
}
