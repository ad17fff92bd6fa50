// Tests of file output: configuration checks, file names, size budget, rotation and old-file
// removal.
#include <algorithm>
#include <dirent.h>
#include <fstream>
#include <ftw.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "base/glog.hpp"
#include "base/glogfile.hpp"
#include "support/log_capture.hpp"

namespace {

struct timespec file_now {};
void file_clock(struct timespec *now) {
    *now = file_now;
}

// A fresh temporary directory and a fake clock for one test; removes the directory afterwards.
class GlogFile : public testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/glogfile_test_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        base_ = dir_ + "/app.log";
        previous_ = glog_set_clock(file_clock);
        // 2025-03-03 12:00:00 UTC; away from any local midnight boundary tests depend on.
        file_now = {1741003200, 0};
    }
    void TearDown() override {
        glog_set_clock(previous_);
        nftw(
            dir_.c_str(),
            [](const char *p, const struct stat *, int, struct FTW *) { return remove(p); }, 16,
            FTW_DEPTH | FTW_PHYS);
    }

    glog *make(uint64_t max_size, uint64_t max_files, int32_t mode = GLOG_ROTATE_NUMBERED,
               int32_t interval = 0, bool pid = false) {
        glog_config config{};
        glog_copy_default_config_file(&config, base_.c_str());
        config.max_size = max_size;
        config.max_files = max_files;
        config.rotate_mode = mode;
        config.interval = interval;
        config.pid_in_name = pid;
        return glog_create(&config);
    }

    std::vector<std::string> files() const {
        std::vector<std::string> out;
        if (DIR *d = opendir(dir_.c_str())) {
            while (const dirent *e = readdir(d)) {
                std::string n = e->d_name;
                if (n != "." && n != "..") {
                    out.push_back(n);
                }
            }
            closedir(d);
        }
        std::sort(out.begin(), out.end());
        return out;
    }

    std::string read(const std::string &name) const {
        std::ifstream in(dir_ + "/" + name, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    // Messages of the records in one file, in order.
    std::vector<std::string> messages(const std::string &name) const {
        std::vector<std::string> out;
        for (const log_record &r : log_parse_records(read(name))) {
            out.push_back(r.message);
        }
        return out;
    }

    void touch(const std::string &name) const {
        FILE *f = fopen((dir_ + "/" + name).c_str(), "w");
        ASSERT_NE(f, nullptr);
        fclose(f);
    }

    // Name the logger gives a time-stamped file opened at `t` with `index`.
    static std::string stamped(const std::string &base, time_t t, long ms, unsigned index) {
        struct tm local {};
        localtime_r(&t, &local);
        long day_ms = (local.tm_hour * 3600L + local.tm_min * 60L + local.tm_sec) * 1000 + ms;
        char buf[512];
        snprintf(buf, sizeof buf, "%s.%04d_%02d_%02d_%ld.%u", base.c_str(), local.tm_year + 1900,
                 local.tm_mon + 1, local.tm_mday, day_ms, index);
        return buf;
    }

    std::string dir_;
    std::string base_;
    glog_clock_fn previous_ = nullptr;
};

} // namespace

TEST_F(GlogFile, DefaultConfiguration) {
    glog_config config{};
    config.tag = "x";
    EXPECT_EQ(glog_copy_default_config_file(&config, "p"), &config);
    EXPECT_EQ(config.kind, GLOG_OUT_FILE);
    EXPECT_EQ(config.level, 0);
    EXPECT_STREQ(static_cast<const char *>(config.target), "p");
    EXPECT_EQ(config.max_size, 16777216u);
    EXPECT_EQ(config.max_files, 8u);
    EXPECT_EQ(config.rotate_mode, GLOG_ROTATE_NUMBERED);
    EXPECT_EQ(config.interval, 0);
    EXPECT_FALSE(config.flush);
    EXPECT_FALSE(config.pid_in_name);
    EXPECT_EQ(config.tag, nullptr);
}

TEST_F(GlogFile, IncompleteOrUnopenableSetupGivesNull) {
    struct row {
        const char *target;
        uint64_t max_size;
        uint64_t max_files;
    };
    const std::string missing_dir = dir_ + "/no/such/app.log";
    const row rows[] = {{nullptr, 100, 4},
                        {base_.c_str(), 0, 4},
                        {base_.c_str(), 100, 1},
                        {base_.c_str(), 100, 0},
                        {missing_dir.c_str(), 100, 4}};
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message()
                     << (r.target ? r.target : "null") << " " << r.max_size << " " << r.max_files);
        glog_config config{};
        glog_copy_default_config_file(&config, r.target);
        config.max_size = r.max_size;
        config.max_files = r.max_files;
        EXPECT_EQ(glog_create(&config), nullptr);
    }
    EXPECT_TRUE(files().empty());
}

TEST_F(GlogFile, NameLimitIsNotCut) {
    // Nested directories make a valid path close to the 2047-byte name limit.
    std::string deep = dir_;
    while (deep.size() < 1800) {
        deep += "/" + std::string(150, 'd');
        ASSERT_EQ(mkdir(deep.c_str(), 0755), 0);
    }
    struct row {
        size_t name_len; // length of base + ".0"
        bool ok;
    };
    const row rows[] = {{2046, true}, {2047, false}, {2100, false}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.name_len);
        std::string base = deep + "/" + std::string(r.name_len - deep.size() - 3, 'b');
        glog_config config{};
        glog_copy_default_config_file(&config, base.c_str());
        glog *logger = glog_create(&config);
        EXPECT_EQ(logger != nullptr, r.ok);
        if (logger != nullptr) {
            EXPECT_EQ(access((base + ".0").c_str(), F_OK), 0);
        } else {
            // The cut name would have been base + "." or shorter.
            EXPECT_NE(access((base + ".").c_str(), F_OK), 0);
        }
        glog_destroy(logger);
        remove((base + ".0").c_str());
    }
}

TEST_F(GlogFile, FileNamesInAllFourFormats) {
    file_now = {1741003200, 123456789};
    const std::string pid = std::to_string(getpid());
    struct row {
        int32_t mode;
        bool pid;
        std::string name;
    };
    const row rows[] = {
        {GLOG_ROTATE_NUMBERED, false, "app.log.0"},
        {GLOG_ROTATE_NUMBERED, true, "app.log_" + pid + ".0"},
        {GLOG_ROTATE_DAILY, false, stamped("app.log", file_now.tv_sec, 123, 0)},
        {7, true, stamped("app.log_" + pid, file_now.tv_sec, 123, 0)},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        glog *logger = make(1000, 4, r.mode, 0, r.pid);
        ASSERT_NE(logger, nullptr);
        EXPECT_EQ(files(), std::vector<std::string>{r.name});
        glog_destroy(logger);
        remove((dir_ + "/" + r.name).c_str());
    }
}

TEST_F(GlogFile, NumberedRotationWrapsAndTruncates) {
    // With max_size 1 every record fills its file, so each record lands in the next file.
    glog *logger = make(1, 3);
    ASSERT_NE(logger, nullptr);
    for (int i = 0; i < 4; ++i) {
        EXPECT_GT(glog_write(logger, GLOG_INFO, 0, nullptr, 0, "record %d", i), 0);
    }
    glog_destroy(logger);
    EXPECT_EQ(files(), (std::vector<std::string>{"app.log.0", "app.log.1", "app.log.2"}));
    EXPECT_EQ(messages("app.log.0"), std::vector<std::string>{"record 3"});
    EXPECT_EQ(messages("app.log.1"), std::vector<std::string>{"record 1"});
    EXPECT_EQ(messages("app.log.2"), std::vector<std::string>{"record 2"});
}

TEST_F(GlogFile, SizeBudgetIsNeverExceeded) {
    const uint64_t max_size = 300;
    glog *logger = make(max_size, 50);
    ASSERT_NE(logger, nullptr);
    unsigned char bytes[40] = {};
    std::vector<std::string> sent;
    for (int i = 0; i < 60; ++i) {
        std::string msg = "r" + std::to_string(i) + std::string(static_cast<size_t>(i % 37), '.');
        // Every fifth record carries a dump, which counts against the budget too.
        size_t dump = i % 5 == 0 ? static_cast<size_t>(i % 40) : 0;
        int64_t n =
            glog_write(logger, GLOG_WARN, 3, dump ? bytes : nullptr, dump, "%s", msg.c_str());
        ASSERT_GT(n, 0);
        sent.push_back(msg);
    }
    glog_destroy(logger);
    std::vector<std::string> got;
    for (int i = 0; i < 50; ++i) {
        std::string name = "app.log." + std::to_string(i);
        std::string text = read(name);
        if (text.empty()) {
            break;
        }
        EXPECT_LE(text.size(), max_size) << name;
        EXPECT_EQ(text.back(), '\n') << name; // no record split across files
        EXPECT_EQ(text.find('\x1b'), std::string::npos) << name;
        for (const log_record &r : log_parse_records(text)) {
            got.push_back(r.message.substr(0, r.message.find('\n')));
        }
    }
    EXPECT_EQ(got, sent);
}

TEST_F(GlogFile, IntervalRotation) {
    glog *logger = make(1u << 20, 4, GLOG_ROTATE_NUMBERED, 60);
    ASSERT_NE(logger, nullptr);
    const time_t start = file_now.tv_sec;
    const time_t offsets[] = {30, 60, 61, 100, 122};
    for (time_t off : offsets) {
        file_now.tv_sec = start + off;
        glog_write(logger, GLOG_INFO, 0, nullptr, 0, "at %ld", static_cast<long>(off));
    }
    glog_destroy(logger);
    // 61 is more than 60 s after opening; the file opened at 61 expires after 121.
    EXPECT_EQ(messages("app.log.0"), (std::vector<std::string>{"at 30", "at 60"}));
    EXPECT_EQ(messages("app.log.1"), (std::vector<std::string>{"at 61", "at 100"}));
    EXPECT_EQ(messages("app.log.2"), (std::vector<std::string>{"at 122"}));
}

TEST_F(GlogFile, DayAndHourChangesRotate) {
    struct row {
        int32_t mode;
        time_t open;
        time_t second; // time of the second record
        bool rotates;
    };
    const time_t day = 1741046400; // a multiple of 86400
    const row rows[] = {
        {GLOG_ROTATE_DAILY, day - 2, day + 1, true},
        {GLOG_ROTATE_DAILY, day + 1, day + 80000, false},
        {GLOG_ROTATE_HOURLY, day + 3599, day + 3600, true},
        {GLOG_ROTATE_HOURLY, day + 3600, day + 7199, false},
        {GLOG_ROTATE_NUMBERED, day - 2, day + 1, false},
        {5, day - 2, day + 1, false}, // time-stamped names, no calendar rotation
    };
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.mode << " " << r.open << " " << r.second);
        file_now = {r.open, 0};
        glog *logger = make(1u << 20, 4, r.mode);
        ASSERT_NE(logger, nullptr);
        glog_write(logger, GLOG_INFO, 0, nullptr, 0, "one");
        file_now = {r.second, 0};
        glog_write(logger, GLOG_INFO, 0, nullptr, 0, "two");
        EXPECT_EQ(logger->index, r.rotates ? 1u : 0u);
        glog_destroy(logger);
        std::vector<std::string> names = files();
        EXPECT_EQ(names.size(), r.rotates ? 2u : 1u);
        for (const std::string &n : names) {
            remove((dir_ + "/" + n).c_str());
        }
    }
}

TEST_F(GlogFile, OldestStampedFileIsRemoved) {
    // Files of earlier runs in this logger's format, one with another process id's format, and
    // names that only look similar.
    touch("app.log.2020_01_01_5.0");
    touch("app.log.2020_01_01_4.3");
    touch("app.log.2019_12_31_86399999.1");
    const char *foreign[] = {"app.log.2019.01.01-5",      "app.log.0",
                             "app.log_12.2019_01_01_5.0", "other.2019_01_01_5.0",
                             "app.log.2019_13_01_5.0",    "app.log.2019_01_01_5.0.bak"};
    for (const char *f : foreign) {
        touch(f);
    }
    // max_files 3: the create removes the oldest until fewer than 3 remain (2019_12_31 goes).
    glog *logger = make(1u << 20, 3, 3, 10);
    ASSERT_NE(logger, nullptr);
    std::vector<std::string> expected(std::begin(foreign), std::end(foreign));
    expected.push_back("app.log.2020_01_01_5.0");
    expected.push_back("app.log.2020_01_01_4.3");
    expected.push_back(stamped("app.log", file_now.tv_sec, 0, 0));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(files(), expected);

    // Each rotation keeps at most 3 of the logger's files: the one just closed survives.
    const time_t start = file_now.tv_sec;
    for (int i = 1; i <= 4; ++i) {
        file_now.tv_sec = start + 11 * i;
        glog_write(logger, GLOG_INFO, 0, nullptr, 0, "r%d", i);
    }
    glog_destroy(logger);
    expected.assign(std::begin(foreign), std::end(foreign));
    expected.push_back(stamped("app.log", start + 22, 0, 2));
    expected.push_back(stamped("app.log", start + 33, 0, 0));
    expected.push_back(stamped("app.log", start + 44, 0, 1));
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(files(), expected);
}

TEST_F(GlogFile, FailedRotationDropsRecordThenRecovers) {
    glog *logger = make(1, 3);
    ASSERT_NE(logger, nullptr);
    // A directory in the place of the next file makes its open fail, even for a privileged user.
    ASSERT_EQ(mkdir((dir_ + "/app.log.1").c_str(), 0755), 0);
    EXPECT_GT(glog_write(logger, GLOG_INFO, 0, nullptr, 0, "kept 0"), 0);
    EXPECT_EQ(glog_write(logger, GLOG_INFO, 0, nullptr, 0, "dropped"), 0);
    EXPECT_EQ(logger->stream, nullptr);
    EXPECT_EQ(logger->index, 0u);
    EXPECT_EQ(glog_write(logger, GLOG_INFO, 0, nullptr, 0, "dropped too"), 0);
    ASSERT_EQ(rmdir((dir_ + "/app.log.1").c_str()), 0);
    EXPECT_GT(glog_write(logger, GLOG_INFO, 0, nullptr, 0, "kept 1"), 0);
    EXPECT_EQ(logger->index, 1u);
    glog_destroy(logger);
    EXPECT_EQ(messages("app.log.0"), std::vector<std::string>{"kept 0"});
    EXPECT_EQ(messages("app.log.1"), std::vector<std::string>{"kept 1"});
}

TEST_F(GlogFile, FailedBudgetRotationLeavesNoStreamToWriteInto) {
    // The rotation fails when a record overflows the budget; the count written so far stays below
    // max_size, so later records must still retry the rotation instead of writing without a file.
    glog *logger = make(100, 3);
    ASSERT_NE(logger, nullptr);
    ASSERT_EQ(mkdir((dir_ + "/app.log.1").c_str(), 0755), 0);
    EXPECT_GT(glog_write(logger, GLOG_INFO, 0, nullptr, 0, "kept 0"), 0);
    EXPECT_EQ(glog_write(logger, GLOG_INFO, 0, nullptr, 0, "%s", std::string(80, 'x').c_str()), 0);
    EXPECT_LT(logger->written, logger->max_size);
    EXPECT_EQ(glog_write(logger, GLOG_INFO, 0, nullptr, 0, "small"), 0);
    ASSERT_EQ(rmdir((dir_ + "/app.log.1").c_str()), 0);
    EXPECT_GT(glog_write(logger, GLOG_INFO, 0, nullptr, 0, "kept 1"), 0);
    glog_destroy(logger);
    EXPECT_EQ(messages("app.log.0"), std::vector<std::string>{"kept 0"});
    EXPECT_EQ(messages("app.log.1"), std::vector<std::string>{"kept 1"});
}

TEST_F(GlogFile, OversizedAndEmptyRecordsTerminate) {
    glog *logger = make(100, 4);
    ASSERT_NE(logger, nullptr);
    const std::string huge(500, 'h');
    EXPECT_GT(glog_write(logger, GLOG_INFO, 0, nullptr, 0, "small"), 0);
    // Too long for any file: written whole into a fresh file, not split, and no endless rotation.
    int64_t n = glog_write(logger, GLOG_INFO, 0, nullptr, 0, "%s", huge.c_str());
    EXPECT_GT(n, 500);
    EXPECT_GT(glog_write(logger, GLOG_INFO, 0, nullptr, 0, "%s", ""), 0);
    EXPECT_GT(glog_write(logger, GLOG_INFO, 0, nullptr, 0, "%s", ""), 0);
    glog_destroy(logger);
    EXPECT_EQ(messages("app.log.0"), std::vector<std::string>{"small"});
    EXPECT_EQ(messages("app.log.1"), std::vector<std::string>{huge});
    EXPECT_EQ(static_cast<int64_t>(read("app.log.1").size()), n);
    EXPECT_EQ(messages("app.log.2"), (std::vector<std::string>{"", ""}));
}

TEST_F(GlogFile, ReturnCountMatchesBytesInFile) {
    glog *logger = make(1u << 20, 2);
    ASSERT_NE(logger, nullptr);
    int64_t total = 0;
    total += glog_write(logger, GLOG_ERROR, 2, "xyz\x01", 4, "with dump");
    total += glog_write(logger, GLOG_DEBUG, 0, nullptr, 0, "plain %d", 42);
    EXPECT_EQ(logger->written, static_cast<uint64_t>(total));
    glog_destroy(logger);
    EXPECT_EQ(static_cast<int64_t>(read("app.log.0").size()), total);
    EXPECT_EQ(messages("app.log.0"),
              (std::vector<std::string>{"with dump\n78 79 7a 01 xyz.", "plain 42"}));
}
