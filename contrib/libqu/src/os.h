#ifndef QU_OS_H
#define QU_OS_H

#include "libqu/src/error.h"

#include <cstddef>

// An editable environment block; envp[count] is always null, so envp can be
// handed to execve as it is.
struct qu_env {
    char **envp;
    size_t count;
    size_t capacity;
};

// Sizes of (size_t)-1 mean "NUL-terminated, measure it".
qu_error qu_env_init(struct qu_env *env);
qu_error qu_env_init_from_copy(struct qu_env *env, char **source_envp);
void qu_env_deinit(struct qu_env *env);
qu_error qu_env_set_kv(struct qu_env *env, const char *key, size_t key_size, const char *value,
                       size_t value_size);
qu_error qu_env_del_kv(struct qu_env *env, const char *key, size_t key_size);
qu_error qu_env_find_kv(struct qu_env *env, const char *key, size_t key_size, const char **value,
                        size_t *value_size);

#endif
