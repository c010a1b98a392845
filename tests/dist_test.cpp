// The package's example commands that write `kestrel metrics` into
// node_exporter's textfile collector: the cron line and the timer's service
// run as they are shipped, with only the client's path and the collector's
// directory pointed at a stand-in client and a temporary directory.

#include "support.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const std::string client_path = "/usr/bin/kestrel";
const std::string collector_path = "/var/lib/prometheus/node-exporter";

std::string replace_all(std::string text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

// The commented-out line of /etc/cron.d/kestrel-metrics, without its "#",
// times and user.
std::string cron_command(void)
{
    const std::string text = ks_test_read_file(std::string(KS_TEST_SOURCE_DIR) + "/dist/kestrel-metrics.cron");
    const std::string prefix = "\n#* * * * * root ";
    size_t start = text.find(prefix);
    if (start == std::string::npos)
        return "";
    start += prefix.size();
    return text.substr(start, text.find('\n', start) - start);
}

// The shell command of the service's ExecStart, with systemd's "$$" read as "$".
std::string service_command(void)
{
    const std::string text = ks_test_read_file(std::string(KS_TEST_SOURCE_DIR) + "/dist/kestrel-metrics.service");
    size_t line = text.find("\nExecStart=/bin/sh -c '");
    if (line == std::string::npos)
        return "";
    size_t start = text.find('\'', line) + 1;
    size_t end = text.find('\n', start);
    end = text.rfind('\'', end);
    return replace_all(text.substr(start, end - start), "$$", "$");
}

std::vector<std::string> entries(const std::string &path)
{
    std::vector<std::string> names;
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        return names;
    while (struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

const char metrics[] =
    "# HELP kestrel_crashes Crashes in each stage directory.\n"
    "# TYPE kestrel_crashes gauge\n"
    "kestrel_crashes{stage=\"pending\"} 2\n";

} // namespace

TEST(Dist, MetricsCommandsReplaceTheCollectorFileWhole)
{
    const std::string cron = cron_command();
    const std::string service = service_command();
    ASSERT_FALSE(cron.empty()) << "no command line in dist/kestrel-metrics.cron";
    ASSERT_FALSE(service.empty()) << "no ExecStart in dist/kestrel-metrics.service";
    // cron reads "%" as a line break.
    EXPECT_EQ(cron.find('%'), std::string::npos) << cron;

    struct scenario {
        const char *name;
        const char *client;  // the stand-in client's script; null: no client installed
        bool collector;      // the collector's directory exists
        const char *before;  // kestrel.prom before the run; null: none
        bool succeeds;
        const char *after;   // kestrel.prom after the run; null: none
        bool cron_only;      // the service has a condition on the directory instead
    };
    const std::string ok = std::string("printf '%s' '") + metrics + "'\n";
    const std::string half = "printf 'kestrel_crashes{stage=\"pend'\nexit 1\n";
    const scenario table[] = {
        {"first write", ok.c_str(), true, nullptr, true, metrics, false},
        {"replaces the last file", ok.c_str(), true, "kestrel_crashes 9\n", true, metrics, false},
        {"a failing client leaves the last file", half.c_str(), true, "kestrel_crashes 9\n", false,
         "kestrel_crashes 9\n", false},
        {"a failing client leaves no file", half.c_str(), true, nullptr, false, nullptr, false},
        {"no collector directory: nothing to do", ok.c_str(), false, nullptr, true, nullptr, true},
        {"no client installed: nothing to do", nullptr, true, nullptr, true, nullptr, true},
    };

    const struct {
        const char *name;
        std::string command;
        bool cron;
    } commands[] = {{"cron", cron, true}, {"service", service, false}};

    for (const auto &command : commands) {
        for (const scenario &s : table) {
            if (s.cron_only && !command.cron)
                continue;
            SCOPED_TRACE(std::string(command.name) + ": " + s.name);
            ks_test_dir dir;
            const std::string client = dir / "kestrel";
            const std::string collector = dir / "collector";
            if (s.client != nullptr) {
                ks_test_write_file(client, std::string("#!/bin/sh\n[ \"$1\" = metrics ] || exit 2\n") + s.client);
                ASSERT_EQ(chmod(client.c_str(), 0755), 0);
            }
            if (s.collector) {
                ASSERT_EQ(mkdir(collector.c_str(), 0755), 0);
            }
            if (s.before != nullptr)
                ks_test_write_file(collector + "/kestrel.prom", s.before);

            std::string text = replace_all(command.command, client_path, client);
            text = replace_all(text, collector_path, collector);
            ks_test_result r = ks_test_run({"/bin/sh", "-c", text});
            ASSERT_TRUE(WIFEXITED(r.status)) << ks_test_status_text(r.status);
            EXPECT_EQ(WEXITSTATUS(r.status) == 0, s.succeeds) << text << "\n" << r.err;

            // Never a temporary file left beside it, whatever happened.
            std::vector<std::string> expected;
            if (s.after != nullptr)
                expected.push_back("kestrel.prom");
            EXPECT_EQ(entries(collector), expected);
            if (s.after != nullptr) {
                EXPECT_EQ(ks_test_read_file(collector + "/kestrel.prom"), s.after);
            }
        }
    }
}

// The maintainer scripts and the init script are plain POSIX shell.
TEST(Dist, ScriptsParse)
{
    for (const char *name : {"postinst", "prerm", "postrm", "kestreld.init"}) {
        SCOPED_TRACE(name);
        ks_test_result r = ks_test_run({"/bin/sh", "-n", std::string(KS_TEST_SOURCE_DIR) + "/dist/" + name});
        EXPECT_TRUE(WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0) << r.err;
    }
}
