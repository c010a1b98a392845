// The send command for object stores, kestrel-s3, run as a program against
// a stand-in store on a loopback port. The stand-in checks every request as
// a store would (the signature, with the same secret; the body against its
// signed hash), keeps objects and multipart uploads in memory, and answers
// as each test scripts it. Talking to a real store is the business of
// "make e2e-fleet".

#include "support.h"

#include "common/sha256.h"
#include "common/tar.h"
#include "s3/sigv4.h"

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <map>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <zstd.h>

namespace {

std::string lower(std::string text)
{
    for (char &c : text)
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
    return text;
}

std::string sha256_hex(const std::string &data)
{
    unsigned char digest[KS_SHA256_SIZE];
    char hex[KS_SHA256_HEX_SIZE];

    ks_sha256(data.data(), data.size(), digest);
    ks_sha256_hex(digest, sizeof digest, hex);
    return hex;
}

std::string percent_decoded(const std::string &text)
{
    std::string out;

    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

struct http_request {
    std::string method, path, query, body;
    std::vector<std::pair<std::string, std::string>> headers; // names in lower case

    std::string header(const std::string &name) const
    {
        for (const auto &[key, value] : headers)
            if (key == name)
                return value;
        return "";
    }

    // A query parameter, decoded; "" when absent.
    std::string parameter(const std::string &name) const
    {
        size_t at = 0;
        while (at <= query.size()) {
            size_t end = query.find('&', at);
            std::string part = query.substr(at, end == std::string::npos ? std::string::npos : end - at);
            if (part == name || part.starts_with(name + "="))
                return percent_decoded(part.size() > name.size() ? part.substr(name.size() + 1) : "");
            if (end == std::string::npos)
                break;
            at = end + 1;
        }
        return "";
    }

    bool has(const std::string &name) const
    {
        return ("&" + query + "&").find("&" + name + "&") != std::string::npos ||
               ("&" + query).find("&" + name + "=") != std::string::npos;
    }
};

// What the script makes of a request: 0 lets the store handle it, -1 drops
// the connection without an answer, anything else is an error answer with
// that status and code.
struct reply {
    int status;
    std::string code;
};

struct stand_in {
    std::string access = "KSTESTACCESSKEY", secret = "kstest/secret+key", region = "eu-test-1";
    int listener = -1;
    int port = 0;
    std::atomic<bool> stopping{false};
    std::thread acceptor;
    std::vector<std::thread> connections;
    std::mutex lock;
    std::vector<http_request> requests;
    std::vector<std::string> problems; // checks that failed, one line each
    std::map<std::string, std::string> objects;
    std::map<std::string, std::map<int, std::string>> uploads;
    unsigned next_upload = 1;
    std::function<reply(const http_request &, size_t)> script;

    stand_in()
    {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in address = {};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (bind(listener, reinterpret_cast<struct sockaddr *>(&address), sizeof address) != 0 ||
            listen(listener, 16) != 0 ||
            getsockname(listener, reinterpret_cast<struct sockaddr *>(&address), &length) != 0)
            return;
        port = ntohs(address.sin_port);
        acceptor = std::thread([this] { accept_loop(); });
    }

    ~stand_in()
    {
        stopping = true;
        if (acceptor.joinable())
            acceptor.join();
        for (auto &t : connections)
            t.join();
        close(listener);
    }

    void reset()
    {
        std::lock_guard<std::mutex> guard(lock);
        requests.clear();
        problems.clear();
        objects.clear();
        uploads.clear();
        next_upload = 1;
        script = nullptr;
    }

    std::vector<http_request> seen()
    {
        std::lock_guard<std::mutex> guard(lock);
        return requests;
    }

    std::string object(const std::string &path)
    {
        std::lock_guard<std::mutex> guard(lock);
        auto it = objects.find(path);
        return it != objects.end() ? it->second : "<none>";
    }

    void accept_loop()
    {
        while (!stopping) {
            struct pollfd p = {listener, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0)
                continue;
            int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd >= 0)
                connections.emplace_back([this, fd] { serve(fd); });
        }
    }

    // Bytes into buffer until it holds want bytes; false at the end or on stop.
    bool fill(int fd, std::string &buffer, size_t want)
    {
        char chunk[65536];
        while (buffer.size() < want) {
            struct pollfd p = {fd, POLLIN, 0};
            if (stopping)
                return false;
            if (poll(&p, 1, 50) <= 0)
                continue;
            ssize_t n = read(fd, chunk, sizeof chunk);
            if (n <= 0)
                return false;
            buffer.append(chunk, static_cast<size_t>(n));
        }
        return true;
    }

    bool read_request(int fd, std::string &buffer, http_request &r)
    {
        size_t end;
        while ((end = buffer.find("\r\n\r\n")) == std::string::npos)
            if (!fill(fd, buffer, buffer.size() + 1))
                return false;
        std::string head = buffer.substr(0, end);
        buffer.erase(0, end + 4);
        size_t line_end = head.find("\r\n");
        std::string line = head.substr(0, line_end);
        size_t space1 = line.find(' '), space2 = line.rfind(' ');
        r.method = line.substr(0, space1);
        std::string target = line.substr(space1 + 1, space2 - space1 - 1);
        size_t question = target.find('?');
        r.path = target.substr(0, question);
        r.query = question == std::string::npos ? "" : target.substr(question + 1);
        while (line_end != std::string::npos) {
            size_t next = head.find("\r\n", line_end + 2);
            std::string field = head.substr(line_end + 2, next == std::string::npos ? std::string::npos
                                                                                     : next - line_end - 2);
            size_t colon = field.find(':');
            std::string value = field.substr(colon + 1);
            value.erase(0, value.find_first_not_of(' '));
            r.headers.emplace_back(lower(field.substr(0, colon)), value);
            line_end = next;
        }
        if (!r.header("transfer-encoding").empty())
            problem("a body without a length: " + r.header("transfer-encoding"));
        size_t length = r.header("content-length").empty() ? 0 : std::stoul(r.header("content-length"));
        if (!fill(fd, buffer, length))
            return false;
        r.body = buffer.substr(0, length);
        buffer.erase(0, length);
        return true;
    }

    void problem(const std::string &text)
    {
        std::lock_guard<std::mutex> guard(lock);
        problems.push_back(text);
    }

    // The store's own check: the signature recomputed with our secret over
    // what actually arrived.
    std::string signature_problem(const http_request &r)
    {
        std::string authorization = r.header("authorization");
        std::string credential = "AWS4-HMAC-SHA256 Credential=" + access + "/";
        size_t names_at = authorization.find("SignedHeaders="), signature_at = authorization.find(", Signature=");
        if (!authorization.starts_with(credential) || names_at == std::string::npos ||
            signature_at == std::string::npos)
            return "no valid Authorization header: " + authorization;
        std::string names = authorization.substr(names_at + 14, signature_at - names_at - 14);
        for (const char *needed : {"host", "x-amz-content-sha256", "x-amz-date"})
            if ((";" + names + ";").find(std::string(";") + needed + ";") == std::string::npos)
                return std::string("unsigned header ") + needed;
        std::vector<ks_s3_sigv4_header> signed_headers;
        for (const auto &[name, value] : r.headers)
            if ((";" + names + ";").find(";" + name + ";") != std::string::npos)
                signed_headers.push_back({name.c_str(), value.c_str()});
        std::string date = r.header("x-amz-date"), payload = r.header("x-amz-content-sha256");
        const ks_s3_sigv4_request request = {r.method.c_str(), r.path.c_str(), r.query.c_str(),
                                             signed_headers.data(), signed_headers.size(), payload.c_str()};
        const ks_s3_sigv4_scope scope = {access.c_str(), secret.c_str(), region.c_str(), "s3"};
        char expected[1024];
        if (!ks_s3_sigv4_authorization(&scope, date.c_str(), &request, expected, sizeof expected) ||
            authorization != expected)
            return "SignatureDoesNotMatch";
        if (payload != KS_S3_SIGV4_UNSIGNED && payload != sha256_hex(r.body))
            return "XAmzContentSHA256Mismatch";
        return "";
    }

    static std::string answer(int status, const std::string &body, const std::string &extra = "")
    {
        return "HTTP/1.1 " + std::to_string(status) + " X\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n" + extra + "\r\n" + body;
    }

    static std::string error(int status, const std::string &code)
    {
        return answer(status, "<?xml version=\"1.0\" encoding=\"UTF-8\"?><Error><Code>" + code +
                                  "</Code><Message>stand-in says " + code + "</Message></Error>");
    }

    // Objects and multipart uploads, as far as the send uses them.
    std::string handle(const http_request &r)
    {
        std::lock_guard<std::mutex> guard(lock);
        std::string upload = r.parameter("uploadId");
        if (r.method == "POST" && r.has("uploads")) {
            std::string id = "2~up/" + std::to_string(next_upload++) + "+x";
            uploads[id] = {};
            return answer(200, "<InitiateMultipartUploadResult><UploadId>" + id +
                                   "</UploadId></InitiateMultipartUploadResult>");
        }
        if (!upload.empty() && !uploads.contains(upload))
            return error(404, "NoSuchUpload");
        if (r.method == "PUT" && !upload.empty()) {
            int number = std::stoi(r.parameter("partNumber"));
            uploads[upload][number] = r.body;
            return answer(200, "", "ETag: \"" + sha256_hex(r.body).substr(0, 32) + "\"\r\n");
        }
        if (r.method == "POST" && !upload.empty()) {
            std::string whole;
            size_t at = 0;
            int expected = 1;
            while ((at = r.body.find("<PartNumber>", at)) != std::string::npos) {
                int number = std::stoi(r.body.substr(at + 12));
                size_t etag = r.body.find("<ETag>", at) + 6;
                std::string tag = r.body.substr(etag, r.body.find("</ETag>", etag) - etag);
                auto &parts = uploads[upload];
                if (number != expected++ || !parts.contains(number) ||
                    tag != "\"" + sha256_hex(parts[number]).substr(0, 32) + "\"")
                    return error(400, "InvalidPart");
                whole += parts[number];
                at = etag;
            }
            uploads.erase(upload);
            objects[r.path] = whole;
            return answer(200, "<CompleteMultipartUploadResult><ETag>\"multi\"</ETag>"
                               "</CompleteMultipartUploadResult>");
        }
        if (r.method == "DELETE" && !upload.empty()) {
            uploads.erase(upload);
            return answer(204, "");
        }
        if (r.method == "PUT") {
            objects[r.path] = r.body;
            return answer(200, "", "ETag: \"" + sha256_hex(r.body).substr(0, 32) + "\"\r\n");
        }
        if (r.method == "GET" && objects.contains(r.path))
            return answer(200, objects[r.path]);
        return error(404, "NoSuchKey");
    }

    void serve(int fd)
    {
        std::string buffer;
        http_request r;
        while (read_request(fd, buffer, r)) {
            size_t index;
            std::function<reply(const http_request &, size_t)> scripted;
            {
                std::lock_guard<std::mutex> guard(lock);
                index = requests.size();
                requests.push_back(r);
                scripted = script;
            }
            std::string wrong = signature_problem(r);
            reply what = scripted ? scripted(r, index) : reply{0, ""};
            std::string out;
            if (what.status == -1)
                break;
            if (what.status != 0) {
                out = error(what.status, what.code);
            } else if (!wrong.empty()) {
                problem(r.method + " " + r.path + "?" + r.query + ": " + wrong);
                out = error(wrong.starts_with("X") ? 400 : 403, wrong.substr(0, wrong.find(' ')));
            } else {
                out = handle(r);
            }
            if (write(fd, out.data(), out.size()) != static_cast<ssize_t>(out.size()))
                break;
            r = {};
        }
        close(fd);
    }
};

std::string unzstd(const std::string &data)
{
    ZSTD_DCtx *d = ZSTD_createDCtx();
    ZSTD_inBuffer in = {data.data(), data.size(), 0};
    std::vector<char> chunk(1 << 20);
    std::string out;
    size_t left = 1;

    while (in.pos < in.size || left != 0) {
        ZSTD_outBuffer o = {chunk.data(), chunk.size(), 0};
        left = ZSTD_decompressStream(d, &o, &in);
        if (ZSTD_isError(left)) {
            out = std::string("<zstd: ") + ZSTD_getErrorName(left) + ">";
            break;
        }
        out.append(chunk.data(), o.pos);
        if (o.pos == 0 && in.pos == in.size)
            break;
    }
    ZSTD_freeDCtx(d);
    return left == 0 ? out : out + "<truncated>";
}

std::string random_bytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string out(n, '\0');
    for (size_t i = 0; i + 4 <= n; i += 4) {
        uint32_t v = rng();
        memcpy(&out[i], &v, 4);
    }
    return out;
}

void set_mtime(const std::string &path, time_t when)
{
    struct timeval times[2] = {{when, 0}, {when, 0}};
    ASSERT_EQ(utimes(path.c_str(), times), 0) << path;
}

void write_asset(const std::string &path, const std::string &facts)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    ASSERT_NE(fd, -1);
    ks_tar_t *tar = ks_tar_fdopen(fd);
    ASSERT_TRUE(ks_tar_symlink(tar, "/proc/self/exe", "/usr/bin/crashy", time(nullptr)));
    if (!facts.empty()) {
        ks_tar_begin(tar, "kestrel/facts", 13);
        ASSERT_TRUE(ks_tar_metadata_commit(tar)) << ks_tar_error(tar);
        ASSERT_EQ(write(fd, facts.data(), facts.size()), static_cast<ssize_t>(facts.size()));
        ASSERT_TRUE(ks_tar_end(tar, facts.size())) << ks_tar_error(tar);
    }
    ASSERT_TRUE(ks_tar_commit(tar));
    ks_tar_destroy(tar);
    close(fd);
}

std::string system_host(void)
{
    char host[256] = "";
    gethostname(host, sizeof host - 1);
    return host;
}

// A loopback port that was free a moment ago and that nobody listens on.
int unused_port(void)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in address = {};
    socklen_t length = sizeof address;

    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

bool exited_with(int status, int code) { return WIFEXITED(status) && WEXITSTATUS(status) == code; }

// 2024-02-29 23:59:59 and 2024-03-02 00:00:00 UTC.
const time_t core_time = 1709251199, asset_time = 1709337600;

class S3Send : public ::testing::Test {
protected:
    ks_test_dir dir;
    stand_in store;
    std::string root = dir / "archive";
    std::string name = "6b1e2c3d-0f00-4a11-9c2e-c0ffee000001";
    std::string snapshot = root + "/sending/" + name;
    std::string asset = root + "/assets/" + name;
    std::string core = root + "/pending/" + name;
    std::string conf = dir / "s3.conf";
    std::string signature = "0123456789abcdef";
    std::string core_data;

    void SetUp() override
    {
        ASSERT_NE(store.port, 0);
        make_tree();
        configure("");
    }

    // The crash's three files, afresh.
    void make_tree()
    {
        for (const char *sub : {"", "/sending", "/assets", "/pending"})
            ASSERT_TRUE(mkdir((root + sub).c_str(), 0755) == 0 || errno == EEXIST);
        ks_test_write_file(snapshot, "Program terminated with signal SIGSEGV\n#0 kestrel_demo_fault\n");
        write_asset(asset, "signal=11\nsignature=" + signature + "\nsignal.name=SIGSEGV\n");
        core_data = random_bytes(64 * 1024, 7) + std::string(1 << 20, '\0') + "ELF tail";
        ks_test_write_file(core, core_data);
        set_mtime(core, core_time);
        set_mtime(asset, asset_time);
    }

    void configure(const std::string &extra, const std::string &secret = "", int port = 0)
    {
        ks_test_write_file(conf, "# the stand-in store\nendpoint = http://127.0.0.1:" +
                                     std::to_string(port != 0 ? port : store.port) + "/\n" +
                                     "region = " + store.region + "\naccess.key = " + store.access +
                                     "\nsecret.key = " + (secret.empty() ? store.secret : secret) + "\n" + extra);
        ASSERT_EQ(chmod(conf.c_str(), 0600), 0);
    }

    ks_test_result send(const std::vector<std::string> &options = {},
                        const std::string &destination = "s3://crashes/fleet/",
                        const std::string &defaults = "kernel=Linux 6.1\nhost=web-01\n",
                        const std::string &snapshot_path = "")
    {
        std::vector<std::string> argv = {KS_TEST_KESTREL_S3, "-C", conf};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.insert(argv.end(), {snapshot_path.empty() ? snapshot : snapshot_path, name, destination});
        return ks_test_run(argv, {"QUELLON_DEFAULTS=" + defaults});
    }

    // The keys the store was asked to PUT whole, in order.
    std::vector<std::string> stored_keys()
    {
        std::vector<std::string> keys;
        for (const auto &r : store.seen())
            if ((r.method == "PUT" && r.query.empty()) || (r.method == "POST" && r.has("uploadId")))
                keys.push_back(r.path);
        return keys;
    }
};

std::string describe(const ks_test_result &r)
{
    return ks_test_status_text(r.status) + "\nout: " + r.out + "\nerr: " + r.err;
}

TEST_F(S3Send, KeyLayout)
{
    const std::string elsewhere = dir / "elsewhere";
    ASSERT_EQ(mkdir(elsewhere.c_str(), 0755), 0);
    char today[16];
    struct tm tm;
    time_t now = time(nullptr);
    gmtime_r(&now, &tm);
    strftime(today, sizeof today, "%Y-%m-%d", &tm);
    const std::string all = "upload.asset = yes\nupload.core = yes\n";
    const std::string base = "/crashes/fleet/web-01/2024-02-29/" + signature + "/" + name;

    const struct {
        const char *what;
        std::string conf;
        std::vector<std::string> options;
        std::string destination, defaults;
        std::function<void()> prepare;
        std::vector<std::string> keys;
        bool outside = false; // the snapshot lies outside the tree
    } cases[] = {
        {"everything, the report last", all, {}, "s3://crashes/fleet/", "kernel=6.1\nhost=web-01\n", nullptr,
         {base + ".asset", base + ".core.zst", base + ".txt"}},
        {"the report only, by default", "", {}, "s3://crashes/fleet", "host=web-01", nullptr, {base + ".txt"}},
        {"no prefix, the host from the system", "", {}, "s3://crashes", "", nullptr,
         {"/crashes/" + system_host() + "/2024-02-29/" + signature + "/" + name + ".txt"}},
        {"a prefix with doubled slashes", "", {}, "s3://crashes//a//b/", "host=web-01\n", nullptr,
         {"/crashes/a/b/web-01/2024-02-29/" + signature + "/" + name + ".txt"}},
        {"a host name that could not be a key part", "", {}, "s3://crashes/f", "host=we b/../01\n", nullptr,
         {"/crashes/f/we_b_.._01/2024-02-29/" + signature + "/" + name + ".txt"}},
        {"the signature given", "", {"-G", "feedfacecafebeef"}, "s3://crashes/fleet", "host=web-01\n", nullptr,
         {"/crashes/fleet/web-01/2024-02-29/feedfacecafebeef/" + name + ".txt"}},
        {"a given signature that could not be a key part", "", {"-G", "../x"}, "s3://crashes/fleet",
         "host=web-01\n", nullptr, {"/crashes/fleet/web-01/2024-02-29/unknown/" + name + ".txt"}},
        {"an asset without facts", "", {}, "s3://crashes/fleet", "host=web-01\n",
         [&] {
             write_asset(asset, "");
             set_mtime(asset, asset_time);
         },
         {"/crashes/fleet/web-01/2024-02-29/unknown/" + name + ".txt"}},
        {"no core image: the asset's day", all, {}, "s3://crashes/fleet", "host=web-01\n",
         [&] { unlink(core.c_str()); }, {"/crashes/fleet/web-01/2024-03-02/" + signature + "/" + name + ".asset",
                                         "/crashes/fleet/web-01/2024-03-02/" + signature + "/" + name + ".txt"}},
        {"neither asset nor core: the snapshot's day", all, {}, "s3://crashes/fleet", "host=web-01\n",
         [&] {
             unlink(core.c_str());
             unlink(asset.c_str());
         },
         {"/crashes/fleet/web-01/" + std::string(today) + "/unknown/" + name + ".txt"}},
        {"files named by options", all, {"-a", asset, "-c", core}, "s3://crashes/fleet/", "host=web-01\n",
         [&] { ks_test_write_file(elsewhere + "/" + name, ks_test_read_file(snapshot)); },
         {base + ".asset", base + ".core.zst", base + ".txt"}, true},
    };

    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        store.reset();
        make_tree();
        configure(c.conf);
        if (c.prepare)
            c.prepare();
        ks_test_result r = send(c.options, c.destination, c.defaults, c.outside ? elsewhere + "/" + name : "");
        EXPECT_TRUE(exited_with(r.status, 0)) << describe(r);
        EXPECT_EQ(stored_keys(), c.keys);
        EXPECT_EQ(store.problems, std::vector<std::string>{});
        for (const auto &key : c.keys) {
            std::string object = store.object(key);
            if (key.ends_with(".txt"))
                EXPECT_EQ(object, ks_test_read_file(snapshot));
            else if (key.ends_with(".asset"))
                EXPECT_EQ(object, ks_test_read_file(asset));
            else
                EXPECT_TRUE(unzstd(object) == core_data) << "the core image does not come back";
            EXPECT_NE(r.out.find("stored s3:/" + key + " ("), std::string::npos) << r.out;
        }
    }
}

TEST_F(S3Send, CredentialsReadableOnlyByTheOwner)
{
    const struct {
        const char *what;
        mode_t mode;
        std::string text; // replaces the file when not empty
        bool other_owner;
        const char *words; // in the one line on standard error; null for success
    } cases[] = {
        {"owner only", 0600, "", false, nullptr},
        {"owner read-only", 0400, "", false, nullptr},
        {"group may read", 0640, "", false, "others may access it (mode 0640); run chmod 600"},
        {"others may read", 0604, "", false, "(mode 0604)"},
        {"group may write", 0620, "", false, "(mode 0620)"},
        {"another owner", 0600, "", true, "belongs to uid 65534"},
        {"no secret key", 0600, "endpoint = http://127.0.0.1:1\naccess.key = a\n", false,
         "access.key and secret.key are both needed"},
        {"no endpoint", 0600, "access.key = a\nsecret.key = b\n", false, "no endpoint"},
        {"a bad value", 0600, "endpoint = http://127.0.0.1:1\ncore.level = 40\n", false,
         ":2: invalid value for core.level"},
        {"a line that is no setting", 0600, "endpoint\n", false, ":1: not a \"key = value\" line"},
    };

    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.other_owner && !ks_test_is_root())
            continue;
        store.reset();
        configure("");
        if (!c.text.empty())
            ks_test_write_file(conf, c.text);
        ASSERT_EQ(chmod(conf.c_str(), c.mode), 0);
        if (c.other_owner) {
            ASSERT_EQ(chown(conf.c_str(), 65534, 65534), 0);
        }
        ks_test_result r = send();
        if (c.words == nullptr) {
            EXPECT_TRUE(exited_with(r.status, 0)) << describe(r);
            EXPECT_EQ(stored_keys().size(), 1u);
        } else {
            EXPECT_TRUE(exited_with(r.status, 1)) << describe(r);
            EXPECT_NE(r.err.find(c.words), std::string::npos) << r.err;
            EXPECT_TRUE(r.err.starts_with("kestrel-s3: ") && r.err.find('\n') == r.err.size() - 1) << r.err;
            EXPECT_EQ(store.seen().size(), 0u) << "a refused configuration reached the store";
        }
        (void) unlink(conf.c_str());
    }

    // A file that is not there is named.
    ks_test_result r = send();
    EXPECT_TRUE(exited_with(r.status, 1));
    EXPECT_EQ(r.err, "kestrel-s3: cannot open " + conf + ": No such file or directory\n");
}

TEST_F(S3Send, StoreAnswersAndRetries)
{
    auto always = [](int status, const char *code) {
        return [=](const http_request &, size_t) { return reply{status, code}; };
    };
    auto first = [](size_t n, int status, const char *code) {
        return [=](const http_request &, size_t index) { return index < n ? reply{status, code} : reply{0, ""}; };
    };
    int closed_port = unused_port();

    const struct {
        const char *what;
        std::string conf;
        std::string secret;
        int port;
        std::function<reply(const http_request &, size_t)> script;
        int status;
        const char *words;
        size_t requests;
    } cases[] = {
        {"refused: not tried again", "", "", 0, always(403, "AccessDenied"), 1,
         "HTTP 403 AccessDenied: stand-in says AccessDenied", 1},
        {"a wrong secret key", "", "not-the-secret", 0, nullptr, 1, "HTTP 403 SignatureDoesNotMatch", 1},
        {"two server errors, then stored", "", "", 0, first(2, 500, "InternalError"), 0, nullptr, 3},
        {"slow down once", "", "", 0, first(1, 503, "SlowDown"), 0, nullptr, 2},
        {"a request timing out at the store", "", "", 0, first(1, 400, "RequestTimeout"), 0, nullptr, 2},
        {"a dropped connection", "", "", 0, first(1, -1, ""), 0, nullptr, 2},
        {"server errors until the limit", "retry.limit = 2\n", "", 0, always(500, "InternalError"), 1,
         "HTTP 500 InternalError: stand-in says InternalError (3 tries)", 3},
        {"no retry limit left", "retry.limit = 0\n", "", 0, always(503, "ServiceUnavailable"), 1,
         "HTTP 503 ServiceUnavailable", 1},
        {"nothing listening", "retry.limit = 1\n", "", closed_port, nullptr, 1, "Couldn't connect to server (2 tries)",
         0},
    };

    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        store.reset();
        store.script = c.script;
        configure(c.conf, c.secret, c.port);
        ks_test_result r = send();
        EXPECT_TRUE(exited_with(r.status, c.status)) << describe(r);
        if (c.words != nullptr) {
            EXPECT_NE(r.err.find(c.words), std::string::npos) << r.err;
            EXPECT_TRUE(r.err.starts_with("kestrel-s3: PUT crashes/fleet/web-01/2024-02-29/" + signature + "/" +
                                          name + ".txt: "))
                << r.err;
        }
        EXPECT_EQ(store.seen().size(), c.requests);
        if (c.secret.empty())
            EXPECT_EQ(store.problems, std::vector<std::string>{});
        else
            EXPECT_EQ(store.problems.size(), 1u);
        EXPECT_EQ(store.object("/crashes/fleet/web-01/2024-02-29/" + signature + "/" + name + ".txt") != "<none>",
                  c.status == 0);
    }

    // The whole send's time-out bounds the retries, whatever the limit.
    store.reset();
    store.script = always(500, "InternalError");
    configure("retry.limit = 10\ntimeout = 2s\n");
    ks_test_result r = send();
    EXPECT_TRUE(exited_with(r.status, 1)) << describe(r);
    EXPECT_LT(store.seen().size(), 4u);
}

TEST_F(S3Send, CoreImageInParts)
{
    // Incompressible, so that 12 MiB make three parts of at most 5 MiB.
    core_data = random_bytes(12 << 20, 11);
    ks_test_write_file(core, core_data);
    set_mtime(core, core_time);
    configure("upload.core = yes\npart.size = 5M\ncore.threads = 2\n");
    const std::string key = "/crashes/fleet/web-01/2024-02-29/" + signature + "/" + name;

    ks_test_result r = send();
    ASSERT_TRUE(exited_with(r.status, 0)) << describe(r);
    EXPECT_EQ(store.problems, std::vector<std::string>{});
    std::vector<std::string> steps;
    for (const auto &q : store.seen()) {
        std::string step = q.method + " " + (q.has("uploads") ? "uploads" : q.has("uploadId") ? "upload" : "object");
        if (q.has("partNumber"))
            step += " part " + q.parameter("partNumber");
        step += q.header("x-amz-content-sha256") == KS_S3_SIGV4_UNSIGNED ? " unsigned" : " signed";
        steps.push_back(step);
    }
    EXPECT_EQ(steps, (std::vector<std::string>{"POST uploads signed", "PUT upload part 1 unsigned",
                                                "PUT upload part 2 unsigned", "PUT upload part 3 unsigned",
                                                "POST upload signed", "PUT object signed"}));
    EXPECT_TRUE(unzstd(store.object(key + ".core.zst")) == core_data) << "the core image does not come back";
    EXPECT_NE(r.out.find(" from 12582912, 3 parts)"), std::string::npos) << r.out;

    // A part the store keeps refusing: the upload is abandoned and removed,
    // and nothing else is stored.
    store.reset();
    store.script = [](const http_request &q, size_t) {
        return q.parameter("partNumber") == "2" ? reply{500, "InternalError"} : reply{0, ""};
    };
    configure("upload.core = yes\npart.size = 5M\nretry.limit = 1\n");
    r = send();
    EXPECT_TRUE(exited_with(r.status, 1)) << describe(r);
    EXPECT_NE(r.err.find(".core.zst?partNumber=2&uploadId=2~up%2F1%2Bx: HTTP 500 InternalError"), std::string::npos)
        << r.err;
    auto seen = store.seen();
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(seen.back().method, "DELETE");
    EXPECT_EQ(seen.back().parameter("uploadId"), "2~up/1+x");
    EXPECT_TRUE(store.uploads.empty());
    EXPECT_TRUE(store.objects.empty());

    // A core image that is a zstd stream already is stored as it is.
    store.reset();
    std::string compressed(ZSTD_compressBound(core_data.size()), '\0');
    compressed.resize(ZSTD_compress(compressed.data(), compressed.size(), core_data.data(), core_data.size(), 1));
    ks_test_write_file(core, compressed);
    set_mtime(core, core_time);
    configure("upload.core = yes\n");
    r = send();
    EXPECT_TRUE(exited_with(r.status, 0)) << describe(r);
    EXPECT_TRUE(store.object(key + ".core.zst") == compressed);
}

// The example send command hands s3:// destinations to kestrel-s3, with the
// arguments that follow as its options.
TEST_F(S3Send, ExampleSendCommand)
{
    const std::string script = std::string(KS_TEST_SOURCE_DIR) + "/examples/send";

    ks_test_result r = ks_test_run({script, snapshot, name, "s3://crashes/central", "-C", conf, "-G", "abcdef"},
                                   {std::string("KESTREL_S3=") + KS_TEST_KESTREL_S3, "QUELLON_DEFAULTS=host=db-7\n"});
    EXPECT_TRUE(exited_with(r.status, 0)) << describe(r);
    EXPECT_EQ(stored_keys(), std::vector<std::string>{"/crashes/central/db-7/2024-02-29/abcdef/" + name + ".txt"});

    // The other destinations keep their forms: no options after them.
    r = ks_test_run({script, snapshot, name, dir / "outbox", "put", "extra"});
    EXPECT_TRUE(exited_with(r.status, 2)) << describe(r);
    r = ks_test_run({script, snapshot, name, dir / "outbox"});
    EXPECT_TRUE(exited_with(r.status, 0)) << describe(r);
    EXPECT_EQ(ks_test_read_file(dir / "outbox/" + name + ".txt"), ks_test_read_file(snapshot));
}

} // namespace
