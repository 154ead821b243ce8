// Name/value lists: building, walking and typed lookup.
#include "platform/nvlist.hpp"

#include <cerrno>
#include <new>

namespace platform::zfs {

namespace {

nvvalue copy_value(const nvvalue& v)
{
    if (auto* l = std::get_if<std::unique_ptr<nvlist_t>>(&v))
        return (*l) ? (*l)->clone() : std::make_unique<nvlist_t>();
    if (auto* a = std::get_if<nvlist_array>(&v)) {
        nvlist_array out;
        for (const auto& l : a->lists) {
            out.lists.push_back(l->clone());
            out.views.push_back(out.lists.back().get());
        }
        return out;
    }
    if (auto* u = std::get_if<uint64_t>(&v))
        return *u;
    if (auto* u = std::get_if<uint32_t>(&v))
        return *u;
    if (auto* s = std::get_if<std::string>(&v))
        return *s;
    return std::get<std::vector<uint64_t>>(v);
}

const nvpair_t* find(const nvlist_t* nvl, const char* name)
{
    if (nvl == nullptr || name == nullptr)
        return nullptr;
    for (const auto& p : nvl->pairs)
        if (p->name == name)
            return p.get();
    return nullptr;
}

template <typename T>
int lookup(const nvlist_t* nvl, const char* name, const T** out)
{
    if (nvl == nullptr || name == nullptr || out == nullptr)
        return EINVAL;
    const nvpair_t* p = find(nvl, name);
    if (p == nullptr)
        return ENOENT;
    const T* v = std::get_if<T>(&p->value);
    if (v == nullptr)
        return EINVAL;
    *out = v;
    return 0;
}

int add_checked(nvlist_t* nvl, const char* name, nvvalue value)
{
    if (nvl == nullptr || name == nullptr)
        return EINVAL;
    try {
        nvl->add(name, std::move(value));
    } catch (const std::bad_alloc&) {
        return ENOMEM;
    }
    return 0;
}

}  // namespace

void nvlist_t::add(const std::string& name, nvvalue value)
{
    if (flags & NV_UNIQUE_NAME) {
        for (auto& p : pairs) {
            if (p->name == name) {
                p->value = std::move(value);
                return;
            }
        }
    }
    pairs.push_back(std::make_unique<nvpair_t>(nvpair_t{name, std::move(value)}));
}

std::unique_ptr<nvlist_t> nvlist_t::clone() const
{
    auto out = std::make_unique<nvlist_t>();
    out->flags = flags;
    for (const auto& p : pairs)
        out->pairs.push_back(std::make_unique<nvpair_t>(nvpair_t{p->name, copy_value(p->value)}));
    return out;
}

int nvlist_alloc(nvlist_t** out, uint_t flags, int /*kmflag*/)
{
    if (out == nullptr)
        return EINVAL;
    nvlist_t* nvl = new (std::nothrow) nvlist_t();
    if (nvl == nullptr)
        return ENOMEM;
    nvl->flags = flags;
    *out = nvl;
    return 0;
}

void nvlist_free(nvlist_t* nvl)
{
    delete nvl;
}

int nvlist_add_string(nvlist_t* nvl, const char* name, const char* value)
{
    if (value == nullptr)
        return EINVAL;
    return add_checked(nvl, name, std::string(value));
}

int nvlist_add_uint32(nvlist_t* nvl, const char* name, uint32_t value)
{
    return add_checked(nvl, name, value);
}

int nvlist_add_uint64(nvlist_t* nvl, const char* name, uint64_t value)
{
    return add_checked(nvl, name, value);
}

int nvlist_add_uint64_array(nvlist_t* nvl, const char* name, const uint64_t* values, uint_t count)
{
    if (values == nullptr && count != 0)
        return EINVAL;
    return add_checked(nvl, name, std::vector<uint64_t>(values, values + count));
}

int nvlist_add_nvlist(nvlist_t* nvl, const char* name, const nvlist_t* value)
{
    if (value == nullptr)
        return EINVAL;
    return add_checked(nvl, name, value->clone());
}

int nvlist_add_nvlist_array(nvlist_t* nvl, const char* name, const nvlist_t* const* values, uint_t count)
{
    if (values == nullptr && count != 0)
        return EINVAL;
    nvlist_array a;
    for (uint_t i = 0; i < count; ++i) {
        if (values[i] == nullptr)
            return EINVAL;
        a.lists.push_back(values[i]->clone());
        a.views.push_back(a.lists.back().get());
    }
    return add_checked(nvl, name, std::move(a));
}

nvpair_t* nvlist_next_nvpair(nvlist_t* nvl, const nvpair_t* prev)
{
    if (nvl == nullptr || nvl->pairs.empty())
        return nullptr;
    if (prev == nullptr)
        return nvl->pairs.front().get();
    for (size_t i = 0; i + 1 < nvl->pairs.size(); ++i)
        if (nvl->pairs[i].get() == prev)
            return nvl->pairs[i + 1].get();
    return nullptr;
}

const char* nvpair_name(const nvpair_t* pair)
{
    return pair == nullptr ? "" : pair->name.c_str();
}

int nvpair_value_nvlist(nvpair_t* pair, nvlist_t** out)
{
    if (pair == nullptr || out == nullptr)
        return EINVAL;
    auto* l = std::get_if<std::unique_ptr<nvlist_t>>(&pair->value);
    if (l == nullptr || !*l)
        return EINVAL;
    *out = l->get();
    return 0;
}

int nvlist_lookup_uint64(const nvlist_t* nvl, const char* name, uint64_t* out)
{
    const uint64_t* v = nullptr;
    int rc = lookup(nvl, name, &v);
    if (rc == 0)
        *out = *v;
    return rc;
}

int nvlist_lookup_uint32(const nvlist_t* nvl, const char* name, uint32_t* out)
{
    const uint32_t* v = nullptr;
    int rc = lookup(nvl, name, &v);
    if (rc == 0)
        *out = *v;
    return rc;
}

int nvlist_lookup_string(const nvlist_t* nvl, const char* name, const char** out)
{
    const std::string* v = nullptr;
    int rc = lookup(nvl, name, &v);
    if (rc == 0)
        *out = v->c_str();
    return rc;
}

int nvlist_lookup_nvlist(nvlist_t* nvl, const char* name, nvlist_t** out)
{
    const std::unique_ptr<nvlist_t>* v = nullptr;
    int rc = lookup(nvl, name, &v);
    if (rc == 0) {
        if (!*v)
            return EINVAL;
        *out = v->get();
    }
    return rc;
}

int nvlist_lookup_uint64_array(nvlist_t* nvl, const char* name, uint64_t** out, uint_t* count)
{
    const std::vector<uint64_t>* v = nullptr;
    int rc = lookup(nvl, name, &v);
    if (rc == 0) {
        // The list owns the storage; callers read it through the pointer only.
        *out = const_cast<uint64_t*>(v->data());
        *count = static_cast<uint_t>(v->size());
    }
    return rc;
}

int nvlist_lookup_nvlist_array(nvlist_t* nvl, const char* name, nvlist_t*** out, uint_t* count)
{
    const nvlist_array* v = nullptr;
    int rc = lookup(nvl, name, &v);
    if (rc == 0) {
        *out = const_cast<nvlist_t**>(v->views.data());
        *count = static_cast<uint_t>(v->views.size());
    }
    return rc;
}

}  // namespace platform::zfs
