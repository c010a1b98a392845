#include "client/info.h"

#include "client/asset.h"
#include "client/client.h"
#include "client/core.h"
#include "client/json.h"
#include "client/object.h"
#include "client/text.h"
#include "client/tree.h"
#include "common/facts.h"
#include "common/fd.h"
#include "common/tar.h"

#include <algorithm>
#include <cinttypes>
#include <initializer_list>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <string>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

struct crash_file {
    const char *kind;
    std::string path;
    struct stat st;
    struct ks_core_format format;
};

struct asset_entry {
    std::string name;
    ks_tar_type type;
    size_t size;
    std::string target;
    bool shown; // the executable, the command line or the facts, shown on their own
};

struct crash_detail {
    std::vector<crash_file> files;
    std::vector<asset_entry> entries;
    bool has_arguments;
    std::vector<std::string> arguments;
    bool has_facts;
    std::vector<std::pair<std::string, std::string>> facts; // unescaped, in their order
};

// Every file of the crash, wherever the pipeline has put it; links and
// other files that the pipeline does not make are not its files.
static void detail_files(const struct ks_object *object, struct crash_detail *detail)
{
    static const struct {
        enum ks_tree_place place;
        const char *kind;
    } places[] = {
        {KS_TREE_STAGING, "core"},         {KS_TREE_PENDING, "core"},         {KS_TREE_SENDING, "snapshot"},
        {KS_TREE_FAILED_PENDING, "core"},  {KS_TREE_FAILED_SENDING, "snapshot"},
        {KS_TREE_COMMITTED, "core"},       {KS_TREE_SENT, "snapshot"},        {KS_TREE_ASSETS, "asset"},
    };

    for (const auto &place : places) {
        int directory = ks_tree_dir(place.place);
        struct crash_file file = {place.kind, "", {}, {}};
        if (directory == -1 || fstatat(directory, object->basename, &file.st, AT_SYMLINK_NOFOLLOW) == -1 ||
            !S_ISREG(file.st.st_mode))
            continue;
        file.path = std::string(ks_tree_path(place.place)) + "/" + object->basename;
        if (strcmp(place.kind, "core") == 0) {
            int fd = openat(directory, object->basename, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
            if (fd != -1) {
                if (ks_core_examine(fd, &file.format) && file.format.compressed)
                    file.format.original_known = ks_core_original_size(fd, &file.format.original_size);
                ks_fd_close(fd);
            }
        }
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

static void detail_facts(struct crash_detail *detail, const char *content, size_t length)
{
    const char *cursor = content;
    struct ks_facts_line line;

    detail->has_facts = true;
    while (ks_facts_next(&cursor, content + length, &line)) {
        std::string value(line.value_length, '\0');
        size_t n = ks_facts_unescape(line.value, line.value_length, value.data(), value.size() + 1);
        value.resize(std::min(n, value.size()));
        detail->facts.emplace_back(std::string(line.key, line.key_length), value);
    }
}

static void detail_asset(const struct ks_object *object, struct crash_detail *detail)
{
    int fd = ks_asset_open(object->basename);
    struct ks_tar_iterator *it = fd != -1 ? ks_tar_iterator_fdopen(fd) : nullptr;
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
        } else if (!detail->has_facts && type == KS_TAR_T_FILE && strcmp(name, KS_FACTS_ENTRY) == 0) {
            detail_facts(detail, content, length);
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

static const std::string *fact(const struct crash_detail *detail, const char *key)
{
    for (const auto &[name, value] : detail->facts)
        if (name == key)
            return &value;
    return nullptr;
}

static void put_fact(const std::string *value)
{
    ks_text_put_safe(stdout, value->data(), value->size());
}

// One line of the facts that are known among these, each after its
// prefix, joined by the separator; nothing when none is known.
static void fact_row(const struct crash_detail *detail, const char *label,
                     std::initializer_list<std::pair<const char *, const char *>> parts, const char *separator = ", ")
{
    bool started = false;

    for (const auto &[prefix, key] : parts) {
        const std::string *value = fact(detail, key);
        if (value == nullptr)
            continue;
        if (!started)
            printf("%-14s", label);
        else
            fputs(separator, stdout);
        started = true;
        fputs(prefix, stdout);
        put_fact(value);
    }
    if (started)
        putchar('\n');
}

// What the archiver learnt from the core image and from /proc, when the
// asset holds its facts (older ones do not).
static void facts_print(const struct crash_detail *detail)
{
    const std::string *value;

    if (!detail->has_facts)
        return;
    fact_row(detail, "signature:", {{"", "signature"}});
    if ((value = fact(detail, "signal")) != nullptr) {
        printf("%-14s", "signal:");
        put_fact(value);
        char name[32];
        const char *known = ks_facts_signal_name(atoi(value->c_str()), name, sizeof name);
        if ((value = fact(detail, "signal.name")) != nullptr) {
            fputs(" (", stdout);
            put_fact(value);
            putchar(')');
        } else if (known != nullptr && strncmp(known, "SIG", 3) == 0) {
            printf(" (%s)", known);
        }
        if ((value = fact(detail, "signal.code")) != nullptr) {
            fputs(", code ", stdout);
            put_fact(value);
        }
        putchar('\n');
    }
    fact_row(detail, "fault at:", {{"", "fault.address"}});
    fact_row(detail, "sent by:", {{"pid ", "sender.pid"}, {"uid ", "sender.uid"}});
    fact_row(detail, "location:", {{"", "module"}, {"+", "module.offset"}}, "");
    fact_row(detail, "build-ids:", {{"executable ", "executable.build_id"}, {"module ", "module.build_id"}});
    fact_row(detail, "owner:", {{"uid ", "uid"}, {"gid ", "gid"}});
    fact_row(detail, "exe file:", {{"device ", "exe.device"}, {"inode ", "exe.inode"}});
    const std::string *initial = fact(detail, "mount.namespace.initial");
    if ((value = fact(detail, "mount.namespace")) != nullptr) {
        printf("%-14s", "mount ns:");
        put_fact(value);
        if (initial != nullptr)
            fputs(*initial == "no" ? ", not the host's" : ", the host's", stdout);
        putchar('\n');
    }
    if (initial != nullptr && *initial == "no")
        printf("warning:      the crash came from another mount namespace: the executable's path may name "
               "another file here\n");
    if ((value = fact(detail, "core")) != nullptr && *value == "cut") {
        printf("%-14scut", "core image:");
        if ((value = fact(detail, "core.limit")) != nullptr) {
            fputs(" at ", stdout);
            put_fact(value);
            fputs(" bytes", stdout);
        }
        putchar('\n');
    }
    if ((value = fact(detail, "metadata")) != nullptr && *value != "complete")
        fact_row(detail, "metadata:", {{"", "metadata"}});
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

    facts_print(detail);
    printf("files:\n");
    for (const auto &file : detail->files)
        width = std::max(width, digits(static_cast<unsigned long long>(file.st.st_size)));
    for (const auto &file : detail->files) {
        printf("    %-8s  %*lld  %s  ", file.kind, static_cast<int>(width), static_cast<long long>(file.st.st_size),
               ks_text_ctime(file.st.st_ctime)->text);
        ks_text_put_safe(stdout, file.path.data(), file.path.size());
        if (file.format.compressed && file.format.original_known)
            printf("  compressed (zstd), %ju bytes uncompressed", static_cast<uintmax_t>(file.format.original_size));
        else if (file.format.compressed)
            printf("  compressed (zstd)");
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
    ks_json_key(&json, "facts");
    if (detail->has_facts) {
        ks_json_object_begin(&json);
        for (const auto &[key, value] : detail->facts) {
            ks_json_key(&json, key.c_str());
            ks_json_string(&json, value.data(), value.size());
        }
        ks_json_object_end(&json);
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
        ks_json_key(&json, "compressed");
        ks_json_bool(&json, file.format.compressed);
        ks_json_key(&json, "original_size");
        if (file.format.compressed && file.format.original_known)
            ks_json_integer(&json, static_cast<long long>(file.format.original_size));
        else if (file.format.compressed)
            ks_json_null(&json);
        else
            ks_json_integer(&json, file.st.st_size);
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

static const char usage_text[] = "Usage: info [-j] <object>\n";
static const char help_text[] = "\n"
                                "Shows one crash in detail: its stage, executable, command line, what the\n"
                                "archiver learnt of the crash (signature, signal, where it happened), every\n"
                                "file of it and the asset's entries. <object> is a base name, or a prefix\n"
                                "that only one crash's base name begins with.\n"
                                "\n"
                                "    -j   one JSON object instead of the text\n"
                                "    -h   this text\n";

void ks_info_run(int argc, char **argv)
{
    bool json = false;
    int option;

    while ((option = getopt(argc, argv, "jh")) != -1) {
        if (option != 'j')
            ks_text_usage(usage_text, help_text, option == 'h');
        json = true;
    }
    if (argc - optind != 1)
        ks_text_usage(usage_text, help_text, false);

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
