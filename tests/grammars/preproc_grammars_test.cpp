// Tests of the four preprocessor grammars: the node shapes the preprocessor reads from them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "grammars/directive_parser.hpp"
#include "grammars/idlcleaner_parser.hpp"
#include "grammars/ifexpr_parser.hpp"
#include "grammars/non_directive_parser.hpp"
#include "peg/ast.hpp"
#include "peg/fa.hpp"
#include "peg/input.hpp"
#include "peg/parser.hpp"
#include "support/tree_text.hpp"

namespace {

struct grammar {
    parser *(*make)();
    const char *const *names;
    std::uint64_t name_count;
};

const grammar cleaner{idlcleaner_parser_new, idlcleaner_type_strings, idlcleaner_type_count};
const grammar directive{directive_parser_new, directive_type_strings, directive_type_count};
const grammar text_items{non_directive_parser_new, non_directive_type_strings,
                         non_directive_type_count};
const grammar condition{ifexpr_parser_new, ifexpr_type_strings, ifexpr_type_count};

struct row {
    const char *in;
    const char *tree; // "error" stands for any parse-error node
};

std::string parse_text(const grammar &g, const std::string &text) {
    parser *p = g.make();
    EXPECT_NE(p, nullptr);
    if (!p)
        return "<no parser>";
    input in;
    input_init(&in, text.data(), text.size());
    ast *root = parse(p, &in);
    std::string r = tree_text(root, g.names, g.name_count, text);
    ast_recursive_delete(root);
    parser_delete(p);
    return r;
}

void check_rows(const grammar &g, const std::vector<row> &rows) {
    for (const row &r : rows) {
        SCOPED_TRACE(r.in);
        std::string got = parse_text(g, r.in);
        if (std::string(r.tree) == "error")
            EXPECT_EQ(got.rfind("(error ", 0), 0u) << got;
        else
            EXPECT_EQ(got, r.tree);
    }
}

// Parses one item after another, as the macro expander does, until the end of the text.
std::string items(const std::string &text) {
    parser *p = non_directive_parser_new();
    EXPECT_NE(p, nullptr);
    if (!p)
        return "<no parser>";
    input in;
    input_init(&in, text.data(), text.size());
    std::string out;
    for (int guard = 0; guard < 100; ++guard) {
        std::uint64_t before = in.pos;
        ast *item = parse(p, &in);
        if (!out.empty())
            out += " | ";
        out += tree_text(item, non_directive_type_strings, non_directive_type_count, text) + "@" +
               std::to_string(in.pos);
        ast_recursive_delete(item);
        if (in.pos >= text.size() || in.pos == before)
            break;
    }
    parser_delete(p);
    return out;
}

TEST(PreprocGrammars, AutomatonCountsAndEndChecks) {
    struct count_row {
        parser *(*make)();
        std::uint64_t automata;
        bool eof_check;
    };
    const count_row rows[] = {
        {idlcleaner_parser_new, idlcleaner_automaton_count, true},
        {directive_parser_new, directive_automaton_count, true},
        {non_directive_parser_new, non_directive_automaton_count, false},
        {ifexpr_parser_new, ifexpr_automaton_count, true},
    };
    for (const count_row &r : rows) {
        parser *p = r.make();
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(p->automaton_count, r.automata);
        EXPECT_EQ(p->eof_check, r.eof_check);
        EXPECT_EQ(p->start, 0u);
        parser_delete(p);
    }
    // The node types the preprocessor dispatches on keep their numbers.
    EXPECT_EQ(IDLCLEANER_MULTI_COMMENT_END, 9u);
    EXPECT_EQ(DIRECTIVE_UNDEFINEGROUP, 19u);
    EXPECT_EQ(DIRECTIVE_UNICODE_ESCAPE, 71u);
    EXPECT_EQ(NON_DIRECTIVE_UNICODE_ESCAPE, 26u);
    EXPECT_EQ(IFEXPR_EXCLAMATIONOPER, 41u);
    EXPECT_EQ(IFEXPR_UNICODE_ESCAPE, 51u);
    EXPECT_EQ(ifexpr_automaton_count, 55u);
}

TEST(CleanerGrammar, SplitsTextIntoPieces) {
    check_rows(
        cleaner,
        {
            {"", "(Cleaner)"},
            {"a b\n", "(Cleaner (Text \"a\") (S \" \") (Text \"b\") (NewLine \"\\n\"))"},
            {"a\r\nb\rc\n\r", "(Cleaner (Text \"a\") (NewLine \"\\r\\n\") (Text \"b\") (NewLine "
                              "\"\\r\") (Text \"c\") (NewLine \"\\n\") (NewLine \"\\r\"))"},
            // An unterminated block comment is text.
            {"a /* b", "(Cleaner (Text \"a\") (S \" \") (Text \"/*\") (S \" \") (Text \"b\"))"},
            {"/* a\n */x", "(Cleaner (MULTI_COMMENT (MULTI_COMMENT_START \"/*\") (NewLine \"\\n\") "
                           "(MULTI_COMMENT_END \"*/\")) (Text \"x\"))"},
            {"/* \\\n */", "(Cleaner (MULTI_COMMENT (MULTI_COMMENT_START \"/*\") (NewLine \"\\n\") "
                           "(MULTI_COMMENT_END \"*/\")))"},
            // Continuation versus backslash text.
            {"a\\ \t\nb", "(Cleaner (Text \"a\") (MultiLine \"\\\\ \\t\\n\") (Text \"b\"))"},
            {"a\\b \\", "(Cleaner (Text \"a\\\\b\") (S \" \") (Text \"\\\\\"))"},
            {"// x \\\ny", "(Cleaner (SINGLE_COMMENT \"// x \") (MultiLine \"\\\\\\n\") (Text "
                           "\"y\"))"},
            // Form feed and vertical tab are text, not blanks.
            {"a\f\vb", "(Cleaner (Text \"a\\x0C\\x0Bb\"))"},
            // Comment marks, tabs and blanks inside literals that close on their line stay text.
            {"u=\"http://h\t x\";//c\n",
             "(Cleaner (Text \"u=\") (StringLiteral \"\\\"http://h\\t x\\\"\") (Text \";\") "
             "(SINGLE_COMMENT \"//c\") (NewLine \"\\n\"))"},
            {"c='/' /*z*/", "(Cleaner (Text \"c=\") (CharLiteral \"'/'\") (S \" \") (MULTI_COMMENT "
                            "(MULTI_COMMENT_START \"/*\") (MULTI_COMMENT_END \"*/\")))"},
            {"\"a\\\"//b\"", "(Cleaner (StringLiteral \"\\\"a\\\\\\\"//b\\\"\"))"},
            // A quote that does not close on its line is an ordinary character.
            {"\"ab //c\n\"", "(Cleaner (Text \"\\\"ab\") (S \" \") (SINGLE_COMMENT \"//c\") "
                             "(NewLine \"\\n\") (Text \"\\\"\"))"},
            {"don't // x", "(Cleaner (Text \"don't\") (S \" \") (SINGLE_COMMENT \"// x\"))"},
        });
}

TEST(DirectiveGrammar, ConditionalDirectives) {
    check_rows(directive, {
                              {"#ifdef X\n", "(IfdefDirective (Identifier \"X\"))"},
                              {"  #  ifndef  Y_1 \t\n", "(IfndefDirective (Identifier \"Y_1\"))"},
                              {"#ifdef X Y\n", "error"},
                              {"#ifdef\n", "error"},
                              {"#if\n", "(IfDirective (Line))"},
                              {"#if defined(A) && B\n", "(IfDirective (Line \"defined(A) && B\"))"},
                              {"#if(A)\r\n", "(IfDirective (Line \"(A)\"))"},
                              {"#if!A\n", "(IfDirective (Line \"!A\"))"},
                              {"#ifx\n", "error"},
                              {"#if1\n", "error"},
                              {"#elif  B\n", "(ElifDirective (Line \"B\"))"},
                              {"#else \n", "(ElseDirective \"#else \\n\")"},
                              {"#endif\n", "(EndifDirective \"#endif\\n\")"},
                              {"#endif X\n", "error"},
                              {"#else if\n", "error"},
                          });
}

TEST(DirectiveGrammar, DefineAndUndefine) {
    check_rows(
        directive,
        {
            {"#define X\n", "(DefineDirective (Identifier \"X\"))"},
            {"#define F()\n", "(DefineDirectiveArg (Identifier \"F\"))"},
            {"#define F(a, b) a##b\n",
             "(DefineDirectiveArg (Identifier \"F\") (Identifier \"a\") (Identifier \"b\") "
             "(ReplacementList (Identifier \"a\") (TokenConcat \"##\") (Identifier \"b\")))"},
            // A blank between the name and '(' makes an object-like macro, as in C.
            {"#define F (a, b) a##b\n",
             "(DefineDirective (Identifier \"F\") (ReplacementList (Extra \"(\") (Identifier "
             "\"a\") "
             "(Extra \", \") (Identifier \"b\") (Extra \") \") (Identifier \"a\") (TokenConcat "
             "\"##\") (Identifier \"b\")))"},
            {"#define SIZE (N)\n", "(DefineDirective (Identifier \"SIZE\") (ReplacementList (Extra "
                                   "\"(\") (Identifier \"N\") (Extra \")\")))"},
            {"#define S(x) # x\n", "(DefineDirectiveArg (Identifier \"S\") (Identifier \"x\") "
                                   "(ReplacementList (Token2String \"# \") (Identifier \"x\")))"},
            // Integer forms are tried first, so 2.5e3 is the numbers 2 and .5e3; both are copied.
            {"#define N 0x1FL+2.5e3\n", "(DefineDirective (Identifier \"N\") (ReplacementList "
                                        "(PPNumber (IntegerLiteral \"0x1F\" "
                                        "(INTEGER_TYPE_SUFFIX \"L\"))) (Extra \"+\") (PPNumber "
                                        "(IntegerLiteral \"2\")) (PPNumber "
                                        "(FloatingPtLiteral \".5\" (EXPONENT \"e3\")))))"},
            {"#define F(a\n", "error"},
            {"#define\n", "error"},
            {"#undef X\n", "(UndefineGroup (Identifier \"X\"))"},
            {"#undef X Y\n", "error"},
            {"#Define X\n", "error"},
        });
}

TEST(DirectiveGrammar, IncludesPragmasAndUnknownDirectives) {
    check_rows(directive, {
                              {"#include \"a/b.idl\"\n", "(IncludeRelativePath \"a/b.idl\")"},
                              {" # include\t\"x.idl\"\n", "(IncludeRelativePath \"x.idl\")"},
                              {"#include\"x.idl\"\n", "(IncludeRelativePath \"x.idl\")"},
                              {"#include \"\"\n", "(IncludeRelativePath)"},
                              {"#include <sys/x.h>\n", "(IncludeAbsolutePath \"sys/x.h\")"},
                              {"#include \"x.idl\" \n", "error"},
                              {"#include <x.h> y\n", "error"},
                              {"#include x.h\n", "error"},
                              {"#pragma once\n", "(PragmaDirective (Line \"once\"))"},
                              {" #  pragma\n", "(PragmaDirective (Line))"},
                              {"#pragmatic\n", "error"},
                              {"#line 3\n", "error"},
                              {"#error x\n", "error"},
                              {"#\n", "error"},
                          });
}

TEST(TextGrammar, OneItemPerParse) {
    struct items_row {
        const char *in;
        const char *items;
    };
    const items_row rows[] = {
        {"", "<empty>@0"},
        {"abc def", "(Identifier \"abc\")@3 | <empty>@4 | (Identifier \"def\")@7"},
        {"(a, (b, c), d)",
         "(Func (FuncArg (Identifier \"a\")) (FuncArg (Func (FuncArg (Identifier \"b\")) (FuncArg "
         "(Identifier \"c\")))) (FuncArg (Identifier \"d\")))@14"},
        {"()", "(Func \"()\")@2"},
        {"( \n)", "(Func \"( \\n)\")@4"},
        {"(,)", "(Func (FuncArg) (FuncArg))@3"},
        // A group may be followed by more of the same argument.
        {"((a) + b)", "(Func (FuncArg (Func (FuncArg (Identifier \"a\"))) (FuncExtraToken \" + \") "
                      "(Identifier \"b\")))@9"},
        {"  (x)", "(Func (FuncArg (Identifier \"x\")))@5"},
        {"= (x)", "<empty>@1 | (Func (FuncArg (Identifier \"x\")))@5"},
        {"1x", "<empty>@1 | (Identifier \"x\")@2"},
        {"x1", "(Identifier \"x1\")@2"},
        {"a\n1+b", "(Identifier \"a\")@1 | <empty>@4 | (Identifier \"b\")@5"},
        // Literals are items of their own; nothing inside them is looked at.
        {"\"abc\"", "(StringLiteral \"\\\"abc\\\"\")@5"},
        {"\"a\\\"b\" c", "(StringLiteral \"\\\"a\\\\\\\"b\\\"\")@6 | <empty>@7 | (Identifier "
                         "\"c\")@8"},
        {"'('", "(CharLiteral \"'('\")@3"},
        {"(\"a,b)\", ')')",
         "(Func (FuncArg (StringLiteral \"\\\"a,b)\\\"\")) (FuncArg (CharLiteral \"')'\")))@13"},
        {"\"ab\n", "<empty>@1 | (Identifier \"ab\")@3 | <empty>@4"},
    };
    for (const items_row &r : rows) {
        SCOPED_TRACE(r.in);
        EXPECT_EQ(items(r.in), r.items);
    }
}

TEST(ConditionGrammar, PrecedenceAndAssociativity) {
    check_rows(
        condition,
        {
            {"A || B && C", "(LogicalOrExpr (Identifier \"A\") (OrOper \" || \") (LogicalAndExpr "
                            "(Identifier \"B\") (AndOper \" && \") (Identifier \"C\")))"},
            {"1 - 2 - 3",
             "(AdditiveExpr (IntegerLiteral \"1\") (MinusOper \" - \") (IntegerLiteral "
             "\"2\") (MinusOper \" - \") (IntegerLiteral \"3\"))"},
            {"a <= b", "(RelationalExpr (Identifier \"a\") (LessOrEqualOper \" <= \") (Identifier "
                       "\"b\"))"},
            {"a < b", "(RelationalExpr (Identifier \"a\") (LessOper \" < \") (Identifier \"b\"))"},
            {"a << b", "(ShiftExpr (Identifier \"a\") (LShiftOper \" << \") (Identifier \"b\"))"},
            {"a|b^c&d", "(OrExpr (Identifier \"a\") (BitOrOper \"|\") (XorExpr (Identifier \"b\") "
                        "(BitXorOper \"^\") (AndExpr (Identifier \"c\") (BitAndOper \"&\") "
                        "(Identifier \"d\"))))"},
            {"1+2*3 != 7",
             "(EqualityExpr (AdditiveExpr (IntegerLiteral \"1\") (PlusOper \"+\") "
             "(MultiplicativeExpr (IntegerLiteral \"2\") (MultOper \"*\") "
             "(IntegerLiteral \"3\"))) (NotEqualOper \" != \") (IntegerLiteral \"7\"))"},
            {"( A )", "(Identifier \"A\")"},
            {"", "error"},
            {"A B", "error"},
        });
}

TEST(ConditionGrammar, PrefixOperatorsNest) {
    check_rows(
        condition,
        {
            {"!!X", "(UnaryExpr (ExclamationOper \"!\") (UnaryExpr (ExclamationOper \"!\") "
                    "(Identifier \"X\")))"},
            {"- -1", "(UnaryExpr (MinusOper \"- \") (UnaryExpr (MinusOper \"-\") (IntegerLiteral "
                     "\"1\")))"},
            {"!defined X", "(UnaryExpr (ExclamationOper \"!\") (UnaryExpr (UnaryDefOper "
                           "\"defined\") (Identifier \"X\")))"},
            {"!defined(X)", "(UnaryExpr (ExclamationOper \"!\") (UnaryExpr (UnaryDefOper "
                            "\"defined\") (Identifier \"X\")))"},
            {"-(-1)", "(UnaryExpr (MinusOper \"-\") (UnaryExpr (MinusOper \"-\") (IntegerLiteral "
                      "\"1\")))"},
            {"defined ( X )", "(UnaryExpr (UnaryDefOper \"defined\") (Identifier \"X\"))"},
            {"~+1", "(UnaryExpr (TildeOper \"~\") (UnaryExpr (PlusOper \"+\") (IntegerLiteral "
                    "\"1\")))"},
            // defined still takes only a name or a parenthesised name.
            {"defined", "(Identifier \"defined\")"},
            {"defined (1)", "error"},
            {"definedX", "(Identifier \"definedX\")"},
        });
}

TEST(ConditionGrammar, LiteralsAndEscapes) {
    check_rows(condition,
               {
                   {"true", "(Identifier \"true\")"},
                   {"1.0", "(FloatingPtLiteral \"1.0\")"},
                   {"1e3", "(FloatingPtLiteral \"1\" (EXPONENT \"e3\"))"},
                   {"1f", "(FloatingPtLiteral \"1\" (FLOAT_TYPE_SUFFIX \"f\"))"},
                   {"1L", "(IntegerLiteral (INTEGER_TYPE_SUFFIX \"L\"))"},
                   {"0x1f", "(IntegerLiteral \"0x1f\")"},
                   {"017", "(IntegerLiteral \"017\")"},
                   {"08", "error"},
                   {"'a'", "(CharacterLiteral \"a\")"},
                   {"'\\x41'", "(CharacterLiteral (HEX_ESCAPE \"41\"))"},
                   {"'\\101'", "(CharacterLiteral (OCTAL_ESCAPE \"101\"))"},
                   {"'\\n'", "(CharacterLiteral (CONTROL_ESCAPE \"n\"))"},
                   {"'\\u00e9'", "(CharacterLiteral (UNICODE_ESCAPE \"u00e9\"))"},
                   {"\"a\\tb\"", "(StringLiteral \"\\\"a\" (CONTROL_ESCAPE \"t\") \"b\\\"\")"},
                   {"'ab'", "error"},
               });
}

} // namespace
