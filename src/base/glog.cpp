// Logging: record format, console output, the spin lock and the process-wide default logger.
#include "base/glog.hpp"

#include <atomic>
#include <cctype>
#include <new>
#include <unistd.h>

#include "base/arch.hpp"
#include "base/glogfile.hpp"

const char loglevel_char[8] = "VDIWESF";
const char *const color_string[8] = {"",         "\x1b[31m", "\x1b[32m", "\x1b[33m",
                                     "\x1b[34m", "\x1b[35m", "\x1b[36m", "\x1b[37m"};
const char *const glog_color_reset = "\x1b[0m";

glog *GLOG_GLOBAL_INSTANCE = nullptr;
int32_t GLOG_GLOBAL_INSTANCE_REFCNT = 0;
glog *ORVATHIDL_LOG = nullptr;

namespace {

void glog_real_clock(struct timespec *now) {
    clock_gettime(CLOCK_REALTIME, now);
}

glog_clock_fn glog_clock = glog_real_clock;

// The local-time conversion is costly; each thread converts at most once per second.
thread_local time_t glog_cached_second = -1;
thread_local struct tm glog_cached_tm {};

// Set on threads whose records a caller collects itself (the compiler form's per-file buffers).
thread_local glog_thread_hook glog_hook{};

int64_t glog_hooked_write(int32_t level, const char *format, va_list args) {
    char text[4096];
    int n = vsnprintf(text, sizeof text, format, args);
    if (n < 0) {
        return 0;
    }
    glog_hook.record(glog_hook.context, level, text);
    return n < static_cast<int>(sizeof text) ? n : static_cast<int>(sizeof text) - 1;
}

void glog_lock(glog *logger) {
    std::atomic_ref<uint8_t> lock(logger->lock);
    while (lock.exchange(1, std::memory_order_acquire) != 0) {
        // busy wait: records are short and the lock is never held across blocking calls of others
    }
}

void glog_unlock(glog *logger) {
    std::atomic_ref<uint8_t>(logger->lock).store(0, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_seq_cst);
}

// Unknown levels print '?' rather than reading past the letter table.
char glog_level_letter(int32_t level) {
    return level >= 0 && level <= GLOG_FATAL ? loglevel_char[level] : '?';
}

int64_t glog_console_write(glog *logger, int32_t level, int32_t colour, const struct timespec &now,
                           const void *data, size_t data_len, const char *format, va_list args) {
    FILE *stream = nullptr;
    if (logger->kind == GLOG_OUT_CONSOLE) {
        stream = level >= GLOG_ERROR ? stderr : stdout;
    } else if (logger->target != nullptr) {
        stream = static_cast<FILE *>(logger->target);
    } else {
        stream = logger->kind == GLOG_OUT_STDOUT ? stdout : stderr;
    }
    logger->stream = stream;
    bool coloured = colour > 0 && colour < 8;
    int64_t sum = 0;
    if (coloured) {
        sum += fprintf(stream, "%s", color_string[colour]);
    }
    sum += glog_print_header(stream, logger, level, now, glog_local_time(now));
    sum += vfprintf(stream, format, args);
    sum += fputc('\n', stream) == EOF ? -1 : 1;
    if (data != nullptr && data_len != 0) {
        sum += glog_print_dump(stream, static_cast<const unsigned char *>(data), data_len);
    }
    if (coloured) {
        sum += fprintf(stream, "%s", glog_color_reset);
    }
    if (logger->flush) {
        fflush(stream);
    }
    return sum;
}

void glog_vat(glog *logger, int32_t level, const char *format, va_list args) {
    if (logger == nullptr || logger->level > level) {
        return;
    }
    (void)glog_vwrite(logger, level, 0, nullptr, 0, format, args);
}

} // namespace

//=== clock and header ===//

glog_clock_fn glog_set_clock(glog_clock_fn clock) {
    glog_clock_fn previous = glog_clock;
    glog_clock = clock != nullptr ? clock : glog_real_clock;
    // A replaced clock may jump backwards; forget the cached conversion.
    glog_cached_second = -1;
    return previous;
}

void glog_clock_now(struct timespec *now) {
    glog_clock(now);
}

const struct tm &glog_local_time(const struct timespec &now) {
    if (now.tv_sec != glog_cached_second) {
        struct tm converted {};
        if (localtime_r(&now.tv_sec, &converted) != nullptr) {
            glog_cached_tm = converted;
            glog_cached_second = now.tv_sec;
        }
    }
    return glog_cached_tm;
}

int glog_print_header(FILE *stream, const glog *logger, int32_t level, const struct timespec &now,
                      const struct tm &local) {
    static const char header_format[] = "%02d-%02d-%02d %02d:%02d:%02d.%03d %d %d %c %s ";
    const char *tag = logger->tag != nullptr ? logger->tag : "";
    int ms = static_cast<int>(now.tv_nsec / 1000000);
    int year = local.tm_year % 100;
    if (stream == nullptr) {
        return snprintf(nullptr, 0, header_format, year, local.tm_mon + 1, local.tm_mday,
                        local.tm_hour, local.tm_min, local.tm_sec, ms, static_cast<int>(getpid()),
                        static_cast<int>(arch_gettid()), glog_level_letter(level), tag);
    }
    return fprintf(stream, header_format, year, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                   local.tm_min, local.tm_sec, ms, static_cast<int>(getpid()),
                   static_cast<int>(arch_gettid()), glog_level_letter(level), tag);
}

int64_t glog_print_dump(FILE *stream, const unsigned char *data, size_t len) {
    int64_t sum = 0;
    for (size_t row = 0; row < len; row += 16) {
        size_t n = len - row < 16 ? len - row : 16;
        for (size_t i = 0; i < n; ++i) {
            sum += fprintf(stream, "%02x ", data[row + i]);
        }
        for (size_t i = 0; i < n; ++i) {
            unsigned char c = data[row + i];
            sum += fputc(isprint(c) ? c : '.', stream) == EOF ? -1 : 1;
        }
        sum += fputc('\n', stream) == EOF ? -1 : 1;
    }
    return sum;
}

//=== configuration and lifetime ===//

glog_config *glog_copy_default_config_stdout(glog_config *config) {
    *config = glog_config{};
    config->kind = GLOG_OUT_STDOUT;
    config->level = GLOG_VERBOSE;
    config->target = stdout;
    return config;
}

glog_config *glog_copy_default_config_stderr(glog_config *config) {
    *config = glog_config{};
    config->kind = GLOG_OUT_STDERR;
    config->level = GLOG_VERBOSE;
    config->target = stderr;
    return config;
}

glog *glog_create(const glog_config *config) {
    if (config == nullptr || config->kind > GLOG_OUT_FILE) {
        return nullptr;
    }
    glog *logger = new (std::nothrow) glog{};
    if (logger == nullptr) {
        return nullptr;
    }
    logger->kind = config->kind;
    logger->level = config->level;
    logger->tag = config->tag;
    logger->flush = config->flush;
    logger->target = config->target;
    logger->pid_in_name = config->pid_in_name;
    logger->max_size = config->max_size;
    logger->interval = config->interval;
    logger->max_files = config->max_files;
    logger->rotate_mode = config->rotate_mode;
    switch (logger->kind) {
    case GLOG_OUT_STDOUT:
        logger->stream = stdout;
        break;
    case GLOG_OUT_STDERR:
        logger->stream = stderr;
        break;
    case GLOG_OUT_FILE:
        if (!filelogger_open_first(logger)) {
            glog_destroy(logger);
            return nullptr;
        }
        break;
    default:
        break;
    }
    return logger;
}

void glog_destroy(glog *logger) {
    if (logger == nullptr) {
        return;
    }
    if (logger->kind == GLOG_OUT_FILE && logger->stream != nullptr) {
        fclose(logger->stream);
        logger->stream = nullptr;
    }
    delete logger;
}

void glog_set_level(glog *logger, int32_t level) {
    if (logger != nullptr) {
        logger->level = level;
    }
}

int32_t glog_get_level(const glog *logger) {
    return logger != nullptr ? logger->level : -1;
}

//=== writing ===//

int64_t glog_vwrite(glog *logger, int32_t level, int32_t colour, const void *data, size_t data_len,
                    const char *format, va_list args) {
    if (logger == nullptr || format == nullptr) {
        return 0;
    }
    if (glog_hook.record != nullptr) {
        return glog_hooked_write(level, format, args);
    }
    glog_lock(logger);
    struct timespec now {};
    glog_clock_now(&now);
    int64_t result = 0;
    if (logger->kind == GLOG_OUT_FILE) {
        result = filelogger_write(logger, level, now, data, data_len, format, args);
    } else {
        result = glog_console_write(logger, level, colour, now, data, data_len, format, args);
    }
    glog_unlock(logger);
    return result;
}

int64_t glog_write(glog *logger, int32_t level, int32_t colour, const void *data, size_t data_len,
                   const char *format, ...) {
    va_list args;
    va_start(args, format);
    int64_t result = glog_vwrite(logger, level, colour, data, data_len, format, args);
    va_end(args);
    return result;
}

glog_thread_hook glog_set_thread_hook(glog_thread_hook hook) {
    glog_thread_hook previous = glog_hook;
    glog_hook = hook;
    return previous;
}

//=== calling convention ===//

void glog_at(glog *logger, int32_t level, const char *format, ...) {
    va_list args;
    va_start(args, format);
    glog_vat(logger, level, format, args);
    va_end(args);
}

#define GLOG_DEFINE_LEVEL_FUNCTION(name, lvl)                                                      \
    void name(const char *format, ...) {                                                           \
        va_list args;                                                                              \
        va_start(args, format);                                                                    \
        glog_vat(glog_tool_logger(), lvl, format, args);                                           \
        va_end(args);                                                                              \
    }

GLOG_DEFINE_LEVEL_FUNCTION(glog_verbose, GLOG_VERBOSE)
GLOG_DEFINE_LEVEL_FUNCTION(glog_debug, GLOG_DEBUG)
GLOG_DEFINE_LEVEL_FUNCTION(glog_info, GLOG_INFO)
GLOG_DEFINE_LEVEL_FUNCTION(glog_warn, GLOG_WARN)
GLOG_DEFINE_LEVEL_FUNCTION(glog_error, GLOG_ERROR)
GLOG_DEFINE_LEVEL_FUNCTION(glog_severe, GLOG_SEVERE)
GLOG_DEFINE_LEVEL_FUNCTION(glog_fatal, GLOG_FATAL)

#undef GLOG_DEFINE_LEVEL_FUNCTION

//=== default instance ===//

// Runs before static constructors of ordinary priority, so code that logs during static
// initialisation already finds the default logger.
__attribute__((constructor(101))) void __glog_init() {
    if (std::atomic_ref<glog *>(GLOG_GLOBAL_INSTANCE).load() != nullptr) {
        return;
    }
    int32_t previous = std::atomic_ref<int32_t>(GLOG_GLOBAL_INSTANCE_REFCNT).fetch_add(1);
    if (previous <= 0) {
        glog_config config{};
        glog *logger = glog_create(glog_copy_default_config_stdout(&config));
        std::atomic_ref<glog *>(GLOG_GLOBAL_INSTANCE).store(logger);
    }
}

__attribute__((destructor(101))) void __glog_fini() {
    int32_t previous = std::atomic_ref<int32_t>(GLOG_GLOBAL_INSTANCE_REFCNT).fetch_sub(1);
    if (previous >= 2) {
        return;
    }
    glog *logger = std::atomic_ref<glog *>(GLOG_GLOBAL_INSTANCE).exchange(nullptr);
    glog_destroy(logger);
}
