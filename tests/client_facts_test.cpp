// What the client shows of a crash beyond its files: the facts the archiver
// recorded in the asset, and core images kept compressed with zstd, in the
// tree or fetched from elsewhere.

#include "client_support.h"

#include <dirent.h>
#include <zstd.h>

static const std::string segv_facts = "signature=0123456789abcdef\n"
                                      "signal=11\n"
                                      "signal.name=SIGSEGV\n"
                                      "signal.code=1\n"
                                      "fault.address=0x0\n"
                                      "thread=4242\n"
                                      "pc=0x55d0c0de1139\n"
                                      "module=/opt/app/lib/lib\\x1b[2Jodd.so\n"
                                      "module.offset=0x1139\n"
                                      "module.build_id=feedbeef\n"
                                      "executable.build_id=c0ffee00\n"
                                      "core=cut\n"
                                      "core.limit=1048576\n"
                                      "metadata=complete\n"
                                      "a.key.readers.do.not.know=is skipped\n";

TEST(ClientFacts, InfoAndJsonShowTheSignatureFacts)
{
    if (access("/usr/bin/python3", X_OK) != 0)
        GTEST_SKIP() << "no /usr/bin/python3";
    tree t;
    const struct {
        std::string name, facts, info, json;
    } cases[] = {
        {"segv", segv_facts,
         "signature:    0123456789abcdef\n"
         "signal:       11 (SIGSEGV), code 1\n"
         "fault at:     0x0\n"
         "location:     /opt/app/lib/lib\\x1b[2Jodd.so+0x1139\n"
         "build-ids:    executable c0ffee00, module feedbeef\n"
         "core image:   cut at 1048576 bytes\n",
         "0123456789abcdef|11|/opt/app/lib/lib\x1b[2Jodd.so|is skipped"},
        {"abort", "signal=6\nsignal.code=-6\nsender.pid=77\nsender.uid=1000\nsignature=00000000000000aa\n"
                  "metadata=process gone before /proc was read\n",
         "signature:    00000000000000aa\n"
         "signal:       6 (SIGABRT), code -6\n"
         "sent by:      pid 77, uid 1000\n"
         "metadata:     process gone before /proc was read\n",
         "00000000000000aa|6|None|None"},
        // Written before the facts existed: nothing is shown, nothing breaks.
        {"old", "", "", "None|None|None|None"},
        {"garbled", "signature=not hex at all\nsignal=eleven\n",
         "signature:    not hex at all\n"
         "signal:       eleven\n",
         "None|None|None|None"},
    };
    for (const auto &c : cases) {
        std::vector<member> members = {{"/proc/self/exe", "/usr/bin/app", true},
                                       {"/proc/self/cmdline", std::string("app\0", 4), false},
                                       {"/proc/self/maps", std::string(6000, 'm'), false}};
        if (!c.facts.empty())
            members.push_back({"kestrel/facts", c.facts, false});
        t.file("pending", c.name);
        ASSERT_NO_FATAL_FAILURE(asset_members(t.at("assets", c.name), members));
    }
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ks_test_result r = t.kestrel({"info", c.name});
        EXPECT_EQ(exit_code(r), 0) << r.err;
        EXPECT_NE(r.out.find("    [0] app\n" + c.info + "files:\n"), std::string::npos) << r.out;
        // The facts entry is shown as facts, not among the other entries.
        EXPECT_EQ(r.out.find("kestrel/facts"), std::string::npos) << r.out;

        static const char show[] = "import json, sys\n"
                                   "o = json.loads(sys.stdin.read())\n"
                                   "f = o['facts'] or {}\n"
                                   "print(o['signature'], o['signal'], f.get('module'),\n"
                                   "      f.get('a.key.readers.do.not.know'), sep='|')\n";
        r = t.kestrel({"info", "-j", c.name});
        ks_test_result shown = ks_test_run({"/usr/bin/python3", "-c", show}, {"PYTHONIOENCODING=utf-8"}, r.out);
        EXPECT_EQ(shown.out, c.json + "\n") << r.out << shown.err;
    }

    // The listing's JSON lines carry the signature and the signal; the
    // table is the same with the facts as without them.
    ks_test_result r = t.kestrel({"list", "-j", "-s", "c"});
    std::vector<std::string> json = lines(r.out);
    std::sort(json.begin(), json.end());
    ASSERT_EQ(json.size(), 4u);
    EXPECT_NE(json[0].find("\"signature\":\"00000000000000aa\",\"signal\":6}"), std::string::npos) << json[0];
    EXPECT_NE(json[1].find("\"signature\":null,\"signal\":null}"), std::string::npos) << json[1];
    EXPECT_NE(json[2].find("\"signature\":null,\"signal\":null}"), std::string::npos) << json[2];
    EXPECT_NE(json[3].find("\"signature\":\"0123456789abcdef\",\"signal\":11}"), std::string::npos) << json[3];
    for (const auto &line : lines(t.kestrel({"list", "-f"}).out))
        if (!line.empty() && line[0] != '[') {
            EXPECT_NE(line.find(" c-a app   "), std::string::npos) << line;
        }
}

// ---------------------------------------------------------------- compressed cores

// An image with pages of zeros inside and at its end, as core images have.
static std::string core_image()
{
    std::string image = "\x7f" "ELF core image";
    image.resize(3 * 4096 + 100, '\0');
    image += std::string(5000, 'm');
    image.resize(image.size() + 2 * 4096, '\0');
    return image;
}

// frames: the image in this many frames; sized: each frame's header
// records its size (a streaming writer's does not).
static std::string compress(const std::string &data, int frames, bool sized)
{
    std::string out;
    size_t step = (data.size() + frames - 1) / frames;

    for (size_t start = 0; start < data.size(); start += step) {
        std::string part = data.substr(start, step), frame(ZSTD_compressBound(part.size()) + 64, '\0');
        ZSTD_CCtx *cctx = ZSTD_createCCtx();
        if (sized)
            ZSTD_CCtx_setPledgedSrcSize(cctx, part.size());
        ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, sized ? 1 : 0);
        ZSTD_inBuffer in = {part.data(), part.size(), 0};
        ZSTD_outBuffer o = {frame.data(), frame.size(), 0};
        size_t left;
        do
            left = ZSTD_compressStream2(cctx, &o, &in, ZSTD_e_end);
        while (left != 0 && !ZSTD_isError(left));
        ZSTD_freeCCtx(cctx);
        out += frame.substr(0, o.pos);
    }
    return out;
}

static std::vector<std::string> entries(const std::string &directory)
{
    std::vector<std::string> names;
    DIR *dir = opendir(directory.c_str());

    for (struct dirent *e; dir != nullptr && (e = readdir(dir)) != nullptr;)
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.push_back(e->d_name);
    if (dir != nullptr)
        closedir(dir);
    return names;
}

TEST(ClientCompressed, InfoShowsThemAndDebugHandsGdbThePlainImage)
{
    tree t;
    fake_gdb gdb;
    ks_test_dir programs, scratch;
    std::string program = programs / "app", image = core_image();
    ks_test_write_file(program, "program");
    const struct {
        std::string name, stored, note;
    } cases[] = {
        {"plain", image, ""},
        {"zstd", compress(image, 1, true), "  compressed (zstd), " + std::to_string(image.size()) + " bytes uncompressed"},
        {"streamed", compress(image, 1, false), "  compressed (zstd)"},
        {"frames", compress(image, 3, true), "  compressed (zstd), " + std::to_string(image.size()) + " bytes uncompressed"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string core = t.at("committed/coredump", c.name);
        ks_test_write_file(core, c.stored);
        ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", c.name), program));

        ks_test_result r = t.kestrel({"info", c.name});
        EXPECT_EQ(exit_code(r), 0) << r.err;
        EXPECT_NE(r.out.find(" " + std::to_string(c.stored.size()) + "  " + when(core) + "  " + core + c.note + "\n"),
                  std::string::npos)
            << r.out;

        (void) unlink(gdb.record.c_str());
        r = debug(t, gdb.dir.path, {c.name}, {"TMPDIR=" + scratch.path});
        EXPECT_EQ(exit_code(r), 7) << r.err;
        std::vector<std::string> args = gdb.arguments();
        ASSERT_EQ(args.size(), 8u);
        EXPECT_TRUE(gdb.given(args[7]) == image) << "gdb did not get the plain image";
        // The decompressed image had no name, and is gone with gdb.
        EXPECT_EQ(entries(scratch.path), std::vector<std::string>{});
    }

    ks_test_write_file(t.at("committed/coredump", "broken"), compress(image, 1, true).substr(0, 40));
    ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", "broken"), program));
    ks_test_result r = debug(t, gdb.dir.path, {"broken"}, {"TMPDIR=" + scratch.path});
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_EQ(r.err, "error: cannot decompress broken: zstd: the image ends within a frame\n");
    r = debug(t, gdb.dir.path, {"zstd"}, {"TMPDIR=" + scratch.path + "/missing"});
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_EQ(r.err, "error: cannot decompress zstd: no temporary file in " + scratch.path +
                         "/missing: No such file or directory\n");
}

// A crash fetched from a fleet's store: its core image and asset are plain
// files anywhere, and no configuration is needed.
TEST(ClientCompressed, DebugOutsideTheTree)
{
    fake_gdb gdb;
    ks_test_dir fetched, programs;
    std::string image = core_image(), program = programs / "app", other = programs / "other";
    ks_test_write_file(program, "program");
    ks_test_write_file(other, "other program");
    ks_test_write_file(fetched / "crash.zst", compress(image, 1, true));
    ks_test_write_file(fetched / "crash", image);
    ASSERT_NO_FATAL_FAILURE(asset_own(fetched / "asset", program));
    ASSERT_NO_FATAL_FAILURE(asset_own(fetched / "no-exe", ""));
    const std::string usage = "Usage: debug <object> [-- <gdb arguments>]\n"
                              "       debug --core <file> --asset <file> [--executable <path>] [-- <gdb arguments>]\n";

    const struct {
        std::vector<std::string> args;
        int status;
        std::string err, program; // what gdb got as the executable
        std::vector<std::string> extra;
    } cases[] = {
        {{"--core", fetched / "crash.zst", "--asset", fetched / "asset"}, 7, "", "program", {}},
        {{"--asset", fetched / "asset", "--core", fetched / "crash", "--", "-batch"}, 7, "", "program", {"-batch"}},
        {{"--core", fetched / "crash.zst", "--asset", fetched / "asset", "--executable", other}, 7, "", "other program", {}},
        {{"--core", fetched / "crash", "--executable", other}, 7, "", "other program", {}},
        {{"--core", fetched / "crash", "--asset", fetched / "no-exe"}, 1,
         "error: the asset " + fetched / "no-exe" + " does not name the executable; give it with --executable\n", "", {}},
        {{"--core", fetched / "missing", "--asset", fetched / "asset"}, 1,
         "error: cannot open the core image " + fetched / "missing" + ": No such file or directory\n", "", {}},
        {{"--core", fetched.path, "--asset", fetched / "asset"}, 1,
         "error: cannot open the core image " + fetched.path + ": not a regular file\n", "", {}},
        {{"--core", fetched / "crash"}, 1, usage, "", {}},
        {{"--asset", fetched / "asset"}, 1, usage, "", {}},
        {{"--core", fetched / "crash", "--core", fetched / "crash", "--asset", fetched / "asset"}, 1, usage, "", {}},
        {{"--core", fetched / "crash", "--asset"}, 1, usage, "", {}},
        {{"--core", fetched / "crash", "--asset", fetched / "asset", "-batch"}, 1, usage, "", {}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        (void) unlink(gdb.record.c_str());
        // No configuration file anywhere: -c names none that exists.
        std::vector<std::string> argv = {KS_TEST_KESTREL, "debug"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ks_test_result r = ks_test_run(argv, {"PATH=" + gdb.dir.path, "TMPDIR=" + fetched.path});
        EXPECT_EQ(exit_code(r), c.status);
        EXPECT_EQ(r.err, c.err);
        if (c.status != 7)
            continue;
        std::vector<std::string> args = gdb.arguments();
        ASSERT_EQ(args.size(), 8u + c.extra.size());
        EXPECT_EQ(std::vector<std::string>(args.begin() + 5, args.end() - 3), c.extra);
        EXPECT_EQ(gdb.given(args[args.size() - 2]), c.program);
        EXPECT_TRUE(gdb.given(args.back()) == image);
    }
}

// An image with holes where its zero pages are, as the archiver stores it.
static void sparse_image(const std::string &path, const std::vector<std::pair<off_t, std::string>> &pieces,
                         off_t length)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    ASSERT_NE(fd, -1);
    for (const auto &[offset, data] : pieces)
        ASSERT_EQ(pwrite(fd, data.data(), data.size(), offset), static_cast<ssize_t>(data.size()));
    ASSERT_EQ(ftruncate(fd, length), 0);
    close(fd);
}

static std::string noise(size_t size, uint64_t seed)
{
    std::string data(size, '\0');

    for (size_t i = 0; i < size; i += 8) {
        seed ^= seed << 13, seed ^= seed >> 7, seed ^= seed << 17;
        memcpy(&data[i], &seed, std::min<size_t>(8, size - i));
    }
    return data;
}

static std::string decompress(const std::string &data)
{
    unsigned long long size = ZSTD_getFrameContentSize(data.data(), data.size());
    if (size == ZSTD_CONTENTSIZE_UNKNOWN || size == ZSTD_CONTENTSIZE_ERROR)
        return "<no size>";
    std::string out(size, '\0');
    size_t n = ZSTD_decompress(out.data(), out.size(), data.data(), data.size());
    return ZSTD_isError(n) ? std::string("<") + ZSTD_getErrorName(n) + ">" : out.substr(0, n);
}

// kestrel compress: kept core images compressed in place, each only when
// that takes fewer blocks, with the plain image's time, owner and mode; a
// compressed image is what info and debug show and read.
TEST(ClientCompressed, CompressKeepsNameTimeOwnerAndMode)
{
    tree t;
    fake_gdb gdb;
    ks_test_dir programs, scratch;
    std::string program = programs / "app", image = core_image() + std::string(4096, 'k');
    ks_test_write_file(program, "program");
    std::string small = t.at("committed/coredump", "small");
    sparse_image(small, {{0, image}, {1 << 20, image}}, 2 << 20);
    ASSERT_NO_FATAL_FAILURE(asset_own(t.at("assets", "small"), program));
    sparse_image(t.at("committed/coredump", "noise1"), {{0, noise(64 * 4096, 1)}}, 1 << 20);
    sparse_image(t.at("committed/coredump", "noise2"), {{8192, noise(4096, 2)}}, 16384);
    ks_test_write_file(t.at("committed/coredump", "done"), compress(image, 1, true));
    sparse_image(t.at("committed/coredump", "hole"), {}, 1 << 20);
    t.file("pending", "waiting");
    ASSERT_EQ(chmod(small.c_str(), 0604), 0);
    if (ks_test_is_root()) {
        ASSERT_EQ(chown(small.c_str(), 4242, 4343), 0);
    }
    struct timespec then[2] = {{1700000000, 111}, {1600000000, 222333444}};
    ASSERT_EQ(utimensat(AT_FDCWD, small.c_str(), then, 0), 0);
    struct stat plain, noisy, now;
    ASSERT_EQ(stat(small.c_str(), &plain), 0);
    ASSERT_EQ(stat(t.at("committed/coredump", "noise1").c_str(), &noisy), 0);

    // A prefix that only one image has names it; noise stays plain.
    ks_test_result r = t.kestrel({"compress", "sm", "noise1", "done", "hole"});
    EXPECT_EQ(exit_code(r), 0) << r.err;
    ASSERT_EQ(stat(small.c_str(), &now), 0);
    EXPECT_EQ(r.out, "small: compressed from " + std::to_string(plain.st_blocks * 512) + " to " +
                         std::to_string(now.st_blocks * 512) + " bytes on disk\n"
                         "noise1: left plain, as compressed it would take no fewer than its " +
                         std::to_string(noisy.st_blocks * 512) + " bytes on disk\n"
                         "done: compressed already\n"
                         "hole: left plain, as compressed it would take no fewer than its 0 bytes on disk\n");
    EXPECT_EQ(r.err, "");
    std::string stored = ks_test_read_file(small);
    EXPECT_EQ(stored.substr(0, 4), "\x28\xb5\x2f\xfd");
    std::string expected = image + std::string((1 << 20) - image.size(), '\0') + image;
    expected.resize(2 << 20, '\0');
    EXPECT_TRUE(decompress(stored) == expected) << "not the same image";
    EXPECT_LT(now.st_blocks, plain.st_blocks);
    EXPECT_EQ(now.st_mode, plain.st_mode);
    EXPECT_EQ(now.st_uid, plain.st_uid);
    EXPECT_EQ(now.st_gid, plain.st_gid);
    EXPECT_EQ(now.st_mtim.tv_sec, plain.st_mtim.tv_sec);
    EXPECT_EQ(now.st_mtim.tv_nsec, plain.st_mtim.tv_nsec);
    EXPECT_EQ(now.st_atim.tv_nsec, plain.st_atim.tv_nsec);
    ASSERT_EQ(stat(t.at("committed/coredump", "noise1").c_str(), &now), 0);
    EXPECT_EQ(now.st_ino, noisy.st_ino);
    std::vector<std::string> left = entries(t.root + "/committed/coredump");
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"done", "hole", "noise1", "noise2", "small"}));

    // What the other commands make of it.
    r = t.kestrel({"info", "small"});
    EXPECT_NE(r.out.find(small + "  compressed (zstd), " + std::to_string(2 << 20) + " bytes uncompressed\n"),
              std::string::npos)
        << r.out;
    r = debug(t, gdb.dir.path, {"small"}, {"TMPDIR=" + scratch.path});
    EXPECT_EQ(exit_code(r), 7) << r.err;
    std::vector<std::string> args = gdb.arguments();
    ASSERT_EQ(args.size(), 8u);
    EXPECT_TRUE(gdb.given(args[7]) == expected) << "gdb did not get the plain image";

    // Names that select nothing, or more than one image, are errors; the
    // others are still compressed.
    r = t.kestrel({"compress", "noise", "waiting", "noise2"});
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_EQ(r.err, "error: noise is ambiguous; 2 kept core images begin with it\n"
                     "error: waiting: no kept core image has this name\n");
    EXPECT_EQ(r.out, "noise2: left plain, as compressed it would take no fewer than its 4096 bytes on disk\n");

    r = t.kestrel({"compress", "all"});
    EXPECT_EQ(exit_code(r), 0) << r.err;
    std::vector<std::string> out = lines(r.out);
    ASSERT_EQ(out.size(), 5u) << r.out;
    EXPECT_EQ(out[0], "done: compressed already");
    EXPECT_EQ(out[4], "small: compressed already");

    for (const std::vector<std::string> &args : {std::vector<std::string>{"compress"}, {"compress", "-h"}}) {
        r = t.kestrel(args);
        EXPECT_EQ(exit_code(r), 1);
        EXPECT_TRUE(r.err.starts_with("Usage: compress all|<object> ...\n")) << r.err;
        EXPECT_EQ(r.err.find("keeping their time, owner and mode") != std::string::npos, args.size() == 2) << r.err;
    }
}

// A compression that cannot finish leaves the plain image as it was, and
// nothing beside it: a filesystem that would fall below dump.quota, and an
// image whose owner the compressing user cannot give the new file.
TEST(ClientCompressed, CompressThatCannotFinishLeavesThePlainImage)
{
    tree full(true, "snapshot.command = /bin/true %c\nsend.command = /bin/true %S\n", "dump.quota = 100%\n");
    std::string path = full.file("committed/coredump", "full", 1 << 20);
    struct stat before, after;
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    ks_test_result r = full.kestrel({"compress", "full"});
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_EQ(r.err, "error: cannot compress full: the filesystem would fall below dump.quota\n");
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(entries(full.root + "/committed/coredump"), std::vector<std::string>{"full"});

    if (!ks_test_is_root())
        return;
    // Run as uid 4242, which may write the directory but not give a file to
    // uid 4343.
    tree t;
    path = t.file("committed/coredump", "theirs", 1 << 20);
    ASSERT_EQ(chown(path.c_str(), 4343, 4343), 0);
    ASSERT_EQ(chmod(path.c_str(), 0644), 0);
    ASSERT_EQ(chown((t.root + "/committed/coredump").c_str(), 4242, 4242), 0);
    ASSERT_EQ(chmod(t.dir.path.c_str(), 0755), 0);
    ASSERT_EQ(stat(path.c_str(), &before), 0);
    r = ks_test_run({"/usr/bin/setpriv", "--reuid=4242", "--regid=4242", "--clear-groups", KS_TEST_KESTREL, "-c",
                     t.conf, "compress", "theirs"});
    EXPECT_EQ(exit_code(r), 1);
    EXPECT_EQ(r.err, "error: cannot compress theirs: cannot give the compressed image the owner of the plain one: "
                     "Operation not permitted\n");
    ASSERT_EQ(stat(path.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(entries(t.root + "/committed/coredump"), std::vector<std::string>{"theirs"});
}
