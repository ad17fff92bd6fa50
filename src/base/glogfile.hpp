// File output of the logger: numbered or time-stamped log files with size, time and calendar
// rotation.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <ctime>

struct glog;
struct glog_config;

/// Longest log file name, terminator included; a longer name makes the open fail.
inline constexpr size_t GLOG_FILE_NAME_MAX = 2047;

/// Fills `config` for kind 3 at base `path` (kept): 16 MiB files, 8 files, numbered; returns it.
glog_config *glog_copy_default_config_file(glog_config *config, const char *path);

/// Checks the file setup of a kind-3 logger, removes surplus old files and opens file 0; false on
/// an incomplete setup or a file that cannot be opened (the caller destroys the logger).
[[nodiscard]] bool filelogger_open_first(glog *logger);

/// Writes one record into the current file, rotating first when due; bytes written, 0 when the
/// record is dropped. The caller holds the lock and has read the clock into `now`.
int64_t filelogger_write(glog *logger, int32_t level, const struct timespec &now, const void *data,
                         size_t data_len, const char *format, va_list args);

/// Closes the current file and opens the next one in the rotation; 0, or -1 when the next file
/// cannot be opened (then no stream; index, opened time and written count are kept).
[[nodiscard]] int filelogger_rotate(glog *logger, struct timespec *now);

/// Deletes the oldest time-stamped log file of `logger` once `max_files` of them exist; true when
/// a file was deleted.
bool remove_oldestfile(glog *logger);

/// Builds the name of file `index` opened at `now` into `buffer` (GLOG_FILE_NAME_MAX bytes); false
/// when the name does not fit.
[[nodiscard]] bool filelogger_name(const glog *logger, uint32_t index, const struct timespec &now,
                                   char *buffer);
