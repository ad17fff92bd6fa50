// Tests of the logger: record format, hex dump, colours, stream choice, filtering, default logger.
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "base/arch.hpp"
#include "base/glog.hpp"
#include "support/log_capture.hpp"

namespace {

struct timespec fake_now {};
void fake_clock(struct timespec *now) {
    *now = fake_now;
}

// A logger writing into memory; `text()` returns everything written so far.
struct memory_logger {
    char *buffer = nullptr;
    size_t size = 0;
    FILE *stream = open_memstream(&buffer, &size);
    glog *logger = nullptr;

    explicit memory_logger(const char *tag = nullptr, int32_t level = 0) {
        glog_config config{};
        glog_copy_default_config_stdout(&config);
        config.target = stream;
        config.tag = tag;
        config.level = level;
        logger = glog_create(&config);
    }
    ~memory_logger() {
        glog_destroy(logger);
        fclose(stream);
        free(buffer);
    }
    std::string text() {
        fflush(stream);
        return std::string(buffer, size);
    }
};

// Replaces the logger clock for one test.
struct clock_guard {
    glog_clock_fn previous = glog_set_clock(fake_clock);
    ~clock_guard() { glog_set_clock(previous); }
};

// The header the logger must print for `t`, built independently of its own cache.
std::string expected_header(const struct timespec &t, char letter, const char *tag) {
    struct tm local {};
    localtime_r(&t.tv_sec, &local);
    char buf[256];
    snprintf(buf, sizeof buf, "%02d-%02d-%02d %02d:%02d:%02d.%03d %d %d %c %s ",
             local.tm_year % 100, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
             local.tm_sec, static_cast<int>(t.tv_nsec / 1000000), static_cast<int>(getpid()),
             static_cast<int>(arch_gettid()), letter, tag);
    return buf;
}

} // namespace

TEST(Glog, NullLoggerOrFormatWritesNothing) {
    memory_logger m;
    ASSERT_NE(m.logger, nullptr);
    EXPECT_EQ(glog_write(nullptr, GLOG_ERROR, 0, nullptr, 0, "x"), 0);
    EXPECT_EQ(glog_write(m.logger, GLOG_ERROR, 0, nullptr, 0, nullptr), 0);
    EXPECT_EQ(m.text(), "");
}

TEST(Glog, RecordHeaderMessageAndCount) {
    clock_guard clock;
    struct row {
        time_t sec;
        long nsec;
        int32_t level;
        const char *tag;
    };
    // Milliseconds are truncated, never rounded; a null tag prints as the empty text.
    const row rows[] = {{1741000000, 4999999, GLOG_INFO, nullptr},
                        {1741000001, 999999999, GLOG_FATAL, "core"},
                        {946684799, 0, GLOG_VERBOSE, ""},
                        {1741000002, 1000000, GLOG_WARN, "t"}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.sec);
        memory_logger m(r.tag);
        fake_now = {r.sec, r.nsec};
        int64_t n = glog_write(m.logger, r.level, 0, nullptr, 0, "value %d of %s", 7, "seven");
        std::string expected =
            expected_header(fake_now, loglevel_char[r.level], r.tag ? r.tag : "") +
            "value 7 of seven\n";
        EXPECT_EQ(m.text(), expected);
        EXPECT_EQ(n, static_cast<int64_t>(expected.size()));
    }
}

TEST(Glog, LocalTimeFollowsEverySecondChange) {
    clock_guard clock;
    memory_logger m;
    const time_t seconds[] = {1741000000, 1741000001, 1741000001, 1741003600, 1741000000};
    std::string expected;
    for (time_t s : seconds) {
        fake_now = {s, 0};
        glog_write(m.logger, GLOG_INFO, 0, nullptr, 0, "m");
        expected += expected_header(fake_now, 'I', "") + "m\n";
    }
    EXPECT_EQ(m.text(), expected);
}

TEST(Glog, HexDumpRows) {
    unsigned char twenty[20];
    for (int i = 0; i < 20; ++i) {
        twenty[i] = static_cast<unsigned char>(i == 0 ? 0x41 : i);
    }
    const unsigned char sixteen[16] = {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h',
                                       'i', 'j', 'k', 'l', 'm', 'n', 'o', 0xff};
    struct row {
        const void *data;
        size_t len;
        const char *dump;
    };
    const row rows[] = {
        {twenty, 20,
         "41 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f A...............\n"
         "10 11 12 13 ....\n"},
        {sixteen, 16, "61 62 63 64 65 66 67 68 69 6a 6b 6c 6d 6e 6f ff abcdefghijklmno.\n"},
        {" ", 1, "20  \n"},
        {twenty, 0, ""},
        {nullptr, 5, ""},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.dump);
        memory_logger m;
        int64_t n = glog_write(m.logger, GLOG_DEBUG, 0, r.data, r.len, "msg");
        std::string text = m.text();
        size_t body = text.find("msg\n");
        ASSERT_NE(body, std::string::npos);
        EXPECT_EQ(text.substr(body + 4), r.dump);
        EXPECT_EQ(n, static_cast<int64_t>(text.size()));
    }
}

TEST(Glog, ColourEscapesOnlyForNonZeroColour) {
    struct row {
        int32_t colour;
        const char *prefix;
        const char *suffix;
    };
    const row rows[] = {{0, "", ""}, {1, "\x1b[31m", "\x1b[0m"}, {7, "\x1b[37m", "\x1b[0m"}};
    for (const row &r : rows) {
        SCOPED_TRACE(r.colour);
        memory_logger m;
        glog_write(m.logger, GLOG_INFO, r.colour, "A", 1, "coloured");
        std::string text = m.text();
        EXPECT_EQ(text.rfind(r.prefix, 0), 0u);
        std::string tail = std::string("41 A\n") + r.suffix;
        ASSERT_GE(text.size(), tail.size());
        EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
        EXPECT_EQ(text.find('\x1b') != std::string::npos, r.colour != 0);
    }
}

TEST(Glog, StreamChoicePerKind) {
    struct row {
        uint32_t kind;
        int32_t level;
        bool to_stderr;
    };
    const row rows[] = {
        {GLOG_OUT_CONSOLE, GLOG_WARN, false}, {GLOG_OUT_CONSOLE, GLOG_ERROR, true},
        {GLOG_OUT_CONSOLE, GLOG_FATAL, true}, {GLOG_OUT_CONSOLE, GLOG_VERBOSE, false},
        {GLOG_OUT_STDOUT, GLOG_FATAL, false}, {GLOG_OUT_STDERR, GLOG_VERBOSE, true}};
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.kind << "/" << r.level);
        glog_config config{};
        config.kind = r.kind;
        config.flush = true;
        glog *logger = glog_create(&config);
        ASSERT_NE(logger, nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        glog_write(logger, r.level, 0, nullptr, 0, "routed");
        std::string out = testing::internal::GetCapturedStdout();
        std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(err.find("routed") != std::string::npos, r.to_stderr);
        EXPECT_EQ(out.find("routed") != std::string::npos, !r.to_stderr);
        EXPECT_EQ(logger->stream, r.to_stderr ? stderr : stdout);
        glog_destroy(logger);
    }
}

TEST(Glog, DefaultLoggerWritesErrorsToStandardOutput) {
    ASSERT_NE(GLOG_GLOBAL_INSTANCE, nullptr);
    EXPECT_EQ(GLOG_GLOBAL_INSTANCE->kind, GLOG_OUT_STDOUT);
    EXPECT_EQ(glog_get_level(GLOG_GLOBAL_INSTANCE), GLOG_VERBOSE);
    EXPECT_EQ(GLOG_GLOBAL_INSTANCE_REFCNT, 1);
    EXPECT_EQ(ORVATHIDL_LOG, nullptr);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    glog_write(GLOG_GLOBAL_INSTANCE, GLOG_ERROR, 0, nullptr, 0, "default error");
    fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(out.find(" E  default error\n"), std::string::npos) << out;
    EXPECT_EQ(err, "");
}

TEST(Glog, InvalidKindIsRefused) {
    const uint32_t kinds[] = {4, 17, UINT32_MAX};
    for (uint32_t kind : kinds) {
        glog_config config{};
        config.kind = kind;
        EXPECT_EQ(glog_create(&config), nullptr) << kind;
    }
    EXPECT_EQ(glog_create(nullptr), nullptr);
    glog_destroy(nullptr);
}

TEST(Glog, ThresholdFiltersThroughCallingConvention) {
    struct row {
        int32_t threshold;
        int32_t level;
        bool written;
    };
    const row rows[] = {{3, GLOG_INFO, false},   {3, GLOG_WARN, true},    {3, GLOG_FATAL, true},
                        {0, GLOG_VERBOSE, true}, {6, GLOG_SEVERE, false}, {7, GLOG_FATAL, false}};
    for (const row &r : rows) {
        SCOPED_TRACE(testing::Message() << r.threshold << "/" << r.level);
        memory_logger m(nullptr, r.threshold);
        glog_at(m.logger, r.level, "at %s", "level");
        EXPECT_EQ(!m.text().empty(), r.written);
    }
    glog_at(nullptr, GLOG_FATAL, "no logger"); // skipped, no crash
}

TEST(Glog, SetAndGetLevel) {
    memory_logger m;
    glog_set_level(m.logger, GLOG_SEVERE);
    EXPECT_EQ(glog_get_level(m.logger), GLOG_SEVERE);
    glog_set_level(nullptr, GLOG_SEVERE);
    EXPECT_EQ(glog_get_level(nullptr), -1);
}

TEST(Glog, ToolLoggerPrefersOrvathidlLog) {
    log_capture capture;
    memory_logger own;
    using fn = void (*)(const char *, ...);
    struct row {
        fn call;
        int32_t level;
    };
    const row rows[] = {{glog_verbose, 0}, {glog_debug, 1},  {glog_info, 2}, {glog_warn, 3},
                        {glog_error, 4},   {glog_severe, 5}, {glog_fatal, 6}};
    for (const row &r : rows) {
        r.call("to default %d", r.level);
        ORVATHIDL_LOG = own.logger;
        r.call("to own %d", r.level);
        ORVATHIDL_LOG = nullptr;
    }
    std::vector<std::string> expected;
    for (const row &r : rows) {
        expected.push_back(std::string(1, loglevel_char[r.level]) + " to default " +
                           std::to_string(r.level));
    }
    EXPECT_EQ(capture.lines(), expected);
    std::vector<log_record> own_records = log_parse_records(own.text());
    ASSERT_EQ(own_records.size(), 7u);
    EXPECT_EQ(own_records[6].message, "to own 6");
    EXPECT_EQ(own_records[6].level, GLOG_FATAL);
}

TEST(Glog, RecordsOfThreadsNeverInterleave) {
    memory_logger m;
    constexpr int per_thread = 400;
    auto work = [&](char c) {
        std::string payload(60, c);
        for (int i = 0; i < per_thread; ++i) {
            glog_write(m.logger, GLOG_INFO, 0, payload.data(), 20, "%s", payload.c_str());
        }
    };
    std::thread a(work, 'a');
    std::thread b(work, 'b');
    a.join();
    b.join();
    std::vector<log_record> records = log_parse_records(m.text());
    ASSERT_EQ(records.size(), 2u * per_thread);
    for (const log_record &r : records) {
        char c = r.message[0];
        std::string expected = std::string(60, c) + "\n";
        for (int i = 0; i < 16; ++i) {
            expected += c == 'a' ? "61 " : "62 ";
        }
        expected += std::string(16, c) + "\n";
        for (int i = 0; i < 4; ++i) {
            expected += c == 'a' ? "61 " : "62 ";
        }
        expected += std::string(4, c);
        ASSERT_EQ(r.message, expected);
    }
}

namespace {

struct hooked {
    std::vector<std::pair<int32_t, std::string>> records;
    static void take(void *context, int32_t level, const char *text) {
        static_cast<hooked *>(context)->records.emplace_back(level, text);
    }
};

} // namespace

TEST(Glog, ThreadHookTakesTheRecordsOfItsThreadOnly) {
    memory_logger m;
    hooked h;
    const glog_thread_hook previous = glog_set_thread_hook({hooked::take, &h});
    EXPECT_EQ(nullptr, previous.record);
    glog_at(m.logger, GLOG_ERROR, "lost %d of %s", 3, "files");
    glog_write(m.logger, GLOG_WARN, 2, "xy", 2, "%s", "dumps and colour are not part of it");
    glog_at(m.logger, GLOG_DEBUG, "the threshold (0 here) is applied first");
    // Another thread's records still go to the logger.
    std::thread([&] { glog_at(m.logger, GLOG_INFO, "from elsewhere"); }).join();
    // A message longer than the hook's buffer arrives cut, never overrun.
    glog_at(m.logger, GLOG_FATAL, "%s", std::string(10000, 'z').c_str());
    const glog_thread_hook mine = glog_set_thread_hook(previous);
    EXPECT_EQ(&h, mine.context);
    glog_at(m.logger, GLOG_ERROR, "after");

    ASSERT_EQ(4u, h.records.size());
    EXPECT_EQ(std::make_pair(int32_t{GLOG_ERROR}, std::string("lost 3 of files")), h.records[0]);
    EXPECT_EQ(std::make_pair(int32_t{GLOG_WARN}, std::string("dumps and colour are not part of it")),
              h.records[1]);
    EXPECT_EQ(GLOG_DEBUG, h.records[2].first);
    EXPECT_EQ(std::string(4095, 'z'), h.records[3].second);
    std::vector<log_record> records = log_parse_records(m.text());
    ASSERT_EQ(2u, records.size());
    EXPECT_EQ("from elsewhere", records[0].message);
    EXPECT_EQ("after", records[1].message);
}

TEST(LogCapture, ReadsBackLevelsAndMessagesAndRestores) {
    glog *before = GLOG_GLOBAL_INSTANCE;
    {
        log_capture capture;
        EXPECT_TRUE(capture.empty());
        glog_error("first %d", 1);
        glog_at(GLOG_GLOBAL_INSTANCE, GLOG_WARN, "two\nlines");
        glog_write(GLOG_GLOBAL_INSTANCE, GLOG_INFO, 0, "AB", 2, "dumped");
        EXPECT_EQ(capture.lines(),
                  (std::vector<std::string>{"E first 1", "W two\nlines", "I dumped\n41 42 AB"}));
        EXPECT_TRUE(capture.has(GLOG_ERROR, "first 1"));
        EXPECT_FALSE(capture.has(GLOG_WARN, "first 1"));
        EXPECT_TRUE(capture.has_part(GLOG_WARN, "lines"));
        EXPECT_EQ(capture.count(GLOG_ERROR), 1u);
        capture.clear();
        EXPECT_TRUE(capture.empty());
        glog_fatal("Out of memory: %s", "x");
        EXPECT_EQ(capture.messages(GLOG_FATAL), (std::vector<std::string>{"Out of memory: x"}));
    }
    EXPECT_EQ(GLOG_GLOBAL_INSTANCE, before);
    EXPECT_EQ(ORVATHIDL_LOG, nullptr);
}

TEST(LogCapture, ThresholdDropsLowerLevels) {
    log_capture capture(GLOG_WARN);
    glog_info("dropped");
    glog_warn("kept");
    EXPECT_EQ(capture.lines(), (std::vector<std::string>{"W kept"}));
}
