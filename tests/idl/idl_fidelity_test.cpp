// Translator tests for what must not change meaning on the way to XML: pragma keys, canonical
// annotation values, parameters that would set type attributes, bounds inside sequences.
#include "base/diag.hpp"
#include "base/glog.hpp"
#include "idl/idl_anno.hpp"
#include "idl/idl_node.hpp"
#include "idl/idl_pragma.hpp"
#include "idl/idl_translate.hpp"
#include "support/log_capture.hpp"
#include "xml/xmltree.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

namespace {

constexpr const char test_path[] = "/models/keys.idl";

// Compact text of an element and its subtree: tag(a=v,b=w)[child child].
void render(const xmltree *element, std::string *out) {
    *out += element->name;
    if (element->attr != nullptr && element->attr[0] != nullptr) {
        *out += '(';
        for (std::size_t i = 0; element->attr[i] != nullptr; i += 2) {
            *out += i != 0 ? "," : "";
            *out += std::string(element->attr[i]) + "=" + element->attr[i + 1];
        }
        *out += ')';
    }
    if (element->child != nullptr) {
        *out += '[';
        for (const xmltree *c = element->child; c != nullptr; c = c->ordered) {
            *out += c != element->child ? " " : "";
            render(c, out);
        }
        *out += ']';
    }
}

struct outcome {
    bool ok;
    std::string tree;              // children of `types`, rendered
    std::vector<std::string> logs; // every record, "<letter> <message>"
};

// Translates text in which each line starting with '%' is a key pragma ("%keylist T id"): the
// line is blanked, as the preprocessor leaves it, and recorded with its place.
outcome translate(std::string text, diag_level miss = DIAG_WARNING) {
    idl_source src;
    src.fallback_path = test_path;
    src.files.push_back({test_path, 0, 1, 1});
    src.pragma_miss_level = miss;
    std::size_t start = 0;
    unsigned long line = 1;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end;
        if (text[start] == '%') {
            src.pragmas.push_back({text.substr(start + 1, end - start - 1), test_path, line, 9,
                                   static_cast<std::uint64_t>(start)});
            text.replace(start, end - start, end - start, ' ');
        }
        start = end + 1;
        ++line;
    }
    src.text = text;
    log_capture logs;
    xmltree *types = xmltree_new("types");
    outcome result{idl_translate(src, types), {}, {}};
    for (const xmltree *c = types->child; c != nullptr; c = c->ordered) {
        result.tree += c != types->child ? " " : "";
        render(c, &result.tree);
    }
    xmltree_free(types);
    result.logs = logs.lines();
    return result;
}

struct row {
    const char *idl;
    const char *tree;
    std::vector<std::string> logs;
};

template <std::size_t N> void check_rows(const row (&rows)[N]) {
    for (const row &r : rows) {
        SCOPED_TRACE(r.idl);
        const outcome result = translate(r.idl);
        EXPECT_TRUE(result.ok);
        EXPECT_EQ(r.tree, result.tree);
        EXPECT_EQ(r.logs, result.logs);
    }
}

} // namespace

//=== pragma keys ===//

TEST(PragmaKeys, MarkMembersAsAKeyAnnotationWould) {
    const row rows[] = {
        {"struct T { long id; @id(3) long b; };\n%keylist T id b\n",
         "struct(name=T)[member(key=true,name=id,type=int32) "
         "member(key=true,id=3,name=b,type=int32)]",
         {}},
        {"module M {\nstruct T { long id; long x; };\n%keylist T id\n};\n",
         "module(name=M)[struct(name=T)[member(key=true,name=id,type=int32) "
         "member(name=x,type=int32)]]",
         {}},
        // Keys apart by commas; several declarators of one member each have their own key.
        {"struct T { long a, b, c; };\n%keylist T a,c\n",
         "struct(name=T)[member(key=true,name=a,type=int32) member(name=b,type=int32) "
         "member(key=true,name=c,type=int32)]",
         {}},
        // An explicit annotation after the pragma's key replaces its value in place.
        {"struct T { @key(FALSE) long a; @key long b; };\n%keylist T a b\n",
         "struct(name=T)[member(key=false,name=a,type=int32) member(key=true,name=b,type=int32)]",
         {}},
        // A type without keys: the pragma only names it.
        {"struct T { long a; };\n%keylist T\n", "struct(name=T)[member(name=a,type=int32)]", {}},
        {"module M { struct T { long a; long b; }; };\n%DCPS_DATA_TYPE \"M::T\"\n"
         "%DCPS_DATA_KEY \"M::T b\"\n",
         "module(name=M)[struct(name=T)[member(name=a,type=int32) "
         "member(key=true,name=b,type=int32)]]",
         {}},
        // A union is no keyed type, and its branches never get a key.
        {"union U switch (long) { case 1: long a; };\n%keylist U a\n",
         "union(name=U)[discriminator(type=int32) case[caseDiscriminator(value=1) "
         "member(name=a,type=int32)]]",
         {"W Key pragma names an unknown type: /models/keys.idl:2: 'U'"}},
    };
    check_rows(rows);
}

TEST(PragmaKeys, TypeIsLookedUpFromThePragmasModule) {
    const row rows[] = {
        // Inside M, `T` is M::T, not the T at the top level.
        {"struct T { long a; };\nmodule M {\nstruct T { long a; };\n%keylist T a\n};\n",
         "struct(name=T)[member(name=a,type=int32)] "
         "module(name=M)[struct(name=T)[member(key=true,name=a,type=int32)]]",
         {}},
        // Outside M, `T` is the top-level one; `M::T` and `::M::T` the inner one.
        {"module M {\nstruct T { long a; };\n};\nstruct T { long a; long b; };\n%keylist T b\n"
         "%keylist ::M::T a\n",
         "module(name=M)[struct(name=T)[member(key=true,name=a,type=int32)]] "
         "struct(name=T)[member(name=a,type=int32) member(key=true,name=b,type=int32)]",
         {}},
        // From M::N, `N::S` is found through the enclosing M; a reopened module is one scope.
        {"module M { module N { struct S { long k; }; }; };\nmodule M {\nmodule N { };\n"
         "%keylist N::S k\n};\n",
         "module(name=M)[module(name=N)[struct(name=S)[member(key=true,name=k,type=int32)]]] "
         "module(name=M)[module(name=N)]",
         {}},
        // The first identifier decides: inside M, `N` is M::N, which holds no S.
        {"module N { struct S { long k; }; };\nmodule M {\nmodule N { };\n%keylist N::S k\n};\n",
         "module(name=N)[struct(name=S)[member(name=k,type=int32)]] "
         "module(name=M)[module(name=N)]",
         {"W Key pragma names an unknown type: /models/keys.idl:4: 'N::S'"}},
        // A pragma after the module's closing brace stands at the top level again, also when
        // it comes before the semicolon.
        {"module M {\nstruct T { long a; };\n};\n%keylist T a\n",
         "module(name=M)[struct(name=T)[member(name=a,type=int32)]]",
         {"W Key pragma names an unknown type: /models/keys.idl:4: 'T'"}},
        {"module M {\nstruct T { long a; };\n}\n%keylist T a\n;\nstruct T { long a; };\n",
         "module(name=M)[struct(name=T)[member(name=a,type=int32)]] "
         "struct(name=T)[member(key=true,name=a,type=int32)]",
         {}},
        {"module M {\nstruct T { long a; };\n%keylist T a\n}\n;\nstruct T { long a; };\n",
         "module(name=M)[struct(name=T)[member(key=true,name=a,type=int32)]] "
         "struct(name=T)[member(name=a,type=int32)]",
         {}},
        // A type declared in a typedef is found by its name.
        {"typedef struct S { long k; } A;\n%keylist S k\n",
         "struct(name=S)[member(key=true,name=k,type=int32)] "
         "typedef(name=A,type=nonBasic,nonBasicTypeName=S)",
         {}},
    };
    check_rows(rows);
}

TEST(PragmaKeys, NestedPathsAndUnknownNamesWarn) {
    const row rows[] = {
        {"struct P { long id; };\nstruct T { P a; long b; };\n%keylist T a.id b\n",
         "struct(name=P)[member(name=id,type=int32)] "
         "struct(name=T)[member(key=true,name=a,nonBasicTypeName=P,type=nonBasic) "
         "member(key=true,name=b,type=int32)]",
         {"W Key pragma names a member inside a member: /models/keys.idl:3: 'a.id' is written "
          "as a key on 'a'"}},
        {"struct T { long a[3]; };\n%DCPS_DATA_KEY \"T a[1]\"\n",
         "struct(name=T)[member(key=true,name=a,type=int32,arrayDimensions=3)]",
         {"W Key pragma names a member inside a member: /models/keys.idl:2: 'a[1]' is written "
          "as a key on 'a'"}},
        {"struct T { long a; };\n%keylist Missing a\n%keylist T nothere a\n",
         "struct(name=T)[member(key=true,name=a,type=int32)]",
         {"W Key pragma names an unknown type: /models/keys.idl:2: 'Missing'",
          "W Key pragma names an unknown member: /models/keys.idl:3: 'nothere' of 'T'"}},
        {"struct T { long a; };\n%keylist\n%DCPS_DATA_KEY \"T\"\n",
         "struct(name=T)[member(name=a,type=int32)]",
         {"W Key pragma names no type: /models/keys.idl:2: 'keylist'",
          "W Key pragma names no member: /models/keys.idl:3: 'DCPS_DATA_KEY \"T\"'"}},
    };
    check_rows(rows);
}

TEST(PragmaKeys, MissesFailTheTranslationAtErrorLevel) {
    const char *const texts[] = {"struct T { long a; };\n%keylist Missing a\n",
                                 "struct T { long a; };\n%keylist T b\n"};
    for (const char *text : texts) {
        SCOPED_TRACE(text);
        const outcome result = translate(text, DIAG_ERROR);
        EXPECT_FALSE(result.ok);
        ASSERT_EQ(1u, result.logs.size());
        EXPECT_EQ('E', result.logs[0][0]);
        EXPECT_NE(std::string::npos, result.logs[0].find("/models/keys.idl:2"));
    }
    const outcome fine = translate("struct T { long a; };\n%keylist T a\n", DIAG_ERROR);
    EXPECT_TRUE(fine.ok);
    EXPECT_TRUE(fine.logs.empty());
}

TEST(PragmaKeys, ReportsCarryTheColumnOfTheName) {
    // A consumer sees the column: the pragma text starts at column 9 in these records.
    struct keep : diag_consumer {
        std::vector<diagnostic> seen;
        void consume(const diagnostic &d) override { seen.push_back(d); }
    } consumer;
    diag_consumer *previous = diag_set_consumer(&consumer);
    const outcome result =
        translate("struct T { long a; };\n%keylist T a x\n%DCPS_DATA_KEY \"Nope a\"\n");
    diag_set_consumer(previous);
    EXPECT_TRUE(result.ok);
    ASSERT_EQ(2u, consumer.seen.size());
    EXPECT_EQ(2u, consumer.seen[0].line);
    EXPECT_EQ(9u + 12u, consumer.seen[0].column);
    EXPECT_EQ("'x' of 'T'", consumer.seen[0].detail);
    EXPECT_EQ(3u, consumer.seen[1].line);
    EXPECT_EQ(9u + 15u, consumer.seen[1].column);
    EXPECT_EQ(DIAG_WARNING, consumer.seen[1].level);
}

TEST(PragmaKeys, SplitsTheThreeForms) {
    struct split_row {
        const char *text;
        const char *type;
        std::vector<std::string> keys;
    };
    const split_row rows[] = {
        {"keylist T id", "T", {"id"}},
        {"keylist  M::T\ta , b,c", "M::T", {"a", "b", "c"}},
        {"keylist", "", {}},
        {"DCPS_DATA_TYPE \"M::T\"", "M::T", {}},
        {"DCPS_DATA_TYPE \"M::T\" extra", "M::T", {}},
        {"DCPS_DATA_KEY \"M::T a.b\"", "M::T", {"a.b"}},
        {"DCPS_DATA_KEY M::T k", "M::T", {"k"}},
        {"DCPS_DATA_KEY \"M::T k", "M::T", {"k"}},
        {"once", "", {}},
    };
    for (const split_row &r : rows) {
        SCOPED_TRACE(r.text);
        const idl_pragma_parts parts = idl_pragma_split(r.text);
        EXPECT_EQ(r.type, parts.type);
        EXPECT_EQ(r.keys, std::vector<std::string>(parts.keys.begin(), parts.keys.end()));
        ASSERT_EQ(parts.keys.size(), parts.keys_at.size());
        for (std::size_t k = 0; k < parts.keys.size(); ++k) {
            EXPECT_EQ(parts.keys[k],
                      std::string_view(r.text).substr(parts.keys_at[k], parts.keys[k].size()));
        }
        if (!parts.type.empty()) {
            EXPECT_EQ(parts.type,
                      std::string_view(r.text).substr(parts.type_at, parts.type.size()));
        }
    }
}

//=== annotation values ===//

TEST(AnnotationValues, BooleansAndExtensibilityAreCanonical) {
    const row rows[] = {
        {"@extensibility(FINAL) struct A { @key(FALSE) long a; @optional(True) long b; "
         "@external(tRuE) long c; };",
         "struct(extensibility=final,name=A)[member(key=false,name=a,type=int32) "
         "member(optional=true,name=b,type=int32) member(external=true,name=c,type=int32)]",
         {}},
        {"@extensibility(Mutable) @nested(FALSE) struct B {}; @extensibility(APPENDABLE) "
         "struct C {};",
         "struct(extensibility=mutable,nested=false,name=B) "
         "struct(extensibility=appendable,name=C)",
         {}},
        {"struct D { @must_understand(TRUE) long a; @key(1) long b; @key(yes) long c; "
         "@unit(\"TRUE\") long d; @foo(key=FALSE) long e; };",
         "struct(name=D)[member(must_understand=true,name=a,type=int32) "
         "member(key=1,name=b,type=int32) member(key=yes,name=c,type=int32) "
         "member(unit=TRUE,name=d,type=int32) member(key=false,name=e,type=int32)]",
         {}},
        {"@extensibility(OTHER) enum E { @value(FALSE) A };",
         "enum(extensibility=OTHER,name=E)[enumerator(value=FALSE,name=A)]",
         {}},
    };
    check_rows(rows);
}

TEST(AnnotationValues, NamedValueParameterIsThePositionalForm) {
    const row rows[] = {
        {"struct S { @id(value=5) long a; @id(5) long b; @key(value=TRUE) long c; };",
         "struct(name=S)[member(id=5,name=a,type=int32) member(id=5,name=b,type=int32) "
         "member(key=true,name=c,type=int32)]",
         {}},
        {"@bit_bound(value=16) enum E { @value(value = 3) A }; @bit_bound(value=8) bitmask F "
         "{ @position(value=3) X };",
         "enum(bit_bound=16,name=E)[enumerator(value=3,name=A)] "
         "bitmask(bit_bound=8,name=F)[bit_value(position=3,name=X)]",
         {}},
        // Custom annotations and other parameters keep the named rule.
        {"struct S { @foo(value=3) long a; @range(min=1, max=9) long b; @id(other=2) long c; };",
         "struct(name=S)[member(value=3,name=a,type=int32) member(min=1,max=9,name=b,type=int32) "
         "member(other=2,name=c,type=int32)]",
         {}},
    };
    check_rows(rows);
}

TEST(AnnotationValues, TypeAttributesAreNeverSetByAnnotations) {
    const row rows[] = {
        {"struct S {\n  @foo(sequenceMaxLength=5) long a; };",
         "struct(name=S)[member(name=a,type=int32)]",
         {"W Annotation parameter dropped: /models/keys.idl:2: 'sequenceMaxLength' of @foo "
          "would set a type attribute"}},
        {"@name(X) @baseType(B) struct S { @type(string) @foo(stringMaxLength=3, "
         "arrayDimensions=2, nonBasicTypeName=T, bar=1) long a; };",
         "struct(name=S)[member(bar=1,name=a,type=int32)]",
         {"W Annotation parameter dropped: /models/keys.idl:1: 'name' of @name would set a type "
          "attribute",
          "W Annotation parameter dropped: /models/keys.idl:1: 'baseType' of @baseType would set "
          "a type attribute",
          "W Annotation parameter dropped: /models/keys.idl:1: 'type' of @type would set a type "
          "attribute",
          "W Annotation parameter dropped: /models/keys.idl:1: 'stringMaxLength' of @foo would "
          "set a type attribute",
          "W Annotation parameter dropped: /models/keys.idl:1: 'arrayDimensions' of @foo would "
          "set a type attribute",
          "W Annotation parameter dropped: /models/keys.idl:1: 'nonBasicTypeName' of @foo would "
          "set a type attribute"}},
    };
    check_rows(rows);
    EXPECT_FALSE(idl_anno_is_type_attribute("Name"));
    EXPECT_FALSE(idl_anno_is_type_attribute("key"));
}

TEST(AnnotationValues, DroppedBuiltInAnnotationsAreNamed) {
    const row rows[] = {
        {"struct S { @hashid long a;\n@must_understand long b; };\n"
         "enum E { @default_literal A };",
         "struct(name=S)[member(name=a,type=int32) member(name=b,type=int32)] "
         "enum(name=E)[enumerator(name=A)]",
         {"W Annotation dropped: /models/keys.idl:1: @hashid has no DDS-XML attribute",
          "W Annotation dropped: /models/keys.idl:2: @must_understand has no DDS-XML attribute",
          "W Annotation dropped: /models/keys.idl:3: @default_literal has no DDS-XML attribute"}},
        // Annotations of no meaning to a type stay silent, as do the ones that have attributes.
        {"@topic @Key @custom struct S { @key long a; };",
         "struct(name=S)[member(key=true,name=a,type=int32)]",
         {}},
    };
    check_rows(rows);
}

//=== sequences ===//

TEST(SequenceBounds, StringBoundInsideASequenceIsKept) {
    const row rows[] = {
        {"struct S { sequence<string<8>, 3> names; sequence<wstring<4> > w; "
         "sequence<string> u; };",
         "struct(name=S)[member(name=names,type=string,stringMaxLength=8,sequenceMaxLength=3) "
         "member(name=w,type=wstring,stringMaxLength=4,sequenceMaxLength=-1) "
         "member(name=u,type=string,sequenceMaxLength=-1)]",
         {}},
        {"typedef sequence<string<N>, 3> Names; typedef sequence<@external string<2> > L[4];",
         "typedef(name=Names,type=string,stringMaxLength=N,sequenceMaxLength=3) "
         "typedef(name=L,external=true,type=string,stringMaxLength=2,sequenceMaxLength=-1,"
         "arrayDimensions=4)",
         {}},
        {"union U switch (long) { case 1: sequence<string<5>, 2> a; };",
         "union(name=U)[discriminator(type=int32) case[caseDiscriminator(value=1) "
         "member(name=a,type=string,stringMaxLength=5,sequenceMaxLength=2)]]",
         {}},
    };
    check_rows(rows);
}

TEST(SequenceBounds, AnonymousSequenceOfSequencesFails) {
    const char *const texts[] = {
        "struct S {\n  sequence<sequence<long, 2>, 3> grid; };",
        "struct S {\n  long a; sequence<@external sequence<P> > b; };",
        "typedef\n sequence<sequence<sequence<long> >, 3> G;",
        "union U switch (long) {\n case 1: sequence<sequence<long> > a; };",
    };
    for (const char *text : texts) {
        SCOPED_TRACE(text);
        const outcome result = translate(text);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ((std::vector<std::string>{
                      "E Anonymous sequence of sequences has no DDS-XML form: "
                      "/models/keys.idl:2: declare the inner sequence with a typedef and use "
                      "its name",
                      "E Failed to generate XML"}),
                  result.logs);
    }
    const row named[] = {
        {"typedef sequence<long, 2> Row; struct S { sequence<Row, 3> grid; };",
         "typedef(name=Row,type=int32,sequenceMaxLength=2) "
         "struct(name=S)[member(name=grid,nonBasicTypeName=Row,type=nonBasic,"
         "sequenceMaxLength=3)]",
         {}},
    };
    check_rows(named);
}

TEST(PragmaKeys, ManyKeysAndDeepModulesStayLinear) {
    // Each key is found through an index and each scope is a number: 40,000 keys of one
    // structure and a pragma 3,000 modules deep resolve at once rather than in quadratic time.
    constexpr int members = 40000;
    constexpr int depth = 3000;
    std::string text;
    for (int i = 0; i < depth; ++i) {
        text += "module Level" + std::to_string(i) + " {\n";
    }
    text += "struct T {\n";
    std::string keys = "%keylist T";
    for (int i = 0; i < members; ++i) {
        text += "long m" + std::to_string(i) + ";\n";
        keys += " m" + std::to_string(i);
    }
    text += "};\n" + keys + "\n";
    for (int i = 0; i < depth; ++i) {
        text += "};\n";
    }
    const auto started = std::chrono::steady_clock::now();
    idl_source src;
    src.fallback_path = test_path;
    const std::size_t at = text.find('%');
    src.pragmas.push_back({keys.substr(1), test_path, 1, 1, at});
    text.replace(at, keys.size(), keys.size(), ' ');
    src.text = text;
    xmltree *types = xmltree_new("types");
    log_capture logs;
    EXPECT_TRUE(idl_translate(src, types));
    EXPECT_EQ(static_cast<std::size_t>(members), src.pragma_keys.size());
    xmltree_free(types);
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started);
    EXPECT_LT(seconds.count(), 20.0);
    EXPECT_TRUE(logs.empty());
}
