#ifndef KS_COMMON_ARRAY_H
#define KS_COMMON_ARRAY_H

#include <cstdint>

// A growable array of pointers in one heap block; it never owns the values.
// Operations that may reallocate take the address of the caller's pointer.
typedef struct ks_array {
    uint32_t capacity;
    uint32_t length;
    const void *value[];
} ks_array_t;

bool ks_array_init(struct ks_array **array, unsigned int capacity);
bool ks_array_append(struct ks_array **array, const void *value);
int ks_array_append_offset(struct ks_array **array, const void *value);
bool ks_array_memcpy(struct ks_array **d, struct ks_array *s);
bool ks_array_remove_at(struct ks_array *array, unsigned int i);
bool ks_array_remove(struct ks_array *array, const void *value);
bool ks_array_replace_at(struct ks_array *array, unsigned int offset, void *v);
bool ks_array_compact(struct ks_array **array);
void ks_array_deinit(struct ks_array **array);
unsigned int ks_array_length(const struct ks_array *a);

#endif
