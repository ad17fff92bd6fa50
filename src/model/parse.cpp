// The parse entry: a preprocessed text parsed with the IDL grammar, and its parse errors told as
// the user needs them (what was expected, where, with the source line and a caret).
#include "model/parse.hpp"

#include "base/diag.hpp"
#include "base/glog.hpp"
#include "base/linkedlist.hpp"
#include "base/owned.hpp"
#include "base/suggest.hpp"
#include "grammars/idl_parser.hpp"
#include "model/source.hpp"
#include "peg/ast.hpp"
#include "peg/input.hpp"
#include "peg/parser.hpp"
#include "preproc/preproc.hpp"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace {

// Bytes of a source line shown before and after the error column.
constexpr unsigned long long caret_before = 120;
constexpr unsigned long long caret_after = 60;

// Node types collected at a failure position, at most: room for every rule of the grammar.
constexpr std::uint64_t max_expected = 256;
static_assert(idl_type_count <= max_expected);

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_word_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// How an expected node type is named to the user; null for types that say nothing useful
// (white space, inner parts of literals, rules above the tokens).
std::string expected_label(std::uint64_t type) {
    static constexpr const char *punctuation[] = {
        "';'", "':'", "'='", "'|'", "'^'", "'&'", "'>>'", "'<<'", "'+'", "'-'", "'*'", "'/'",
        "'%'", "'~'", "','", "'{'", "'}'", "'('", "')'",  "'['",  "']'", "'<'", "'>'"};
    if (type >= IDL_SEMICOLON && type <= IDL_RIGHT_ANG_BRACKET) {
        return punctuation[type - IDL_SEMICOLON];
    }
    if (type >= IDL_KW_MODULE && type <= IDL_KW_UINT64) {
        // KW_STRUCT is 'struct'; the '@' of '@annotation' belongs to the keyword.
        std::string word = idl_type_strings[type] + 3;
        for (char &c : word) {
            c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
        }
        return "'" + std::string(type == IDL_KW_ANNOTATION ? "@" : "") + word + "'";
    }
    switch (type) {
    case IDL_IDENTIFIER:
    case IDL_ID:
    case IDL_SCOPED_NAME:
        return "identifier";
    case IDL_INTEGER_LITERAL:
    case IDL_FLOATING_PT_LITERAL:
    case IDL_FIXED_PT_LITERAL:
    case IDL_CHARACTER_LITERAL:
    case IDL_WIDE_CHARACTER_LITERAL:
    case IDL_BOOLEAN_LITERAL:
    case IDL_STRING_LITERAL:
    case IDL_WIDE_STRING_LITERAL:
        return "literal";
    case IDL_ANNOTATION_APPL:
        return "annotation";
    default:
        return {};
    }
}

// Declarations of the full language that have no place in a data model, by their first word.
struct unsupported_word {
    std::string_view word;
    const char *what;
};

constexpr unsupported_word unsupported_words[] = {
    {"interface", "interface declarations"},
    {"local", "interface declarations"},
    {"abstract", "interface declarations"},
    {"exception", "exception declarations"},
    {"valuetype", "value types"},
    {"eventtype", "value types"},
    {"custom", "value types"},
    {"component", "component declarations"},
    {"home", "component declarations"},
    {"porttype", "component declarations"},
    {"connector", "component declarations"},
    {"import", "import declarations"},
    {"typeid", "typeid declarations"},
    {"typeprefix", "typeprefix declarations"},
};

// A place in the preprocessed text with the engine's line count (CR, LF and CR LF each end
// a line) and a column from 1.
struct text_place {
    std::uint64_t pos;
    std::uint64_t line;
    unsigned long column;
};

// The place of pos, given the engine's place of a later position.
text_place place_before(std::string_view text, std::uint64_t pos, const text_place &later) {
    std::uint64_t line = later.line;
    for (std::uint64_t i = pos; i < later.pos && i < text.size(); ++i) {
        if (text[i] == '\r' || (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))) {
            --line;
        }
    }
    std::uint64_t begin = pos;
    while (begin > 0 && text[begin - 1] != '\n' && text[begin - 1] != '\r') {
        --begin;
    }
    return {pos, line, static_cast<unsigned long>(pos - begin + 1)};
}

// The token that starts at pos, as the message names it.
std::string token_at(std::string_view text, std::uint64_t pos) {
    if (pos >= text.size()) {
        return "end of input";
    }
    std::uint64_t end = pos + 1;
    if (is_word_char(text[pos])) {
        while (end < text.size() && end - pos < 64 && is_word_char(text[end])) {
            ++end;
        }
    }
    const auto c = static_cast<unsigned char>(text[pos]);
    if (c == '\n' || c == '\r') {
        return "end of line";
    }
    if (end == pos + 1 && (c < 0x20 || c >= 0x7F)) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02x", c);
        return std::string("byte ") + hex;
    }
    return "'" + std::string(text.substr(pos, end - pos)) + "'";
}

// Start of the string literal that is still open at pos, or npos.
std::uint64_t open_string_start(std::string_view text, std::uint64_t pos) {
    std::uint64_t start = std::string_view::npos;
    char quote = 0;
    for (std::uint64_t i = 0; i < pos && i < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            if (c == '\\') {
                ++i;
            } else if (c == quote) {
                quote = 0;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
            start = i;
        }
    }
    return quote == '"' ? start : std::string_view::npos;
}

// The keyword that word differs from only in case ("" when none): IDL refuses such a name, and
// the parse usually fails right at it or after it (`Sequence<long> s;`).
std::string colliding_keyword(std::string_view word) {
    for (std::uint64_t type = IDL_KW_MODULE; type <= IDL_KW_UINT64; ++type) {
        const std::string keyword = expected_label(type);
        const std::string_view letters = std::string_view(keyword).substr(1, keyword.size() - 2);
        if (letters[0] != '@' && suggest_case_variant(word, letters)) {
            return std::string(letters);
        }
    }
    return {};
}

// Start of the first comment opening outside literals before or at pos, or npos. The cleaner
// removes every comment that ends, so one still in the text never closes, and the parse fails
// at it or in the text it would have hidden.
std::uint64_t open_comment_start(std::string_view text, std::uint64_t pos) {
    char quote = 0;
    for (std::uint64_t i = 0; i <= pos && i + 1 < text.size(); ++i) {
        const char c = text[i];
        if (quote != 0) {
            if (c == '\\') {
                ++i;
            } else if (c == quote || c == '\n') {
                quote = 0;
            }
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '/' && text[i + 1] == '*') {
            return i;
        }
    }
    return std::string_view::npos;
}

// A word of a declaration: an identifier or a scoped name, as a span of the text.
struct word_span {
    std::uint64_t begin;
    std::uint64_t end;
};

// The words that stand right before pos apart by blanks only, the nearest first; at most
// max_words of them.
std::vector<word_span> words_before(std::string_view text, std::uint64_t pos,
                                    std::size_t max_words) {
    std::vector<word_span> words;
    std::uint64_t end = std::min<std::uint64_t>(pos, text.size());
    while (words.size() < max_words) {
        while (end > 0 && is_blank(text[end - 1])) {
            --end;
        }
        std::uint64_t begin = end;
        while (begin > 0 && (is_word_char(text[begin - 1]) || text[begin - 1] == ':')) {
            --begin;
        }
        if (begin == end) {
            break;
        }
        words.push_back({begin, end});
        end = begin;
    }
    return words;
}

bool is_type_keyword(std::string_view word) {
    const std::span<const std::string_view> keywords = suggest_type_keywords();
    return std::find(keywords.begin(), keywords.end(), word) != keywords.end();
}

// A type written as C or C++ writes it, or a misspelt type keyword, that the parse took for a
// type and its name (`unsigned int x;`, `unsinged long id;`) and then failed after: the message
// that names it, with *begin set to where it starts; empty when the words before pos are none
// of these.
std::string type_hint(std::string_view text, std::uint64_t pos, std::uint64_t *begin) {
    // The failure stands where a member's name or a template's '<' would follow its type.
    if (pos >= text.size() || !(is_word_char(text[pos]) || text[pos] == '<')) {
        return {};
    }
    const std::vector<word_span> words = words_before(text, pos, 4);
    const auto text_of = [text](const word_span &w) {
        return text.substr(w.begin, w.end - w.begin);
    };
    std::string phrase;
    for (std::size_t n = words.size(); n > 0; --n) {
        phrase.clear();
        for (std::size_t i = n; i > 0; --i) {
            phrase.append(text_of(words[i - 1])).append(i > 1 ? " " : "");
        }
        const std::string_view idl = suggest_idl_type(phrase);
        if (!idl.empty()) {
            *begin = words[n - 1].begin;
            return std::string("'").append(phrase).append("' is not an IDL type") +
                   suggest_did_you_mean(idl);
        }
    }
    // Of two words in a row, one a type keyword and the other a near miss of one: the misspelt
    // word made the parse take the keyword for a name (`unsinged long id;`), or stopped it
    // before the keyword (`sequence<unsinged long>`).
    std::uint64_t stop = pos;
    while (stop < text.size() && is_word_char(text[stop])) {
        ++stop;
    }
    const word_span none{0, 0};
    const word_span last = words.empty() ? none : words[0];
    const word_span pairs[][2] = {{words.size() >= 2 ? words[1] : none, last}, {last, {pos, stop}}};
    for (const word_span(&pair)[2] : pairs) {
        const std::string_view first = text_of(pair[0]);
        const std::string_view second = text_of(pair[1]);
        if (first.empty() || second.empty() || is_type_keyword(first) == is_type_keyword(second)) {
            continue;
        }
        const bool first_wrong = is_type_keyword(second);
        const std::string_view wrong = first_wrong ? first : second;
        const std::string_view kw = suggest_nearest(wrong, suggest_type_keywords());
        if (!kw.empty()) {
            *begin = first_wrong ? pair[0].begin : pair[1].begin;
            return std::string("'").append(wrong).append("' is not a type") +
                   suggest_did_you_mean(kw);
        }
    }
    return {};
}

// The word that ends at end (after blanks), or the one that starts at it.
std::string_view word_near(std::string_view text, std::uint64_t at, bool before) {
    std::uint64_t end = std::min<std::uint64_t>(at, text.size());
    if (before) {
        while (end > 0 && is_blank(text[end - 1])) {
            --end;
        }
        std::uint64_t begin = end;
        while (begin > 0 && is_word_char(text[begin - 1])) {
            --begin;
        }
        return text.substr(begin, end - begin);
    }
    std::uint64_t stop = end;
    while (stop < text.size() && is_word_char(text[stop])) {
        ++stop;
    }
    return text.substr(end, stop - end);
}

// True for the label of a keyword ('struct', '@annotation').
bool is_keyword_label(const std::string &label) {
    return label.size() > 2 && label[0] == '\'' &&
           ((label[1] >= 'a' && label[1] <= 'z') || label[1] == '@');
}

// The labels of what the grammar expected at pos, each once, in the order first met. Labels
// that cannot stand right after a letter or digit are left out there; the keywords among them
// (begun by the word before pos) go to partial when it is given.
std::vector<std::string> expected_at(const parser *grammar, std::string_view text,
                                     std::uint64_t pos, std::vector<std::string> *partial) {
    std::uint64_t types[max_expected];
    input in{};
    input_init(&in, text.data(), text.size());
    const std::uint64_t n = parse_expected(grammar, &in, pos, types, max_expected);
    const bool after_word = pos > 0 && pos <= text.size() && is_word_char(text[pos - 1]);
    std::vector<std::string> labels;
    bool annotation = false;
    for (std::uint64_t i = 0; i < n; ++i) {
        std::string label = expected_label(types[i]);
        if (types[i] == IDL_SCOPED_NAME && pos > 0 && pos <= text.size() && text[pos - 1] == ':') {
            label = "':'"; // the second colon of a leading '::'
        }
        if (after_word && partial != nullptr && is_keyword_label(label) &&
            std::find(partial->begin(), partial->end(), label) == partial->end()) {
            partial->push_back(label); // a keyword whose letters ran out here
        }
        if (label.empty() || (after_word && (label == "identifier" || label == "literal" ||
                                             is_keyword_label(label)))) {
            continue;
        }
        if (label == "annotation") {
            annotation = true; // named only when nothing else is
            continue;
        }
        if (std::find(labels.begin(), labels.end(), label) == labels.end()) {
            labels.push_back(label);
        }
    }
    if (labels.empty() && annotation) {
        labels.emplace_back("annotation");
    }
    return labels;
}

std::string joined_labels(std::vector<std::string> labels) {
    // A long list is mostly the keywords that may start a type or a declaration: one word
    // stands for them.
    constexpr std::size_t max_listed = 8;
    if (labels.size() > max_listed) {
        const auto keyword = [](const std::string &l) { return is_keyword_label(l); };
        const auto first = std::find_if(labels.begin(), labels.end(), keyword);
        if (first != labels.end()) {
            *first = "keyword";
            labels.erase(std::remove_if(first + 1, labels.end(), keyword), labels.end());
        }
    }
    std::string out;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (i > 0) {
            out += i + 1 == labels.size() ? " or " : ", ";
        }
        out += labels[i];
    }
    return out;
}

void report_parse_error(const idl_source &src, const ast_error &error) {
    const std::string_view text = src.text;
    const text_place farthest{error.pos, error.line, 0};
    text_place at = place_before(text, error.pos, farthest);
    std::string detail;
    owned<parser, parser_delete> grammar{idl_parser_new()};
    std::vector<std::string> labels;
    const std::uint64_t open = open_string_start(text, error.pos);
    const std::uint64_t comment = open_comment_start(text, error.pos);
    std::uint64_t type_begin = 0;
    std::string type_message;
    if (comment != std::string_view::npos && (open == std::string_view::npos || comment < open)) {
        at = place_before(text, comment, farthest);
        detail = "unterminated comment";
    } else if (error.pos >= text.size() && open != std::string_view::npos) {
        // A string that never closes runs to the end of the input: name where it starts.
        at = place_before(text, open, farthest);
        detail = "unterminated string literal";
    } else if (type_message = type_hint(text, error.pos, &type_begin); !type_message.empty()) {
        at = place_before(text, type_begin, farthest);
        detail = std::move(type_message);
    } else {
        std::vector<std::string> partial;
        if (grammar) {
            labels = expected_at(grammar.get(), text, error.pos, &partial);
        }
        // Right after a letter or digit only a keyword could have gone on: the word as a
        // whole is wrong.
        const bool in_word =
            error.pos > 0 && error.pos <= text.size() && is_word_char(text[error.pos - 1]);
        if (labels.empty() && in_word) {
            std::uint64_t begin = error.pos;
            while (begin > 0 && is_word_char(text[begin - 1])) {
                --begin;
            }
            at = place_before(text, begin, farthest);
            // The keywords the word began are what was most likely meant: they stand for the
            // keywords expected at the word; the other tokens expected there follow.
            labels = partial;
            if (grammar) {
                for (std::string &label : expected_at(grammar.get(), text, begin, nullptr)) {
                    if ((partial.empty() || !is_keyword_label(label)) &&
                        std::find(labels.begin(), labels.end(), label) == labels.end()) {
                        labels.push_back(std::move(label));
                    }
                }
            }
        }
        const std::string token = token_at(text, at.pos);
        std::string_view word = text.substr(std::min<std::uint64_t>(at.pos, text.size()));
        std::size_t len = 0;
        while (len < word.size() && is_word_char(word[len])) {
            ++len;
        }
        word = word.substr(0, len);
        for (const unsupported_word &u : unsupported_words) {
            if (u.word == word) {
                detail = std::string("unsupported: ") + u.what;
            }
        }
        if (detail.empty()) {
            detail = labels.empty() ? "unexpected " + token
                                    : "expected " + joined_labels(labels) + " before " + token;
            for (const bool before : {false, true}) {
                const std::string_view near = word_near(text, at.pos, before);
                const std::string keyword = colliding_keyword(near);
                if (!keyword.empty()) {
                    // The token named is that word, or the word before it is named.
                    detail += before ? "; did you mean '" + keyword + "' instead of '" +
                                           std::string(near) + "'?"
                                     : suggest_did_you_mean(keyword);
                    break;
                }
            }
        }
        // A failure at the first token of a line, right after an annotation that stands on
        // a line of its own, belongs to that annotation's line.
        std::uint64_t prev = at.pos;
        while (prev > 0 && is_blank(text[prev - 1])) {
            --prev;
        }
        const bool line_break_between =
            text.substr(prev, at.pos - prev).find_first_of("\r\n") != std::string_view::npos;
        if (line_break_between && prev > 0) {
            std::uint64_t line_start = prev;
            while (line_start > 0 && text[line_start - 1] != '\n' && text[line_start - 1] != '\r') {
                --line_start;
            }
            while (line_start < prev && (text[line_start] == ' ' || text[line_start] == '\t')) {
                ++line_start;
            }
            if (text[line_start] == '@' && text.substr(line_start, 11) != "@annotation") {
                at = place_before(text, prev, farthest);
            }
        }
    }
    const idl_place place = idl_place_of_line(src, at.pos, at.line);
    const idl_caret caret = idl_caret_text(src, at.pos, at.column - 1);
    diagnostic d;
    d.summary = "Failed to parse";
    d.file = place.path;
    d.line = place.line;
    d.column = at.column;
    d.column_in_record = true;
    d.detail = detail;
    d.excerpt = caret.line;
    d.caret = static_cast<unsigned long>(caret.marks.size() - 1);
    diag_report(d);
}

} // namespace

idl_caret idl_caret_text(const idl_source &src, unsigned long long pos, unsigned long long column) {
    const std::string_view text = src.text;
    if (pos > text.size()) {
        pos = text.size();
    }
    unsigned long long begin = pos;
    while (begin > 0 && text[begin - 1] != '\n' && text[begin - 1] != '\r') {
        --begin;
    }
    unsigned long long end = pos;
    while (end < text.size() && text[end] != '\n' && text[end] != '\r') {
        ++end;
    }
    // The column counts characters from the line start; keep the caret under the error byte.
    const unsigned long long at = pos - begin < column ? pos - begin : column;
    const unsigned long long from = at > caret_before ? begin + at - caret_before : begin;
    const unsigned long long to = end - pos > caret_after ? pos + caret_after : end;
    idl_caret caret;
    for (unsigned long long i = from; i < to; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        // Control bytes would garble the record; show them as '?'.
        const char shown = c == '\t' ? '\t' : (c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
        caret.line.push_back(shown);
        if (i < pos) {
            caret.marks.push_back(shown == '\t' ? '\t' : ' ');
        }
    }
    caret.marks.push_back('^');
    return caret;
}

idl_source idl_source_of(const preproc_root &state, const char *fallback_path) {
    idl_source src;
    if (state.output.data != nullptr) {
        src.text = std::string_view(state.output.data, state.output.len);
    }
    src.fallback_path = fallback_path == nullptr ? "" : fallback_path;
    if (state.files != nullptr) {
        for (const pn_linkedlist_node *n = state.files->head; n != nullptr; n = n->next) {
            const auto *file = static_cast<const preproc_file *>(n->element);
            if (file == nullptr) {
                continue;
            }
            src.files.push_back(
                {file->path == nullptr ? src.fallback_path : file->path,
                 static_cast<std::uint64_t>(file->text_offset < 0 ? 0 : file->text_offset),
                 file->first_line, file->start_line});
        }
    }
    if (state.pragmas != nullptr) {
        for (const pn_linkedlist_node *n = state.pragmas->head; n != nullptr; n = n->next) {
            const auto *pragma = static_cast<const preproc_pragma *>(n->element);
            if (pragma == nullptr || pragma->text == nullptr) {
                continue;
            }
            src.pragmas.push_back({pragma->text,
                                   pragma->path == nullptr ? src.fallback_path : pragma->path,
                                   static_cast<unsigned long>(pragma->line),
                                   static_cast<unsigned long>(pragma->column), pragma->offset});
        }
    }
    return src;
}

ast *idl_parse_source(const idl_source &src) {
    owned<ast, ast_recursive_delete> tree;
    {
        owned<parser, parser_delete> grammar{idl_parser_new()};
        if (!grammar) {
            return nullptr; // the grammar constructor has logged
        }
        input in{};
        input_init(&in, src.text.data(), src.text.size());
        tree.reset(parse(grammar.get(), &in));
        // The tree does not refer to the grammar, which goes before the walk adds elements.
    }
    if (const ast_error *error = ast_as_error(tree.get())) {
        // An aborted parse (out of memory) has been reported by the engine, once.
        if (error->type != AST_ERROR_ABORTED)
            report_parse_error(src, *error);
        return nullptr;
    }
    return tree.release();
}
