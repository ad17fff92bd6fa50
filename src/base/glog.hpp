// Logging: one self-contained record per call, to the console or to rotating files.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>

/// Record levels; callers pass only these seven values.
enum glog_level : int32_t {
    GLOG_VERBOSE = 0,
    GLOG_DEBUG = 1,
    GLOG_INFO = 2,
    GLOG_WARN = 3,
    GLOG_ERROR = 4,
    GLOG_SEVERE = 5,
    GLOG_FATAL = 6,
};

/// Output kinds, the first field of `glog_config`; any other value is invalid.
enum glog_out_kind : uint32_t {
    GLOG_OUT_CONSOLE = 0,
    GLOG_OUT_STDOUT = 1,
    GLOG_OUT_STDERR = 2,
    GLOG_OUT_FILE = 3,
};

/// Rotation modes of file output; other non-zero values give time-stamped names, no calendar
/// rotation.
enum glog_rotate_mode : int32_t {
    GLOG_ROTATE_NUMBERED = 0,
    GLOG_ROTATE_DAILY = 1,
    GLOG_ROTATE_HOURLY = 2,
};

/// Level letters "VDIWESF" indexed by level (NUL at index 7).
extern const char loglevel_char[8];
/// ANSI colour escapes indexed by colour number 0..7; entry 0 is the empty text (no colour).
extern const char *const color_string[8];
/// The escape that ends a coloured console record.
extern const char *const glog_color_reset;

/// Logger configuration, copied by value into the logger.
struct glog_config {
    uint32_t kind;       ///< output kind, a `glog_out_kind`
    int32_t level;       ///< threshold: callers write a record only when level <= record level
    const char *tag;     ///< printed in every header; null is the empty text; pointer kept
    bool flush;          ///< flush the stream after every record
    void *target;        ///< kinds 1, 2: the `FILE*`; kind 3: the base path (`const char*`, kept)
    bool pid_in_name;    ///< file names carry the process id
    uint64_t max_size;   ///< byte limit of one log file (kind 3, non-zero)
    int32_t interval;    ///< rotation interval in seconds, 0 for none (kind 3)
    uint64_t max_files;  ///< files in the rotation (kind 3, greater than 1)
    int32_t rotate_mode; ///< a `glog_rotate_mode` (kind 3)
};

/// Logger: its configuration followed by the run-time state; made by `glog_create`.
struct glog {
    uint32_t kind;          ///< as `glog_config::kind`
    int32_t level;          ///< as `glog_config::level`
    const char *tag;        ///< as `glog_config::tag`
    bool flush;             ///< as `glog_config::flush`
    void *target;           ///< as `glog_config::target`
    bool pid_in_name;       ///< as `glog_config::pid_in_name`
    uint64_t max_size;      ///< as `glog_config::max_size`
    int32_t interval;       ///< as `glog_config::interval`
    uint64_t max_files;     ///< as `glog_config::max_files`
    int32_t rotate_mode;    ///< as `glog_config::rotate_mode`
    FILE *stream;           ///< stream of the last record; kind 3: the open log file or null
    struct timespec opened; ///< kind 3: clock reading when the current file was opened
    uint32_t index;         ///< kind 3: number of the current file in the rotation
    uint64_t written;       ///< kind 3: bytes written to the current file
    uint8_t lock;           ///< spin lock, 0 free, 1 held
};

/// The default logger (standard output, threshold 0); null before start-up and after release.
extern glog *GLOG_GLOBAL_INSTANCE;
/// Reference count of the default logger.
extern int32_t GLOG_GLOBAL_INSTANCE_REFCNT;
/// Logger of the driver, preprocessor and string buffer; null means `GLOG_GLOBAL_INSTANCE`.
extern glog *ORVATHIDL_LOG;

/// Fills `config` for kind 1 (standard output), level 0, every other field zero; returns `config`.
glog_config *glog_copy_default_config_stdout(glog_config *config);
/// Fills `config` for kind 2 (standard error), level 0, every other field zero; returns `config`.
glog_config *glog_copy_default_config_stderr(glog_config *config);

/// Makes a logger from a copy of `config`; null on an invalid kind, bad file setup or no memory.
[[nodiscard]] glog *glog_create(const glog_config *config);
/// Closes a kind-3 logger's open file (console streams stay open) and frees it; accepts null.
void glog_destroy(glog *logger);

/// Writes one record (no level filtering); returns bytes written, 0 on null logger/format.
int64_t glog_write(glog *logger, int32_t level, int32_t colour, const void *data, size_t data_len,
                   const char *format, ...) __attribute__((format(printf, 6, 7)));
/// `glog_write` with the message arguments as a `va_list`.
int64_t glog_vwrite(glog *logger, int32_t level, int32_t colour, const void *data, size_t data_len,
                    const char *format, va_list args) __attribute__((format(printf, 6, 0)));

/// Plain store of the threshold; accepts null (does nothing).
void glog_set_level(glog *logger, int32_t level);
/// Plain load of the threshold; -1 for a null logger.
int32_t glog_get_level(const glog *logger);

/// Clock the logger reads for every record: fills a real-time (epoch) reading.
using glog_clock_fn = void (*)(struct timespec *now);
/// Replaces the clock for every logger (null restores the real-time clock); returns the previous.
glog_clock_fn glog_set_clock(glog_clock_fn clock);
/// Reads the logger clock (the real-time clock unless replaced).
void glog_clock_now(struct timespec *now);

/// Prints the header of a record at `level` to `stream`, or only measures it when `stream` is null;
/// returns the character count (negative on a print error).
int glog_print_header(FILE *stream, const glog *logger, int32_t level, const struct timespec &now,
                      const struct tm &local);
/// Prints a hex dump of `len` bytes in rows of 16 (hex pairs, then characters); returns the count.
int64_t glog_print_dump(FILE *stream, const unsigned char *data, size_t len);
/// Local broken-down time of `now`, converted at most once per second per thread.
const struct tm &glog_local_time(const struct timespec &now);

//=== per-thread record hook ===//

/// Receives, instead of its logger, each record written on the thread it is installed on: the
/// level and the formatted message (no header, no newline, at most 4095 bytes).
struct glog_thread_hook {
    void (*record)(void *context, int32_t level, const char *text) = nullptr; ///< null: no hook
    void *context = nullptr; ///< handed to `record` unchanged
};
/// Installs hook for the calling thread (a null `record` sends records to their logger again);
/// returns the previous hook.
glog_thread_hook glog_set_thread_hook(glog_thread_hook hook);

//=== calling convention ===//

/// The logger of the driver, preprocessor and string buffer: `ORVATHIDL_LOG`, else the default.
inline glog *glog_tool_logger() {
    return ORVATHIDL_LOG ? ORVATHIDL_LOG : GLOG_GLOBAL_INSTANCE;
}

/// Writes a plain record (colour 0, no dump) when `logger` is non-null and its level <= `level`.
void glog_at(glog *logger, int32_t level, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

/// Level-0 record to `glog_tool_logger()`, subject to its threshold.
void glog_verbose(const char *format, ...) __attribute__((format(printf, 1, 2)));
/// Level-1 record to `glog_tool_logger()`, subject to its threshold.
void glog_debug(const char *format, ...) __attribute__((format(printf, 1, 2)));
/// Level-2 record to `glog_tool_logger()`, subject to its threshold.
void glog_info(const char *format, ...) __attribute__((format(printf, 1, 2)));
/// Level-3 record to `glog_tool_logger()`, subject to its threshold.
void glog_warn(const char *format, ...) __attribute__((format(printf, 1, 2)));
/// Level-4 record to `glog_tool_logger()`, subject to its threshold.
void glog_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
/// Level-5 record to `glog_tool_logger()`, subject to its threshold.
void glog_severe(const char *format, ...) __attribute__((format(printf, 1, 2)));
/// Level-6 record to `glog_tool_logger()`, subject to its threshold.
void glog_fatal(const char *format, ...) __attribute__((format(printf, 1, 2)));
