// Log records of the PEG engine, written to the tool's logger.
#pragma once

/// Writes an error record (level 4) to the tool's logger.
void peg_log_error(const char *format, ...) __attribute__((format(printf, 1, 2)));
/// Writes "Out of memory: <what>" at level 6 to the tool's logger.
void peg_log_oom(const char *what);
