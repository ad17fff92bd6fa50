// Translator tests: IDL text in, element tree out, rendered compactly for comparison.
#include "base/glog.hpp"
#include "idl/idl_module.hpp"
#include "idl/idl_node.hpp"
#include "idl/idl_translate.hpp"
#include "preproc/preproc.hpp"
#include "support/log_capture.hpp"
#include "xml/xmltree.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>

#include <string>
#include <string_view>

namespace {

constexpr const char test_path[] = "/models/test.idl";

// Compact text of an element and its subtree: tag(a=v,b=w)[child child].
void render(const xmltree *element, std::string *out) {
    *out += element->name;
    if (element->attr != nullptr && element->attr[0] != nullptr) {
        *out += '(';
        for (std::size_t i = 0; element->attr[i] != nullptr; i += 2) {
            if (i != 0) {
                *out += ',';
            }
            *out += element->attr[i];
            *out += '=';
            *out += element->attr[i + 1];
        }
        *out += ')';
    }
    if (element->child != nullptr) {
        *out += '[';
        for (const xmltree *c = element->child; c != nullptr; c = c->ordered) {
            if (c != element->child) {
                *out += ' ';
            }
            render(c, out);
        }
        *out += ']';
    }
}

struct outcome {
    bool ok;
    std::string tree; // children of `types`, rendered
};

idl_source source_of(std::string_view text) {
    idl_source src;
    src.text = text;
    src.fallback_path = test_path;
    src.files.push_back({test_path, 0, 1, 1});
    return src;
}

outcome translate(std::string_view text) {
    const idl_source src = source_of(text);
    xmltree *types = xmltree_new("types");
    outcome result{idl_translate(src, types), {}};
    for (const xmltree *c = types->child; c != nullptr; c = c->ordered) {
        if (c != types->child) {
            result.tree += ' ';
        }
        render(c, &result.tree);
    }
    xmltree_free(types);
    return result;
}

struct row {
    const char *idl;
    const char *tree;
};

void check_rows(const row *rows, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        SCOPED_TRACE(rows[i].idl);
        log_capture logs(GLOG_ERROR);
        const outcome result = translate(rows[i].idl);
        EXPECT_TRUE(result.ok);
        EXPECT_EQ(rows[i].tree, result.tree);
        EXPECT_TRUE(logs.empty());
    }
}

template <std::size_t N> void check_rows(const row (&rows)[N]) {
    check_rows(rows, N);
}

} // namespace

//=== type references ===//

TEST(IdlTypes, BasicTypesMapToTheVocabulary) {
    const row rows[] = {
        {"struct S { int8 a; uint8 b; short c; int16 d; unsigned short e; uint16 f; };",
         "struct(name=S)[member(name=a,type=int16) member(name=b,type=uint16) "
         "member(name=c,type=int16) member(name=d,type=int16) member(name=e,type=uint16) "
         "member(name=f,type=uint16)]"},
        {"struct S { long a; int32 b; unsigned long c; uint32 d; long long e; int64 f; "
         "unsigned long long g; uint64 h; };",
         "struct(name=S)[member(name=a,type=int32) member(name=b,type=int32) "
         "member(name=c,type=uint32) member(name=d,type=uint32) member(name=e,type=int64) "
         "member(name=f,type=int64) member(name=g,type=uint64) member(name=h,type=uint64)]"},
        {"struct S { float a; double b; long double c; char d; wchar e; boolean f; octet g; };",
         "struct(name=S)[member(name=a,type=float32) member(name=b,type=float64) "
         "member(name=c,type=float128) member(name=d,type=char8) member(name=e,type=char16) "
         "member(name=f,type=boolean) member(name=g,type=byte)]"},
    };
    check_rows(rows);
}

TEST(IdlTypes, StringsAndSequencesCarryTheirBounds) {
    const row rows[] = {
        {"struct S { string s; };", "struct(name=S)[member(name=s,type=string)]"},
        {"struct S { string<32> s; wstring<8> w; wstring v; };",
         "struct(name=S)[member(name=s,type=string,stringMaxLength=32) "
         "member(name=w,type=wstring,stringMaxLength=8) member(name=v,type=wstring)]"},
        {"struct S { sequence<long> v; sequence<long, 10> w; };",
         "struct(name=S)[member(name=v,type=int32,sequenceMaxLength=-1) "
         "member(name=w,type=int32,sequenceMaxLength=10)]"},
        {"struct S { sequence<string<5>, 3> v; };",
         "struct(name=S)[member(name=v,type=string,stringMaxLength=5,sequenceMaxLength=3)]"},
        {"typedef sequence<long, 4> R; struct S { sequence<R, 9> v; };",
         "typedef(name=R,type=int32,sequenceMaxLength=4) "
         "struct(name=S)[member(name=v,nonBasicTypeName=R,type=nonBasic,sequenceMaxLength=9)]"},
        // Bounds are written as the expression stands, trailing blanks dropped.
        {"struct S { string< MAX > s; sequence<long, MAX_LEN > v; };",
         "struct(name=S)[member(name=s,type=string,stringMaxLength=MAX) "
         "member(name=v,type=int32,sequenceMaxLength=MAX_LEN)]"},
        {"struct S { string<2 * N> s; };",
         "struct(name=S)[member(name=s,type=string,stringMaxLength=2 * N)]"},
    };
    check_rows(rows);
}

TEST(IdlTypes, NonBasicNamesAreWrittenWhole) {
    const row rows[] = {
        {"struct S { Inner x; };",
         "struct(name=S)[member(name=x,nonBasicTypeName=Inner,type=nonBasic)]"},
        {"struct S { M::Inner x; ::A::B y; };",
         "struct(name=S)[member(name=x,nonBasicTypeName=M::Inner,type=nonBasic) "
         "member(name=y,nonBasicTypeName=::A::B,type=nonBasic)]"},
        {"struct S { sequence<A::B , 3> v; sequence< M::P > w; };",
         "struct(name=S)[member(name=v,nonBasicTypeName=A::B,type=nonBasic,"
         "sequenceMaxLength=3) member(name=w,nonBasicTypeName=M::P,type=nonBasic,"
         "sequenceMaxLength=-1)]"},
        // Annotations inside the angle brackets go to the member, never into the name.
        {"struct S { sequence<@external M::P> v; };",
         "struct(name=S)[member(name=v,external=true,nonBasicTypeName=M::P,type=nonBasic,"
         "sequenceMaxLength=-1)]"},
    };
    check_rows(rows);
}

TEST(IdlTypes, ArraysAndSeveralDeclarators) {
    const row rows[] = {
        {"struct S { long m[2][3][4]; long n[N ]; };",
         "struct(name=S)[member(name=m,type=int32,arrayDimensions=2, 3, 4) "
         "member(name=n,type=int32,arrayDimensions=N)]"},
        {"struct S { @key long a, b[3]; };",
         "struct(name=S)[member(key=true,name=a,type=int32) "
         "member(key=true,name=b,type=int32,arrayDimensions=3)]"},
        {"struct S { long data @external [4]; long a ; };",
         "struct(name=S)[member(name=data,type=int32,external=true,arrayDimensions=4) "
         "member(name=a,type=int32)]"},
        {"typedef long A, B[2];",
         "typedef(name=A,type=int32) typedef(name=B,type=int32,arrayDimensions=2)"},
    };
    check_rows(rows);
}

//=== structures and annotations ===//

TEST(IdlStruct, AnnotationsBecomeAttributes) {
    const row rows[] = {
        {"struct Empty {};", "struct(name=Empty)"},
        {"@final struct S { @key long id; @optional string<8> name; };",
         "struct(extensibility=final,name=S)[member(key=true,name=id,type=int32) "
         "member(optional=true,name=name,type=string,stringMaxLength=8)]"},
        {"@appendable struct A {}; @mutable struct B {}; @Key @topic struct C {};",
         "struct(extensibility=appendable,name=A) struct(extensibility=mutable,name=B) "
         "struct(name=C)"},
        {"@extensibility(FINAL) @autoid struct S {};",
         "struct(extensibility=final,autoid=hash,name=S)"},
        {"struct S { @range(min=1, max=9) long v; @key @key long k; @id(5) long i; };",
         "struct(name=S)[member(min=1,max=9,name=v,type=int32) member(key=true,name=k,"
         "type=int32) member(id=5,name=i,type=int32)]"},
        {"struct S { @value(\" x \") long a; @verbatim(text=\"a b\") long b; };",
         "struct(name=S)[member(value=x,name=a,type=int32) "
         "member(text=\"a b\",name=b,type=int32)]"},
        // This form drops every blank of a positional value, those inside a string too.
        {"struct S { @unit(\"meters per second\") double v; };",
         "struct(name=S)[member(unit=meterspersecond,name=v,type=float64)]"},
        {"struct D : Base { long x; }; struct E : ::M::Base {};",
         "struct(name=D,baseType=Base)[member(name=x,type=int32)] "
         "struct(name=E,baseType=::M::Base)"},
    };
    check_rows(rows);
}

//=== unions ===//

TEST(IdlUnion, CasesLabelsAndDiscriminators) {
    const row rows[] = {
        {"union U switch (long) { case 1: long a; case 2: case 3: string b; default: octet c; };",
         "union(name=U)[discriminator(type=int32) case[caseDiscriminator(value=1) "
         "member(name=a,type=int32)] case[caseDiscriminator(value=2) caseDiscriminator(value=3) "
         "member(name=b,type=string)] case[caseDiscriminator(value=default) "
         "member(name=c,type=byte)]]"},
        {"union U switch (M::Color) { case RED: long a; case Color::GREEN: long b; };",
         "union(name=U)[discriminator(type=nonBasic,nonBasicTypeName=M::Color) "
         "case[caseDiscriminator(value=RED) member(name=a,type=int32)] "
         "case[caseDiscriminator(value=Color::GREEN) member(name=b,type=int32)]]"},
        {"union U switch (char) { case 'x': long a; case ' ': long b; case - 1 : long c; };",
         "union(name=U)[discriminator(type=char8) case[caseDiscriminator(value='x') "
         "member(name=a,type=int32)] case[caseDiscriminator(value=' ') member(name=b,type=int32)] "
         "case[caseDiscriminator(value=-1) member(name=c,type=int32)]]"},
        {"@final union U switch (boolean) { case TRUE: @key long arr[4]; };",
         "union(extensibility=final,name=U)[discriminator(type=boolean) "
         "case[caseDiscriminator(value=TRUE) member(key=true,name=arr,type=int32,"
         "arrayDimensions=4)]]"},
        {"union U switch (wchar) { case L'a': octet o; }; union V switch (uint8) { case 1: "
         "short s; };",
         "union(name=U)[discriminator(type=char16) case[caseDiscriminator(value=L'a') "
         "member(name=o,type=byte)]] union(name=V)[discriminator(type=uint16) "
         "case[caseDiscriminator(value=1) member(name=s,type=int16)]]"},
    };
    check_rows(rows);
}

//=== enumerations, bitmasks, bitsets ===//

TEST(IdlEnum, EnumeratorsBitValuesAndBitfields) {
    const row rows[] = {
        {"enum Color { RED, GREEN, BLUE };",
         "enum(name=Color)[enumerator(name=RED) enumerator(name=GREEN) enumerator(name=BLUE)]"},
        {"enum E { A = 1, B = 1 << 2 , C = N };",
         "enum(name=E)[enumerator(name=A,value=1) enumerator(name=B,value=1 << 2) "
         "enumerator(name=C,value=N)]"},
        {"@bit_bound(16) enum E { @value(3) A };",
         "enum(bit_bound=16,name=E)[enumerator(value=3,name=A)]"},
        {"@value(1) enum E { @value(3) A = 4 };",
         "enum(value=1,name=E)[enumerator(value=4,name=A)]"},
        {"@bit_bound(8) bitmask Flags { FLAG_A, @position(4) FLAG_B, };",
         "bitmask(bit_bound=8,name=Flags)[bit_value(name=FLAG_A) "
         "bit_value(position=4,name=FLAG_B)]"},
        {"bitset BS { bitfield<3> a; bitfield<1, boolean> b; bitfield<8, octet> c; "
         "bitfield<4, long> d; };",
         "bitset(name=BS)[bitfield(name=a,bit_bound=3) bitfield(name=b,bit_bound=1,"
         "type=boolean) bitfield(name=c,bit_bound=8,type=byte) bitfield(name=d,bit_bound=4,"
         "type=int32)]"},
        {"bitset D : M::BS { bitfield<2, short> e f; bitfield<3>; }; bitset Empty {};",
         "bitset(name=D,baseType=M::BS)[bitfield(name=e,bit_bound=2,type=int16) "
         "bitfield(name=f,bit_bound=2,type=int16) bitfield(bit_bound=3)] bitset(name=Empty)"},
    };
    check_rows(rows);
}

//=== modules, typedefs, constants, forward declarations ===//

TEST(IdlModule, ModulesTypedefsConstants) {
    const row rows[] = {
        {"module A { module B { struct S { long x; }; }; };",
         "module(name=A)[module(name=B)[struct(name=S)[member(name=x,type=int32)]]]"},
        {"module M { }; module M { const long N = 10; };",
         "module(name=M) module(name=M)[const(name=N,type=int32,value=10)]"},
        {"typedef sequence<Point, 5> Path; typedef string<16> Label; typedef long Vec[3];",
         "typedef(name=Path,type=nonBasic,nonBasicTypeName=Point,sequenceMaxLength=5) "
         "typedef(name=Label,type=string,stringMaxLength=16) "
         "typedef(name=Vec,type=int32,arrayDimensions=3)"},
        {"typedef sequence<@external M::P> Ps;",
         "typedef(name=Ps,external=true,type=nonBasic,nonBasicTypeName=M::P,"
         "sequenceMaxLength=-1)"},
        {"const string G = \"hi\"; const wchar W = L'x'; const M::Color C = M::RED ;",
         "const(name=G,type=string,value=\"hi\") const(name=W,type=char16,value=L'x') "
         "const(name=C,type=nonBasic,nonBasicTypeName=M::Color,value=M::RED)"},
        {"const long X = 1 << 3; const long double D = 1.0; const string<4> B = \"ab\";",
         "const(name=X,type=int32,value=1 << 3) const(name=D,type=float128,value=1.0) "
         "const(name=B,type=string,value=\"ab\")"},
        {"struct F; struct F { long x; }; union U;",
         "struct(name=F) struct(name=F)[member(name=x,type=int32)] union(name=U)"},
    };
    check_rows(rows);
}

TEST(IdlModule, TypedefOfATypeDeclaredInPlace) {
    const row rows[] = {
        {"typedef struct S { long x; } T;", "struct(name=S)[member(name=x,type=int32)] "
                                            "typedef(name=T,type=nonBasic,nonBasicTypeName=S)"},
        {"typedef enum E { A } T, U[2];",
         "enum(name=E)[enumerator(name=A)] typedef(name=T,type=nonBasic,nonBasicTypeName=E) "
         "typedef(name=U,type=nonBasic,nonBasicTypeName=E,arrayDimensions=2)"},
        {"typedef struct S T; typedef union V W;",
         "typedef(name=T,type=nonBasic,nonBasicTypeName=S) "
         "typedef(name=W,type=nonBasic,nonBasicTypeName=V)"},
        {"typedef bitset B { bitfield<1> b; } T;",
         "bitset(name=B)[bitfield(name=b,bit_bound=1)] "
         "typedef(name=T,type=nonBasic,nonBasicTypeName=B)"},
    };
    check_rows(rows);
}

TEST(IdlModule, IncludeMarkersNameTheXmlCounterpart) {
    const char *const paths[] = {"types.idl", "sub/types.idl", "../common/my_types.idl",
                                 "a.b.idl",   "types",         "dir.v2/x_y.idl"};
    const char *const files[] = {"types.xml", "sub/types.xml", "../common/my_types.xml",
                                 "a.b.xml",   "types.xml",     "dir.v2/x_y.xml"};
    for (std::size_t i = 0; i < std::size(paths); ++i) {
        SCOPED_TRACE(paths[i]);
        idl_string marker{};
        ASSERT_TRUE(preproc_include_marker_encode(paths[i], std::strlen(paths[i]), &marker));
        const std::string text = "module " + std::string(marker.data, marker.len) + " {};\n";
        idl_string_free(&marker);
        const outcome result = translate(text);
        EXPECT_TRUE(result.ok);
        EXPECT_EQ("include(file=" + std::string(files[i]) + ")", result.tree);
    }
}

TEST(IdlModule, XmlPathOfAnInclude) {
    const char *const rows[][2] = {
        {"types.idl", "types.xml"},
        {"a.b.idl", "a.b.xml"},
        {"types", "types.xml"},
        {"x.idl/y.idl", "x.idl/y.xml"},
        {"../c/my_t.idl", "../c/my_t.xml"},
        {"dir.idl/types", "dir.idl/types.xml"},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(r[1], idl_include_xml_path(r[0])) << r[0];
    }
}

TEST(IdlModule, DeeplyNestedModulesDoNotExhaustTheStack) {
    constexpr int depth = 3000;
    std::string text;
    for (int i = 0; i < depth; ++i) {
        text += "module m{";
    }
    text += "struct S{long x;};";
    for (int i = 0; i < depth; ++i) {
        text += "};";
    }
    const outcome result = translate(text);
    ASSERT_TRUE(result.ok);
    EXPECT_NE(std::string::npos, result.tree.find("struct(name=S)"));
}

TEST(IdlModule, NestingBeyondTheLimitFailsWithFileAndLine) {
    struct row {
        int depth;
        bool ok;
    };
    for (const row r : {row{4096, true}, row{4097, false}}) {
        SCOPED_TRACE(r.depth);
        std::string text;
        for (int i = 0; i < r.depth; ++i) {
            text += i == 4000 ? "\nmodule m{" : "module m{";
        }
        for (int i = 0; i < r.depth; ++i) {
            text += "};";
        }
        log_capture logs;
        const outcome result = translate(text);
        EXPECT_EQ(r.ok, result.ok);
        EXPECT_EQ(r.ok, !logs.has(GLOG_ERROR,
                                  "Modules nest deeper than 4096 levels: /models/test.idl:2"));
    }
}

//=== failures ===//

struct failure_row {
    const char *idl;
    const char *message; // exact level-4 message that must appear
};

TEST(IdlTranslate, UntranslatableConstructsFailWithFileAndLine) {
    const failure_row rows[] = {
        {"struct S {\n map<string, long> m; };",
         "Type 'map' has no DDS-XML type name: /models/test.idl:2: map types have no DDS-XML form"},
        {"\n\nstruct S { fixed<5, 2> f; };",
         "Type 'fixed' has no DDS-XML type name: /models/test.idl:3"},
        {"typedef map<long, long> M;",
         "Type 'map' has no DDS-XML type name: /models/test.idl:1: map "
         "types have no DDS-XML form"},
        {"struct S { sequence<fixed<3,1> > f; };",
         "Type 'fixed' has no DDS-XML type name: /models/test.idl:1"},
        {"union U switch (float) { case 1: long a; };",
         "Union discriminator type 'float' has no DDS-XML type name: /models/test.idl:1"},
        {"union U switch (string) { case 1: long a; };",
         "Union discriminator type 'string' has no DDS-XML type name: /models/test.idl:1"},
        {"const fixed F = 1.5d;", "Constant type 'fixed' has no DDS-XML type name: "
                                  "/models/test.idl:1"},
        {"native N;", "Declaration 'native' has no DDS-XML form: /models/test.idl:1"},
        {"module M {\n native N; };",
         "Declaration 'native' has no DDS-XML form: /models/test.idl:2"},
        // Values XML 1.0 cannot carry: a control character, malformed UTF-8.
        {"const string G =\n \"a\x01z\";",
         "Value of 'value' holds a character XML cannot carry: /models/test.idl:2"},
        {"const string G = \"\xC3\x28\";",
         "Value of 'value' holds a character XML cannot carry: /models/test.idl:1"},
        {"struct S { @unit(\"\xFF\") long a; };",
         "Value of 'unit' holds a character XML cannot carry: /models/test.idl:1"},
    };
    for (const failure_row &r : rows) {
        SCOPED_TRACE(r.idl);
        log_capture logs;
        const outcome result = translate(r.idl);
        EXPECT_FALSE(result.ok);
        EXPECT_TRUE(logs.has(GLOG_ERROR, r.message));
        EXPECT_TRUE(logs.has(GLOG_ERROR, "Failed to generate XML"));
        EXPECT_EQ(2u, logs.count(GLOG_ERROR));
    }
}

TEST(IdlTranslate, ParseErrorNamesFileLineAndShowsACaret) {
    log_capture logs;
    const outcome result = translate("module M {\n  struct S {\n\n\n\n\tlong x y;\n  };\n};\n");
    EXPECT_FALSE(result.ok);
    // The source line and the caret line follow as records of their own, in this order.
    EXPECT_EQ((std::vector<std::string>{"Failed to parse: /models/test.idl:6:9: expected '[', ',' "
                                        "or ';' before 'y'",
                                        "\tlong x y;", "\t       ^"}),
              logs.messages(GLOG_ERROR));
}

TEST(IdlTranslate, ParseErrorSaysWhatWasExpected) {
    struct row {
        const char *idl;
        const char *message;
    };
    const row rows[] = {
        {"enum E { A, B C };", "Failed to parse: /models/test.idl:1:15: expected '=', ',' or '}' "
                               "before 'C'"},
        {"struct S { long x; }\nstruct T { long y; };",
         "Failed to parse: /models/test.idl:2:1: expected ';' before 'struct'"},
        {"const long X = ;", "Failed to parse: /models/test.idl:1:16: expected '-', '+', '~', "
                             "literal, identifier or '(' before ';'"},
        // A long list names the keywords by one word.
        {"struct S { long x;\n", "Failed to parse: /models/test.idl:2:1: expected keyword, "
                                 "identifier or '}' before end of input"},
        // Inside a word only keywords could go on: the word as a whole is reported.
        {"module M {\n  strukt S { long x; };\n};",
         "Failed to parse: /models/test.idl:2:3: expected 'struct' or '}' before 'strukt'"},
        {"bitset B {\n  bitfeld<2> f;\n};",
         "Failed to parse: /models/test.idl:2:3: expected 'bitfield' or '}' before 'bitfeld'"},
        // A word written like a keyword but for case is named.
        {"struct S {\n  sequence<String<3>> x;\n};",
         "Failed to parse: /models/test.idl:2:18: expected ',' or '>' before '<'; did you mean "
         "'string' instead of 'String'?"},
        {"module M {\n  Union U switch (long) { case 1: long a; };\n};",
         "Failed to parse: /models/test.idl:2:3: expected keyword or '}' before 'Union'; did you "
         "mean 'union'?"},
        // A type the parse took for a name: the word before it is named, where it stands.
        {"struct S {\n  unsinged short a, b;\n};",
         "Failed to parse: /models/test.idl:2:3: 'unsinged' is not a type; did you mean "
         "'unsigned'?"},
        {"struct S { sequence<unsinged long> q; };",
         "Failed to parse: /models/test.idl:1:21: 'unsinged' is not a type; did you mean "
         "'unsigned'?"},
        {"struct S { long long int n; };",
         "Failed to parse: /models/test.idl:1:12: 'long long int' is not an IDL type; did you "
         "mean 'long long'?"},
        {"struct S { shrot x y; };",
         "Failed to parse: /models/test.idl:1:20: expected '[', ',' or ';' before 'y'"},
        {"struct S { long byte };",
         "Failed to parse: /models/test.idl:1:22: expected '[', ',' or ';' before '}'"},
        // A comment that never ends is named where it starts, outside literals only.
        {"const string C = \"/*\";\nstruct S { long a; /* x\n long b; };",
         "Failed to parse: /models/test.idl:2:20: unterminated comment"},
        {"struct S { ::A::B x; :A y; };",
         "Failed to parse: /models/test.idl:1:23: expected ':' before 'A'"},
        // After a leading '::' only a name can follow (no third ':').
        {"struct B { long x; };\nstruct D : ::\\B { };",
         "Failed to parse: /models/test.idl:2:14: expected identifier before '\\'"},
        {"struct S {\n  @\n  long x;\n};",
         "Failed to parse: /models/test.idl:2:4: expected identifier before end of line"},
        // Known constructs of the full language are named.
        {"interface I { void f(); };",
         "Failed to parse: /models/test.idl:1:1: unsupported: interface declarations"},
        {"module M {\n  local interface I { };\n};",
         "Failed to parse: /models/test.idl:2:3: unsupported: interface declarations"},
        {"exception E { long code; };",
         "Failed to parse: /models/test.idl:1:1: unsupported: exception declarations"},
        // An unterminated string names the line where it starts.
        {"const string S = \"abc;\nstruct T { long y; };\n",
         "Failed to parse: /models/test.idl:1:18: unterminated string literal"},
        // An annotation on a line of its own that does not close is reported on its line.
        {"struct S {\n  @range(min = 1\n  long x;\n};",
         "Failed to parse: /models/test.idl:2:17: expected '*', '/', '%', '+', '-', '>>', '<<', "
         "'&', '^', '|', ',' or ')' before 'long'"},
        {"@final\nnative N;", "Failed to parse: /models/test.idl:1:7: expected '(' or keyword "
                              "before 'native'"},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.idl);
        log_capture logs;
        EXPECT_FALSE(translate(r.idl).ok);
        const std::vector<std::string> messages = logs.messages(GLOG_ERROR);
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(r.message, messages[0]);
    }
}

TEST(IdlTranslate, ParseErrorLineFollowsTheFileRecords) {
    // A second file record starting at line 3 of the text, scanned from counter 3, line 1.
    const std::string text = "struct A {};\n\nstruct B { long x y; };\n";
    idl_source src = source_of(text);
    src.files.push_back({"/models/other.idl", 14, 1, 3});
    xmltree *types = xmltree_new("types");
    log_capture logs;
    EXPECT_FALSE(idl_translate(src, types));
    xmltree_free(types);
    EXPECT_TRUE(logs.has(GLOG_ERROR, "Failed to parse: /models/other.idl:1:19: expected '[', ',' "
                                     "or ';' before 'y'"));
}

TEST(IdlTranslate, CustomAnnotationIsIgnoredWithAWarning) {
    log_capture logs;
    const outcome result =
        translate("@annotation Range { long min default 0; };\nmodule M { @annotation X { }; };");
    EXPECT_TRUE(result.ok);
    EXPECT_EQ("module(name=M)", result.tree);
    EXPECT_EQ((std::vector<std::string>{"Custom annotation 'Range' will be ignored",
                                        "Custom annotation 'X' will be ignored"}),
              logs.messages(GLOG_WARN));
}

TEST(IdlTranslate, EmptyTextGivesNoDeclarations) {
    const row rows[] = {{"", ""}, {"  \n\t\r\n", ""}};
    check_rows(rows);
}

//=== helpers ===//

TEST(IdlNode, XmlTextCheck) {
    struct text_row {
        std::string_view text;
        bool ok;
    };
    const text_row rows[] = {
        {"plain", true},
        {"tab\tlf\ncr\r", true},
        {std::string_view("nul\0", 4), false},
        {"\x1f", false},
        {"\x7f", true},
        {"caf\xC3\xA9", true},
        {"\xE2\x82\xAC \xF0\x9F\x98\x80", true},
        {"\xC0\xAF", false},         // overlong
        {"\xE0\x80\xAF", false},     // overlong
        {"\xED\xA0\x80", false},     // surrogate
        {"\xEF\xBF\xBE", false},     // U+FFFE
        {"\xF4\x90\x80\x80", false}, // beyond U+10FFFF
        {"\xC3", false},             // cut short
        {"\x80", false},             // stray continuation
    };
    for (const text_row &r : rows) {
        EXPECT_EQ(r.ok, idl_xml_text_ok(r.text)) << testing::PrintToString(std::string(r.text));
    }
}

TEST(IdlNode, BlankStripping) {
    EXPECT_EQ("-1", idl_blank_stripped(" - 1 \n"));
    EXPECT_EQ("x", idl_blank_stripped("\" x \""));
    EXPECT_EQ("\tx\r", idl_blank_stripped("\tx\r@"));
    EXPECT_EQ("' '", idl_blank_stripped_outside_literals("' '"));
    EXPECT_EQ("L\"a b\"+'\\''", idl_blank_stripped_outside_literals("L\"a b\" + '\\''"));
}

TEST(IdlNode, PlaceOfAPositionMapsThroughFileRecords) {
    idl_source src = source_of("a\nb\nc\nd\n");
    src.files.push_back({"/inc.idl", 4, 1, 3});
    EXPECT_STREQ(test_path, idl_place_of(src, 0).path);
    EXPECT_EQ(2u, idl_place_of(src, 2).line);
    EXPECT_STREQ("/inc.idl", idl_place_of(src, 6).path);
    EXPECT_EQ(2u, idl_place_of(src, 6).line);
    src.files.clear();
    EXPECT_STREQ(test_path, idl_place_of(src, 6).path);
}

TEST(IdlNode, CaretTextCutsLongLines) {
    const std::string text = std::string(1000, 'a') + "X" + std::string(1000, 'b') + "\n";
    const idl_source src = source_of(text);
    const idl_caret caret = idl_caret_text(src, 1000, 1000);
    EXPECT_LT(caret.line.size(), 200u);
    ASSERT_LE(caret.marks.size(), caret.line.size());
    EXPECT_EQ('X', caret.line[caret.marks.size() - 1]);
    EXPECT_EQ('^', caret.marks.back());
    EXPECT_EQ(std::string::npos, caret.marks.find_first_not_of(" ^"));
}

TEST(IdlNode, CaretLineShowsTheErrorLineOnly) {
    struct caret_row {
        const char *text;
        unsigned long long pos;
        unsigned long long column;
        const char *line;
        const char *marks;
    };
    const caret_row rows[] = {
        {"first\nsec ond\nthird", 10, 4, "sec ond", "    ^"},
        {"a\tb\r\nnext", 2, 2, "a\tb", " \t^"},
        {"ab\x01"
         "cd",
         4, 4, "ab?cd", "    ^"},
        {"end", 3, 3, "end", "   ^"},
        {"", 0, 0, "", "^"},
        {"short", 99, 99, "short", "     ^"},
    };
    for (const caret_row &r : rows) {
        SCOPED_TRACE(r.text);
        const idl_caret caret = idl_caret_text(source_of(r.text), r.pos, r.column);
        EXPECT_EQ(r.line, caret.line);
        EXPECT_EQ(r.marks, caret.marks);
    }
}

TEST(IdlNode, AdjacentStringLiteralsJoin) {
    struct row {
        const char *in;
        const char *out;
    };
    const row rows[] = {
        {R"("a" "b")", R"("ab")"},
        {"\"first\" \"\\n\"\n\t\"second\"", R"("first\nsecond")"},
        {R"(L"a" "b")", R"(L"ab")"},
        {R"("a" L"b")", R"(L"ab")"},
        {R"("a\"" "b")", R"("a\"b")"},
        {R"("" "")", R"("")"},
        // Anything else stays as written: one literal, operators or names between them.
        {R"("a")", R"("a")"},
        {R"("a" + "b")", R"("a" + "b")"},
        {R"("a" x "b")", R"("a" x "b")"},
        {R"('"' "b")", R"('"' "b")"},
        {R"("a" "b)", R"("a" "b)"},
        {"L", "L"},
        {"", ""},
    };
    for (const row &r : rows) {
        SCOPED_TRACE(r.in);
        EXPECT_EQ(r.out, idl_joined_literals(r.in));
    }
}
