// Fixed paths map into the emulated tree only while the platform is emulated.
#include "platform/emulation.hpp"

#include <gtest/gtest.h>

#include <cstdlib>

TEST(emulation, production_paths_are_unchanged_without_root)
{
    ::unsetenv(platform::emul_root_env);
    EXPECT_EQ(platform::system_path("/usr/local/libexec/kelm/service.d"), "/usr/local/libexec/kelm/service.d");
    EXPECT_FALSE(platform::emulated_root());
}

TEST(emulation, paths_move_under_root_when_emulated)
{
    ::setenv(platform::emul_root_env, "/tmp/emul", 1);
    EXPECT_EQ(platform::system_path("/usr/local/etc/pellix-storage.config"), "/tmp/emul/fs/usr/local/etc/pellix-storage.config");
    ::setenv(platform::emul_root_env, "", 1);
    EXPECT_FALSE(platform::emulated_root());
    ::unsetenv(platform::emul_root_env);
}
