// Linked into every test program: the locations of the build and the source tree, and the log
// mirror to standard error, for tests and for every process they start. ctest's own environment
// wins where it sets a value.
#include <cstdlib>

namespace {

struct TestEnvironment {
    TestEnvironment()
    {
        setenv("FB_BIN_DIR", FB_TESTENV_BIN_DIR, 0);
        setenv("FB_SOURCE_DIR", FB_TESTENV_SOURCE_DIR, 0);
        setenv("FB_BUILD_DIR", FB_TESTENV_BUILD_DIR, 0);
        setenv("FIELDBRIDGE_LOG_STDERR", "1", 0);
    }
};

const TestEnvironment environment;

} // namespace
