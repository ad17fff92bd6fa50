// Tests of the diagnostics module: both layouts, the per-thread consumer and the log fallback.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "base/diag.hpp"
#include "support/log_capture.hpp"

namespace {

diagnostic parse_error() {
    diagnostic d;
    d.summary = "Failed to parse";
    d.file = "m/types.idl";
    d.line = 3;
    d.column = 5;
    d.column_in_record = true;
    d.detail = "expected ';' before 'long'";
    d.excerpt = "\tlong2 x";
    d.caret = 1;
    return d;
}

struct collecting : diag_consumer {
    std::vector<std::string> seen;
    void consume(const diagnostic &d) override { seen.push_back(diag_record_text(d)); }
};

} // namespace

TEST(Diag, RecordTextShowsOnlyThePlaceThatIsKnown) {
    struct row {
        const char *file;
        unsigned long line, column;
        bool column_in_record;
        const char *detail;
        const char *text;
    };
    const row rows[] = {
        {"a.idl", 3, 5, true, "", "S: a.idl:3:5"},
        {"a.idl", 3, 5, false, "", "S: a.idl:3"},
        {"a.idl", 0, 5, true, "d", "S: a.idl: d"},
        {"", 3, 5, true, "d", "S: d"},
        {"", 0, 0, false, "", "S"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.text);
        diagnostic d;
        d.summary = "S";
        d.file = r.file;
        d.line = r.line;
        d.column = r.column;
        d.column_in_record = r.column_in_record;
        d.detail = r.detail;
        EXPECT_EQ(r.text, diag_record_text(d));
    }
}

TEST(Diag, GccTextHasPlaceLevelExcerptCaretAndNotes) {
    diagnostic d = parse_error();
    d.notes.push_back({"m/base.idl", 7, 12, "'S' was declared here"});
    EXPECT_EQ("m/types.idl:3:5: error: Failed to parse: expected ';' before 'long'\n"
              "\tlong2 x\n"
              "\t^\n"
              "m/base.idl:7:12: note: 'S' was declared here\n",
              diag_gcc_text(d, false));
    d.level = DIAG_WARNING;
    d.excerpt.clear();
    d.notes.clear();
    d.file.clear();
    EXPECT_EQ("vandrel: warning: Failed to parse: expected ';' before 'long'\n",
              diag_gcc_text(d, false));
}

TEST(Diag, ColourWrapsPlaceLevelAndCaretOnly) {
    const std::string text = diag_gcc_text(parse_error(), true);
    EXPECT_EQ(0u, text.find("\033[01mm/types.idl:3:5:\033[m \033[01;31merror:\033[m Failed"));
    EXPECT_NE(std::string::npos, text.find("\033[01;32m\t^\033[m\n"));
}

TEST(Diag, WithoutConsumerWritesRecordExcerptAndCaret) {
    log_capture capture;
    diag_report(parse_error());
    EXPECT_EQ((std::vector<std::string>{
                  "E Failed to parse: m/types.idl:3:5: expected ';' before 'long'",
                  "E \tlong2 x", "E \t^"}),
              capture.lines());
}

TEST(Diag, ConsumerIsPerThread) {
    collecting mine;
    EXPECT_EQ(nullptr, diag_set_consumer(&mine));
    diag_consumer *other_thread_saw = &mine;
    std::thread([&] { other_thread_saw = diag_set_consumer(nullptr); }).join();
    EXPECT_EQ(nullptr, other_thread_saw);
    diag_report(parse_error());
    EXPECT_EQ(&mine, diag_set_consumer(nullptr));
    ASSERT_EQ(1u, mine.seen.size());
    EXPECT_EQ("Failed to parse: m/types.idl:3:5: expected ';' before 'long'", mine.seen[0]);
}
