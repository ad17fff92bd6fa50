// Test fixture that captures the log records the program would write, to check levels and messages.
//
// While a `log_capture` lives, the default logger (`GLOG_GLOBAL_INSTANCE`) is replaced by a logger
// that writes into memory and `ORVATHIDL_LOG` is cleared, so every record of every subsystem -
// those sent through `ORVATHIDL_LOG` with its fallback and those sent to `GLOG_GLOBAL_INSTANCE`
// directly - lands in the capture instead of standard output. The destructor puts both handles
// back. Threshold checks happen as usual (the capture keeps the default threshold 0 unless told).
//
//     log_capture logs;
//     EXPECT_FALSE(run_something());
//     EXPECT_TRUE(logs.has(GLOG_ERROR, "Failed to open file x.idl"));
//     EXPECT_EQ(logs.lines(), (std::vector<std::string>{"E Failed to open file x.idl"}));
//
// Captures do not nest meaningfully: make one per test (or per table row, calling `clear`).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

struct glog;

/// One captured record: its level and the message text (without header and final newline).
struct log_record {
    int32_t level;       ///< 0..6, read back from the record's level letter
    std::string message; ///< message text; a hex dump or embedded newlines stay inside it
};

/// Redirects the default logger into memory for its lifetime; see the file comment.
class log_capture {
public:
    /// Installs the capture logger (threshold `threshold`) and clears `ORVATHIDL_LOG`.
    explicit log_capture(int32_t threshold = 0);
    /// Restores the previous default logger and `ORVATHIDL_LOG`.
    ~log_capture();
    log_capture(const log_capture &) = delete;
    log_capture &operator=(const log_capture &) = delete;

    /// Every record captured so far, in order.
    [[nodiscard]] std::vector<log_record> records() const;
    /// Every record as "<letter> <message>", e.g. "E Out of memory: list", in order.
    [[nodiscard]] std::vector<std::string> lines() const;
    /// The messages captured at `level`, in order.
    [[nodiscard]] std::vector<std::string> messages(int32_t level) const;
    /// Number of records captured at `level`.
    [[nodiscard]] size_t count(int32_t level) const;
    /// Success when a record of exactly this level and message exists; failure lists all records.
    [[nodiscard]] testing::AssertionResult has(int32_t level, std::string_view message) const;
    /// Success when some record at `level` contains `part`; failure lists all records.
    [[nodiscard]] testing::AssertionResult has_part(int32_t level, std::string_view part) const;
    /// Success when nothing was captured; failure lists all records.
    [[nodiscard]] testing::AssertionResult empty() const;
    /// The raw bytes written so far, headers included.
    [[nodiscard]] std::string raw() const;
    /// Forgets everything captured so far.
    void clear();
    /// The capture logger itself (for tests that pass a logger explicitly).
    [[nodiscard]] glog *logger() const { return capture_; }

private:
    glog *capture_ = nullptr;
    glog *saved_global_ = nullptr;
    glog *saved_tool_ = nullptr;
    FILE *stream_ = nullptr;
    char *buffer_ = nullptr;
    size_t size_ = 0;
    size_t start_ = 0; // bytes before this offset were cleared
};

/// Parses raw log text (as the console writes it) into records; lines without a header continue
/// the previous record.
[[nodiscard]] std::vector<log_record> log_parse_records(std::string_view text);
