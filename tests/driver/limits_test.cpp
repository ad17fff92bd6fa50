// Hostile and oversized inputs through the built program: each run must end cleanly, either
// with status 0 and a well-formed document, or with status 1, one error report and no output
// file; never a crash, a sanitizer report or a hang. Inputs are generated into a temporary
// directory; none of these tests asserts on time.
#include "support/run_program.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

#if defined(__SANITIZE_ADDRESS__)
#define VANDREL_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VANDREL_UNDER_ASAN 1
#endif
#endif
#ifndef VANDREL_UNDER_ASAN
#define VANDREL_UNDER_ASAN 0
#endif

namespace {

// A conversion of these inputs that runs this long has hung.
constexpr int k_hang_seconds = 120;

// Address space for runs that must not eat the machine when something grows without bound;
// AddressSanitizer reserves far more than this up front, so its builds run without a limit.
constexpr long long k_roomy_kib = 4LL * 1024 * 1024;

//=== checking a document ===//

bool name_start(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_' || c == ':';
}

bool name_char(char c) {
    return name_start(c) || (c >= '0' && c <= '9') || c == '-' || c == '.';
}

// Length of the UTF-8 sequence at s[i], or 0 when it is malformed (overlong forms,
// surrogates and values past U+10FFFF included).
size_t utf8_length(const std::string &s, size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    size_t n = 0;
    uint32_t v = 0;
    if (b < 0x80) {
        return 1;
    } else if ((b & 0xE0) == 0xC0) {
        n = 2;
        v = b & 0x1F;
    } else if ((b & 0xF0) == 0xE0) {
        n = 3;
        v = b & 0x0F;
    } else if ((b & 0xF8) == 0xF0) {
        n = 4;
        v = b & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size()) {
        return 0;
    }
    for (size_t k = 1; k < n; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) {
            return 0;
        }
        v = (v << 6) | (c & 0x3F);
    }
    const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (v < least[n] || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) {
        return 0;
    }
    return n;
}

// Length of the entity reference at s[i] ('&'), or 0 when it is none XML knows.
size_t entity_length(const std::string &s, size_t i) {
    for (const char *e : {"&amp;", "&lt;", "&gt;", "&quot;", "&apos;"}) {
        if (s.compare(i, std::char_traits<char>::length(e), e) == 0) {
            return std::char_traits<char>::length(e);
        }
    }
    size_t j = i + 1;
    if (j < s.size() && s[j] == '#') {
        ++j;
        const bool hex = j < s.size() && s[j] == 'x';
        j += hex ? 1 : 0;
        const size_t digits = j;
        while (j < s.size() && (std::isdigit(static_cast<unsigned char>(s[j])) ||
                                (hex && std::isxdigit(static_cast<unsigned char>(s[j]))))) {
            ++j;
        }
        if (j > digits && j < s.size() && s[j] == ';') {
            return j + 1 - i;
        }
    }
    return 0;
}

// Empty when `doc` is one well-formed element tree as the writer makes them (elements,
// attributes in double quotes, character data, entity references; valid UTF-8), otherwise
// what is wrong and at which byte.
std::string xml_problem(const std::string &doc) {
    auto at = [](const char *what, size_t i) {
        return std::string(what) + " at byte " + std::to_string(i);
    };
    for (size_t i = 0; i < doc.size();) {
        const auto c = static_cast<unsigned char>(doc[i]);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
            return at("control byte", i);
        }
        const size_t n = utf8_length(doc, i);
        if (n == 0) {
            return at("malformed UTF-8", i);
        }
        i += n;
    }
    std::vector<std::string> open;
    bool seen_root = false;
    size_t i = 0;
    auto skip_blanks = [&] {
        while (i < doc.size() &&
               (doc[i] == ' ' || doc[i] == '\t' || doc[i] == '\n' || doc[i] == '\r')) {
            ++i;
        }
    };
    auto read_name = [&] {
        const size_t from = i;
        if (i < doc.size() && name_start(doc[i])) {
            while (i < doc.size() && name_char(doc[i])) {
                ++i;
            }
        }
        return doc.substr(from, i - from);
    };
    // Steps over the entity reference at i; false when there is none.
    auto skip_entity = [&] {
        const size_t e = entity_length(doc, i);
        i += e;
        return e != 0;
    };
    while (i < doc.size()) {
        if (doc[i] != '<') {
            if (open.empty() && !std::isspace(static_cast<unsigned char>(doc[i]))) {
                return at("text outside the root", i);
            }
            if (doc[i] == '>') {
                return at("stray '>'", i);
            }
            if (doc[i] == '&') {
                if (!skip_entity()) {
                    return at("bad entity", i);
                }
                continue;
            }
            ++i;
            continue;
        }
        ++i;
        if (i < doc.size() && doc[i] == '/') {
            ++i;
            const std::string name = read_name();
            skip_blanks();
            if (open.empty() || name != open.back() || i >= doc.size() || doc[i] != '>') {
                return at("unmatched end tag", i);
            }
            open.pop_back();
            ++i;
            continue;
        }
        if (open.empty() && seen_root) {
            return at("second root", i);
        }
        const std::string name = read_name();
        if (name.empty()) {
            return at("bad tag name", i);
        }
        seen_root = true;
        std::vector<std::string> attributes;
        for (;;) {
            const size_t before = i;
            skip_blanks();
            if (i >= doc.size()) {
                return at("unterminated tag", i);
            }
            if (doc[i] == '>' || (doc[i] == '/' && i + 1 < doc.size() && doc[i + 1] == '>')) {
                break;
            }
            if (i == before) {
                return at("attribute without blank before it", i);
            }
            const std::string attr = read_name();
            if (attr.empty() || i + 1 >= doc.size() || doc[i] != '=' || doc[i + 1] != '"') {
                return at("bad attribute", i);
            }
            for (const std::string &a : attributes) {
                if (a == attr) {
                    return at("repeated attribute", i);
                }
            }
            attributes.push_back(attr);
            i += 2;
            while (i < doc.size() && doc[i] != '"') {
                if (doc[i] == '<') {
                    return at("'<' in attribute value", i);
                }
                if (doc[i] == '&') {
                    if (!skip_entity()) {
                        return at("bad entity", i);
                    }
                    continue;
                }
                ++i;
            }
            if (i >= doc.size()) {
                return at("unterminated attribute value", i);
            }
            ++i;
        }
        if (doc[i] == '/') {
            i += 2;
        } else {
            open.push_back(name);
            ++i;
        }
    }
    if (!seen_root) {
        return "no root element";
    }
    if (!open.empty()) {
        return "unclosed element " + open.back();
    }
    return "";
}

size_t occurrences(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) {
        ++n;
    }
    return n;
}

//=== making inputs ===//

struct rng {
    uint64_t state;
    uint32_t next() {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<uint32_t>(state >> 33);
    }
};

std::string repeat(const std::string &unit, size_t times) {
    std::string s;
    s.reserve(unit.size() * times);
    for (size_t i = 0; i < times; ++i) {
        s += unit;
    }
    return s;
}

// Blocks of documentation comments, a macro, a constant and a structure with commented members,
// until the text reaches `bytes`; *blocks receives their number.
std::string documented_model(size_t bytes, size_t *blocks) {
    std::string s;
    s.reserve(bytes + 2048);
    size_t i = 0;
    for (; s.size() < bytes; ++i) {
        const std::string n = std::to_string(i);
        s += "/**\n";
        for (int k = 0; k < 20; ++k) {
            s +=
                " * Documentation line " + std::to_string(k) + " of block " + n + ", with words.\n";
        }
        s += " */\n#define W" + n + " " + std::to_string(i % 97) + "\n";
        s += "module M" + n + " {\n    const long C = W" + n + " * 2;\n    struct S {\n";
        for (int k = 0; k < 5; ++k) {
            s += "        long m" + std::to_string(k) + "[W" + n + " + 1]; // member\n";
        }
        s += "        string<8> s; /* inline */ sequence<double> q;\n    };\n};\n";
    }
    *blocks = i;
    return s;
}

//=== running ===//

// What one run did, with the records it logged.
struct outcome {
    run_result run;
    std::vector<std::string> errors; // records at the error and fatal levels, headers stripped
    bool has_output = false;
    std::string document;
};

class Limits : public testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "vandrel-limits-XXXXXX").string();
        ASSERT_NE(nullptr, ::mkdtemp(pattern.data()));
        dir_ = pattern;
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    void write(const std::string &name, const std::string &text) {
        std::ofstream out(dir_ / name, std::ios::binary);
        out.write(text.data(), static_cast<std::streamsize>(text.size()));
        ASSERT_TRUE(out.good()) << name;
    }

    // Converts `name` into a fresh output directory, with the address space limited to
    // `limit_kib` KiB (k_roomy_kib by default; none under AddressSanitizer).
    outcome convert(const std::string &name, long long limit_kib = k_roomy_kib) {
        std::error_code ec;
        fs::remove_all(dir_ / "out", ec);
        run_options options;
        options.cwd = dir_.string();
        options.timeout_seconds = k_hang_seconds;
        outcome o;
        if (VANDREL_UNDER_ASAN) {
            o.run = run_program(VANDREL_BIN, {name, "out"}, options);
        } else {
            o.run = run_program(
                "/bin/sh",
                {"-c", "ulimit -v " + std::to_string(limit_kib) + " && exec \"$0\" \"$@\"",
                 VANDREL_BIN, name, "out"},
                options);
        }
        for (const std::string &line : strip_log_headers(o.run.out)) {
            if (line.rfind("E ", 0) == 0 || line.rfind("F ", 0) == 0 || line == "E" ||
                line == "F") {
                o.errors.push_back(line);
            }
        }
        const fs::path xml = dir_ / "out" / (name.substr(0, name.rfind(".idl")) + ".xml");
        o.has_output = fs::exists(xml, ec);
        if (o.has_output && o.run.status == 0) {
            std::ifstream in(xml, std::ios::binary);
            std::ostringstream s;
            s << in.rdbuf();
            o.document = s.str();
        }
        return o;
    }

    // The run ended by itself, wrote nothing to standard error, and either succeeded with a
    // well-formed document or failed with one report and no output file.
    static void expect_clean_end(const outcome &o) {
        ASSERT_TRUE(o.run.started);
        ASSERT_FALSE(o.run.timed_out) << "hung";
        ASSERT_TRUE(o.run.exited) << "crashed\n" << o.run.err;
        EXPECT_EQ("", o.run.err.substr(0, 2000));
        if (o.run.status == 0) {
            ASSERT_TRUE(o.has_output);
            EXPECT_EQ("", xml_problem(o.document));
            EXPECT_TRUE(o.errors.empty()) << o.errors.front();
            EXPECT_NE(std::string::npos, o.run.out.find("I  Done"));
        } else {
            EXPECT_EQ(1, o.run.status);
            EXPECT_FALSE(o.has_output);
            // One report: the message, and for a syntax error the source line and the caret.
            ASSERT_FALSE(o.errors.empty()) << "failed without a message";
            EXPECT_GT(o.errors.front().size(), 2U);
            EXPECT_LE(o.errors.size(), 3U) << testing::PrintToString(o.errors);
        }
    }

    fs::path dir_;
};

} // namespace

TEST_F(Limits, FiftyMegabyteModel) {
    size_t blocks = 0;
    write("big.idl", documented_model(50u * 1000 * 1000, &blocks));
    const outcome o = convert("big.idl");
    expect_clean_end(o);
    EXPECT_EQ(0, o.run.status) << testing::PrintToString(o.errors);
    EXPECT_EQ(blocks, occurrences(o.document, "<struct name=\"S\""));
    EXPECT_EQ(blocks * 5, occurrences(o.document, "arrayDimensions="));
}

TEST_F(Limits, DeeplyParenthesisedConstant) {
    const size_t depth = 100000;
    write("deep.idl", "const long X = " + repeat("(", depth) + "1" + repeat(")", depth) + ";\n");
    const outcome o = convert("deep.idl");
    expect_clean_end(o);
    if (o.run.status == 0) {
        EXPECT_EQ(1U, occurrences(o.document, "<const name=\"X\""));
    }
}

TEST_F(Limits, MillionLines) {
    // Declarations, comments, blank lines and definitions in turn; the last line uses the
    // last definition, so the line bookkeeping of a million lines must hold.
    std::string text;
    text.reserve(17u * 1000 * 1000);
    for (int i = 0; i < 1000000; ++i) {
        const std::string n = std::to_string(i);
        switch (i % 4) {
        case 0:
            text += "const long C" + n + " = " + n + ";\n";
            break;
        case 1:
            text += "// note " + n + "\n";
            break;
        case 2:
            text += "\n";
            break;
        default:
            text += "#define D" + n + " " + n + "\n";
        }
    }
    text += "const long LAST = D999999;\n";
    write("million.idl", text);
    const outcome o = convert("million.idl");
    expect_clean_end(o);
    EXPECT_EQ(0, o.run.status) << testing::PrintToString(o.errors);
    EXPECT_EQ(250001U, occurrences(o.document, "<const name="));
    EXPECT_EQ(1U, occurrences(o.document, "<const name=\"LAST\" type=\"int32\" value=\"999999\""));
}

TEST_F(Limits, NulBytes) {
    const std::string model = "module M { struct S { long a; }; };\n";
    struct row {
        const char *name;
        std::string text;
        int status; // -1: either clean end
    };
    const row rows[] = {
        {"in comments", std::string("// a\0b\n", 7) + model + std::string("/* \0 */\n", 8), 0},
        {"in a declaration", "module M { struct S { long a;" + std::string(1, '\0') + " }; };\n",
         1},
        {"after the model", model + std::string(3, '\0'), 1},
        {"only nul bytes", std::string(100000, '\0'), 1},
        {"in a string literal", "const string S = \"a" + std::string(1, '\0') + "b\";\n", -1},
        {"in a directive", "#define X 1" + std::string(1, '\0') + "\n" + model, -1},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        write("nul.idl", r.text);
        const outcome o = convert("nul.idl");
        expect_clean_end(o);
        if (r.status >= 0) {
            EXPECT_EQ(r.status, o.run.status) << testing::PrintToString(o.errors);
        }
    }
}

TEST_F(Limits, RandomBinaryData) {
    // Random bytes, and random bytes after a valid model, and random printable text with
    // the IDL punctuation: each seed gives the same bytes on every run.
    const std::string model = "module M { struct S { long a; }; };\n";
    const std::string punct = "{}()[]<>;:,=#'\"\\/*@ \n\tabcxyz019";
    for (uint64_t seed = 1; seed <= 6; ++seed) {
        SCOPED_TRACE(seed);
        rng r{seed};
        std::string text = seed % 3 == 2 ? model : std::string();
        for (size_t i = 0; i < (1u << 20); ++i) {
            text +=
                seed % 3 == 0 ? punct[r.next() % punct.size()] : static_cast<char>(r.next() & 0xFF);
        }
        write("random.idl", text);
        expect_clean_end(convert("random.idl"));
    }
}

TEST_F(Limits, InvalidUtf8) {
    struct row {
        const char *name;
        std::string text;
        int status; // -1: either clean end (a document must then be valid UTF-8)
    };
    const row rows[] = {
        {"in comments", "// \xff\xfe \xc3\x28\nmodule M { struct S { long a; }; }; /* \x80 */\n",
         0},
        {"in an identifier", "module M\xff { struct S { long a; }; };\n", 1},
        {"in a string constant", "const string S = \"\xff\xfe<&\";\n", -1},
        {"in a char constant", "const char C = '\xc3';\n", -1},
        {"overlong and surrogate forms", "const string S = \"\xc0\xaf\xed\xa0\x80\";\n", -1},
        {"in an annotation", "@\xe2\x82 struct S { long a; };\n", -1},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        write("utf.idl", r.text);
        const outcome o = convert("utf.idl");
        expect_clean_end(o);
        if (r.status >= 0) {
            EXPECT_EQ(r.status, o.run.status) << testing::PrintToString(o.errors);
        }
    }
}

TEST_F(Limits, ExpansionBomb) {
    // Each level doubles the one below: A0 stands for 2^40 tokens.
    std::string text;
    for (int i = 0; i < 40; ++i) {
        text += "#define A" + std::to_string(i) + " A" + std::to_string(i + 1) + " A" +
                std::to_string(i + 1) + "\n";
    }
    text += "const long X = A0;\n";
    write("bomb.idl", text);
    const outcome o = convert("bomb.idl");
    expect_clean_end(o);
    EXPECT_EQ(1, o.run.status);
}

TEST_F(Limits, DeeplyNestedConditionals) {
    const size_t depth = 10000;
    write("ifs.idl", repeat("#ifdef A\n", depth) + "const long X = 1;\n" +
                         repeat("#endif\n", depth) + repeat("#ifndef A\n", depth) +
                         "const long Y = 2;\n" + repeat("#endif\n", depth));
    const outcome o = convert("ifs.idl");
    expect_clean_end(o);
    EXPECT_EQ(0, o.run.status) << testing::PrintToString(o.errors);
    EXPECT_EQ(0U, occurrences(o.document, "<const name=\"X\""));
    EXPECT_EQ(1U, occurrences(o.document, "<const name=\"Y\""));
}

TEST_F(Limits, LongRunsOfBlanks) {
    // Blanks are folded into one pending run before text; a long run must cost its length.
    struct row {
        const char *name;
        std::string text;
    };
    const row rows[] = {
        {"blanks before a declaration", repeat(" ", 200000) + "const long X = 1;\n"},
        {"tabs inside a declaration", "const long X =" + repeat("\t", 200000) + "1;\n"},
        {"one-line comment as blanks", "const long X = /*" + repeat("-", 200000) + "*/ 1;\n"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.name);
        write("blanks.idl", r.text);
        const outcome o = convert("blanks.idl");
        expect_clean_end(o);
        EXPECT_EQ(0, o.run.status) << testing::PrintToString(o.errors);
        EXPECT_EQ(1U, occurrences(o.document, "<const name=\"X\" type=\"int32\" value=\"1\""));
    }
}

TEST_F(Limits, InputLargerThanMemory) {
    if (VANDREL_UNDER_ASAN) {
        GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit";
    }
    // A sparse file costs no disk; its bytes cannot all be held under the limit.
    { std::ofstream(dir_ / "huge.idl", std::ios::binary) << "module M {};\n"; }
    fs::resize_file(dir_ / "huge.idl", 300ULL * 1024 * 1024);
    const outcome o = convert("huge.idl", 200 * 1024);
    expect_clean_end(o);
    EXPECT_EQ(1, o.run.status);
    ASSERT_EQ(1U, o.errors.size()) << testing::PrintToString(o.errors);
    EXPECT_EQ(0U, o.errors[0].find("F Out of memory: ")) << o.errors[0];
    EXPECT_NE(std::string::npos, o.errors[0].find(fs::canonical(dir_ / "huge.idl").string()))
        << o.errors[0];
    EXPECT_FALSE(fs::exists(dir_ / "out"));
}

TEST_F(Limits, MemoryRunsOutAfterReading) {
    if (VANDREL_UNDER_ASAN) {
        GTEST_SKIP() << "AddressSanitizer reserves more address space than the limit";
    }
    // The text fits, but a later stage may need more than is left: then it must fail with an
    // out-of-memory report and nothing else (not a syntax error, not a crash).
    size_t blocks = 0;
    write("model.idl", documented_model(40u * 1000 * 1000, &blocks));
    { std::ofstream(dir_ / "zeros.idl", std::ios::binary) << "module M {};\n"; }
    fs::resize_file(dir_ / "zeros.idl", 100ULL * 1024 * 1024);
    struct row {
        const char *file;
        long long limit_kib;
        bool valid; // a failure can only be for want of memory
    };
    const row rows[] = {{"model.idl", 120 * 1024, true},
                        {"model.idl", 200 * 1024, true},
                        {"model.idl", 300 * 1024, true},
                        {"zeros.idl", 150 * 1024, false},
                        {"zeros.idl", 250 * 1024, false}};
    for (const row &r : rows) {
        SCOPED_TRACE(std::string(r.file) + " under " + std::to_string(r.limit_kib) + " KiB");
        const outcome o = convert(r.file, r.limit_kib);
        expect_clean_end(o);
        if (o.run.status == 0 || o.errors.empty()) {
            continue;
        }
        const bool oom = o.errors[0].rfind("F Out of memory: ", 0) == 0;
        EXPECT_TRUE(oom || !r.valid) << o.errors[0];
        if (oom) {
            EXPECT_EQ(1U, o.errors.size()) << testing::PrintToString(o.errors);
        }
    }
}

TEST(LimitsXmlCheck, FindsMalformedDocuments) {
    // The checker above decides the tests of this file: it must accept what the writer makes
    // and find each kind of damage.
    struct row {
        const char *doc;
        const char *problem; // start of the expected message; "" for a good document
    };
    const row rows[] = {
        {"<dds a=\"1\" b=\"&amp;&#38;&#x26;\">\n    <types/>\n</dds>\n", ""},
        {"<dds><t>x &lt; y</t></dds>", ""},
        {"", "no root element"},
        {"<dds>", "unclosed element"},
        {"<dds></types>", "unmatched end tag"},
        {"<dds/><dds/>", "second root"},
        {"<dds/>x", "text outside the root"},
        {"<dds a=1/>", "bad attribute"},
        {"<dds a=\"1\" a=\"2\"/>", "repeated attribute"},
        {"<dds a=\"<\"/>", "'<' in attribute value"},
        {"<dds>a & b</dds>", "bad entity"},
        {"<dds a=\"&x;\"/>", "bad entity"},
        {"<dds>\xff</dds>", "malformed UTF-8"},
        {"<dds>\xc0\xaf</dds>", "malformed UTF-8"},
        {"<dds>\xed\xa0\x80</dds>", "malformed UTF-8"},
        {"<dds>\x01</dds>", "control byte"},
        {"<dds a=\"1\"b=\"2\"/>", "attribute without blank"},
        {"<1/>", "bad tag name"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.doc);
        EXPECT_EQ(0U, xml_problem(r.doc).find(r.problem)) << xml_problem(r.doc);
        EXPECT_EQ(std::string(r.problem).empty(), xml_problem(r.doc).empty());
    }
}
