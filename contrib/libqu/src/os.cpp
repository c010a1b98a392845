#include "libqu/src/os.h"

#include "libqu/src/lstr.h"

#include <cassert>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char **environ;

qu_error qu_env_init(struct qu_env *env) { return qu_env_init_from_copy(env, environ); }

qu_error qu_env_init_from_copy(struct qu_env *env, char **source_envp)
{
    size_t n = 0;

    while (source_envp[n] != nullptr)
        n++;
    auto **envp = static_cast<char **>(malloc((n + 1) * sizeof(char *)));
    if (envp == nullptr)
        return QU_ERR_NOMEM;
    for (size_t i = 0; i < n; i++) {
        envp[i] = strdup(source_envp[i]);
        if (envp[i] == nullptr) {
            while (i-- > 0)
                free(envp[i]);
            free(envp);
            return QU_ERR_NOMEM;
        }
    }
    envp[n] = nullptr;
    env->envp = envp;
    env->count = n;
    env->capacity = n;
    return QU_ERR_NONE;
}

void qu_env_deinit(struct qu_env *env)
{
    for (size_t i = 0; i < env->count; i++)
        free(env->envp[i]);
    free(env->envp);
}

static qu_error qu_env_find_kv_index(struct qu_env *env, const char *key, size_t key_size,
                                     size_t *index)
{
    for (size_t i = 0; i < env->count; i++) {
        const char *entry = env->envp[i];
        const char *equals = strchr(entry, '=');
        if (equals == nullptr)
            return QU_ERR_INVALID_ENVIRON;
        if (qu_lstr_eql(entry, static_cast<size_t>(equals - entry), key, key_size)) {
            *index = i;
            return QU_ERR_NONE;
        }
    }
    return QU_ERR_NOT_FOUND;
}

static void qu_env_remove_key(struct qu_env *env, size_t index)
{
    assert(env->count > 0);
    free(env->envp[index]);
    memmove(&env->envp[index], &env->envp[index + 1], (env->count - index) * sizeof(char *));
    env->count--;
    assert(env->envp[env->count] == NULL);
}

static qu_error qu_env_maybe_grow(struct qu_env *env)
{
    if (env->capacity > env->count)
        return QU_ERR_NONE;
    size_t capacity = env->capacity == 0 ? 1 : env->capacity * 2;
    auto **envp = static_cast<char **>(realloc(env->envp, (capacity + 1) * sizeof(char *)));
    if (envp == nullptr)
        return QU_ERR_NOMEM;
    env->envp = envp;
    env->capacity = capacity;
    return QU_ERR_NONE;
}

static qu_error qu_env_add_kv(struct qu_env *env, const char *key, size_t key_size,
                              const char *value, size_t value_size)
{
    qu_error err = qu_env_maybe_grow(env);
    char *entry;

    if (err != QU_ERR_NONE)
        return err;
    if (asprintf(&entry, "%.*s=%.*s", static_cast<int>(key_size), key,
                 static_cast<int>(value_size), value) == -1)
        return QU_ERR_NOMEM;
    env->envp[env->count++] = entry;
    env->envp[env->count] = nullptr;
    return QU_ERR_NONE;
}

static size_t measure(const char *text, size_t size)
{
    return size == static_cast<size_t>(-1) ? strlen(text) : size;
}

qu_error qu_env_set_kv(struct qu_env *env, const char *key, size_t key_size, const char *value,
                       size_t value_size)
{
    size_t index;

    key_size = measure(key, key_size);
    value_size = measure(value, value_size);
    qu_error err = qu_env_find_kv_index(env, key, key_size, &index);
    if (err == QU_ERR_INVALID_ENVIRON)
        return err;
    if (err == QU_ERR_NONE)
        qu_env_remove_key(env, index);
    if (key_size > INT_MAX || value_size > INT_MAX)
        return QU_ERR_INVALID_ENVIRON;
    return qu_env_add_kv(env, key, key_size, value, value_size);
}

qu_error qu_env_del_kv(struct qu_env *env, const char *key, size_t key_size)
{
    size_t index;
    qu_error err = qu_env_find_kv_index(env, key, measure(key, key_size), &index);

    if (err == QU_ERR_NONE)
        qu_env_remove_key(env, index);
    return err;
}

qu_error qu_env_find_kv(struct qu_env *env, const char *key, size_t key_size, const char **value,
                        size_t *value_size)
{
    size_t index;
    qu_error err = qu_env_find_kv_index(env, key, measure(key, key_size), &index);

    if (err != QU_ERR_NONE)
        return err;
    *value = strchr(env->envp[index], '=') + 1;
    *value_size = strlen(*value);
    return QU_ERR_NONE;
}
