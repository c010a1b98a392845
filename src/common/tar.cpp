#include "common/tar.h"

#include "common/fd.h"
#include "common/log.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static_assert(sizeof(struct ks_ustar_record) == 512, "a ustar record is 512 bytes");

static constexpr size_t record_bytes = 512;
// The longest name or link target a ustar field holds with its NUL.
static constexpr uint32_t field_max = 99;

static size_t round_up(size_t n)
{
    return (n + record_bytes - 1) & ~(record_bytes - 1);
}

// ---------------------------------------------------------------- reader

// The cursor of a finished iteration; no record of a mapping can live here.
static const char finished = 0;

// Which attributes the extended headers of the coming entry have set so far.
// Headers are met outermost first and the outermost one applies last, so a
// key set by an outer header is not overwritten by an inner one.
struct xattrs {
    bool path;
    bool link;
    size_t link_length;
};

struct ks_tar_iterator *ks_tar_iterator_fdopen(int fd)
{
    struct ks_tar_iterator *it = static_cast<struct ks_tar_iterator *>(calloc(1, sizeof(struct ks_tar_iterator)));
    struct stat st;
    void *map;

    if (it == nullptr || fstat(fd, &st) == -1 || !S_ISREG(st.st_mode))
        goto fail;
    it->length = static_cast<size_t>(st.st_size);
    map = mmap(nullptr, it->length, PROT_READ, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED)
        goto fail;
    it->buffer = static_cast<char *>(map);
    ks_fd_close(fd);
    return it;

fail:
    ks_fd_close(fd);
    free(it);
    return nullptr;
}

struct ks_tar_iterator *ks_tar_iterator_open(const char *path)
{
    // O_NONBLOCK: a FIFO in place of an object must not hang the open.
    int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);

    return fd != -1 ? ks_tar_iterator_fdopen(fd) : nullptr;
}

void ks_tar_iterator_destroy(struct ks_tar_iterator *it)
{
    if (it == nullptr)
        return;
    (void) munmap(it->buffer, it->length);
    free(it);
}

const char *ks_tar_iterate_to(struct ks_tar_iterator *it, const char *name, size_t *length,
                              ks_tar_type *type)
{
    const char *path, *content;

    while ((content = ks_tar_iterate(it, &path, length, type)) != nullptr)
        if (strcmp(path, name) == 0)
            return content;
    return nullptr;
}

static const char *tar_iterator_invalidate(struct ks_tar_iterator *it)
{
    it->cursor = &finished;
    return nullptr;
}

static bool ustar_record_eof(const char *record)
{
    static const char zero[record_bytes] = {};

    return memcmp(record, zero, record_bytes) == 0;
}

static bool ustar_record_is_valid(const struct ks_ustar_record *record)
{
    return memcmp(record->magic, "ustar", 6) == 0 && memcmp(record->version, "00", 2) == 0;
}

// Bytes of the mapping behind the current header record.
static size_t record_rest(const struct ks_tar_iterator *it)
{
    return it->length - static_cast<size_t>(it->cursor - it->buffer) - record_bytes;
}

// Steps to the next header record. False at the end of the archive: the end
// of the mapping, a record that does not fit in it, a zero record or a
// record without the ustar magic and version.
static bool ustar_iterator_generate(struct ks_tar_iterator *it)
{
    size_t next = 0;

    if (it->cursor != nullptr) {
        if (it->record_length > record_rest(it))
            return false;
        next = static_cast<size_t>(it->cursor - it->buffer) + record_bytes +
               round_up(it->record_length);
    }
    if (next >= it->length || it->length - next < record_bytes)
        return false;
    it->cursor = it->buffer + next;
    it->record = reinterpret_cast<struct ks_ustar_record *>(it->buffer + next);
    return !ustar_record_eof(it->cursor) && ustar_record_is_valid(it->record);
}

// The lookup in the first bytes of an object reads the field quietly.
static bool ustar_record_length(struct ks_tar_iterator *it, bool quiet = false)
{
    char text[12];

    memcpy(text, it->record->size, 11);
    text[11] = '\0';
    errno = 0;
    unsigned long length = strtoul(text, nullptr, 8);
    // Eleven octal digits stay below 8^11; a larger value came through a
    // minus sign that strtoul negated.
    if ((length == ULONG_MAX && errno == ERANGE) || length > 077777777777UL) {
        if (!quiet)
            ks_fprintf(stderr, "error: can't parse record size '%s'\n", text);
        return false;
    }
    it->record_length = length;
    return true;
}

// Copies an extended value, cut to what the 4096-byte buffer holds.
static size_t xattr_copy(char *buffer, const char *value, size_t length)
{
    size_t n = std::min(length, sizeof(ks_tar_iterator::path) - 1);

    memcpy(buffer, value, n);
    buffer[n] = '\0';
    return n;
}

// Length of the extended record at p, or 0 when it breaks a rule.
static size_t xattr_record(const char *p, size_t remaining, const char **key, size_t *key_length,
                           const char **value, size_t *value_length)
{
    if (remaining == 0 || p[0] < '0' || p[0] > '9')
        return 0;
    const char *blank = static_cast<const char *>(memchr(p, ' ', remaining));
    if (blank == nullptr)
        return 0;
    uint64_t length = 0;
    for (const char *d = p; d < blank; d++) {
        if (*d < '0' || *d > '9')
            return 0;
        length = length * 10 + static_cast<unsigned>(*d - '0');
        if (length > UINT32_MAX)
            return 0;
    }
    // The record must hold its number, the blank, "=" and the newline.
    size_t head = static_cast<size_t>(blank - p) + 1;
    if (length > remaining || length < head + 2 || p[length - 1] != '\n')
        return 0;
    const char *end = p + length - 1;
    const char *equals = static_cast<const char *>(memchr(blank + 1, '=', end - (blank + 1)));
    if (equals == nullptr)
        return 0;
    *key = blank + 1;
    *key_length = static_cast<size_t>(equals - *key);
    *value = equals + 1;
    *value_length = static_cast<size_t>(end - *value);
    return length;
}

// Walks the extended data of the current "x" record; a record that breaks
// a rule ends the walk, keeping what was applied before it.
static void tar_xhdr_generate(struct ks_tar_iterator *it, struct xattrs *outer)
{
    const char *p = it->cursor + record_bytes;
    size_t remaining = it->record_length;
    struct xattrs here = {};
    const char *key, *value;
    size_t key_length, value_length;

    while (remaining != 0) {
        size_t length = xattr_record(p, remaining, &key, &key_length, &value, &value_length);
        if (length == 0)
            break;
        if (key_length == 4 && memcmp(key, "path", 4) == 0 && !outer->path) {
            xattr_copy(it->path, value, value_length);
            here.path = true;
        } else if (key_length == 8 && memcmp(key, "linkpath", 8) == 0 && !outer->link) {
            here.link_length = xattr_copy(it->link, value, value_length);
            here.link = true;
        }
        p += length;
        remaining -= length;
    }
    if (here.path)
        outer->path = true;
    if (here.link) {
        outer->link = true;
        outer->link_length = here.link_length;
    }
}

// Copies the ustar link target; a field without NUL is bounded to its 100
// bytes. The count includes the terminating NUL.
static size_t ustar_record_linkname(struct ks_tar_iterator *it)
{
    const char *field = it->record->linkname;
    const void *nul = memchr(field, '\0', sizeof it->record->linkname);
    size_t n = nul != nullptr ? static_cast<size_t>(static_cast<const char *>(nul) - field)
                              : sizeof it->record->linkname;

    memcpy(it->link, field, n);
    it->link[n] = '\0';
    return n + 1;
}

// A name that fills its field without a NUL is only accepted when an
// extended "path" record replaces it (as other writers do for long names).
static bool ustar_record_name(struct ks_tar_iterator *it, bool from_xhdr)
{
    const char *field = it->record->name;
    size_t size = sizeof it->record->name;

    if (memchr(field, '\0', size) == nullptr) {
        if (from_xhdr)
            return true;
        ks_fprintf(stderr, "error: name '%.*s' is not NUL-terminated\n", static_cast<int>(size),
                   field);
        return false;
    }
    if (!from_xhdr)
        memcpy(it->path, field, size);
    return true;
}

const char *ks_tar_iterate(struct ks_tar_iterator *it, const char **path, size_t *length,
                           ks_tar_type *type)
{
    struct xattrs x = {};
    const char *content;

    if (it->cursor == &finished)
        return nullptr;
    for (;;) {
        if (!ustar_iterator_generate(it) || !ustar_record_length(it))
            return tar_iterator_invalidate(it);
        char flag = it->record->typeflag;
        if (flag == '0') {
            if (it->record_length > record_rest(it))
                return tar_iterator_invalidate(it);
            *type = KS_TAR_T_FILE;
            // Not a "linkpath" length: that could reach past the data.
            *length = it->record_length;
            content = it->cursor + record_bytes;
            break;
        }
        if (flag == '2') {
            if (!x.link)
                x.link_length = ustar_record_linkname(it);
            *type = KS_TAR_T_LINK;
            *length = x.link_length;
            content = it->link;
            break;
        }
        if (flag == 'x') {
            if (it->record_length > record_rest(it))
                return tar_iterator_invalidate(it);
            tar_xhdr_generate(it, &x);
            continue;
        }
        if (flag == '\0' || strchr("1345", flag) == nullptr)
            ks_fprintf(stderr, "error: unknown type flag '%c'\n", flag);
    }
    if (!ustar_record_name(it, x.path))
        return tar_iterator_invalidate(it);
    *path = it->path;
    return content;
}

// One step of ks_tar_iterate over bytes that may be only the start of the
// object: KS_TAR_L_FOUND when an entry was read into it->path, ABSENT at the
// end of the archive, UNKNOWN where ks_tar_iterate would print or would
// look beyond the bytes given.
static ks_tar_lookup tar_find_step(struct ks_tar_iterator *it, bool whole, const char **content,
                                   size_t *length, ks_tar_type *type)
{
    const ks_tar_lookup cut = whole ? KS_TAR_L_ABSENT : KS_TAR_L_UNKNOWN;
    struct xattrs x = {};

    for (;;) {
        const char *before = it->cursor;
        // The step fails without moving when the next record lies beyond
        // the bytes; with a move, the record itself ends the archive.
        if (!ustar_iterator_generate(it))
            return it->cursor == before ? cut : KS_TAR_L_ABSENT;
        if (!ustar_record_length(it, true))
            return KS_TAR_L_UNKNOWN;
        char flag = it->record->typeflag;
        if (flag == '0') {
            if (it->record_length > record_rest(it))
                return cut;
            *type = KS_TAR_T_FILE;
            *length = it->record_length;
            *content = it->cursor + record_bytes;
            break;
        }
        if (flag == '2') {
            if (!x.link)
                x.link_length = ustar_record_linkname(it);
            *type = KS_TAR_T_LINK;
            *length = x.link_length;
            *content = it->link;
            break;
        }
        if (flag == 'x') {
            if (it->record_length > record_rest(it))
                return cut;
            tar_xhdr_generate(it, &x);
            continue;
        }
        if (flag == '\0' || strchr("1345", flag) == nullptr)
            return KS_TAR_L_UNKNOWN;
    }
    if (!x.path && memchr(it->record->name, '\0', sizeof it->record->name) == nullptr)
        return KS_TAR_L_UNKNOWN;
    (void) ustar_record_name(it, x.path);
    return KS_TAR_L_FOUND;
}

ks_tar_lookup ks_tar_find(struct ks_tar_iterator *it, const char *buffer, size_t length, bool whole,
                          const char *name, const char **content, size_t *content_length,
                          ks_tar_type *type)
{
    it->length = length;
    it->cursor = nullptr;
    it->buffer = const_cast<char *>(buffer);
    it->record = nullptr;
    it->record_length = 0;
    for (;;) {
        ks_tar_lookup found = tar_find_step(it, whole, content, content_length, type);
        if (found != KS_TAR_L_FOUND || strcmp(it->path, name) == 0)
            return found;
    }
}

// ---------------------------------------------------------------- writer

struct ks_tar {
    const char *error;
    off_t data_off;
    off_t hdr_off;
    int fd;
    uint32_t timestamp;
    const char *path;
    uint32_t path_len;
    const char *linkpath;
    uint32_t linkpath_len;
    // First slot of the unfinished entry (its extended header, else its
    // header); an abort rewinds here. -1 when none.
    off_t entry_off;
};

static const char zeros[1024] = {};

ks_tar_t *ks_tar_fdopen(int fd)
{
    auto *tar = static_cast<struct ks_tar *>(calloc(1, sizeof(struct ks_tar)));

    if (tar == nullptr)
        return nullptr;
    tar->fd = fd;
    tar->timestamp = static_cast<uint32_t>(time(nullptr));
    tar->error = nullptr;
    tar->data_off = -1;
    tar->hdr_off = -1;
    tar->entry_off = -1;
    return tar;
}

void ks_tar_destroy(struct ks_tar *tar)
{
    free(tar);
}

const char *ks_tar_error(const struct ks_tar *tar)
{
    return tar->error;
}

int ks_tar_fd_get(const struct ks_tar *tar)
{
    return tar->fd;
}

void ks_tar_begin(struct ks_tar *tar, const char *path, unsigned int path_len)
{
    tar->path = path;
    tar->path_len = path_len;
    tar->linkpath = nullptr;
    tar->linkpath_len = 0;
    tar->timestamp = static_cast<uint32_t>(time(nullptr));
}

void ks_tar_set_mtime(struct ks_tar *tar, time_t timestamp)
{
    tar->timestamp = static_cast<uint32_t>(timestamp);
}

static void tar_set_linkpath(struct ks_tar *tar, const char *linkpath, uint32_t linkpath_len)
{
    tar->linkpath = linkpath;
    tar->linkpath_len = linkpath_len;
}

static bool tar_fail(struct ks_tar *tar, int error)
{
    tar->error = strerror(error);
    return false;
}

static off_t tar_lseek(struct ks_tar *tar, off_t offset, int whence)
{
    off_t r = lseek(tar->fd, offset, whence);

    if (r == -1)
        tar_fail(tar, errno);
    return r;
}

static bool tar_pwrite(struct ks_tar *tar, const void *buffer, size_t length, off_t offset)
{
    ssize_t r = ks_fd_pwrite(tar->fd, buffer, length, offset);

    if (r == -1)
        return tar_fail(tar, errno);
    if (static_cast<size_t>(r) != length)
        return tar_fail(tar, EIO);
    return true;
}

static bool tar_write(struct ks_tar *tar, const void *buffer, size_t length, const char *short_write)
{
    ssize_t r = ks_fd_write(tar->fd, buffer, length);

    if (r == -1)
        return tar_fail(tar, errno);
    if (static_cast<size_t>(r) != length) {
        tar->error = short_write;
        return false;
    }
    return true;
}

// Octal digits, most significant first; all "7" when the value does not fit.
static void ustar_format_octal(char *field, size_t digits, uint64_t value)
{
    uint64_t v = value;

    for (size_t i = digits; i-- > 0; v >>= 3)
        field[i] = static_cast<char>('0' + (v & 7));
    if (v != 0)
        memset(field, '7', digits);
}

static void ustar_format_num(char *field, size_t digits, uint64_t value)
{
    ustar_format_octal(field, digits, value);
    field[digits] = ' ';
}

// On a zeroed record.
static void ustar_record_fill(const struct ks_tar *tar, struct ks_ustar_record *r, const char *name,
                              size_t name_len)
{
    memcpy(r->name, name, std::min<size_t>(name_len, field_max));
    ustar_format_num(r->mode, 6, 0644);
    ustar_format_num(r->uid, 6, 0);
    ustar_format_num(r->gid, 6, 0);
    ustar_format_num(r->size, 11, 0);
    ustar_format_num(r->mtime, 11, tar->timestamp);
    memset(r->checksum, ' ', sizeof r->checksum);
    r->typeflag = '0';
    memcpy(r->magic, "ustar", 6);
    memcpy(r->version, "00", 2);
    ustar_format_num(r->devmajor, 6, 0);
    ustar_format_num(r->devminor, 6, 0);
}

// "%06o" and its NUL over the zero digits, then a closing blank.
static void ustar_record_size(struct ks_ustar_record *r, uint32_t length)
{
    char text[16];
    int n = snprintf(text, sizeof text, "%06o", length);

    memcpy(r->size, text, static_cast<size_t>(n) + 1);
    r->size[sizeof r->size - 1] = ' ';
}

static bool ustar_record_write(struct ks_tar *tar, struct ks_ustar_record *r, off_t offset)
{
    const auto *bytes = reinterpret_cast<const unsigned char *>(r);
    unsigned int sum = 0;

    for (size_t i = 0; i < record_bytes; i++)
        sum += bytes[i];
    ustar_format_octal(r->checksum, 6, sum);
    r->checksum[6] = '\0';
    return tar_pwrite(tar, r, record_bytes, offset);
}

static unsigned int num_digits(uint64_t n)
{
    unsigned int d = 1;

    while (n >= 10) {
        n /= 10;
        d++;
    }
    return d;
}

// One "%d %s=%s\n" record whose length counts its own digits.
static bool pax_xhdr_attr_write(struct ks_tar *tar, off_t *offset, const char *key,
                                const char *value, uint32_t value_len)
{
    uint64_t n = uint64_t{value_len} + strlen(key) + 3;
    unsigned int d = num_digits(n);
    uint64_t length = n + d;

    if (num_digits(length) > d)
        length++;
    char *text = static_cast<char *>(malloc(length + 1));
    if (text == nullptr) {
        tar->error = "out of memory";
        return false;
    }
    // Built piecewise so that the value's bytes go in unchanged.
    int head = snprintf(text, length + 1, "%ju %s=", static_cast<uintmax_t>(length), key);
    memcpy(text + head, value, value_len);
    text[length - 1] = '\n';
    bool ok = tar_pwrite(tar, text, length, *offset);
    free(text);
    if (ok)
        *offset += static_cast<off_t>(length);
    return ok;
}

static bool pax_xhdr_commit(struct ks_tar *tar)
{
    char name[99];
    bool rooted = tar->path_len > 0 && tar->path[0] == '/';
    int shown = static_cast<int>(std::min<uint32_t>(tar->path_len, sizeof name));

    if (snprintf(name, sizeof name, "%s%s%.*s", "./PaxHeaders", rooted ? "" : "/", shown,
                 tar->path) < 0) {
        tar->error = "unable to print xhdr name";
        return false;
    }
    // An entry that failed before takes its first slot back.
    off_t slot = tar->entry_off;
    if (slot == -1) {
        off_t end = tar_lseek(tar, record_bytes, SEEK_CUR);
        if (end == -1)
            return false;
        slot = end - static_cast<off_t>(record_bytes);
        tar->entry_off = slot;
    }
    off_t start = slot + static_cast<off_t>(record_bytes);
    off_t end = start;
    if (tar->path_len > field_max &&
        !pax_xhdr_attr_write(tar, &end, "path", tar->path, tar->path_len))
        return false;
    if (tar->linkpath_len > field_max &&
        !pax_xhdr_attr_write(tar, &end, "linkpath", tar->linkpath, tar->linkpath_len))
        return false;

    struct ks_ustar_record r = {};
    ustar_record_fill(tar, &r, name, strlen(name));
    ustar_record_size(&r, static_cast<uint32_t>(end - start));
    r.typeflag = 'x';
    if (!ustar_record_write(tar, &r, slot))
        return false;
    // Zero the padding: an aborted entry may have left bytes there.
    off_t header = static_cast<off_t>(round_up(static_cast<size_t>(end)));
    if (header != end && !tar_pwrite(tar, zeros, static_cast<size_t>(header - end), end))
        return false;
    tar->hdr_off = header;
    return true;
}

bool ks_tar_metadata_commit(struct ks_tar *tar)
{
    if (tar->path_len > field_max || tar->linkpath_len > field_max) {
        if (!pax_xhdr_commit(tar))
            return false;
    } else if (tar->entry_off != -1) {
        tar->hdr_off = tar->entry_off;
    }
    if (tar->hdr_off == -1) {
        off_t data = tar_lseek(tar, record_bytes, SEEK_CUR);
        if (data == -1)
            return false;
        tar->data_off = data;
        tar->hdr_off = data - static_cast<off_t>(record_bytes);
        tar->entry_off = tar->hdr_off;
        return true;
    }
    tar->data_off = tar->hdr_off + static_cast<off_t>(record_bytes);
    return tar_lseek(tar, tar->data_off, SEEK_SET) != -1;
}

static void tar_entry_done(struct ks_tar *tar)
{
    tar->data_off = -1;
    tar->hdr_off = -1;
    tar->entry_off = -1;
}

static bool ustar_record_file(struct ks_tar *tar, uint32_t length)
{
    struct ks_ustar_record r = {};

    ustar_record_fill(tar, &r, tar->path, tar->path_len);
    ustar_record_size(&r, length);
    return ustar_record_write(tar, &r, tar->hdr_off);
}

bool ks_tar_end(struct ks_tar *tar, size_t length)
{
    // The size field is filled from 32 bits; a larger length would be
    // recorded wrongly and the reader would lose its way in the data.
    if (length > UINT32_MAX) {
        tar->error = "file too large";
        return false;
    }
    if (tar->hdr_off == -1)
        return tar_fail(tar, EINVAL);
    size_t padding = (record_bytes - length % record_bytes) % record_bytes;
    if (padding != 0 && !tar_write(tar, zeros, padding, "failed to align"))
        return false;
    if (!ustar_record_file(tar, static_cast<uint32_t>(length)))
        return false;
    tar_entry_done(tar);
    return true;
}

bool ks_tar_abort(struct ks_tar *tar)
{
    // Rewinding to the entry's first slot gives the slot back, so no
    // abandoned extended header or zero record is left in the archive.
    if (tar->entry_off != -1 && lseek(tar->fd, tar->entry_off, SEEK_SET) == -1) {
        tar->error = "failed to reset file position";
        return false;
    }
    tar_entry_done(tar);
    return true;
}

static bool ustar_record_link(struct ks_tar *tar)
{
    struct ks_ustar_record r = {};

    if (!ks_tar_metadata_commit(tar))
        return false;
    ustar_record_fill(tar, &r, tar->path, tar->path_len);
    r.typeflag = '2';
    memcpy(r.linkname, tar->linkpath, std::min(tar->linkpath_len, field_max));
    return ustar_record_write(tar, &r, tar->hdr_off);
}

bool ks_tar_symlink(struct ks_tar *tar, const char *from, const char *to, time_t timestamp)
{
    if (to == nullptr || to[0] == '\0') {
        tar->error = "destination path is invalid";
        return false;
    }
    ks_tar_begin(tar, from, static_cast<unsigned int>(strlen(from)));
    tar_set_linkpath(tar, to, static_cast<uint32_t>(strlen(to)));
    ks_tar_set_mtime(tar, timestamp);
    if (ustar_record_link(tar)) {
        tar_entry_done(tar);
        return true;
    }
    (void) ks_tar_abort(tar);
    return false;
}

bool ks_tar_commit(struct ks_tar *tar)
{
    return tar_write(tar, zeros, sizeof zeros, "failed to write EOF");
}
