// Log records of the PEG engine, written to the tool's logger.
#include "peg/peg_log.hpp"

#include <cstdarg>

#include "base/glog.hpp"

void peg_log_error(const char *format, ...) {
    glog *logger = glog_tool_logger();
    if (!logger || glog_get_level(logger) > GLOG_ERROR)
        return;
    va_list args;
    va_start(args, format);
    glog_vwrite(logger, GLOG_ERROR, 0, nullptr, 0, format, args);
    va_end(args);
}

void peg_log_oom(const char *what) {
    glog_fatal("Out of memory: %s", what);
}
