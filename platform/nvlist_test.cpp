// Name/value lists: repeated names, unique-name replacement, typed lookups, copies.
#include "platform/nvlist.hpp"

#include <gtest/gtest.h>

#include <cerrno>

using namespace platform::zfs;

TEST(nvlist, keeps_order_and_repeated_names_unless_unique)
{
    nvlist_t* raw = nullptr;
    ASSERT_EQ(nvlist_alloc(&raw, 0, 0), 0);
    nvlist_ptr list(raw);
    nvlist_t inner;
    nvlist_add_uint64(&inner, "state", 2);
    ASSERT_EQ(nvlist_add_nvlist(list.get(), "tank", &inner), 0);
    inner.pairs.clear();
    nvlist_add_uint64(&inner, "state", 0);
    ASSERT_EQ(nvlist_add_nvlist(list.get(), "tank", &inner), 0);
    ASSERT_EQ(nvlist_add_uint64(list.get(), "other", 5), 0);

    std::vector<uint64_t> states;
    for (nvpair_t* p = nvlist_next_nvpair(list.get(), nullptr); p != nullptr; p = nvlist_next_nvpair(list.get(), p)) {
        nvlist_t* config = nullptr;
        if (nvpair_value_nvlist(p, &config) != 0) {
            EXPECT_STREQ(nvpair_name(p), "other");
            continue;
        }
        uint64_t s = 99;
        ASSERT_EQ(nvlist_lookup_uint64(config, "state", &s), 0);
        states.push_back(s);
    }
    EXPECT_EQ(states, (std::vector<uint64_t>{2, 0}));  // the copies do not share storage

    nvlist_t* props = nullptr;
    ASSERT_EQ(nvlist_alloc(&props, NV_UNIQUE_NAME, 0), 0);
    nvlist_add_string(props, "cachefile", "/a");
    nvlist_add_string(props, "cachefile", "none");
    EXPECT_EQ(props->pairs.size(), 1u);
    const char* value = nullptr;
    ASSERT_EQ(nvlist_lookup_string(props, "cachefile", &value), 0);
    EXPECT_STREQ(value, "none");
    nvlist_free(props);
}

TEST(nvlist, lookups_tell_missing_from_mistyped)
{
    nvlist_t list;
    uint64_t stats[] = {0, 6, 0};
    nvlist_add_uint64_array(&list, "vdev_stats", stats, 3);
    nvlist_add_uint32(&list, "load-rewind-policy", 1);
    nvlist_t child;
    nvlist_add_string(&child, "path", "/dev/diskid/A");
    const nvlist_t* kids[] = {&child, &child};
    nvlist_add_nvlist_array(&list, "children", kids, 2);

    uint64_t* arr = nullptr;
    uint_t n = 0;
    ASSERT_EQ(nvlist_lookup_uint64_array(&list, "vdev_stats", &arr, &n), 0);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(arr[1], 6u);
    nvlist_t** children = nullptr;
    ASSERT_EQ(nvlist_lookup_nvlist_array(&list, "children", &children, &n), 0);
    ASSERT_EQ(n, 2u);
    const char* path = nullptr;
    EXPECT_EQ(nvlist_lookup_string(children[1], "path", &path), 0);
    EXPECT_STREQ(path, "/dev/diskid/A");

    uint64_t v = 0;
    nvlist_t* sub = nullptr;
    EXPECT_EQ(nvlist_lookup_uint64(&list, "missing", &v), ENOENT);
    EXPECT_EQ(nvlist_lookup_uint64(&list, "load-rewind-policy", &v), EINVAL);
    EXPECT_EQ(nvlist_lookup_nvlist(&list, "vdev_stats", &sub), EINVAL);
    EXPECT_EQ(nvlist_next_nvpair(nullptr, nullptr), nullptr);
    EXPECT_EQ(nvlist_add_string(&list, "x", nullptr), EINVAL);
}
