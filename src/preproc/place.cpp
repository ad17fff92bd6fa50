// Where the preprocessor is reading, for the messages of the stages the directive pass calls.
#include "preproc/place.hpp"

#include "base/diag.hpp"

namespace {

thread_local preproc_place current_place;

} // namespace

preproc_place preproc_set_place(const preproc_place &place) {
    const preproc_place previous = current_place;
    current_place = place;
    return previous;
}

const preproc_place &preproc_current_place() {
    return current_place;
}

void preproc_report_at(const preproc_place &place, preproc_record_place record,
                       const std::string &summary, const std::string &detail) {
    diagnostic d;
    d.place_in_record = record == PREPROC_RECORD_PLACE;
    d.summary = summary;
    if (place.path != nullptr) {
        d.file = place.path;
        d.line = static_cast<unsigned long>(place.line);
        d.column = static_cast<unsigned long>(place.column);
    }
    d.detail = detail;
    diag_report(d);
}

void preproc_report(preproc_record_place record, const std::string &summary,
                    const std::string &detail) {
    preproc_report_at(current_place, record, summary, detail);
}
