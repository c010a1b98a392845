#include "client/info.h"

#include "client/client.h"
#include "client/json.h"
#include "client/object.h"
#include "client/text.h"
#include "common/cf.h"
#include "common/tar.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

struct crash_file {
    const char *kind;
    std::string path;
    struct stat st;
};

struct asset_entry {
    std::string name;
    ks_tar_type type;
    size_t size;
    std::string target;
    bool shown; // the executable or the command line, shown on their own
};

struct crash_detail {
    std::vector<crash_file> files;
    std::vector<asset_entry> entries;
    bool has_arguments;
    std::vector<std::string> arguments;
};

static std::string path_join(const char *directory, const char *name)
{
    return std::string(directory) + "/" + name;
}

// Every file of the crash, wherever the pipeline has put it.
static void detail_files(const struct ks_object *object, struct crash_detail *detail)
{
    struct ks_cf *cf = ks_cf_get();
    const struct {
        const char *directory;
        const char *kind;
    } places[] = {
        {cf->path.staging, "core"},         {cf->path.pending, "core"},        {cf->path.sending, "snapshot"},
        {cf->path.failed.pending, "core"},  {cf->path.failed.sending, "snapshot"},
        {cf->path.committed, "core"},       {cf->path.sent, "snapshot"},       {cf->path.assets, "asset"},
    };

    for (const auto &place : places) {
        struct crash_file file = {place.kind, path_join(place.directory, object->basename), {}};
        // The asset is read through a link as the reader opens it; the
        // listing takes only regular directory entries for the others.
        bool asset = place.directory == cf->path.assets;
        int r = asset ? stat(file.path.c_str(), &file.st) : lstat(file.path.c_str(), &file.st);
        if (r == 0 && S_ISREG(file.st.st_mode))
            detail->files.push_back(file);
    }
}

static void detail_arguments(struct crash_detail *detail, const char *content, size_t length)
{
    size_t start = 0;

    detail->has_arguments = true;
    for (size_t i = 0; i < length; i++) {
        if (content[i] != '\0')
            continue;
        detail->arguments.emplace_back(content + start, i - start);
        start = i + 1;
    }
    if (start < length)
        detail->arguments.emplace_back(content + start, length - start);
}

static void detail_asset(const struct ks_object *object, struct crash_detail *detail)
{
    std::string path = path_join(ks_cf_get()->path.assets, object->basename);
    struct ks_tar_iterator *it = ks_tar_iterator_open(path.c_str());
    bool executable = false;

    if (it == nullptr)
        return;
    const char *name, *content;
    size_t length;
    ks_tar_type type;
    while ((content = ks_tar_iterate(it, &name, &length, &type)) != nullptr) {
        struct asset_entry entry = {name, type, 0, "", false};
        if (type == KS_TAR_T_FILE)
            entry.size = length;
        else
            entry.target.assign(content, strnlen(content, length));
        if (!executable && strcmp(name, "/proc/self/exe") == 0) {
            executable = true;
            entry.shown = true;
        } else if (!detail->has_arguments && type == KS_TAR_T_FILE && strcmp(name, "/proc/self/cmdline") == 0) {
            detail_arguments(detail, content, length);
            entry.shown = true;
        }
        detail->entries.push_back(entry);
    }
    ks_tar_iterator_destroy(it);
}

static unsigned int digits(unsigned long long n)
{
    unsigned int d = 1;

    while (n >= 10) {
        n /= 10;
        d++;
    }
    return d;
}

static void info_print(const struct ks_object *object, const struct crash_detail *detail)
{
    const char *executable = object->executable != nullptr ? ks_object_executable(object) : nullptr;
    unsigned int width = 0;

    printf("name:         ");
    ks_text_put_safe_str(stdout, object->basename);
    printf("\nstage:        %s\n", ks_stage_str(object->stage));
    printf("executable:   ");
    if (executable != nullptr) {
        ks_text_put_safe_str(stdout, executable);
        printf("\napplication:  ");
        ks_text_put_safe_str(stdout, ks_object_application(executable));
    } else {
        printf("unknown");
    }
    printf("\ncommand line:");
    if (!detail->has_arguments)
        printf(" unknown\n");
    else if (detail->arguments.empty())
        printf(" empty\n");
    else
        printf("\n");
    for (size_t i = 0; i < detail->arguments.size(); i++) {
        printf("    [%zu] ", i);
        ks_text_put_safe(stdout, detail->arguments[i].data(), detail->arguments[i].size());
        printf("\n");
    }

    printf("files:\n");
    for (const auto &file : detail->files)
        width = std::max(width, digits(static_cast<unsigned long long>(file.st.st_size)));
    for (const auto &file : detail->files) {
        printf("    %-8s  %*lld  %s  ", file.kind, static_cast<int>(width), static_cast<long long>(file.st.st_size),
               ks_text_ctime(file.st.st_ctime)->text);
        ks_text_put_safe(stdout, file.path.data(), file.path.size());
        printf("\n");
    }

    // Sizes first: names may hold bytes shown wider than they are.
    bool others = false;
    width = 0;
    for (const auto &entry : detail->entries) {
        if (entry.shown)
            continue;
        others = true;
        width = std::max(width, entry.type == KS_TAR_T_FILE ? digits(entry.size) : 4);
    }
    printf("other entries:%s\n", others ? "" : " none");
    for (const auto &entry : detail->entries) {
        if (entry.shown)
            continue;
        if (entry.type == KS_TAR_T_FILE)
            printf("    %*zu  ", static_cast<int>(width), entry.size);
        else
            printf("    %*s  ", static_cast<int>(width), "link");
        ks_text_put_safe(stdout, entry.name.data(), entry.name.size());
        if (entry.type == KS_TAR_T_LINK) {
            printf(" -> ");
            ks_text_put_safe(stdout, entry.target.data(), entry.target.size());
        }
        printf("\n");
    }
}

static void info_json(const struct ks_object *object, const struct crash_detail *detail)
{
    struct ks_json json;

    ks_json_init(&json, stdout);
    ks_json_object_begin(&json);
    ks_object_json_members(&json, object);
    ks_json_key(&json, "command_line");
    if (detail->has_arguments) {
        ks_json_array_begin(&json);
        for (const auto &argument : detail->arguments)
            ks_json_string(&json, argument.data(), argument.size());
        ks_json_array_end(&json);
    } else {
        ks_json_null(&json);
    }
    ks_json_key(&json, "file_details");
    ks_json_array_begin(&json);
    for (const auto &file : detail->files) {
        ks_json_object_begin(&json);
        ks_json_key(&json, "kind");
        ks_json_text(&json, file.kind);
        ks_json_key(&json, "path");
        ks_json_string(&json, file.path.data(), file.path.size());
        ks_json_key(&json, "size");
        ks_json_integer(&json, file.st.st_size);
        ks_json_time(&json, true, file.st.st_ctime);
        ks_json_object_end(&json);
    }
    ks_json_array_end(&json);
    ks_json_key(&json, "entries");
    ks_json_array_begin(&json);
    for (const auto &entry : detail->entries) {
        ks_json_object_begin(&json);
        ks_json_key(&json, "name");
        ks_json_string(&json, entry.name.data(), entry.name.size());
        ks_json_key(&json, "type");
        ks_json_text(&json, entry.type == KS_TAR_T_FILE ? "file" : "link");
        if (entry.type == KS_TAR_T_FILE) {
            ks_json_key(&json, "size");
            ks_json_integer(&json, static_cast<long long>(entry.size));
        } else {
            ks_json_key(&json, "target");
            ks_json_string(&json, entry.target.data(), entry.target.size());
        }
        ks_json_object_end(&json);
    }
    ks_json_array_end(&json);
    ks_json_object_end(&json);
    putchar('\n');
}

[[noreturn]] static void info_usage(void)
{
    fputs("Usage: info [-j] <object>\n", stderr);
    exit(1);
}

void ks_info_run(int argc, char **argv)
{
    bool json = false;
    int option;

    while ((option = getopt(argc, argv, "jh")) != -1) {
        if (option != 'j')
            info_usage();
        json = true;
    }
    if (argc - optind != 1)
        info_usage();

    const struct ks_object *object = ks_object_resolve(argv[optind]);
    struct crash_detail detail = {};
    try {
        detail_files(object, &detail);
        detail_asset(object, &detail);
    } catch (const std::bad_alloc &) {
        ks_client_allocation_failure();
    }
    if (json)
        info_json(object, &detail);
    else
        info_print(object, &detail);
    ks_object_release();
}
