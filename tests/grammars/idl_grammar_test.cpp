// Tree shapes of the IDL grammar: what it accepts, which nodes it keeps and what they span.
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "astdump.hpp"
#include "base/glog.hpp"
#include "base/owned.hpp"
#include "grammars/idl_parser.hpp"
#include "peg/ast.hpp"
#include "peg/fa.hpp"
#include "peg/input.hpp"
#include "peg/parser.hpp"
#include "peg/vector.hpp"
#include "support/log_capture.hpp"
#include "support/tree_text.hpp"

namespace {

// One grammar object serves every parse, as it does in the translator.
const parser *idl() {
    static const owned<parser, parser_delete> grammar{idl_parser_new()};
    return grammar.get();
}

// A parse result together with the text its positions index.
struct parsed {
    std::string text;
    owned<ast, ast_recursive_delete> root;
};

parsed parse_text(std::string_view text) {
    parsed p{std::string(text), nullptr};
    input in{};
    input_init(&in, p.text.data(), p.text.size());
    p.root.reset(parse(idl(), &in));
    return p;
}

std::string render(const parsed &p, const ast *node) {
    return tree_text(node, idl_type_strings, idl_type_count, p.text);
}

// The whole tree (or error) of a text.
std::string dump(std::string_view text) {
    const parsed p = parse_text(text);
    return render(p, p.root.get());
}

bool accepts(std::string_view text) {
    return parse_text(text).root->kind == AST_TREE;
}

// First node of the given type in depth-first, left-to-right order.
const ast *find_first(const ast *node, std::uint64_t type) {
    const ast_tree *t = ast_as_tree(node);
    if (t == nullptr)
        return nullptr;
    if (t->type == type)
        return node;
    for (std::uint64_t i = 0; i < t->children->count; ++i) {
        const ast *hit = find_first(static_cast<const ast *>(vector_get(t->children, i)), type);
        if (hit != nullptr)
            return hit;
    }
    return nullptr;
}

// Renders the first node of `type` in the tree of `text`; the error or "<none>" otherwise.
std::string dump_first(std::string_view text, std::uint64_t type) {
    const parsed p = parse_text(text);
    if (p.root->kind != AST_TREE)
        return render(p, p.root.get());
    const ast *node = find_first(p.root.get(), type);
    return node != nullptr ? render(p, node) : "<none>";
}

// The span of the first node of `type`, as text.
std::string span_of(std::string_view text, std::uint64_t type) {
    const parsed p = parse_text(text);
    const ast_tree *t = ast_as_tree(find_first(p.root.get(), type));
    if (t == nullptr)
        return "<none>";
    return p.text.substr(t->start, t->end - t->start);
}

// The expression node of `const long X = <expr>;`: the third child of the const_dcl.
std::string expr(std::string_view e) {
    const std::string text = "const long X = " + std::string(e) + ";";
    const parsed p = parse_text(text);
    if (p.root->kind != AST_TREE)
        return "<rejected>";
    const ast_tree *dcl = ast_as_tree(find_first(p.root.get(), IDL_CONST_DCL));
    if (dcl == nullptr || dcl->children->count != 3)
        return "<malformed>";
    return render(p, static_cast<const ast *>(vector_get(dcl->children, 2)));
}

// The type_spec node of the one member in `struct S { <member> };`.
std::string member_type(std::string_view member) {
    const std::string text = "struct S { " + std::string(member) + " };";
    const parsed p = parse_text(text);
    if (p.root->kind != AST_TREE)
        return "<rejected>";
    const ast *node = find_first(p.root.get(), IDL_TYPE_SPEC);
    return node != nullptr ? render(p, node) : "<none>";
}

struct shape_row {
    std::string in;
    std::string tree; // expected rendering
};

struct accept_row {
    const char *in;
    bool ok;
};

void check_dumps(const std::vector<shape_row> &rows) {
    for (const shape_row &r : rows) {
        SCOPED_TRACE(r.in);
        EXPECT_EQ(r.tree, dump(r.in));
    }
}

void check_accepts(const std::vector<accept_row> &rows) {
    for (const accept_row &r : rows) {
        SCOPED_TRACE(r.in);
        EXPECT_EQ(r.ok, accepts(r.in));
    }
}

const char *const long_member_x =
    "(member (type_spec (integer_type (signed_long_int \"long \"))) "
    "(declarators (declarator (simple_declarator (identifier \"x\")))))";

} // namespace

//=== the grammar object ===//

TEST(IdlGrammar, NodeTypesFollowTheRuleTable) {
    ASSERT_NE(nullptr, idl());
    EXPECT_EQ(183u, idl_type_count);
    // Spot checks across the table; the translator dispatches on these numbers.
    const struct {
        std::uint64_t type;
        const char *name;
    } rows[] = {
        {IDL_SPECIFICATION, "specification"},
        {IDL_ANNOTATION_APPL, "annotation_appl"},
        {IDL_MODULE_DCL, "module_dcl"},
        {IDL_CONST_EXPR, "const_expr"},
        {IDL_TILDE_OPER, "tilde_oper"},
        {IDL_BOOLEAN_LITERAL, "boolean_literal"},
        {IDL_TYPE_SPEC, "type_spec"},
        {IDL_LONGDOUBLE_POINT, "longdouble_point"},
        {IDL_STRUCT_DEF, "struct_def"},
        {IDL_ENUM_DCL, "enum_dcl"},
        {IDL_IDENTIFIER, "identifier"},
        {IDL_SCOPED_NAME, "scoped_name"},
        {IDL_ID, "ID"},
        {IDL_RIGHT_ANG_BRACKET, "RIGHT_ANG_BRACKET"},
        {IDL_KW_MODULE, "KW_MODULE"},
        {IDL_KW_UINT64, "KW_UINT64"},
        {IDL_UNICODE_ESCAPE, "UNICODE_ESCAPE"},
        {IDL_EOF, "EOF"},
    };
    const std::uint64_t expected_types[] = {0,  7,   10,  20,  40,  49,  52,  69,  89,
                                            99, 108, 109, 111, 134, 135, 171, 179, 182};
    for (std::size_t i = 0; i < std::size(rows); ++i) {
        SCOPED_TRACE(rows[i].name);
        EXPECT_EQ(expected_types[i], rows[i].type);
        EXPECT_STREQ(rows[i].name, idl_type_strings[rows[i].type]);
    }
}

TEST(IdlGrammar, StartsAtSpecificationAndChecksEndOfInput) {
    ASSERT_NE(nullptr, idl());
    EXPECT_EQ(0u, idl()->start);
    EXPECT_TRUE(idl()->eof_check);
    // Named rules first, then one automaton per negative predicate.
    EXPECT_GT(idl()->automaton_count, idl_type_count);
    // A text whose prefix is a full specification is still rejected.
    EXPECT_FALSE(accepts("module M { }; }"));
}

TEST(IdlGrammar, RuleModesAndPredicateAutomata) {
    ASSERT_NE(nullptr, idl());
    const parser *g = idl();
    // Every named rule builds nodes of its own type.
    for (std::uint64_t i = 0; i < idl_type_count; ++i) {
        SCOPED_TRACE(idl_type_strings[i]);
        EXPECT_EQ(i, g->automata[i].type);
    }
    // Modes the translator relies on: collapsing rules, kept rules, token rules.
    const struct {
        std::uint64_t type;
        std::int32_t mode;
    } rows[] = {
        {IDL_SPECIFICATION, MODE_TREE},
        {IDL_DEFINITION, MODE_PRUNE},
        {IDL_CONST_EXPR, MODE_PRUNE},
        {IDL_OR_EXPR, MODE_PRUNE},
        {IDL_PRIMARY_EXPR, MODE_PRUNE},
        {IDL_BITOR_OPER, MODE_TREE},
        {IDL_LITERAL, MODE_PRUNE},
        {IDL_FIXED_PT_LITERAL, MODE_TREE},
        {IDL_TYPE_SPEC, MODE_TREE},
        {IDL_SIMPLE_TYPE_SPEC, MODE_PRUNE},
        {IDL_FIXED_ARRAY_SIZE, MODE_PRUNE},
        {IDL_SCOPED_NAME, MODE_TREE},
        {IDL_ID, MODE_PRUNE},
        {IDL_SEMICOLON, MODE_VOID},
        {IDL_KW_ANNOTATION, MODE_VOID},
        {IDL_ESCAPE_SEQUENCE, MODE_PRUNE},
        {IDL_HEX_ESCAPE, MODE_TREE},
        {IDL_WS, MODE_VOID},
        {IDL_EOF, MODE_VOID},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(idl_type_strings[r.type]);
        EXPECT_EQ(r.mode, g->automata[r.type].mode);
    }
    // After the named rules only negative predicates of type 0: four guards in literals and
    // base clauses (two in a string literal's pieces), the boolean-literal guard and one per
    // keyword.
    EXPECT_EQ(idl_type_count + 5 + 37, g->automaton_count);
    for (std::uint64_t i = idl_type_count; i < g->automaton_count; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(MODE_NOT, g->automata[i].mode);
        EXPECT_EQ(0u, g->automata[i].type);
    }
}

//=== white space and the file ===//

TEST(IdlGrammar, EmptyAndBlankFilesGiveAChildlessSpecification) {
    check_dumps({
        {"", "(specification)"},
        {" \t\r\n\n", "(specification \" \\t\\r\\n\\n\")"},
    });
}

TEST(IdlGrammar, OnlyTabLineEndsAndSpaceAreWhiteSpace) {
    check_accepts({
        {"\n\nmodule\tM\r\n{\n}\n;\n", true},
        {"module M {\f};", false},
        {"module M {\v};", false},
        {"// note\nmodule M {};", false},
        {"/* note */ module M {};", false},
        {"#pragma keylist S id\nmodule M {};", false},
    });
}

TEST(IdlGrammar, ModulesEndWithSemicolonAndNest) {
    check_dumps({
        {"module M { };", "(specification (module_dcl (identifier \"M\")))"},
        {"module baseIiNnCcLlUuDdEe {};",
         "(specification (module_dcl (identifier \"baseIiNnCcLlUuDdEe\")))"},
        {"module A { module B { }; }; module A { };",
         "(specification (module_dcl (identifier \"A\") (module_dcl (identifier \"B\"))) "
         "(module_dcl (identifier \"A\")))"},
        {"module module { };", "(specification (module_dcl (identifier \"module\")))"},
    });
    check_accepts({{"module M { }", false}, {"module { };", false}, {"module M;", false}});
}

//=== keywords and identifiers ===//

TEST(IdlGrammar, KeywordsAreWholeWords) {
    const shape_row rows[] = {
        {"long2 x;", "(type_spec (scoped_name (identifier \"long2\")))"},
        {"string50 x;", "(type_spec (scoped_name (identifier \"string50\")))"},
        {"int8x x;", "(type_spec (scoped_name (identifier \"int8x\")))"},
        {"struct_2 x;", "(type_spec (scoped_name (identifier \"struct_2\")))"},
        {"long long1;", "(type_spec (integer_type (signed_long_int \"long \")))"},
        {"long double d;", "(type_spec (floating_pt_type (longdouble_point \"long double \")))"},
        {"string<5> string5;", "(type_spec (bounded_string_type (positive_int_const "
                               "(integer_literal \"5\"))))"},
        {"sequence<string1, 2> s;", "(type_spec (bounded_sequence_type (type_spec (scoped_name "
                                    "(identifier \"string1\"))) (positive_int_const "
                                    "(integer_literal \"2\"))))"},
        {"longitude x;", "(type_spec (scoped_name (identifier \"longitude\")))"},
        {"long_t x;", "(type_spec (scoped_name (identifier \"long_t\")))"},
        {"structs x;", "(type_spec (scoped_name (identifier \"structs\")))"},
        {"int8 x;", "(type_spec (integer_type (signed_tiny_int \"int8 \")))"},
        {"int8_t x;", "(type_spec (scoped_name (identifier \"int8_t\")))"},
        {"uint8 x;", "(type_spec (integer_type (unsigned_tiny_int \"uint8 \")))"},
        {"unsigned x;", "(type_spec (scoped_name (identifier \"unsigned\")))"},
        {"fixed x;", "(type_spec (scoped_name (identifier \"fixed\")))"},
        {"stringy x;", "(type_spec (scoped_name (identifier \"stringy\")))"},
    };
    for (const shape_row &r : rows) {
        SCOPED_TRACE(r.in);
        EXPECT_EQ(r.tree, member_type(r.in));
    }
}

TEST(IdlGrammar, KeywordTextIsAcceptedAsAName) {
    check_dumps({
        {"struct S { long string; };",
         "(specification (struct_def (identifier \"S\") (member (type_spec (integer_type "
         "(signed_long_int \"long \"))) (declarators (declarator (simple_declarator "
         "(identifier \"string\")))))))"},
        {"struct struct { struct x; };",
         "(specification (struct_def (identifier \"struct\") (member (type_spec (scoped_name "
         "(identifier \"struct\"))) (declarators (declarator (simple_declarator "
         "(identifier \"x\")))))))"},
    });
}

TEST(IdlGrammar, AnnotationKeywordIncludesTheAt) {
    check_accepts({
        {"@annotation A { };", true},
        {"@ annotation A { };", false},
        {"@annotationX A { };", false},
        {"@annotation\nA{};", true},
    });
}

//=== literals ===//

TEST(IdlGrammar, IntegerLiteralForms) {
    const shape_row rows[] = {
        {"10", "(integer_literal \"10\")"},
        {"0", "(integer_literal \"0\")"},
        {"017", "(integer_literal \"017\")"},
        {"0x1fA", "(integer_literal \"0x1fA\")"},
        {"0X7", "(integer_literal \"0X7\")"},
        {"10L", "(integer_literal (INTEGER_TYPE_SUFFIX \"L\"))"},
        {"0x10l", "(integer_literal (INTEGER_TYPE_SUFFIX \"l\"))"},
        // A lone zero takes no suffix, and octal digits stop at 7.
        {"0L", "<rejected>"},
        {"08", "<rejected>"},
        {"0x", "<rejected>"},
        {"1 0", "<rejected>"},
    };
    for (const shape_row &r : rows) {
        SCOPED_TRACE(r.in);
        EXPECT_EQ(r.tree, expr(r.in));
    }
}

TEST(IdlGrammar, FloatingLiteralsBecomeFixedPointNodes) {
    const shape_row rows[] = {
        {"10.", "(fixed_pt_literal (floating_pt_literal \"10.\"))"},
        {".5", "(fixed_pt_literal (floating_pt_literal \".5\"))"},
        {"1.25", "(fixed_pt_literal (floating_pt_literal \"1.25\"))"},
        {"1e3", "(fixed_pt_literal (floating_pt_literal (EXPONENT \"e3\")))"},
        {"1E-3", "(fixed_pt_literal (floating_pt_literal (EXPONENT \"E3\")))"},
        // The exponent's sign takes blanks on both sides.
        {"1e + 3", "(fixed_pt_literal (floating_pt_literal (EXPONENT \"e3\")))"},
        {"2f", "(fixed_pt_literal (floating_pt_literal (FLOAT_TYPE_SUFFIX \"f\")))"},
        {"3d", "(fixed_pt_literal (floating_pt_literal (FLOAT_TYPE_SUFFIX \"d\")))"},
        {"1.5e2F",
         "(fixed_pt_literal (floating_pt_literal (EXPONENT \"e2\") (FLOAT_TYPE_SUFFIX \"F\")))"},
        {"1e", "<rejected>"},
        {".", "<rejected>"},
        {"1 .5", "<rejected>"},
    };
    for (const shape_row &r : rows) {
        SCOPED_TRACE(r.in);
        EXPECT_EQ(r.tree, expr(r.in));
    }
}

TEST(IdlGrammar, BooleanLiteralNeverEndsInsideAName) {
    const shape_row rows[] = {
        {"TRUE", "(boolean_literal \"TRUE\")"},
        {"false", "(boolean_literal \"false\")"},
        {"tRuE", "(boolean_literal \"tRuE\")"},
        {"TRUE_NORTH", "(scoped_name (identifier \"TRUE_NORTH\"))"},
        {"falsehood", "(scoped_name (identifier \"falsehood\"))"},
        {"Truex", "(scoped_name (identifier \"Truex\"))"},
        {"TRUE1", "(scoped_name (identifier \"TRUE1\"))"},
        {"FALSE_::A", "(scoped_name (identifier \"FALSE_\") (identifier \"A\"))"},
        {"TRUE|FALSE",
         "(or_expr (boolean_literal \"TRUE\") (bitor_oper \"|\") (boolean_literal \"FALSE\"))"},
        {"(true)", "(boolean_literal \"true\")"},
        {"tru", "(scoped_name (identifier \"tru\"))"},
    };
    for (const shape_row &r : rows) {
        SCOPED_TRACE(r.in);
        EXPECT_EQ(r.tree, expr(r.in));
    }
}

TEST(IdlGrammar, CharacterLiteralsAndEscapes) {
    const shape_row rows[] = {
        {"'x'", "(character_literal \"x\")"},
        {"' '", "(character_literal \" \")"},
        {"'\"'", "(character_literal \"\\\"\")"},
        {"'\\n'", "(character_literal (CONTROL_ESCAPE \"n\"))"},
        {"'\\''", "(character_literal (CONTROL_ESCAPE \"'\"))"},
        {"'\\\\'", "(character_literal (CONTROL_ESCAPE \"\\\\\"))"},
        {"'\\?'", "(character_literal (CONTROL_ESCAPE \"?\"))"},
        {"'\\x41'", "(character_literal (HEX_ESCAPE \"41\"))"},
        {"'\\xf'", "(character_literal (HEX_ESCAPE \"f\"))"},
        {"'\\101'", "(character_literal (OCTAL_ESCAPE \"101\"))"},
        {"'\\0'", "(character_literal (OCTAL_ESCAPE \"0\"))"},
        {"'\\77'", "(character_literal (OCTAL_ESCAPE \"77\"))"},
        {"'\\u00e9'", "(character_literal (UNICODE_ESCAPE \"u00e9\"))"},
        {"L'x'", "(wide_character_literal \"L\" (character_literal \"x\"))"},
        // Three octal digits only after 0-3; four hexadecimal digits exactly after \u.
        {"'\\400'", "<rejected>"},
        {"'\\x'", "<rejected>"},
        {"'\\x123'", "<rejected>"},
        {"'\\u12'", "<rejected>"},
        {"'\\q'", "<rejected>"},
        {"''", "<rejected>"},
        {"'''", "<rejected>"},
        {"'ab'", "<rejected>"},
        {"L 'x'", "<rejected>"},
    };
    for (const shape_row &r : rows) {
        SCOPED_TRACE(r.in);
        EXPECT_EQ(r.tree, expr(r.in));
    }
}

TEST(IdlGrammar, StringLiteralsKeepQuotesAndEscapes) {
    const shape_row rows[] = {
        {"\"ab\"", "(string_literal \"\\\"ab\\\"\")"},
        {"\"\"", "(string_literal \"\\\"\\\"\")"},
        {"\"a\\tb\"", "(string_literal \"\\\"a\" (CONTROL_ESCAPE \"t\") \"b\\\"\")"},
        {"\"\\\"\"", "(string_literal \"\\\"\" (CONTROL_ESCAPE \"\\\"\") \"\\\"\")"},
        {"\"a\nb\"", "(string_literal \"\\\"a\\nb\\\"\")"},
        {"\"it's\"", "(string_literal \"\\\"it's\\\"\")"},
        {"L\"w\"", "(wide_string_literal \"L\" (string_literal \"\\\"w\\\"\"))"},
        {"\"a\\qb\"", "<rejected>"},
        {"\"a\" \"b\"", "(string_literal \"\\\"a\\\"\\\"b\\\"\")"},
        {"\"open", "<rejected>"},
    };
    for (const shape_row &r : rows) {
        SCOPED_TRACE(r.in);
        EXPECT_EQ(r.tree, expr(r.in));
    }
}

//=== constant expressions ===//

TEST(IdlGrammar, ExpressionLevelsAreFlatAndCollapse) {
    const shape_row rows[] = {
        {"5", "(integer_literal \"5\")"},
        {"A::B", "(scoped_name (identifier \"A\") (identifier \"B\"))"},
        {"(5)", "(integer_literal \"5\")"},
        {"((A))", "(scoped_name (identifier \"A\"))"},
        {"1 + 2 - 3",
         "(add_expr (integer_literal \"1\") (plus_oper \" + \") (integer_literal \"2\") "
         "(minus_oper \" - \") (integer_literal \"3\"))"},
        {"(1 + 2) * 3", "(mult_expr (add_expr (integer_literal \"1\") (plus_oper \" + \") "
                        "(integer_literal \"2\")) (mult_oper \"* \") (integer_literal \"3\"))"},
        {"8/2%3", "(mult_expr (integer_literal \"8\") (div_oper \"/\") (integer_literal \"2\") "
                  "(mod_oper \"%\") (integer_literal \"3\"))"},
        {"1 << 2 >> 3",
         "(shift_expr (integer_literal \"1\") (lshift_oper \" << \") (integer_literal \"2\") "
         "(rshift_oper \" >> \") (integer_literal \"3\"))"},
        {"A::B + 1",
         "(add_expr (scoped_name (identifier \"A\") (identifier \"B\")) (plus_oper \"+ \") "
         "(integer_literal \"1\"))"},
        {"1 | 2 ^ 3 & 4 << 5 + 6 * -7",
         "(or_expr (integer_literal \"1\") (bitor_oper \" | \") (xor_expr (integer_literal "
         "\"2\") (bitxor_oper \" ^ \") (and_expr (integer_literal \"3\") (bitand_oper \" & \") "
         "(shift_expr (integer_literal \"4\") (lshift_oper \" << \") (add_expr (integer_literal "
         "\"5\") (plus_oper \" + \") (mult_expr (integer_literal \"6\") (mult_oper \" * \") "
         "(unary_expr (minus_oper \"-\") (integer_literal \"7\"))))))))"},
        {"1 - 2 | 3",
         "(or_expr (add_expr (integer_literal \"1\") (minus_oper \" - \") (integer_literal "
         "\"2\")) (bitor_oper \" | \") (integer_literal \"3\"))"},
    };
    for (const shape_row &r : rows) {
        SCOPED_TRACE(r.in);
        EXPECT_EQ(r.tree, expr(r.in));
    }
}

TEST(IdlGrammar, UnaryOperatorsTakeOneOperand) {
    const shape_row rows[] = {
        {"-5", "(unary_expr (minus_oper \"-\") (integer_literal \"5\"))"},
        {"+ 5", "(unary_expr (plus_oper \"+ \") (integer_literal \"5\"))"},
        {"~A", "(unary_expr (tilde_oper \"~\") (scoped_name (identifier \"A\")))"},
        {"-(-5)", "(unary_expr (minus_oper \"-\") (unary_expr (minus_oper \"-\") (integer_literal "
                  "\"5\")))"},
        {"--5", "<rejected>"},
        {"-~5", "<rejected>"},
        {"5 ~ 3", "<rejected>"},
    };
    for (const shape_row &r : rows) {
        SCOPED_TRACE(r.in);
        EXPECT_EQ(r.tree, expr(r.in));
    }
}

TEST(IdlGrammar, NoComparisonOrLogicalOperators) {
    for (const char *e : {"!A", "1 == 1", "1 && 2", "1 || 2", "1 < 2", "1 > 2", "A ? 1 : 2", "1 +",
                          "()", "1 < < 2", "1 > > 2"}) {
        SCOPED_TRACE(e);
        EXPECT_EQ("<rejected>", expr(e));
    }
}

//=== structures and inheritance ===//

TEST(IdlGrammar, StructuresAndForwardDeclarations) {
    check_dumps({
        {"struct S { };", "(specification (struct_def (identifier \"S\")))"},
        {"struct S;", "(specification (struct_forward_dcl (identifier \"S\")))"},
        {"union U;", "(specification (union_forward_dcl (identifier \"U\")))"},
        {"@final @nested(TRUE) struct S { long x; };",
         "(specification (struct_def (annotation_appl (identifier \"final\")) (annotation_appl "
         "(identifier \"nested\") (annotation_appl_params (boolean_literal \"TRUE\"))) "
         "(identifier \"S\") " +
             std::string(long_member_x) + "))"},
        {"struct D : A::B { long x; };",
         "(specification (struct_def (identifier \"D\") (inherit_dcl (scoped_name (identifier "
         "\"A\") (identifier \"B\"))) " +
             std::string(long_member_x) + "))"},
        {"struct D : ::B { };",
         "(specification (struct_def (identifier \"D\") (inherit_dcl (scoped_name \"::\" "
         "(identifier \"B\")))))"},
    });
    check_accepts({
        {"@final struct S;", true},
        {"@final union U;", true},
        {"struct S { }", false},
        {"struct S { long x };", false},
        {"struct D:::B { };", false},
        {"struct D ::: B { };", false},
        {"struct D : A, B { };", false},
        {"struct D : { };", false},
        {"struct S { struct T { long a; } t; };", false},
    });
}

TEST(IdlGrammar, MembersWithSeveralDeclaratorsAndArrays) {
    check_dumps({
        {"struct S { long a, b[2]; };",
         "(specification (struct_def (identifier \"S\") (member (type_spec (integer_type "
         "(signed_long_int \"long \"))) (declarators (declarator (simple_declarator "
         "(identifier \"a\"))) (declarator (array_declarator (identifier \"b\") "
         "(positive_int_const (integer_literal \"2\"))))))))"},
        {"struct S { @key @id(1) long a @unit(\"m\") [N] [2 * N]; };",
         "(specification (struct_def (identifier \"S\") (member (annotation_appl (identifier "
         "\"key\")) (annotation_appl (identifier \"id\") (annotation_appl_params "
         "(integer_literal \"1\"))) (type_spec (integer_type (signed_long_int \"long \"))) "
         "(declarators (declarator (array_declarator (identifier \"a\") (annotation_appl "
         "(identifier \"unit\") (annotation_appl_params (string_literal \"\\\"m\\\"\"))) "
         "(positive_int_const (scoped_name (identifier \"N\"))) (positive_int_const "
         "(mult_expr (integer_literal \"2\") (mult_oper \" * \") (scoped_name (identifier "
         "\"N\"))))))))))"},
    });
    check_accepts({{"struct S { long a[]; };", false},
                   {"struct S { long a,; };", false},
                   {"struct S { long; };", false}});
}

//=== constants ===//

TEST(IdlGrammar, ConstantTypesPreferLongDouble) {
    check_dumps({
        {"const long double D = 1.0;",
         "(specification (const_dcl (const_type (floating_pt_type (longdouble_point \"long "
         "double \"))) (identifier \"D\") (fixed_pt_literal (floating_pt_literal \"1.0\"))))"},
        {"const long long L = 1;",
         "(specification (const_dcl (const_type (integer_type (signed_longlong_int \"long long "
         "\"))) (identifier \"L\") (integer_literal \"1\")))"},
        {"const string<4> S = \"abcd\";",
         "(specification (const_dcl (const_type (bounded_string_type (positive_int_const "
         "(integer_literal \"4\")))) (identifier \"S\") (string_literal \"\\\"abcd\\\"\")))"},
        {"const fixed F = 1.5d;",
         "(specification (const_dcl (const_type (fixed_pt_const_type \"fixed \")) (identifier "
         "\"F\") (fixed_pt_literal (floating_pt_literal (FLOAT_TYPE_SUFFIX \"d\")))))"},
        {"const M::Kind K = M::A;",
         "(specification (const_dcl (const_type (scoped_name (identifier \"M\") (identifier "
         "\"Kind\"))) (identifier \"K\") (scoped_name (identifier \"M\") (identifier "
         "\"A\"))))"},
        {"const wchar W = L'x';",
         "(specification (const_dcl (const_type (wide_char_type \"wchar \")) (identifier \"W\") "
         "(wide_character_literal \"L\" (character_literal \"x\"))))"},
    });
    check_accepts({{"const long X;", false},
                   {"const long X = 1", false},
                   {"const sequence<long> X = 1;", false}});
}

TEST(IdlGrammar, IntegerAndFloatingTypeNames) {
    const shape_row rows[] = {
        {"short a;", "(type_spec (integer_type (signed_short_int \"short \")))"},
        {"int16 a;", "(type_spec (integer_type (signed_short_int \"int16 \")))"},
        {"int32 a;", "(type_spec (integer_type (signed_long_int \"int32 \")))"},
        {"int64 a;", "(type_spec (integer_type (signed_longlong_int \"int64 \")))"},
        {"long  long a;", "(type_spec (integer_type (signed_longlong_int \"long  long \")))"},
        {"unsigned short a;",
         "(type_spec (integer_type (unsigned_short_int \"unsigned short \")))"},
        {"unsigned long a;", "(type_spec (integer_type (unsigned_long_int \"unsigned long \")))"},
        {"unsigned long long a;",
         "(type_spec (integer_type (unsigned_longlong_int \"unsigned long long \")))"},
        {"uint16 a;", "(type_spec (integer_type (unsigned_short_int \"uint16 \")))"},
        {"uint32 a;", "(type_spec (integer_type (unsigned_long_int \"uint32 \")))"},
        {"uint64 a;", "(type_spec (integer_type (unsigned_longlong_int \"uint64 \")))"},
        {"float a;", "(type_spec (floating_pt_type (float_point \"float \")))"},
        {"double a;", "(type_spec (floating_pt_type (double_point \"double \")))"},
        {"long double a;", "(type_spec (floating_pt_type (longdouble_point \"long double \")))"},
        {"char a;", "(type_spec (char_type \"char \"))"},
        {"wchar a;", "(type_spec (wide_char_type \"wchar \"))"},
        {"boolean a;", "(type_spec (boolean_type \"boolean \"))"},
        {"octet a;", "(type_spec (octet_type \"octet \"))"},
        {"unsigned int8 a;", "<rejected>"},
    };
    for (const shape_row &r : rows) {
        SCOPED_TRACE(r.in);
        EXPECT_EQ(r.tree, member_type(r.in));
    }
}

//=== template types ===//

TEST(IdlGrammar, TemplateTypesAndNestedClosers) {
    const shape_row rows[] = {
        {"string s;", "(type_spec (unbounded_string_type \"string \"))"},
        {"string<10> s;",
         "(type_spec (bounded_string_type (positive_int_const (integer_literal \"10\"))))"},
        {"wstring w;", "(type_spec (unbounded_wide_string_type \"wstring \"))"},
        {"wstring<N> w;",
         "(type_spec (bounded_wide_string_type (positive_int_const (scoped_name (identifier "
         "\"N\")))))"},
        {"fixed<5, 2> f;", "(type_spec (fixed_pt_type (positive_int_const (integer_literal \"5\")) "
                           "(positive_int_const (integer_literal \"2\"))))"},
        {"sequence<long> s;",
         "(type_spec (unbounded_sequence_type (type_spec (integer_type (signed_long_int "
         "\"long\")))))"},
        {"sequence<long, 10> s;",
         "(type_spec (bounded_sequence_type (type_spec (integer_type (signed_long_int "
         "\"long\"))) (positive_int_const (integer_literal \"10\"))))"},
        {"sequence<sequence<long>> s;",
         "(type_spec (unbounded_sequence_type (type_spec (unbounded_sequence_type (type_spec "
         "(integer_type (signed_long_int \"long\")))))))"},
        {"sequence<@external T> s;",
         "(type_spec (unbounded_sequence_type (annotation_appl (identifier \"external\")) "
         "(type_spec (scoped_name (identifier \"T\")))))"},
        {"map<string, long, 10> m;",
         "(type_spec (map_type (type_spec (unbounded_string_type \"string\")) (type_spec "
         "(integer_type (signed_long_int \"long\"))) (positive_int_const (integer_literal "
         "\"10\"))))"},
        {"map<K, sequence<V>> m;",
         "(type_spec (map_type (type_spec (scoped_name (identifier \"K\"))) (type_spec "
         "(unbounded_sequence_type (type_spec (scoped_name (identifier \"V\")))))))"},
        // '>>' after a bound closes two lists when the bound read as a shift finds no '>'; the
        // bound is then the expression itself.
        {"sequence<string<5>> name;",
         "(type_spec (unbounded_sequence_type (type_spec (bounded_string_type (integer_literal "
         "\"5\")))))"},
        {"sequence<wstring<N+1>, 4> name;",
         "(type_spec (bounded_sequence_type (type_spec (bounded_wide_string_type "
         "(positive_int_const "
         "(add_expr (scoped_name (identifier \"N\")) (plus_oper \"+\") (integer_literal \"1\"))))) "
         "(positive_int_const (integer_literal \"4\"))))"},
        {"sequence<sequence<long, 2>> s;",
         "(type_spec (unbounded_sequence_type (type_spec (bounded_sequence_type (type_spec "
         "(integer_type (signed_long_int \"long\"))) (integer_literal \"2\")))))"},
        {"string<5>> name;", "<rejected>"},
        {"sequence<string<5> > name;",
         "(type_spec (unbounded_sequence_type (type_spec (bounded_string_type "
         "(positive_int_const (integer_literal \"5\"))))))"},
        {"sequence<sequence<sequence<long, 10>>> s;",
         "(type_spec (unbounded_sequence_type (type_spec (unbounded_sequence_type (type_spec "
         "(bounded_sequence_type (type_spec (integer_type (signed_long_int \"long\"))) "
         "(positive_int_const (integer_literal \"10\"))))))))"},
        {"sequence<> s;", "<rejected>"},
        {"map<long> m;", "<rejected>"},
        {"fixed<5> f;", "<rejected>"},
        {"string<> s;", "<rejected>"},
    };
    for (const shape_row &r : rows) {
        SCOPED_TRACE(r.in);
        EXPECT_EQ(r.tree, member_type(r.in));
    }
    check_accepts({{"typedef sequence<string<5>> S;", true},
                   {"typedef sequence<string<8>>2> S;", false},
                   {"typedef sequence<string<5> > S;", true},
                   {"typedef sequence<sequence<long, 10>, 5> S;", true}});
}

TEST(IdlGrammar, ScopedNames) {
    const shape_row rows[] = {
        {"::A::B x;", "(type_spec (scoped_name \"::\" (identifier \"A\") (identifier \"B\")))"},
        {"A::B::C x;",
         "(type_spec (scoped_name (identifier \"A\") (identifier \"B\") (identifier \"C\")))"},
        {"A :: B x;", "<rejected>"},
        {"A:: B x;", "<rejected>"},
        {"A::B:: x;", "<rejected>"},
        {":A x;", "<rejected>"},
        {"::: A x;", "<rejected>"},
    };
    for (const shape_row &r : rows) {
        SCOPED_TRACE(r.in);
        EXPECT_EQ(r.tree, member_type(r.in));
    }
}

//=== typedefs and native ===//

TEST(IdlGrammar, TypedefsOfArraysAndConstructedTypes) {
    check_dumps({
        {"typedef long Matrix[2][3];",
         "(specification (typedef_dcl (integer_type (signed_long_int \"long \")) (declarators "
         "(declarator (array_declarator (identifier \"Matrix\") (positive_int_const "
         "(integer_literal \"2\")) (positive_int_const (integer_literal \"3\")))))))"},
        {"typedef struct S T;",
         "(specification (typedef_dcl (struct_forward_dcl (identifier \"S\")) (declarators "
         "(declarator (simple_declarator (identifier \"T\"))))))"},
        {"typedef struct S { long x; } T, U;",
         "(specification (typedef_dcl (struct_def (identifier \"S\") " +
             std::string(long_member_x) +
             ") (declarators (declarator (simple_declarator (identifier \"T\"))) (declarator "
             "(simple_declarator (identifier \"U\"))))))"},
        {"typedef sequence<T> Seq;",
         "(specification (typedef_dcl (unbounded_sequence_type (type_spec (scoped_name "
         "(identifier \"T\")))) (declarators (declarator (simple_declarator (identifier "
         "\"Seq\"))))))"},
        {"typedef A::B C;",
         "(specification (typedef_dcl (scoped_name (identifier \"A\") (identifier \"B\")) "
         "(declarators (declarator (simple_declarator (identifier \"C\"))))))"},
        {"native N;", "(specification (native_dcl (simple_declarator (identifier \"N\"))))"},
    });
    check_accepts({{"typedef long;", false},
                   {"@x typedef long T;", true},
                   {"native N[2];", false},
                   {"typedef enum E { A } T;", true}});
}

//=== unions ===//

TEST(IdlGrammar, UnionsWithSeveralAndDefaultLabels) {
    check_dumps({
        {"union U switch (long) { case 1: case 2: long a; default: short b; };",
         "(specification (union_def (identifier \"U\") (switch_type_spec (integer_type "
         "(signed_long_int \"long\"))) (switch_body (case (case_label (integer_literal \"1\")) "
         "(case_label (integer_literal \"2\")) (element_spec (type_spec (integer_type "
         "(signed_long_int \"long \"))) (declarator (simple_declarator (identifier \"a\"))))) "
         "(case (case_label \"default: \") (element_spec (type_spec (integer_type "
         "(signed_short_int \"short \"))) (declarator (simple_declarator (identifier "
         "\"b\"))))))))"},
        {"@final union U switch (E) { case E::A: @key T a[2]; };",
         "(specification (union_def (annotation_appl (identifier \"final\")) (identifier \"U\") "
         "(switch_type_spec (scoped_name (identifier \"E\"))) (switch_body (case (case_label "
         "(scoped_name (identifier \"E\") (identifier \"A\"))) (element_spec (annotation_appl "
         "(identifier \"key\")) (type_spec (scoped_name (identifier \"T\"))) (declarator "
         "(array_declarator (identifier \"a\") (positive_int_const (integer_literal "
         "\"2\")))))))))"},
    });
    check_accepts({
        {"union U switch (char) { case 'a': long x; };", true},
        {"union U switch (unsigned short) { case 1: long x; };", true},
        {"union U switch (long double) { case 1: long x; };", false},
        {"union U switch (long) { };", false},
        {"union U switch (long) { case 1: long x, y; };", false},
        {"union U switch (long) { case 1: long x };", false},
        {"union U switch (long) { case 1 long x; };", false},
        {"union U (long) { case 1: long x; };", false},
    });
}

//=== enumerations, bitmasks and bitsets ===//

TEST(IdlGrammar, EnumerationsAndBitmasks) {
    check_dumps({
        {"enum E { A, B = 5, @value(7) C };",
         "(specification (enum_dcl (identifier \"E\") (enumerator (identifier \"A\")) "
         "(enumerator (identifier \"B\") (positive_int_const (integer_literal \"5\"))) "
         "(enumerator (annotation_appl (identifier \"value\") (annotation_appl_params "
         "(integer_literal \"7\"))) (identifier \"C\"))))"},
        {"@bit_bound(8) bitmask M { A, @position(3) B, };",
         "(specification (bitmask_dcl (annotation_appl (identifier \"bit_bound\") "
         "(annotation_appl_params (integer_literal \"8\"))) (identifier \"M\") (bit_value "
         "(identifier \"A\")) (bit_value (annotation_appl (identifier \"position\") "
         "(annotation_appl_params (integer_literal \"3\"))) (identifier \"B\"))))"},
    });
    check_accepts({
        {"enum E { A, };", false},
        {"enum E { };", false},
        {"enum E;", false},
        {"enum E { A B };", false},
        {"bitmask M { A };", true},
        {"bitmask M { };", false},
        {"bitmask M { A,, };", false},
        {"bitmask M { A = 1 };", false},
    });
}

TEST(IdlGrammar, BitsetNamesStandWithoutCommas) {
    check_dumps({
        {"bitset BS { bitfield<3> a b; bitfield<2, octet>; };",
         "(specification (bitset_dcl (identifier \"BS\") (bitfield (bitfield_spec "
         "(positive_int_const (integer_literal \"3\"))) (identifier \"a\") (identifier \"b\")) "
         "(bitfield (bitfield_spec (positive_int_const (integer_literal \"2\")) "
         "(destination_type (octet_type \"octet\"))))))"},
        {"bitset D : B { };",
         "(specification (bitset_dcl (identifier \"D\") (inherit_dcl (scoped_name (identifier "
         "\"B\")))))"},
    });
    check_accepts({
        {"bitset BS { bitfield<3> a, b; };", false},
        {"bitset BS { bitfield<3, long> a; bitfield<1, boolean> f; };", true},
        {"bitset BS { bitfield<3, string> a; };", false},
        {"bitset BS { bitfield a; };", false},
        {"@x bitset BS { };", true},
        {"bitset BS { @x bitfield<3> a; };", true},
    });
}

//=== annotations ===//

TEST(IdlGrammar, AnnotationApplicationParameters) {
    const shape_row rows[] = {
        {"@key long id;", "(annotation_appl (identifier \"key\"))"},
        {"@range(min = 1, max = 9) long x;",
         "(annotation_appl (identifier \"range\") (annotation_appl_params "
         "(annotation_appl_param (identifier \"min\") (integer_literal \"1\")) "
         "(annotation_appl_param (identifier \"max\") (integer_literal \"9\"))))"},
        {"@id(5) long x;",
         "(annotation_appl (identifier \"id\") (annotation_appl_params (integer_literal "
         "\"5\")))"},
        {"@key(TRUE) long x;",
         "(annotation_appl (identifier \"key\") (annotation_appl_params (boolean_literal "
         "\"TRUE\")))"},
        {"@value(A::B) long x;",
         "(annotation_appl (identifier \"value\") (annotation_appl_params (scoped_name "
         "(identifier \"A\") (identifier \"B\"))))"},
        {"@verbatim(language = \"c\", text = 1 + 2) long x;",
         "(annotation_appl (identifier \"verbatim\") (annotation_appl_params "
         "(annotation_appl_param (identifier \"language\") (string_literal \"\\\"c\\\"\")) "
         "(annotation_appl_param (identifier \"text\") (add_expr (integer_literal \"1\") "
         "(plus_oper \" + \") (integer_literal \"2\")))))"},
        {"@ key long id;", "(error annotation_appl line=1 col=12 pos=12)"},
    };
    for (const shape_row &r : rows) {
        SCOPED_TRACE(r.in);
        EXPECT_EQ(r.tree, dump_first("struct S { " + r.in + " };", IDL_ANNOTATION_APPL));
    }
    check_accepts({
        {"struct S { @name() long x; };", true},
        {"struct S { @A::B long x; };", true},
        {"struct S { @::A::B(1) long x; };", true},
        {"struct S { @A:: B long x; };", false},
        {"struct S { @A::(1) long x; };", false},
        {"struct S { @range(min = 1, 9) long x; };", false},
        {"struct S { @range(min = ) long x; };", false},
        {"struct S { @x(1) @y long x; };", true},
    });
}

TEST(IdlGrammar, AnnotationsOnlyWhereTheLanguageAllowsThem) {
    check_accepts({
        {"@a struct S { @b long x; };", true},
        {"@a union U switch (long) { case 1: @b long x; };", true},
        {"@a enum E { @b A };", true},
        {"@a bitmask M { @b A };", true},
        {"struct S { sequence<@b long, 2> s; };", true},
        {"struct S { long x @b [2]; };", true},
        {"@a module M { };", true},
        {"@a const long X = 1;", true},
        {"@a typedef long T;", true},
        {"@a native N;", false},
        {"@a bitset B { @b bitfield<2> f; };", true},
        {"@a struct F;", true},
        {"union U switch (@key long) { case 1: long x; };", true},
        {"struct S { long @b x; };", false},
        {"struct S { long x @b; };", false},
        {"enum E { A @b };", false},
        {"struct S { long x; @b };", false},
    });
}

TEST(IdlGrammar, AnnotationDeclarations) {
    check_dumps({
        {"@annotation Range { long min default 0; long max; any tag; };",
         "(specification (annotation_dcl (identifier \"Range\") (annotation_body "
         "(annotation_member (annotation_member_type (const_type (integer_type (signed_long_int "
         "\"long \")))) (simple_declarator (identifier \"min\")) (integer_literal \"0\")) "
         "(annotation_member (annotation_member_type (const_type (integer_type (signed_long_int "
         "\"long \")))) (simple_declarator (identifier \"max\"))) (annotation_member "
         "(annotation_member_type (any_const_type \"any \")) (simple_declarator (identifier "
         "\"tag\"))))))"},
        {"@annotation Empty { };",
         "(specification (annotation_dcl (identifier \"Empty\") (annotation_body)))"},
        {"@annotation K { enum Kind { A, B }; const long N = 2; typedef long T; Kind k "
         "default A; };",
         "(specification (annotation_dcl (identifier \"K\") (annotation_body (enum_dcl "
         "(identifier \"Kind\") (enumerator (identifier \"A\")) (enumerator (identifier "
         "\"B\"))) (const_dcl (const_type (integer_type (signed_long_int \"long \"))) "
         "(identifier \"N\") (integer_literal \"2\")) (typedef_dcl (integer_type "
         "(signed_long_int \"long \")) (declarators (declarator (simple_declarator (identifier "
         "\"T\"))))) (annotation_member (annotation_member_type (const_type (scoped_name "
         "(identifier \"Kind\")))) (simple_declarator (identifier \"k\")) (scoped_name "
         "(identifier \"A\"))))))"},
    });
    check_accepts({
        {"@annotation A { }", false},
        {"@annotation A { long x[2]; };", false},
        {"@annotation A { sequence<long> s; };", false},
        {"@annotation A { struct S { }; };", false},
        {"module M { @annotation A { }; };", true},
    });
}

//=== spans and errors ===//

TEST(IdlGrammar, SpansIncludeTrailingBlanksButNamesDoNot) {
    const char *text = "struct  S  :  B  {  long \t x\n ;  T  y ; };  ";
    const struct {
        std::uint64_t type;
        const char *span;
    } rows[] = {
        {IDL_SPECIFICATION, "struct  S  :  B  {  long \t x\n ;  T  y ; };  "},
        {IDL_STRUCT_DEF, "struct  S  :  B  {  long \t x\n ;  T  y ; }"},
        {IDL_IDENTIFIER, "S"},
        {IDL_INHERIT_DCL, ":  B  "},
        {IDL_SCOPED_NAME, "B  "},
        {IDL_MEMBER, "long \t x\n ;  "},
        {IDL_TYPE_SPEC, "long \t "},
        {IDL_DECLARATORS, "x\n "},
        {IDL_SIMPLE_DECLARATOR, "x\n "},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(idl_type_strings[r.type]);
        EXPECT_EQ(r.span, span_of(text, r.type));
    }
}

TEST(IdlGrammar, ErrorsPointAtTheFarthestFailure) {
    check_dumps({
        // The type is that of the automaton whose edge failed first at the farthest position.
        {"module M { }", "(error BLANK line=1 col=12 pos=12)"},
        {"module M {\n  long x;\n};", "(error BLANK line=2 col=2 pos=13)"},
        {"struct S {\n  long2 x\n};", "(error BLANK line=3 col=0 pos=21)"},
        {"const long X = 1;\n\x0c", "(error BLANK line=2 col=0 pos=18)"},
        {"struct S {\r\n  long x;\r\n  long y\r\n};", "(error BLANK line=4 col=0 pos=33)"},
    });
}

//=== size and depth ===//

TEST(IdlGrammar, LargeAndNestedInputs) {
    std::string many = "struct Big {\n";
    for (int i = 0; i < 5000; ++i)
        many += "  sequence<long, 10> m" + std::to_string(i) + ";\n";
    many += "};\n";
    const parsed p = parse_text(many);
    ASSERT_EQ(AST_TREE, p.root->kind);
    const ast_tree *big = ast_as_tree(find_first(p.root.get(), IDL_STRUCT_DEF));
    ASSERT_NE(nullptr, big);
    EXPECT_EQ(5001u, big->children->count);

    std::string nested;
    for (int i = 0; i < 200; ++i)
        nested += "module m" + std::to_string(i) + " { ";
    nested += "struct S { long x; }; ";
    for (int i = 0; i < 200; ++i)
        nested += "}; ";
    EXPECT_TRUE(accepts(nested));
    nested.pop_back();
    nested.pop_back();
    nested.pop_back();
    EXPECT_FALSE(accepts(nested));
}

//=== the debugging dump ===//

TEST(AstDump, PrintsTheTreeOfAText) {
    const std::string text = "struct P { long id; };";
    testing::internal::CaptureStdout();
    const bool ok = astdump_text(ASTDUMP_IDL, text.data(), text.size());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(ok);
    EXPECT_EQ("specification\n"
              "->  struct_def\n"
              "    ->  identifier\n"
              "    ->  member\n"
              "        ->  type_spec\n"
              "            ->  integer_type\n"
              "                ->  signed_long_int\n"
              "        ->  declarators\n"
              "            ->  declarator\n"
              "                ->  simple_declarator\n"
              "                    ->  identifier\n",
              out);
}

TEST(AstDump, ReportsParseErrorsAndBadArguments) {
    log_capture logs;
    const std::string bad = "struct P { long 2d; };";
    testing::internal::CaptureStdout();
    const bool ok = astdump_text(ASTDUMP_IDL, bad.data(), bad.size());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(ok);
    EXPECT_NE(std::string::npos,
              out.find("parse error: failed to match 'BLANK' at line=1, col=16, pos=16"))
        << out;
    EXPECT_TRUE(logs.has(GLOG_ERROR, "astdump: the idl grammar rejected the input"));

    logs.clear();
    EXPECT_EQ(-1, astdump_grammar_from_name("cobol"));
    EXPECT_EQ(1u, logs.count(GLOG_ERROR));
    EXPECT_EQ(ASTDUMP_NON_DIRECTIVE, astdump_grammar_from_name("non_directive"));
    EXPECT_STREQ("ifexpr", astdump_grammar_name(ASTDUMP_IFEXPR));
    EXPECT_EQ(nullptr, astdump_grammar_name(astdump_grammar_count));

    logs.clear();
    EXPECT_FALSE(astdump_file(ASTDUMP_IDL, "/nonexistent/dir/x.idl"));
    EXPECT_TRUE(logs.has_part(GLOG_ERROR, "astdump: cannot open '/nonexistent/dir/x.idl'"));
    EXPECT_FALSE(astdump_text(99, "", 0));

    testing::internal::CaptureStdout();
    const char *const args[] = {"vandrel-astdump", "idl"};
    EXPECT_EQ(2, astdump_main(2, args));
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStdout().find("usage:"));
}

TEST(AstDump, ReadsAFile) {
    char path[] = "/tmp/vandrel_astdump_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::FILE *f = fdopen(fd, "wb");
    ASSERT_NE(nullptr, f);
    std::fputs("module M { };\n", f);
    std::fclose(f);
    testing::internal::CaptureStdout();
    const char *const args[] = {"vandrel-astdump", "idl", path};
    const int status = astdump_main(3, args);
    const std::string out = testing::internal::GetCapturedStdout();
    std::remove(path);
    EXPECT_EQ(0, status);
    EXPECT_EQ("specification\n->  module_dcl\n    ->  identifier\n", out);
}
