// Checking-stage tests: small models in, the diagnostics they give out (gcc layout, no colour).
#include "base/diag.hpp"
#include "base/suggest.hpp"
#include "idl/idl_load.hpp"
#include "idl/idl_translate.hpp"
#include "peg/ast.hpp"
#include "sema/sema.hpp"

#include <gtest/gtest.h>

#include <algorithm>

#include <memory>
#include <string>
#include <vector>

namespace {

// Collects the first line of each diagnostic and its notes.
class collect : public diag_consumer {
public:
    std::vector<std::string> lines;
    void consume(const diagnostic &d) override {
        const std::string text = diag_gcc_text(d, false);
        std::size_t from = 0;
        while (from < text.size()) {
            const std::size_t nl = text.find('\n', from);
            const std::string line = text.substr(from, nl - from);
            // The excerpt and caret lines are left out; message and note lines start with a path.
            if (line.find(": error: ") != std::string::npos ||
                line.find(": warning: ") != std::string::npos ||
                line.find(": note: ") != std::string::npos) {
                lines.push_back(line);
            }
            from = nl == std::string::npos ? text.size() : nl + 1;
        }
    }
};

struct unit_holder {
    std::vector<std::unique_ptr<idl_unit, void (*)(idl_unit *)>> units;
    std::vector<const idl_unit *> view;
    bool ok = true;
    void add(const std::string &path, const std::string &text) {
        std::unique_ptr<idl_unit, void (*)(idl_unit *)> u{new idl_unit, idl_unit_delete};
        u->path = path;
        u->resolved = path;
        u->text = text;
        u->src.text = u->text;
        u->src.fallback_path = path;
        u->src.files.push_back({path, 0, 1, 1});
        u->tree = idl_parse_source(u->src);
        ok = ok && u->tree != nullptr;
        view.push_back(u.get());
        units.push_back(std::move(u));
    }
};

struct outcome {
    bool ok;
    std::vector<std::string> lines;
};

// Each file includes the one before it, as a model read through its includes would.
outcome check(const std::vector<std::pair<std::string, std::string>> &files,
              bool permissive = false, bool chained = true) {
    unit_holder h;
    for (const auto &f : files) {
        h.add(f.first, f.second);
        if (chained && h.units.size() > 1) {
            h.units.back()->includes.push_back({files[h.units.size() - 2].first, "", 1});
        }
    }
    EXPECT_TRUE(h.ok) << "parse failed";
    collect c;
    diag_consumer *before = diag_set_consumer(&c);
    sema_options options;
    options.permissive = permissive;
    const bool ok = h.ok && sema_check(h.view, options);
    diag_set_consumer(before);
    return {ok, c.lines};
}

using lines = std::vector<std::string>;

struct row {
    const char *text;
    bool ok;
    lines expected;
};

void run_rows(const std::vector<row> &rows) {
    for (const row &r : rows) {
        SCOPED_TRACE(r.text);
        const outcome o = check({{"t.idl", r.text}});
        EXPECT_EQ(r.ok, o.ok);
        EXPECT_EQ(r.expected, o.lines);
    }
}

TEST(Sema, SoundModelsPass) {
    run_rows({
        {"module M { struct A { long x; }; }; module M { struct B : A { A a; ::M::A c; }; };",
         true,
         {}},
        {"struct F; struct G { sequence<F> f; }; struct F { long x; };", true, {}},
        {"module O { const long N = 4; module I { struct S { long a[N]; string<O::N> t; }; }; };",
         true,
         {}},
        {"enum E { A, B }; union U switch (E) { case A: long a; case E::B: short b; };", true, {}},
        {"typedef long L; union U switch (L) { case 1: long a; case 2: short b; default: char c; "
         "};",
         true,
         {}},
        {"union U switch (long) { case -1: long a; case -2: short b; case 1+1: char c; };",
         true,
         {}},
        {"bitset B0 { bitfield<2> a; }; bitset B1 : B0 { bitfield<3> b; };", true, {}},
        {"typedef struct Q { long z; } QQ; struct R { QQ q; Q p; };", true, {}},
        {"@annotation Mine { long v; }; @Mine struct S { @key @optional long x; };", true, {}},
        {"module A { struct T { long x; }; module B { struct T { A::T u; }; }; };", true, {}},
        {"@default_nested module M { @unit(\"m\") typedef long long1; union U switch (@key long1) "
         "{ case 1: long a; "
         "}; };",
         true,
         {}},
        {"bitset Bits { @position(0) bitfield<2> a b; bitfield<3> c; };", true, {}},
        // Standard annotations where they belong, with values of their types.
        {"@appendable struct S { @key @id(1) long a; @optional @id(2) long b; @unit(\"m\") "
         "@range(min = 0, max = 9) long c; }; @bit_bound(16) enum E { @value(3) A, B, "
         "@default_literal C }; @bit_bound(64) bitmask F { @position(63) X, @position(0) Y };",
         true,
         {}},
        {"module M { const unsigned short U = ~0; const long long L = -(1 << 62) * 2; "
         "const double D = 1 / 4.0; const char C = '\\x41'; typedef long L2; const L2 T = 1; };",
         true,
         {}},
    });
}

TEST(Sema, UndeclaredNamesAreErrorsWithHints) {
    run_rows({
        {"struct S {\n  lnog x;\n};",
         false,
         {"t.idl:2:3: error: 'lnog' is not declared; did you mean the keyword 'long'?"}},
        {"struct S { String name; };",
         false,
         {"t.idl:1:12: error: 'String' is not declared; did you mean the keyword 'string'?"}},
        {"struct Point { long x; }; struct S { Pointt p; };",
         false,
         {"t.idl:1:38: error: 'Pointt' is not declared; did you mean 'Point'?"}},
        {"struct S { Nothing n; };", false, {"t.idl:1:12: error: 'Nothing' is not declared"}},
        // C and C++ names of types are given their IDL names, before any near keyword.
        {"struct S { int a; bool b; std::wstring c; };",
         false,
         {"t.idl:1:12: error: 'int' is not declared; did you mean the IDL type 'long'?",
          "t.idl:1:19: error: 'bool' is not declared; did you mean the IDL type 'boolean'?",
          "t.idl:1:27: error: 'std::wstring' is not declared; did you mean the IDL type "
          "'wstring'?"}},
        {"struct S { long a[N]; };", false, {"t.idl:1:19: error: 'N' is not declared"}},
        {"module M { struct T { long x; }; }; struct S { M::U u; ::T t; };",
         false,
         {"t.idl:1:48: error: 'M::U' is not declared", "t.idl:1:56: error: '::T' is not declared"}},
        // An inner module does not see a sibling's names without qualification.
        {"module A { struct T { long x; }; }; module B { struct S { T t; }; };",
         false,
         {"t.idl:1:59: error: 'T' is not declared"}},
    });
}

TEST(Sema, PermissiveTurnsUndeclaredNamesIntoWarnings) {
    const outcome o = check({{"t.idl", "struct S { String name; };"}}, true);
    EXPECT_TRUE(o.ok);
    EXPECT_EQ((lines{"t.idl:1:12: warning: 'String' is not declared; did you mean the keyword "
                     "'string'? [-Wundeclared]"}),
              o.lines);
    // Other errors stay errors.
    const outcome dup = check({{"t.idl", "struct S { long a; long a; };"}}, true);
    EXPECT_FALSE(dup.ok);
}

TEST(Sema, NamesThatAreNotTypesOrConstants) {
    run_rows({
        {"const long N = 3; struct S { N n; };",
         false,
         {"t.idl:1:30: error: 'N' is a constant, not a type",
          "t.idl:1:12: note: 'N' was declared here"}},
        {"module M { struct X { long y; }; }; struct S { M m; };",
         false,
         {"t.idl:1:48: error: 'M' is a module, not a type",
          "t.idl:1:8: note: 'M' was declared here"}},
        {"struct T { long x; }; struct S { long a[T]; };",
         false,
         {"t.idl:1:41: error: 'T' is a type, not a constant",
          "t.idl:1:8: note: 'T' was declared here"}},
    });
}

TEST(Sema, DuplicatesAreRefused) {
    run_rows({
        {"struct S { long x; };\nstruct S { long y; };",
         false,
         {"t.idl:2:8: error: 'S' is already declared in this scope",
          "t.idl:1:8: note: 'S' was declared here"}},
        {"struct S { long x; short x; };",
         false,
         {"t.idl:1:26: error: duplicate member 'x' in 'S'",
          "t.idl:1:17: note: 'x' was declared here"}},
        {"struct B { long x; }; struct D : B { long x; };",
         false,
         {"t.idl:1:43: error: duplicate member 'x' in 'D'",
          "t.idl:1:17: note: 'x' was declared here"}},
        {"enum E { A, B, A };",
         false,
         {"t.idl:1:16: error: duplicate enumerator 'A' in 'E'",
          "t.idl:1:10: note: 'A' was declared here"}},
        {"bitset B0 { bitfield<2> a; }; bitset B1 : B0 { @position(3) bitfield<3> a; };",
         false,
         {"t.idl:1:73: error: duplicate member 'a' in 'B1'",
          "t.idl:1:25: note: 'a' was declared here"}},
        {"bitmask F { a, a };",
         false,
         {"t.idl:1:16: error: duplicate bit value 'a' in 'F'",
          "t.idl:1:13: note: 'a' was declared here"}},
        {"union U switch (long) { case 1: long a; case 0x1: short b; };",
         false,
         {"t.idl:1:46: error: duplicate case label '0x1' in union 'U'",
          "t.idl:1:30: note: the first use of the label is here"}},
        {"union U switch (short) { case -1: long a; case - 1: short b; };",
         false,
         {"t.idl:1:48: error: duplicate case label '-1' in union 'U'",
          "t.idl:1:31: note: the first use of the label is here"}},
        {"union U switch (long) { default: long a; default: short b; };",
         false,
         {"t.idl:1:42: error: second 'default' label in union 'U'",
          "t.idl:1:25: note: the first 'default' label is here"}},
        {"union U switch (long) { case 1: long a; case 2: short a; };",
         false,
         {"t.idl:1:55: error: duplicate member 'a' in 'U'",
          "t.idl:1:38: note: 'a' was declared here"}},
        {"const long N = 1; typedef long N;",
         false,
         {"t.idl:1:32: error: 'N' is already declared in this scope",
          "t.idl:1:12: note: 'N' was declared here"}},
        {"struct S; union S switch (long) { case 1: long a; };",
         false,
         {"t.idl:1:17: error: 'S' is already declared in this scope",
          "t.idl:1:8: note: 'S' was declared here"}},
    });
}

TEST(Sema, BasesDiscriminatorsAndLabels) {
    run_rows({
        {"enum E { A }; struct S : E { long x; };",
         false,
         {"t.idl:1:26: error: base 'E' of 'S' is not a structure",
          "t.idl:1:6: note: 'E' was declared here"}},
        {"struct S : Missing { long x; };",
         false,
         {"t.idl:1:12: error: 'Missing' is not declared"}},
        {"struct T { long x; }; bitset B : T { bitfield<2> a; };",
         false,
         {"t.idl:1:34: error: base 'T' of 'B' is not a bitset",
          "t.idl:1:8: note: 'T' was declared here"}},
        {"union U switch (float) { case 1: long a; };",
         false,
         {"t.idl:1:17: error: 'float' is not a valid discriminator type"}},
        {"struct T { long x; }; union U switch (T) { case 1: long a; };",
         false,
         {"t.idl:1:39: error: 'T' is not a valid discriminator type",
          "t.idl:1:8: note: 'T' was declared here"}},
        {"enum E { A, B }; enum F { C }; union U switch (E) { case C: long a; };",
         false,
         {"t.idl:1:58: error: 'C' is not a value of the enumeration 'E'",
          "t.idl:1:6: note: 'E' was declared here"}},
        {"enum E { A, B }; union U switch (E) { case A: long a; case E::A: short b; };",
         false,
         {"t.idl:1:60: error: duplicate case label 'E::A' in union 'U'",
          "t.idl:1:44: note: the first use of the label is here"}},
    });
}

TEST(Sema, UnknownAnnotationsWarn) {
    run_rows({
        {"struct S { @Key long x; };",
         true,
         {"t.idl:1:12: warning: unknown annotation '@Key'; did you mean '@key'? "
          "[-Wunknown-annotation]"}},
        {"@frobnicate struct S { long x; };",
         true,
         {"t.idl:1:1: warning: unknown annotation '@frobnicate' [-Wunknown-annotation]"}},
        {"enum E { @value(1) A, @Value(2) B };",
         true,
         {"t.idl:1:23: warning: unknown annotation '@Value'; did you mean '@value'? "
          "[-Wunknown-annotation]"}},
        {"@Final module M { @Nested typedef long L; }; bitset B { @Pos bitfield<2> a; };",
         true,
         {"t.idl:1:1: warning: unknown annotation '@Final'; did you mean '@final'? "
          "[-Wunknown-annotation]",
          "t.idl:1:19: warning: unknown annotation '@Nested'; did you mean '@nested'? "
          "[-Wunknown-annotation]",
          "t.idl:1:57: warning: unknown annotation '@Pos' [-Wunknown-annotation]"}},
        {"@annotation Mine { long v; }; struct S { @::Mine(v=1) @x::key long a; };", true, {}},
    });
}

TEST(Sema, NamesAcrossFiles) {
    // Modules reopen across files; a second file's duplicate names the first file in the note.
    const outcome ok =
        check({{"base.idl", "module M { struct A { long x; }; };"},
               {"use.idl", "module M { struct B { A a; }; }; struct C { M::A a; };"}});
    EXPECT_TRUE(ok.ok);
    EXPECT_TRUE(ok.lines.empty());
    const outcome dup = check({{"base.idl", "module M { struct A { long x; }; };"},
                               {"use.idl", "module M { enum A { X }; };"}});
    EXPECT_FALSE(dup.ok);
    EXPECT_EQ((lines{"use.idl:1:17: error: 'A' is already declared in this scope",
                     "base.idl:1:19: note: 'A' was declared here"}),
              dup.lines);
    // Files that do not include one another may use the same names.
    const outcome apart = check({{"one.idl", "module M { struct A { long x; }; };"},
                                 {"two.idl", "module M { struct A { short y; }; };"}},
                                false, false);
    EXPECT_TRUE(apart.ok);
    EXPECT_TRUE(apart.lines.empty());
}

TEST(Sema, NearMiss) {
    struct pair_row {
        const char *a;
        const char *b;
        bool near;
    };
    const pair_row rows[] = {
        {"lnog", "long", true},      {"String", "string", true}, {"strin", "string", true},
        {"strings", "string", true}, {"sting", "string", true},  {"long", "long", false},
        {"lo", "la", false},         {"Po", "po", true},         {"abcd", "dcba", false},
        {"shrot", "short", true},    {"octets", "octet", true},  {"float", "double", false},
    };
    for (const pair_row &r : rows) {
        SCOPED_TRACE(std::string(r.a) + " " + r.b);
        EXPECT_EQ(r.near, suggest_near_miss(r.a, r.b));
    }
}

TEST(Sema, DeepNestingIsChecked) {
    std::string text;
    for (int i = 0; i < 3000; ++i) {
        text += i % 2 == 0 ? "module m {" : "module n {";
    }
    text += "struct S { Missing x; };";
    for (int i = 0; i < 3000; ++i) {
        text += "};";
    }
    const outcome o = check({{"t.idl", text}});
    EXPECT_FALSE(o.ok);
    ASSERT_EQ(1u, o.lines.size());
    EXPECT_NE(std::string::npos, o.lines[0].find("'Missing' is not declared"));
}

} // namespace

namespace {

TEST(Sema, FailedUnitsAreTheOnesHoldingErrors) {
    unit_holder h;
    h.add("base.idl", "struct A { long x; };");
    h.add("bad.idl", "struct B { Nope n; @Odd long y; };");
    h.add("fine.idl", "struct C { A a; };");
    ASSERT_TRUE(h.ok);
    collect c;
    diag_consumer *before = diag_set_consumer(&c);
    std::vector<const idl_unit *> failed;
    EXPECT_FALSE(sema_check(h.view, sema_options{}, &failed));
    diag_set_consumer(before);
    EXPECT_EQ((std::vector<const idl_unit *>{h.view[1]}), failed);
    EXPECT_EQ(2u, c.lines.size()); // the error and the annotation warning
}

} // namespace

namespace {

struct threaded_outcome {
    bool ok;
    std::vector<std::string> lines;
    std::vector<const idl_unit *> failed;
};

threaded_outcome check_on(const unit_holder &h, unsigned threads) {
    collect c;
    diag_consumer *before = diag_set_consumer(&c);
    sema_options options;
    options.threads = threads;
    std::vector<const idl_unit *> failed;
    const bool ok = sema_check(h.view, options, &failed);
    diag_set_consumer(before);
    return {ok, c.lines, failed};
}

TEST(Sema, ReportsDoNotDependOnTheThreads) {
    // Errors of both passes spread over many files, several in one file, some files clean.
    unit_holder h;
    for (int i = 0; i < 24; ++i) {
        const std::string n = std::to_string(i);
        std::string text = "module M { struct S" + n + " { long x; };";
        if (i % 3 == 0) {
            text += " struct T" + n + " { Missing" + n + " m; @Odd long y; };";
        }
        if (i % 5 == 1) {
            text += " const long C" + n + " = Absent + 1; struct S" + n + " { long z; };";
        }
        if (i > 0 && i % 4 == 2) {
            text += " struct U" + n + " : S" + std::to_string(i - 1) + " { long x; };";
        }
        // Names the parts of the first pass share: enumerators seen from the enclosing scope,
        // duplicates across files, forward declarations completed later, and hints that name
        // the first of several near misses in the order of declaration.
        if (i % 6 == 3) {
            text += " enum Color" + n + " { RED" + n + ", GREEN" + n + ", RED" + n + " };";
            text += " union V" + n + " switch (Color" + n + ") { case GREEN" + n +
                    ": long g; case BLUE" + n + ": long b; };";
            text += " struct Later" + n + "; struct Later" + n + " { long x; };";
        }
        if (i % 7 == 4) {
            text += " struct S" + std::to_string(i - 1) + " { long dup; };";
            text += " struct W" + n + " { Pointb p; Pointc q; };";
        }
        if (i == 1) {
            text += " struct Pointa { long x; }; struct Pointd { long x; };";
        }
        text += " };";
        h.add("f" + n + ".idl", text);
        if (i > 0) {
            h.units.back()->includes.push_back({"f" + std::to_string(i - 1) + ".idl", "", 1});
        }
    }
    ASSERT_TRUE(h.ok);
    const threaded_outcome one = check_on(h, 1);
    EXPECT_FALSE(one.ok);
    const auto has = [&one](const std::string &text) {
        return std::any_of(one.lines.begin(), one.lines.end(), [&](const std::string &line) {
            return line.find(text) != std::string::npos;
        });
    };
    EXPECT_TRUE(has("'Pointb' is not declared; did you mean 'Pointa'?"));
    EXPECT_TRUE(has("duplicate enumerator 'RED3' in 'Color3'"));
    EXPECT_TRUE(has("'BLUE3' is not declared"));
    EXPECT_TRUE(has("'S3' is already declared in this scope"));
    EXPECT_FALSE(has("Later"));
    EXPECT_GT(one.lines.size(), 20u);
    EXPECT_GT(one.failed.size(), 8u);
    for (const unsigned threads : {2u, 3u, 8u, 64u}) {
        SCOPED_TRACE(threads);
        const threaded_outcome many = check_on(h, threads);
        EXPECT_EQ(one.ok, many.ok);
        EXPECT_EQ(one.lines, many.lines);
        EXPECT_EQ(one.failed, many.failed);
    }
}

} // namespace
