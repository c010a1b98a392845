#include "common/array.h"

#include <cstdlib>
#include <cstring>

static struct ks_array *resize(struct ks_array *array, uint64_t capacity)
{
    if (capacity > UINT32_MAX)
        return nullptr;
    size_t size = sizeof(struct ks_array) + capacity * sizeof(array->value[0]);
    auto *grown = static_cast<struct ks_array *>(realloc(array, size));
    if (grown != nullptr)
        grown->capacity = static_cast<uint32_t>(capacity);
    return grown;
}

bool ks_array_init(struct ks_array **array, unsigned int capacity)
{
    struct ks_array *a = resize(nullptr, capacity);

    if (a == nullptr)
        return false;
    a->length = 0;
    *array = a;
    return true;
}

int ks_array_append_offset(struct ks_array **array, const void *value)
{
    struct ks_array *a = *array;

    if (a->length == a->capacity) {
        // Doubling alone would leave an empty array without room.
        uint64_t capacity = a->capacity == 0 ? 1 : uint64_t{a->capacity} * 2;
        a = resize(a, capacity);
        if (a == nullptr)
            return -1;
        *array = a;
    }
    a->value[a->length] = value;
    return static_cast<int>(a->length++);
}

bool ks_array_append(struct ks_array **array, const void *value)
{
    return ks_array_append_offset(array, value) != -1;
}

bool ks_array_memcpy(struct ks_array **d, struct ks_array *s)
{
    struct ks_array *a = *d;
    // Appending an array to itself: growing it moves the source too.
    bool self = s == a;
    uint32_t n = s->length;

    if (a->capacity - a->length < n) {
        a = resize(a, uint64_t{a->length} + n);
        if (a == nullptr)
            return false;
        *d = a;
        if (self)
            s = a;
    }
    if (n != 0)
        memcpy(&a->value[a->length], s->value, n * sizeof(s->value[0]));
    a->length += n;
    return true;
}

bool ks_array_remove_at(struct ks_array *array, unsigned int i)
{
    if (i >= array->length)
        return false;
    unsigned int last = array->length - 1;
    array->value[i] = i == last ? nullptr : array->value[last];
    array->length--;
    return true;
}

bool ks_array_remove(struct ks_array *array, const void *value)
{
    for (unsigned int i = 0; i < array->length; i++)
        if (array->value[i] == value)
            return ks_array_remove_at(array, i);
    return false;
}

bool ks_array_replace_at(struct ks_array *array, unsigned int offset, void *v)
{
    if (offset >= array->length)
        return false;
    array->value[offset] = v;
    return true;
}

bool ks_array_compact(struct ks_array **array)
{
    struct ks_array *a = *array;

    if (a->length == a->capacity)
        return true;
    a = resize(a, a->length);
    if (a == nullptr)
        return false;
    *array = a;
    return true;
}

void ks_array_deinit(struct ks_array **array)
{
    if (array == nullptr)
        return;
    free(*array);
    *array = nullptr;
}

unsigned int ks_array_length(const struct ks_array *a) { return a->length; }
