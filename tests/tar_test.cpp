#include "common/tar.h"

#include "support.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

static const time_t mtime = 1700000000;

// ---------------------------------------------------------------- helpers

struct entry {
    std::string path;
    ks_tar_type type;
    std::string content; // file data, or the link text up to its NUL
    size_t length;
};

struct reading {
    bool opened;
    std::vector<entry> entries;
    std::string err;
};

// Standard error of the process, redirected into a file for a while.
struct stderr_capture {
    ks_test_dir dir;
    int saved;
    stderr_capture()
    {
        fflush(stderr);
        int fd = open((dir / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        saved = dup(2);
        dup2(fd, 2);
        close(fd);
    }
    std::string finish()
    {
        fflush(stderr);
        dup2(saved, 2);
        close(saved);
        return ks_test_read_file(dir / "err");
    }
};

// Moves the object to the end of a mapping that is followed by an
// inaccessible page, so that any read past the object faults.
struct guard {
    struct ks_tar_iterator *it;
    char *saved;
    char *region;
    size_t size;
    explicit guard(struct ks_tar_iterator *iterator) : it(iterator), saved(iterator->buffer)
    {
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t data = (it->length + page - 1) / page * page;
        size = data + page;
        region = static_cast<char *>(
            mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        char *copy = region + data - it->length;
        memcpy(copy, it->buffer, it->length);
        mprotect(region, data, PROT_READ);
        mprotect(region + data, page, PROT_NONE);
        it->buffer = copy;
    }
    ~guard()
    {
        it->buffer = saved;
        munmap(region, size);
    }
};

static reading read_object(const std::string &path)
{
    reading r = {};
    struct ks_tar_iterator *it = ks_tar_iterator_open(path.c_str());

    if (it == nullptr)
        return r;
    r.opened = true;
    stderr_capture capture;
    {
        guard g(it);
        const char *name, *content;
        size_t length;
        ks_tar_type type;
        while ((content = ks_tar_iterate(it, &name, &length, &type)) != nullptr) {
            entry e = {name, type, "", length};
            if (type == KS_TAR_T_FILE) {
                EXPECT_GE(content, it->buffer);
                EXPECT_LE(content + length, it->buffer + it->length);
                e.content.assign(content, length);
            } else {
                EXPECT_EQ(content, it->link);
                e.content = content;
            }
            r.entries.push_back(e);
            if (r.entries.size() > 10000)
                break;
        }
        EXPECT_EQ(ks_tar_iterate(it, &name, &length, &type), nullptr);
    }
    r.err = capture.finish();
    ks_tar_iterator_destroy(it);
    return r;
}

static reading read_bytes(const ks_test_dir &dir, const std::string &bytes)
{
    ks_test_write_file(dir / "object", bytes);
    return read_object(dir / "object");
}

// Raw records for objects no writer of ours would produce.
static std::string ustar(const std::string &name, char flag, size_t size = 0,
                         const std::string &link = "")
{
    std::string r(512, '\0');
    char text[16];

    r.replace(0, std::min<size_t>(name.size(), 100), name, 0, 100);
    snprintf(text, sizeof text, "%011zo", size);
    r.replace(124, 11, text);
    r[156] = flag;
    r.replace(157, std::min<size_t>(link.size(), 100), link, 0, 100);
    r.replace(257, 8, std::string("ustar\0" "00", 8));
    return r;
}

static std::string padded(std::string s)
{
    s.resize((s.size() + 511) / 512 * 512, '\0');
    return s;
}

static std::string pax(const std::string &key, const std::string &value)
{
    size_t n = key.size() + value.size() + 3, length = n;
    while (length != n + std::to_string(length).size())
        length = n + std::to_string(length).size();
    return std::to_string(length) + " " + key + "=" + value + "\n";
}

static std::string xhdr(const std::string &records)
{
    return ustar("./PaxHeaders/x", 'x', records.size()) + padded(records);
}

static const std::string end_records(1024, '\0');

// A name of exactly n characters, a slash every 20.
static std::string long_name(size_t n, char first = 'a')
{
    std::string s;
    for (size_t i = 0; i < n; i++)
        s += (i % 20 == 19 && i + 1 != n) ? '/' : static_cast<char>(first + i % 20);
    return s;
}

static void write_file(ks_tar_t *tar, const std::string &name, const std::string &data)
{
    ks_tar_begin(tar, name.c_str(), static_cast<unsigned int>(name.size()));
    ks_tar_set_mtime(tar, mtime);
    ASSERT_TRUE(ks_tar_metadata_commit(tar)) << ks_tar_error(tar);
    ASSERT_EQ(write(ks_tar_fd_get(tar), data.data(), data.size()),
              static_cast<ssize_t>(data.size()));
    ASSERT_TRUE(ks_tar_end(tar, data.size())) << ks_tar_error(tar);
}

struct object {
    std::string path;
    int fd;
    ks_tar_t *tar;
    object(const ks_test_dir &dir, const std::string &name = "object") : path(dir / name)
    {
        fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        tar = ks_tar_fdopen(fd);
    }
    std::string finish()
    {
        EXPECT_TRUE(ks_tar_commit(tar)) << ks_tar_error(tar);
        ks_tar_destroy(tar);
        close(fd);
        return ks_test_read_file(path);
    }
};

static std::string checksum(std::string record)
{
    unsigned int sum = 0;
    char text[8];

    record.replace(148, 8, 8, ' ');
    for (unsigned char c : record)
        sum += c;
    snprintf(text, sizeof text, "%06o", sum);
    return std::string(text, 7) + " ";
}

// The full path of a program found in PATH, or "".
static std::string tool(const char *name)
{
    std::istringstream path(getenv("PATH") != nullptr ? getenv("PATH") : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(path, dir, ':'))
        if (access((dir + "/" + name).c_str(), X_OK) == 0)
            return dir + "/" + name;
    return "";
}

// ---------------------------------------------------------------- writer

TEST(TarWriter, LinkOnlyObjectIsOneHeaderAndTheEndRecords)
{
    ks_test_dir dir;
    object o(dir);

    ASSERT_TRUE(ks_tar_symlink(o.tar, "/proc/self/exe", "/usr/bin/true", mtime));
    std::string bytes = o.finish();
    ASSERT_EQ(bytes.size(), 1536u);

    std::string expected(512, '\0');
    expected.replace(0, 14, "/proc/self/exe");
    expected.replace(100, 24, std::string("000644 \0" "000000 \0" "000000 \0", 24));
    expected.replace(124, 12, "00000000000 ");
    expected.replace(136, 12, "14524770400 "); // 1700000000
    expected[156] = '2';
    expected.replace(157, 13, "/usr/bin/true");
    expected.replace(257, 8, std::string("ustar\0" "00", 8));
    expected.replace(329, 16, std::string("000000 \0" "000000 \0", 16));
    expected.replace(148, 8, checksum(expected));
    EXPECT_EQ(bytes.substr(0, 512), expected);
    EXPECT_EQ(bytes.substr(512), end_records);
}

TEST(TarWriter, FileDataIsPaddedAndSizedInOctal)
{
    ks_test_dir dir;
    object o(dir);

    write_file(o.tar, "a", std::string(1000, 'd'));
    write_file(o.tar, "b", "");
    write_file(o.tar, "c", std::string(512, 'e'));
    write_file(o.tar, "d", std::string(513, 'f'));
    std::string bytes = o.finish();

    EXPECT_EQ(bytes.substr(124, 12), std::string("001750\0" "0000 ", 12));
    EXPECT_EQ(bytes.substr(148, 8), checksum(bytes.substr(0, 512)));
    EXPECT_EQ(bytes.substr(512, 1000), std::string(1000, 'd'));
    EXPECT_EQ(bytes.substr(1512, 24), std::string(24, '\0'));
    // "b" has no data: "c" follows right after its header.
    EXPECT_EQ(bytes.substr(1536, 2), std::string("b\0", 2));
    EXPECT_EQ(bytes.substr(1536 + 124, 12), std::string("000000\0" "0000 ", 12));
    EXPECT_EQ(bytes.substr(2048, 2), std::string("c\0", 2));
    EXPECT_EQ(bytes.substr(2048 + 124, 12), std::string("001000\0" "0000 ", 12));
    EXPECT_EQ(bytes.substr(3072, 2), std::string("d\0", 2));
    EXPECT_EQ(bytes.substr(3584, 513), std::string(513, 'f'));
    EXPECT_EQ(bytes.substr(3584 + 513, 511), std::string(511, '\0'));
    EXPECT_EQ(bytes.size(), 4608u + 1024u);
}

TEST(TarWriter, LongNameGetsAPathRecordOf110Bytes)
{
    ks_test_dir dir;
    object o(dir);
    std::string name = long_name(100);

    write_file(o.tar, long_name(99), "x"); // no extended header
    write_file(o.tar, name, "y");
    std::string bytes = o.finish();

    EXPECT_EQ(bytes[156], '0');
    EXPECT_EQ(bytes.substr(0, 100), long_name(99) + std::string(1, '\0'));
    std::string x = bytes.substr(1024, 512);
    EXPECT_EQ(x[156], 'x');
    EXPECT_EQ(x.substr(0, 100), ("./PaxHeaders/" + name).substr(0, 98) + std::string(2, '\0'));
    EXPECT_EQ(x.substr(124, 12), std::string("000156\0" "0000 ", 12));
    EXPECT_EQ(x.substr(148, 8), checksum(x));
    EXPECT_EQ(bytes.substr(1536, 512), padded("110 path=" + name + "\n"));
    EXPECT_EQ(bytes.substr(2048, 100), name.substr(0, 99) + std::string(1, '\0'));
    EXPECT_EQ(bytes[2048 + 156], '0');
    EXPECT_EQ(bytes.substr(2560, 1), "y");
}

TEST(TarWriter, LongLinkTargetGetsALinkpathRecordOnlyForTheLink)
{
    ks_test_dir dir;
    object o(dir);
    std::string target = "/" + long_name(149);

    ASSERT_TRUE(ks_tar_symlink(o.tar, "/proc/self/exe", target.c_str(), mtime));
    write_file(o.tar, "after", "z");
    std::string bytes = o.finish();

    EXPECT_EQ(bytes.substr(0, 26), "./PaxHeaders/proc/self/exe");
    EXPECT_EQ(bytes.substr(512, 512), padded(pax("linkpath", target)));
    EXPECT_EQ(bytes.substr(1024 + 157, 100), target.substr(0, 99) + std::string(1, '\0'));
    EXPECT_EQ(bytes.substr(1536, 6), std::string("after\0", 6));
    EXPECT_EQ(bytes[1536 + 156], '0');
}

TEST(TarWriter, RefusesWhatItCannotDescribe)
{
    ks_test_dir dir;
    object o(dir);

    EXPECT_FALSE(ks_tar_symlink(o.tar, "/proc/self/exe", "", mtime));
    EXPECT_STREQ(ks_tar_error(o.tar), "destination path is invalid");
    EXPECT_EQ(lseek(o.fd, 0, SEEK_CUR), 0);

    // 4 GiB do not fit the size field: nothing is written for them.
    ks_tar_begin(o.tar, "core", 4);
    ASSERT_TRUE(ks_tar_metadata_commit(o.tar));
    EXPECT_FALSE(ks_tar_end(o.tar, size_t{1} << 32));
    EXPECT_STREQ(ks_tar_error(o.tar), "file too large");
    struct stat st;
    ASSERT_EQ(fstat(o.fd, &st), 0);
    EXPECT_EQ(st.st_size, 0);
    ASSERT_TRUE(ks_tar_abort(o.tar));
    EXPECT_EQ(lseek(o.fd, 0, SEEK_CUR), 0);

    write_file(o.tar, "kept", "data");
    o.finish();
    reading r = read_object(o.path);
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].path, "kept");
}

TEST(TarWriter, ReportsTheSystemsErrors)
{
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    ks_tar_t *tar = ks_tar_fdopen(p[1]);
    ks_tar_begin(tar, "a", 1);
    EXPECT_FALSE(ks_tar_metadata_commit(tar));
    EXPECT_STREQ(ks_tar_error(tar), strerror(ESPIPE));
    ks_tar_destroy(tar);
    close(p[0]);
    close(p[1]);

    ks_test_dir dir;
    ks_test_write_file(dir / "ro", "");
    int fd = open((dir / "ro").c_str(), O_RDONLY | O_CLOEXEC);
    tar = ks_tar_fdopen(fd);
    EXPECT_FALSE(ks_tar_commit(tar));
    EXPECT_STREQ(ks_tar_error(tar), strerror(EBADF));
    ks_tar_destroy(tar);
    close(fd);
}

// An aborted entry must leave neither a zero record (which would end the
// archive early) nor its extended header (which would rename the next entry).
TEST(TarWriter, AbortGivesTheEntrysSlotsBack)
{
    ks_test_dir dir;
    object o(dir);

    ks_tar_begin(o.tar, "short", 5);
    ASSERT_TRUE(ks_tar_metadata_commit(o.tar));
    ASSERT_EQ(write(o.fd, "partial", 7), 7);
    ASSERT_TRUE(ks_tar_abort(o.tar));
    std::string name = long_name(150, 'A');
    ks_tar_begin(o.tar, name.c_str(), 150);
    ASSERT_TRUE(ks_tar_metadata_commit(o.tar));
    ASSERT_EQ(write(o.fd, std::string(3000, 'p').data(), 3000), 3000);
    ASSERT_TRUE(ks_tar_abort(o.tar));
    write_file(o.tar, long_name(120, 'a'), "one");
    write_file(o.tar, "two", "2");
    o.finish();

    reading r = read_object(o.path);
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[0].path, long_name(120, 'a'));
    EXPECT_EQ(r.entries[0].content, "one");
    EXPECT_EQ(r.entries[1].path, "two");
    if (!tool("tar").empty()) {
        ks_test_result t = ks_test_run({tool("tar"), "-tf", o.path});
        EXPECT_EQ(t.out, long_name(120, 'a') + "\ntwo\n") << t.err;
    }
}

// ---------------------------------------------------------------- interoperability

struct written {
    std::string name, target, data;
};

static std::vector<written> mixed_entries()
{
    std::vector<written> all = {{"", "", "empty name"}};
    size_t names[] = {1, 98, 99, 100, 101, 155, 156, 255, 256, 300};
    size_t sizes[] = {0, 1, 511, 512, 513, 1000};
    size_t targets[] = {1, 12, 99, 100, 150, 300};
    for (size_t n : names) {
        for (size_t s : sizes)
            all.push_back({long_name(n), "", std::string(s, static_cast<char>('0' + s % 10))});
        for (size_t t : targets)
            all.push_back({n == 1 ? "l" : "/" + long_name(n - 1), "/" + long_name(t - 1, 'k'), ""});
    }
    return all;
}

static void write_mixed(object &o, const std::vector<written> &all)
{
    for (const written &w : all) {
        if (w.target.empty())
            write_file(o.tar, w.name, w.data);
        else
            ASSERT_TRUE(ks_tar_symlink(o.tar, w.name.c_str(), w.target.c_str(), mtime));
    }
    o.finish();
}

TEST(TarInterop, WriterObjectsReadBackIdentically)
{
    ks_test_dir dir;
    object o(dir);
    std::vector<written> all = mixed_entries();

    ASSERT_NO_FATAL_FAILURE(write_mixed(o, all));

    reading r = read_object(o.path);
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(r.entries.size(), all.size());
    for (size_t i = 0; i < all.size(); i++) {
        const entry &e = r.entries[i];
        SCOPED_TRACE(all[i].name);
        EXPECT_EQ(e.path, all[i].name);
        if (all[i].target.empty()) {
            EXPECT_EQ(e.type, KS_TAR_T_FILE);
            EXPECT_EQ(e.content, all[i].data);
        } else {
            EXPECT_EQ(e.type, KS_TAR_T_LINK);
            EXPECT_EQ(e.content, all[i].target);
            size_t n = all[i].target.size();
            EXPECT_EQ(e.length, n > 99 ? n : n + 1);
        }
    }
}

TEST(TarInterop, GnuTarListsWriterObjects)
{
    if (tool("tar").empty())
        GTEST_SKIP() << "no tar";
    ks_test_dir dir;
    object o(dir);
    std::vector<written> all = mixed_entries();

    ASSERT_NO_FATAL_FAILURE(write_mixed(o, all));
    ks_test_result t = ks_test_run({tool("tar"), "-tvf", o.path}, {"TZ=UTC"});
    ASSERT_EQ(t.status, 0) << t.err;
    std::istringstream lines(t.out);
    std::string line;
    for (const written &w : all) {
        ASSERT_TRUE(std::getline(lines, line));
        std::istringstream fields(line);
        std::string mode, owner, size, day, time;
        fields >> mode >> owner >> size >> day >> time;
        std::string rest;
        std::getline(fields, rest);
        EXPECT_EQ(owner, "0/0");
        EXPECT_EQ(day + " " + time, "2023-11-14 22:13");
        if (w.target.empty()) {
            EXPECT_EQ(mode, "-rw-r--r--");
            EXPECT_EQ(size, std::to_string(w.data.size()));
            EXPECT_EQ(rest, " " + w.name);
        } else {
            EXPECT_EQ(mode, "lrw-r--r--");
            EXPECT_EQ(rest, " " + w.name + " -> " + w.target);
        }
    }
    EXPECT_FALSE(std::getline(lines, line)) << line;
}

TEST(TarInterop, ReadsGnuTarPaxObjects)
{
    if (tool("tar").empty())
        GTEST_SKIP() << "no tar";
    ks_test_dir dir;
    std::string root = dir / "root";
    std::string file = long_name(180) + "f";
    std::string target = "/" + long_name(250, 'k');
    ASSERT_EQ(system(("mkdir -p '" + root + "/" + file.substr(0, file.rfind('/')) + "'").c_str()),
              0);
    ks_test_write_file(root + "/" + file, std::string(1000, 'g'));
    ks_test_write_file(root + "/small", "s");
    ASSERT_EQ(symlink(target.c_str(), (root + "/exe").c_str()), 0);
    ASSERT_EQ(symlink("/usr/bin/true", (root + "/" + long_name(120) + "l").c_str()), 0);

    ks_test_result t =
        ks_test_run({tool("tar"), "--format=pax", "--no-recursion", "-cf", dir / "object", "-C", root,
                     file, "small", "exe", long_name(120) + "l", file.substr(0, file.find('/'))});
    ASSERT_EQ(t.status, 0) << t.err;
    reading r = read_object(dir / "object");
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(r.entries.size(), 4u); // the directory is passed over
    EXPECT_EQ(r.entries[0].path, file);
    EXPECT_EQ(r.entries[0].content, std::string(1000, 'g'));
    EXPECT_EQ(r.entries[1].path, "small");
    EXPECT_EQ(r.entries[1].content, "s");
    EXPECT_EQ(r.entries[2].path, "exe");
    EXPECT_EQ(r.entries[2].type, KS_TAR_T_LINK);
    EXPECT_EQ(r.entries[2].content, target);
    EXPECT_EQ(r.entries[2].length, target.size());
    EXPECT_EQ(r.entries[3].path, long_name(120) + "l");
    EXPECT_EQ(r.entries[3].content, "/usr/bin/true");
    EXPECT_EQ(r.entries[3].length, 14u);
}

TEST(TarInterop, ReadsPythonPaxObjects)
{
    if (tool("python3").empty())
        GTEST_SKIP() << "no python3";
    ks_test_dir dir;
    std::string name = long_name(200), target = "/" + long_name(299, 'k');
    std::string script = "import io, sys, tarfile\n"
                         "with tarfile.open(sys.argv[1], 'w', format=tarfile.PAX_FORMAT) as t:\n"
                         "    for name, data in ((sys.argv[2], b'p' * 513), ('short', b'')):\n"
                         "        i = tarfile.TarInfo(name); i.size = len(data)\n"
                         "        t.addfile(i, io.BytesIO(data))\n"
                         "    i = tarfile.TarInfo('/proc/self/exe'); i.type = tarfile.SYMTYPE\n"
                         "    i.linkname = sys.argv[3]; t.addfile(i)\n";
    ks_test_result t = ks_test_run({tool("python3"), "-c", script, dir / "object", name, target});
    ASSERT_EQ(t.status, 0) << t.err;

    reading r = read_object(dir / "object");
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(r.entries.size(), 3u);
    EXPECT_EQ(r.entries[0].path, name);
    EXPECT_EQ(r.entries[0].content, std::string(513, 'p'));
    EXPECT_EQ(r.entries[1].path, "short");
    EXPECT_EQ(r.entries[1].length, 0u);
    EXPECT_EQ(r.entries[2].path, "/proc/self/exe");
    EXPECT_EQ(r.entries[2].content, target);
    EXPECT_EQ(r.entries[2].length, 300u);
}

// ---------------------------------------------------------------- reader

TEST(TarReader, OpenFailsWithoutAMappableFile)
{
    ks_test_dir dir;

    EXPECT_EQ(ks_tar_iterator_open((dir / "missing").c_str()), nullptr);
    ks_test_write_file(dir / "empty", "");
    EXPECT_EQ(ks_tar_iterator_open((dir / "empty").c_str()), nullptr);
    EXPECT_EQ(ks_tar_iterator_open(dir.path.c_str()), nullptr);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(ks_tar_iterator_open((dir / "fifo").c_str()), nullptr);
}

TEST(TarReader, EndsQuietlyAtZerosForeignRecordsAndTheEndOfFile)
{
    ks_test_dir dir;
    std::string link = ustar("/proc/self/exe", '2', 0, "/usr/bin/true");

    reading r = read_bytes(dir, end_records);
    EXPECT_TRUE(r.opened);
    EXPECT_TRUE(r.entries.empty());

    std::string foreign = link;
    foreign[262] = ' ';
    r = read_bytes(dir, foreign + link);
    EXPECT_TRUE(r.entries.empty());
    foreign = link;
    foreign.replace(263, 2, "0 ");
    r = read_bytes(dir, foreign + link);
    EXPECT_TRUE(r.entries.empty());
    EXPECT_EQ(r.err, "");

    r = read_bytes(dir, link); // no closing records
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].type, KS_TAR_T_LINK);
    EXPECT_EQ(r.entries[0].content, "/usr/bin/true");
    EXPECT_EQ(r.entries[0].length, 14u);
    EXPECT_EQ(r.err, "");
}

TEST(TarReader, FileDataIsHandedOutInPlace)
{
    ks_test_dir dir;
    std::string bytes = ustar("core", '0', 1000) + padded(std::string(1000, 'c')) +
                        ustar("next", '0', 1) + padded("n") + end_records;
    ks_test_write_file(dir / "object", bytes);
    struct ks_tar_iterator *it = ks_tar_iterator_open((dir / "object").c_str());
    ASSERT_NE(it, nullptr);
    const char *path;
    size_t length;
    ks_tar_type type;

    EXPECT_EQ(ks_tar_iterate(it, &path, &length, &type), it->buffer + 512);
    EXPECT_EQ(length, 1000u);
    EXPECT_EQ(type, KS_TAR_T_FILE);
    EXPECT_STREQ(path, "core");
    EXPECT_EQ(ks_tar_iterate(it, &path, &length, &type), it->buffer + 512 + 1024 + 512);
    EXPECT_STREQ(path, "next");
    EXPECT_EQ(ks_tar_iterate(it, &path, &length, &type), nullptr);
    ks_tar_iterator_destroy(it);
}

TEST(TarReader, PrintsItsThreeMessages)
{
    ks_test_dir dir;
    std::string file = ustar("f", '0', 1) + padded("1");

    reading r = read_bytes(dir, ustar("dir/", '5') + ustar("g", 'g', 3) + padded("abc") + file);
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].path, "f");
    EXPECT_EQ(r.err, "error: unknown type flag 'g'\n");

    std::string unnamed = ustar(std::string(100, 'N'), '0');
    r = read_bytes(dir, file + unnamed + file);
    EXPECT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.err, "error: name '" + std::string(100, 'N') + "' is not NUL-terminated\n");

    std::string negative = file;
    negative.replace(124, 11, "-0000000001");
    r = read_bytes(dir, file + negative + file);
    EXPECT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.err, "error: can't parse record size '-0000000001'\n");
}

TEST(TarReader, ExtendedHeadersApplyOutermostLast)
{
    ks_test_dir dir;
    std::string link = ustar("ustar-name", '2', 0, "ustar-link");

    reading r = read_bytes(dir, xhdr(pax("path", "outer") + pax("comment", "x")) +
                                    xhdr(pax("path", "inner") + pax("linkpath", "inner-link")) +
                                    ustar("dir", '5') + link + link);
    ASSERT_EQ(r.entries.size(), 2u);
    EXPECT_EQ(r.entries[0].path, "outer");
    EXPECT_EQ(r.entries[0].content, "inner-link");
    EXPECT_EQ(r.entries[0].length, 10u);
    EXPECT_EQ(r.entries[1].path, "ustar-name"); // attributes do not carry over
    EXPECT_EQ(r.entries[1].length, 11u);

    // Within one header the later record wins; an empty header changes nothing.
    r = read_bytes(dir, xhdr(pax("path", "first") + pax("path", "second")) + xhdr("") + link);
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].path, "second");
}

// ---------------------------------------------------------------- hostile input

TEST(TarHostile, NothingIsReturnedFromBeyondTheEnd)
{
    ks_test_dir dir;
    std::string file = ustar("f", '0', 3) + padded("abc");

    reading r = read_bytes(dir, file + ustar("big", '0', 600) + std::string(599, 'd'));
    EXPECT_EQ(r.entries.size(), 1u);
    r = read_bytes(dir, file + xhdr(pax("path", std::string(1000, 'p'))).substr(0, 512 + 600));
    EXPECT_EQ(r.entries.size(), 1u);
    r = read_bytes(dir, file + ustar("half", '0').substr(0, 300));
    EXPECT_EQ(r.entries.size(), 1u);
    // Sizes up to the largest eleven octal digits, on skipped kinds too.
    r = read_bytes(dir, file + ustar("d", '5', 077777777777) + file);
    EXPECT_EQ(r.entries.size(), 1u);
    r = read_bytes(dir, file + ustar("f", '0', 077777777777) + file);
    EXPECT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.err, "");

    // The data may end without its padding.
    r = read_bytes(dir, ustar("f", '0', 3) + "abc");
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].content, "abc");
}

TEST(TarHostile, LongExtendedValuesAreCutToTheBuffers)
{
    ks_test_dir dir;
    std::string huge(5000, 'v');

    reading r = read_bytes(dir, xhdr(pax("path", huge) + pax("linkpath", huge)) +
                                    ustar("l", '2', 0, "t"));
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].path, std::string(4095, 'v'));
    EXPECT_EQ(r.entries[0].content, std::string(4095, 'v'));
    EXPECT_EQ(r.entries[0].length, 4095u);
}

TEST(TarHostile, AMalformedExtendedRecordEndsOnlyItsWalk)
{
    ks_test_dir dir;
    std::string link = ustar("name", '2', 0, "target");
    const char *broken[] = {
        "3 \n",                      // shorter than its own number, blank, key and "="
        "5 path=x\n",                // declared too short
        "0 path=x\n",                // zero
        "99999999999 path=x\n",      // more than 32 bits
        "9 path\n\n\n",              // no "="
        "12 path=xx\n",              // last byte not a newline
        "x9 path=x\n",               // no leading digit
        "9path=xx\n",                // no blank after the number
        "1000 path=past-the-end\n",  // longer than the data
    };
    for (const char *b : broken) {
        SCOPED_TRACE(b);
        reading r = read_bytes(dir, xhdr(pax("linkpath", "applied") + b + pax("path", "lost")) +
                                        link + end_records);
        ASSERT_EQ(r.entries.size(), 1u);
        EXPECT_EQ(r.entries[0].path, "name");
        EXPECT_EQ(r.entries[0].content, "applied");
        EXPECT_EQ(r.err, "");
    }
}

TEST(TarHostile, FieldsWithoutNulAreBounded)
{
    ks_test_dir dir;
    std::string full(100, 'L');

    reading r = read_bytes(dir, ustar("l", '2', 0, full));
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].content, full);
    EXPECT_EQ(r.entries[0].length, 101u);

    // Other writers fill the name of a long path without a NUL.
    r = read_bytes(dir, xhdr(pax("path", "long")) + ustar(std::string(100, 'N'), '0'));
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].path, "long");
    EXPECT_EQ(r.err, "");
}

// A linkpath length on a file would let callers read past its data.
TEST(TarHostile, LinkpathDoesNotChangeAFilesLength)
{
    ks_test_dir dir;

    reading r = read_bytes(dir, xhdr(pax("linkpath", std::string(3000, 'l'))) +
                                    ustar("f", '0', 2) + "ab");
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].type, KS_TAR_T_FILE);
    EXPECT_EQ(r.entries[0].length, 2u);
    EXPECT_EQ(r.entries[0].content, "ab");
}

// Consecutive extended headers are looped, not nested: no stack depth limit.
TEST(TarHostile, ManyExtendedHeadersInARow)
{
    ks_test_dir dir;
    std::string bytes = xhdr(pax("path", "p"));

    for (int i = 0; i < 30000; i++)
        bytes += xhdr("");
    reading r = read_bytes(dir, bytes + ustar("f", '0'));
    ASSERT_EQ(r.entries.size(), 1u);
    EXPECT_EQ(r.entries[0].path, "p");
}

// ---------------------------------------------------------------- lookup in the first bytes

// What iterating the whole object says about the first entry of a name:
// the entry (if any) and the messages printed before it was reached.
struct first_entry {
    bool found = false;
    entry e;
    std::string err;
};

static first_entry iterate_to(const std::string &path, const char *name)
{
    first_entry r;
    struct ks_tar_iterator *it = ks_tar_iterator_open(path.c_str());

    if (it == nullptr)
        return r;
    stderr_capture capture;
    const char *p, *content;
    size_t length;
    ks_tar_type type;
    while ((content = ks_tar_iterate(it, &p, &length, &type)) != nullptr) {
        if (strcmp(p, name) != 0)
            continue;
        r.found = true;
        r.e = {p, type, type == KS_TAR_T_FILE ? std::string(content, length) : std::string(content), length};
        break;
    }
    r.err = capture.finish();
    ks_tar_iterator_destroy(it);
    return r;
}

// The first n bytes at the very end of a readable region, so that any read
// past them faults.
struct fenced {
    char *region = nullptr;
    size_t size = 0;
    const char *bytes = nullptr;
    fenced(const std::string &data, size_t n)
    {
        size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        size_t room = (n + page - 1) / page * page + page;
        size = room + page;
        region = static_cast<char *>(
            mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        char *copy = region + room - n;
        memcpy(copy, data.data(), n);
        mprotect(region + room, page, PROT_NONE);
        bytes = copy;
    }
    ~fenced() { munmap(region, size); }
};

// Every object, cut at every interesting length: a lookup in the first bytes
// agrees with iterating the whole object, never prints, never reads past the
// bytes, and answers "unknown" only where it must.
TEST(TarFind, AgreesWithTheWholeObjectAtEveryCut)
{
    ks_test_dir dir;
    const std::string exe = "/proc/self/exe";
    std::string link = ustar(exe, '2', 0, "/usr/bin/true");
    std::string big = ustar("/proc/self/maps", '0', 5000) + padded(std::string(5000, 'm'));
    std::string deep = "/opt/" + std::string(200, 'd') + "/app";
    std::string unnamed = ustar(std::string(100, 'N'), '0');
    std::vector<std::string> objects = {
        "",
        end_records,
        link + end_records,
        link,
        ustar(exe, '0', 9) + padded(std::string("/bin/sh\0x", 9)) + end_records,
        big + link + end_records,
        big + big + ustar("/proc/self/odd", 'g') + link,
        ustar("/proc/self/odd", 'g') + link + end_records,
        link + ustar("/proc/self/odd", 'g') + end_records,
        ustar("d/", '5') + ustar("d/", '5', 3000) + padded(std::string(3000, 'z')) + link,
        xhdr(pax("linkpath", deep)) + ustar(exe, '2', 0, "short") + end_records,
        xhdr(pax("path", exe) + pax("linkpath", deep)) + ustar("cut", '2', 0, "x"),
        xhdr(pax("path", std::string(3000, 'p'))) + ustar("x", '0') + link,
        unnamed + link,
        xhdr(pax("path", exe)) + unnamed,
        ustar("other", '2', 0, "/bin/false") + ustar("f", '0', 077777777777) + link,
        ustar("other", '0', 1) + padded("1") + std::string(512, 'g') + link,
        link.substr(0, 300),
    };
    std::string negative = link;
    negative.replace(124, 11, "-0000000001");
    objects.push_back(big + negative + link);
    {
        object o(dir, "written");
        write_file(o.tar, "/proc/self/cmdline", std::string("app\0-x\0", 7));
        write_file(o.tar, "/proc/self/maps", std::string(7000, 'm'));
        ASSERT_TRUE(ks_tar_symlink(o.tar, exe.c_str(), deep.c_str(), mtime));
        objects.push_back(o.finish());
    }

    std::vector<first_entry> wholes;
    for (const std::string &bytes : objects) {
        ks_test_write_file(dir / "object", bytes);
        wholes.push_back(iterate_to(dir / "object", exe.c_str()));
    }
    int checked = 0;
    stderr_capture capture;
    for (size_t k = 0; k < objects.size(); k++) {
        const std::string &bytes = objects[k];
        const first_entry &whole = wholes[k];
        std::vector<size_t> cuts = {bytes.size()};
        for (size_t cut = 0; cut < bytes.size(); cut += 128)
            cuts.push_back(cut);
        for (size_t cut : {511, 513, 1023, 1025, 4095, 4096})
            if (cut < bytes.size())
                cuts.push_back(cut);
        for (size_t cut : cuts) {
            SCOPED_TRACE("object " + std::to_string(k) + " cut at " + std::to_string(cut));
            fenced f(bytes, cut);
            struct ks_tar_iterator it;
            const char *content = nullptr;
            size_t length = 0;
            ks_tar_type type = KS_TAR_T_FILE;
            bool all = cut == bytes.size();
            ks_tar_lookup r = ks_tar_find(&it, f.bytes, cut, all, exe.c_str(), &content, &length, &type);
            checked++;
            if (r == KS_TAR_L_FOUND) {
                ASSERT_TRUE(whole.found);
                EXPECT_EQ(whole.err, "");
                EXPECT_EQ(type, whole.e.type);
                EXPECT_EQ(length, whole.e.length);
                EXPECT_EQ(type == KS_TAR_T_FILE ? std::string(content, length) : std::string(content),
                          whole.e.content);
            } else if (r == KS_TAR_L_ABSENT) {
                EXPECT_FALSE(whole.found);
                EXPECT_EQ(whole.err, "");
            } else if (all) {
                // Over the whole object only a message makes it unknown.
                EXPECT_NE(whole.err, "");
            }
        }
        // The whole object read at once settles every quiet case.
        fenced f(bytes, bytes.size());
        struct ks_tar_iterator it;
        const char *content;
        size_t length;
        ks_tar_type type;
        ks_tar_lookup r = ks_tar_find(&it, f.bytes, bytes.size(), true, exe.c_str(), &content, &length, &type);
        if (whole.err.empty()) {
            EXPECT_EQ(r, whole.found ? KS_TAR_L_FOUND : KS_TAR_L_ABSENT) << "object " << k;
        }
    }
    EXPECT_EQ(capture.finish(), "");
    EXPECT_GT(checked, 200);
}

// A cut that leaves the entry in the bytes read finds it; one that cuts
// into what lies before it cannot tell.
TEST(TarFind, CutsBeforeTheEntryAreUnknown)
{
    std::string link = ustar("/proc/self/exe", '2', 0, "/usr/bin/true");
    std::string bytes = ustar("/proc/self/maps", '0', 4000) + padded(std::string(4000, 'm')) + link +
                        end_records;
    struct ks_tar_iterator it;
    const char *content;
    size_t length;
    ks_tar_type type;

    EXPECT_EQ(ks_tar_find(&it, bytes.data(), 4096, false, "/proc/self/exe", &content, &length, &type),
              KS_TAR_L_UNKNOWN);
    EXPECT_EQ(ks_tar_find(&it, bytes.data(), 4608 + 512, false, "/proc/self/exe", &content, &length,
                          &type),
              KS_TAR_L_FOUND);
    EXPECT_STREQ(content, "/usr/bin/true");
    EXPECT_EQ(content, it.link);
    EXPECT_EQ(length, 14u);
    EXPECT_EQ(ks_tar_find(&it, bytes.data(), bytes.size(), false, "/proc/self/none", &content, &length,
                          &type),
              KS_TAR_L_ABSENT);
    EXPECT_EQ(ks_tar_find(&it, bytes.data(), 1000, true, "/proc/self/exe", &content, &length, &type),
              KS_TAR_L_ABSENT);
}
