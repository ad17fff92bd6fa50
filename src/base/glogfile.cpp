// File output of the logger: file names, the rotation test, the size budget and old-file removal.
#include "base/glogfile.hpp"

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <unistd.h>

#include "base/glog.hpp"

namespace {

constexpr uint64_t glog_default_max_size = 16777216;
constexpr uint64_t glog_default_max_files = 8;

// Milliseconds since local midnight of `now`.
long glog_ms_of_day(const struct tm &local, const struct timespec &now) {
    return (static_cast<long>(local.tm_hour) * 3600 + local.tm_min * 60 + local.tm_sec) * 1000 +
           now.tv_nsec / 1000000;
}

// Characters a hex dump of `len` bytes takes: a pair and a blank and a character per byte, and
// one line end per row of 16.
uint64_t glog_dump_size(size_t len) {
    return uint64_t{len} * 4 + (uint64_t{len} + 15) / 16;
}

bool glog_rotation_due(const glog *logger, const struct timespec &now) {
    // Without an open file (a rotation failed earlier) every record retries the rotation.
    if (logger->stream == nullptr) {
        return true;
    }
    bool expired = logger->interval != 0 && logger->opened.tv_sec + logger->interval < now.tv_sec;
    if (logger->written >= logger->max_size) {
        return true;
    }
    if (logger->rotate_mode == GLOG_ROTATE_DAILY) {
        return now.tv_sec / 86400 != logger->opened.tv_sec / 86400 || expired;
    }
    if (logger->rotate_mode == GLOG_ROTATE_HOURLY) {
        return now.tv_sec / 3600 != logger->opened.tv_sec / 3600 || expired;
    }
    return expired;
}

// Reads an unsigned decimal of `min_digits` or more digits at `*p` (exactly `min_digits` when
// `exact`); false when absent or when it exceeds `limit`.
bool glog_read_number(const char **p, size_t min_digits, bool exact, uint64_t limit,
                      uint64_t *out) {
    const char *s = *p;
    uint64_t value = 0;
    size_t digits = 0;
    while (*s >= '0' && *s <= '9') {
        if (exact && digits == min_digits) {
            break;
        }
        value = value * 10 + static_cast<uint64_t>(*s - '0');
        if (value > limit) {
            return false;
        }
        ++s;
        ++digits;
    }
    if (digits < min_digits) {
        return false;
    }
    *p = s;
    *out = value;
    return true;
}

// Recognises the names `filelogger_name` gives in time-stamped modes:
// base ["_" pid] "." YYYY "_" MM "_" DD "_" ms "." index. Any process id is accepted, so files
// left by earlier runs count towards the limit too. Gives the age key of the name.
bool glog_rotated_key(const char *name, const char *base, size_t base_len, bool pid_in_name,
                      uint64_t *key) {
    if (strncmp(name, base, base_len) != 0) {
        return false;
    }
    const char *p = name + base_len;
    uint64_t pid = 0;
    uint64_t year = 0;
    uint64_t month = 0;
    uint64_t day = 0;
    uint64_t ms = 0;
    uint64_t index = 0;
    if (pid_in_name && (*p++ != '_' || !glog_read_number(&p, 1, false, UINT32_MAX, &pid))) {
        return false;
    }
    if (*p++ != '.' || !glog_read_number(&p, 4, false, 0xffff, &year) || *p++ != '_' ||
        !glog_read_number(&p, 2, true, 12, &month) || *p++ != '_' ||
        !glog_read_number(&p, 2, true, 31, &day) || *p++ != '_' ||
        !glog_read_number(&p, 1, false, UINT32_MAX, &ms) || *p++ != '.' ||
        !glog_read_number(&p, 1, false, UINT32_MAX, &index) || *p != '\0') {
        return false;
    }
    *key = year << 48 | month << 40 | day << 32 | ms;
    return true;
}

} // namespace

glog_config *glog_copy_default_config_file(glog_config *config, const char *path) {
    *config = glog_config{};
    config->kind = GLOG_OUT_FILE;
    config->level = GLOG_VERBOSE;
    config->target = const_cast<char *>(path);
    config->max_size = glog_default_max_size;
    config->max_files = glog_default_max_files;
    config->rotate_mode = GLOG_ROTATE_NUMBERED;
    return config;
}

bool filelogger_name(const glog *logger, uint32_t index, const struct timespec &now, char *buffer) {
    const char *path = static_cast<const char *>(logger->target);
    int pid = static_cast<int>(getpid());
    int n = 0;
    if (logger->rotate_mode == GLOG_ROTATE_NUMBERED) {
        n = logger->pid_in_name ? snprintf(buffer, GLOG_FILE_NAME_MAX, "%s_%d.%u", path, pid, index)
                                : snprintf(buffer, GLOG_FILE_NAME_MAX, "%s.%u", path, index);
    } else {
        const struct tm &local = glog_local_time(now);
        int year = local.tm_year + 1900;
        int month = local.tm_mon + 1;
        long ms = glog_ms_of_day(local, now);
        n = logger->pid_in_name
                ? snprintf(buffer, GLOG_FILE_NAME_MAX, "%s_%d.%04d_%02d_%02d_%ld.%u", path, pid,
                           year, month, local.tm_mday, ms, index)
                : snprintf(buffer, GLOG_FILE_NAME_MAX, "%s.%04d_%02d_%02d_%ld.%u", path, year,
                           month, local.tm_mday, ms, index);
    }
    // A cut name could drop the index and make every file of the rotation the same file.
    return n > 0 && static_cast<size_t>(n) < GLOG_FILE_NAME_MAX;
}

bool filelogger_open_first(glog *logger) {
    if (logger->target == nullptr || logger->max_files <= 1 || logger->max_size == 0) {
        return false;
    }
    glog_clock_now(&logger->opened);
    if (logger->rotate_mode != GLOG_ROTATE_NUMBERED) {
        while (remove_oldestfile(logger)) {
        }
        glog_clock_now(&logger->opened);
    }
    char name[GLOG_FILE_NAME_MAX];
    if (!filelogger_name(logger, 0, logger->opened, name)) {
        return false;
    }
    logger->stream = fopen(name, "w+");
    if (logger->stream == nullptr) {
        return false;
    }
    logger->index = 0;
    logger->written = 0;
    return true;
}

int filelogger_rotate(glog *logger, struct timespec *now) {
    if (logger->stream != nullptr) {
        fclose(logger->stream);
        logger->stream = nullptr;
    }
    if (logger->rotate_mode != GLOG_ROTATE_NUMBERED) {
        (void)remove_oldestfile(logger);
    }
    uint32_t next = static_cast<uint32_t>((uint64_t{logger->index} + 1) % logger->max_files);
    struct timespec opened {};
    glog_clock_now(&opened);
    if (logger->rotate_mode != GLOG_ROTATE_NUMBERED && now != nullptr) {
        *now = opened;
    }
    char name[GLOG_FILE_NAME_MAX];
    if (!filelogger_name(logger, next, opened, name)) {
        return -1;
    }
    FILE *stream = fopen(name, "w+");
    if (stream == nullptr) {
        return -1;
    }
    logger->stream = stream;
    logger->opened = opened;
    logger->index = next;
    logger->written = 0;
    return 0;
}

bool remove_oldestfile(glog *logger) {
    const char *path = static_cast<const char *>(logger->target);
    if (path == nullptr) {
        return false;
    }
    char dir[GLOG_FILE_NAME_MAX];
    const char *slash = strrchr(path, '/');
    const char *base = slash != nullptr ? slash + 1 : path;
    if (slash == nullptr) {
        snprintf(dir, sizeof dir, ".");
    } else if (slash == path) {
        snprintf(dir, sizeof dir, "/");
    } else {
        size_t len = static_cast<size_t>(slash - path);
        if (len >= sizeof dir) {
            return false;
        }
        memcpy(dir, path, len);
        dir[len] = '\0';
    }
    DIR *d = opendir(dir);
    if (d == nullptr) {
        return false;
    }
    size_t base_len = strlen(base);
    uint64_t count = 0;
    uint64_t oldest_key = 0;
    char oldest[256] = {0};
    while (const struct dirent *entry = readdir(d)) {
        uint64_t key = 0;
        if (!glog_rotated_key(entry->d_name, base, base_len, logger->pid_in_name, &key)) {
            continue;
        }
        // On equal keys the entry listed later wins.
        if (count == 0 || key <= oldest_key) {
            oldest_key = key;
            snprintf(oldest, sizeof oldest, "%s", entry->d_name);
        }
        ++count;
    }
    closedir(d);
    if (count < logger->max_files) {
        return false;
    }
    char victim[GLOG_FILE_NAME_MAX + sizeof oldest + 1];
    int n = snprintf(victim, sizeof victim, "%s/%s", dir, oldest);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof victim) {
        return false;
    }
    return remove(victim) == 0;
}

int64_t filelogger_write(glog *logger, int32_t level, const struct timespec &now, const void *data,
                         size_t data_len, const char *format, va_list args) {
    struct timespec stamp = now;
    if (glog_rotation_due(logger, stamp) && filelogger_rotate(logger, &stamp) != 0) {
        return 0;
    }
    // The whole record is measured before anything is written, so a record is never split
    // between two files and a file only outgrows max_size by a record too long for any file.
    const struct tm &local = glog_local_time(stamp);
    int header = glog_print_header(nullptr, logger, level, stamp, local);
    va_list measure;
    va_copy(measure, args);
    int message = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (header <= 0 || message < 0) {
        return 0; // the record cannot be formatted; nothing is written
    }
    bool dump = data != nullptr && data_len != 0;
    uint64_t total =
        uint64_t(header) + uint64_t(message) + 1 + (dump ? glog_dump_size(data_len) : 0);
    if (logger->written != 0 && logger->written + total > logger->max_size) {
        if (filelogger_rotate(logger, &stamp) != 0) {
            return 0;
        }
    }
    // A record longer than max_size goes whole into the fresh file; the next record rotates.
    FILE *stream = logger->stream;
    int64_t sum = glog_print_header(stream, logger, level, stamp, glog_local_time(stamp));
    sum += vfprintf(stream, format, args);
    sum += fputc('\n', stream) == EOF ? -1 : 1;
    if (dump) {
        sum += glog_print_dump(stream, static_cast<const unsigned char *>(data), data_len);
    }
    logger->written += total;
    if (logger->flush) {
        fflush(stream);
    }
    return sum;
}
