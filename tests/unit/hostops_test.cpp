// Registering host operation tables: a null table is refused, and the empty slots of a table
// get the defaults.
#include "core/hostops.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace {

int counting_print(const char *, ...) {
    return 42;
}
int failing_system(const char *) {
    return 7;
}

TEST(HostOperations, NullTableIsRefused) {
    EXPECT_EQ(register_host_operations(nullptr), -1);
}

TEST(HostOperations, EmptySlotsGetTheirDefaults) {
    host_operations ops{};
    ops.print = counting_print;
    ops.system = failing_system;
    ASSERT_EQ(register_host_operations(&ops), 0);
    EXPECT_EQ(host().print("x"), 42);
    EXPECT_EQ(host().system("true"), 7);
    EXPECT_NE(host().open, nullptr);
    EXPECT_NE(host().seek, nullptr);
    EXPECT_NE(host().tell, nullptr);
    EXPECT_NE(host().close, nullptr);

    int fd = host().open("/dev/null", O_RDONLY, 0);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(host().seek(fd, 0, SEEK_SET), 0);
    EXPECT_EQ(host().tell(fd), 0);
    EXPECT_EQ(host().close(fd), 0);

    host_operations main_ops = main_host_operations();
    ASSERT_EQ(register_host_operations(&main_ops), 0);
}

} // namespace
