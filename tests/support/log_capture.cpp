// Log capture: swaps the default logger for one writing into memory and reads the records back.
#include "support/log_capture.hpp"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "base/glog.hpp"

namespace {

// Length of the header "YY-MM-DD HH:MM:SS.mmm PID TID L " plus the blank after the empty tag at
// the start of `s`, or 0 when `s` does not start with such a header. Gives the level too.
size_t log_header_length(std::string_view s, int32_t *level) {
    static const char shape[] = "00-00-00 00:00:00.000 ";
    size_t n = sizeof shape - 1;
    if (s.size() < n) {
        return 0;
    }
    for (size_t i = 0; i < n; ++i) {
        bool digit = isdigit(static_cast<unsigned char>(s[i])) != 0;
        if (shape[i] == '0' ? !digit : s[i] != shape[i]) {
            return 0;
        }
    }
    for (int field = 0; field < 2; ++field) { // process id, thread id
        size_t start = n;
        while (n < s.size() && isdigit(static_cast<unsigned char>(s[n]))) {
            ++n;
        }
        if (n == start || n >= s.size() || s[n] != ' ') {
            return 0;
        }
        ++n;
    }
    if (n + 3 > s.size() || s[n + 1] != ' ' || s[n + 2] != ' ') {
        return 0;
    }
    const char *letter = strchr(loglevel_char, s[n]);
    if (s[n] == '\0' || letter == nullptr) {
        return 0;
    }
    *level = static_cast<int32_t>(letter - loglevel_char);
    return n + 3;
}

std::string log_render(const std::vector<log_record> &records) {
    std::string out = "captured records:";
    if (records.empty()) {
        out += " none";
    }
    for (const log_record &r : records) {
        out += "\n  ";
        out += r.level >= 0 && r.level <= GLOG_FATAL ? loglevel_char[r.level] : '?';
        out += " ";
        out += r.message;
    }
    return out;
}

} // namespace

std::vector<log_record> log_parse_records(std::string_view text) {
    std::vector<log_record> records;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        size_t next = eol == std::string_view::npos ? text.size() : eol + 1;
        std::string_view line =
            text.substr(pos, (eol == std::string_view::npos ? text.size() : eol) - pos);
        int32_t level = -1;
        size_t header = log_header_length(line, &level);
        if (header != 0) {
            records.push_back({level, std::string(line.substr(header))});
        } else if (!records.empty()) {
            records.back().message += '\n';
            records.back().message += line;
        } else {
            records.push_back({-1, std::string(line)});
        }
        pos = next;
    }
    return records;
}

log_capture::log_capture(int32_t threshold) {
    stream_ = open_memstream(&buffer_, &size_);
    glog_config config{};
    glog_copy_default_config_stdout(&config);
    config.target = stream_;
    config.level = threshold;
    capture_ = stream_ != nullptr ? glog_create(&config) : nullptr;
    if (capture_ == nullptr) {
        ADD_FAILURE() << "log capture could not be set up";
    }
    saved_global_ = GLOG_GLOBAL_INSTANCE;
    saved_tool_ = ORVATHIDL_LOG;
    GLOG_GLOBAL_INSTANCE = capture_;
    ORVATHIDL_LOG = nullptr;
}

log_capture::~log_capture() {
    GLOG_GLOBAL_INSTANCE = saved_global_;
    ORVATHIDL_LOG = saved_tool_;
    glog_destroy(capture_);
    if (stream_ != nullptr) {
        fclose(stream_);
    }
    free(buffer_);
}

std::string log_capture::raw() const {
    if (stream_ == nullptr) {
        return {};
    }
    fflush(stream_);
    if (buffer_ == nullptr || size_ < start_) {
        return {};
    }
    return std::string(buffer_ + start_, size_ - start_);
}

void log_capture::clear() {
    if (stream_ != nullptr) {
        fflush(stream_);
        start_ = size_;
    }
}

std::vector<log_record> log_capture::records() const {
    return log_parse_records(raw());
}

std::vector<std::string> log_capture::lines() const {
    std::vector<std::string> out;
    for (const log_record &r : records()) {
        std::string line(1, r.level >= 0 && r.level <= GLOG_FATAL ? loglevel_char[r.level] : '?');
        line += ' ';
        line += r.message;
        out.push_back(std::move(line));
    }
    return out;
}

std::vector<std::string> log_capture::messages(int32_t level) const {
    std::vector<std::string> out;
    for (const log_record &r : records()) {
        if (r.level == level) {
            out.push_back(r.message);
        }
    }
    return out;
}

size_t log_capture::count(int32_t level) const {
    return messages(level).size();
}

testing::AssertionResult log_capture::has(int32_t level, std::string_view message) const {
    std::vector<log_record> all = records();
    for (const log_record &r : all) {
        if (r.level == level && r.message == message) {
            return testing::AssertionSuccess();
        }
    }
    return testing::AssertionFailure() << "no record at level " << level << " reading \"" << message
                                       << "\"; " << log_render(all);
}

testing::AssertionResult log_capture::has_part(int32_t level, std::string_view part) const {
    std::vector<log_record> all = records();
    for (const log_record &r : all) {
        if (r.level == level && r.message.find(part) != std::string::npos) {
            return testing::AssertionSuccess();
        }
    }
    return testing::AssertionFailure() << "no record at level " << level << " containing \"" << part
                                       << "\"; " << log_render(all);
}

testing::AssertionResult log_capture::empty() const {
    std::vector<log_record> all = records();
    if (all.empty()) {
        return testing::AssertionSuccess();
    }
    return testing::AssertionFailure() << log_render(all);
}
