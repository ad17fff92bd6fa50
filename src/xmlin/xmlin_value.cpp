// Value kinds of a DDS-XML types document. The expression check follows the IDL grammar's
// constant expressions token by token, so a value it accepts parses wherever IDL wants one.
#include "xmlin/xmlin_value.hpp"

#include <algorithm>
#include <string>

namespace {

bool is_letter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_word(char c) {
    return is_letter(c) || is_digit(c);
}
bool is_hex(char c) {
    return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}
bool is_octal(char c) {
    return c >= '0' && c <= '7';
}
bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Reads the text from a position; every `take_` leaves `at` past what it took, or unchanged
// when it took nothing.
struct scanner {
    std::string_view s;
    std::size_t at = 0;

    char peek(std::size_t ahead = 0) const { return at + ahead < s.size() ? s[at + ahead] : '\0'; }
    void skip_blanks() {
        while (at < s.size() && is_blank(s[at])) {
            ++at;
        }
    }
    std::size_t digits(std::size_t from, bool (*digit)(char)) const {
        std::size_t n = 0;
        while (from + n < s.size() && digit(s[from + n])) {
            ++n;
        }
        return n;
    }

    // An escape after a backslash: control, \uXXXX, \xH[H], octal.
    bool take_escape() {
        if (peek() != '\\') {
            return false;
        }
        const char c = peek(1);
        if (std::string_view("abfnrtv\\'\"?").find(c) != std::string_view::npos && c != '\0') {
            at += 2;
            return true;
        }
        if (c == 'u') {
            if (digits(at + 2, is_hex) < 4) {
                return false;
            }
            at += 6;
            return true;
        }
        if (c == 'x') {
            const std::size_t n = std::min<std::size_t>(digits(at + 2, is_hex), 2);
            if (n == 0) {
                return false;
            }
            at += 2 + n;
            return true;
        }
        if (!is_octal(c)) {
            return false;
        }
        const std::size_t n = digits(at + 1, is_octal);
        at += 1 + (c <= '3' ? std::min<std::size_t>(n, 3) : std::min<std::size_t>(n, 2));
        return true;
    }

    // True when a line break at `from` begins a line whose first character is '#'.
    bool directive_after(std::size_t from) const {
        if (s[from] != '\n' && s[from] != '\r') {
            return false;
        }
        std::size_t i = from + 1;
        while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\n' || s[i] == '\r')) {
            ++i;
        }
        return i < s.size() && s[i] == '#';
    }

    // One quoted item: a character literal ('c', one character or escape) or a string
    // literal ("...", any number).
    bool take_quoted(char quote) {
        const std::size_t start = at;
        if (peek() != quote) {
            return false;
        }
        ++at;
        std::size_t count = 0;
        for (; at < s.size() && s[at] != quote; ++count) {
            if (directive_after(at)) {
                at = start; // a line of the literal would be read as a preprocessor directive
                return false;
            }
            if (s[at] != '\\') {
                ++at;
            } else if (!take_escape()) {
                at = start;
                return false;
            }
        }
        if (at >= s.size() || (quote == '\'' && count != 1)) {
            at = start;
            return false;
        }
        ++at;
        return true;
    }

    // A string literal with the ones written right after it (blanks and an 'L' between).
    bool take_strings() {
        if (!take_quoted('"')) {
            return false;
        }
        for (;;) {
            const std::size_t back = at;
            skip_blanks();
            if (peek() == 'L') {
                ++at;
            }
            if (!take_quoted('"')) {
                at = back;
                return true;
            }
        }
    }

    // [Ee] (blanks sign blanks)? digits
    bool take_exponent() {
        if (peek() != 'e' && peek() != 'E') {
            return false;
        }
        const std::size_t start = at++;
        const std::size_t back = at;
        skip_blanks();
        if (peek() == '+' || peek() == '-') {
            ++at;
            skip_blanks();
        } else {
            at = back;
        }
        const std::size_t n = digits(at, is_digit);
        if (n == 0) {
            at = start;
            return false;
        }
        at += n;
        return true;
    }

    bool take_suffix() {
        if (peek() == 'f' || peek() == 'F' || peek() == 'd' || peek() == 'D') {
            ++at;
            return true;
        }
        return false;
    }

    // digits '.' digits?, or '.' digits, or digits with an exponent or a suffix; each then
    // with an optional exponent and suffix.
    bool take_float() {
        const std::size_t start = at;
        const std::size_t whole = digits(at, is_digit);
        if (peek(whole) == '.' && (whole > 0 || is_digit(peek(whole + 1)))) {
            at += whole + 1;
            at += digits(at, is_digit);
            take_exponent();
            take_suffix();
            return true;
        }
        if (whole == 0) {
            return false;
        }
        at += whole;
        const bool exponent = take_exponent();
        if (take_suffix() || exponent) {
            return true;
        }
        at = start;
        return false;
    }

    bool take_integer() {
        if (!is_digit(peek())) {
            return false;
        }
        std::size_t n = 0;
        if (peek() == '0' && (peek(1) == 'x' || peek(1) == 'X') && is_hex(peek(2))) {
            n = 2 + digits(at + 2, is_hex);
        } else if (peek() == '0' && is_octal(peek(1))) {
            n = 1 + digits(at + 1, is_octal);
        } else if (peek() != '0') {
            n = digits(at, is_digit);
        } else {
            ++at; // a lone zero takes no suffix
            return true;
        }
        at += n;
        if (peek() == 'l' || peek() == 'L') {
            ++at;
        }
        return true;
    }

    bool take_boolean() {
        for (std::string_view word : {std::string_view("true"), std::string_view("false")}) {
            const std::string_view here = s.substr(at, word.size());
            if (here.size() == word.size() && xmlin_lower(here) == word &&
                !is_word(peek(word.size()))) {
                at += word.size();
                return true;
            }
        }
        return false;
    }

    bool take_scoped_name() {
        const std::size_t start = at;
        if (peek() == ':' && peek(1) == ':') {
            at += 2;
        }
        for (;;) {
            if (!is_letter(peek())) {
                at = start;
                return false;
            }
            while (is_word(peek())) {
                ++at;
            }
            if (peek() != ':' || peek(1) != ':' || !is_letter(peek(2))) {
                return true;
            }
            at += 2;
        }
    }

    // One operand of the grammar's primary expressions, in the grammar's order of trial.
    bool take_literal_or_name() {
        if (take_float() || take_integer() || take_quoted('\'')) {
            return true;
        }
        if (peek() == 'L') {
            ++at;
            if (take_quoted('\'') || take_strings()) {
                return true;
            }
            --at;
        }
        return take_boolean() || take_strings() || take_scoped_name();
    }
};

// Parentheses nest at most this deep; the check itself keeps no stack.
constexpr std::size_t k_max_parentheses = 1000;

} // namespace

bool xmlin_is_identifier(std::string_view text) {
    return !text.empty() && is_letter(text[0]) && std::all_of(text.begin(), text.end(), is_word);
}

bool xmlin_is_scoped_name(std::string_view text) {
    scanner sc{text};
    return sc.take_scoped_name() && sc.at == text.size();
}

bool xmlin_is_expression(std::string_view text) {
    scanner sc{text};
    std::size_t open = 0;
    bool operand = true; // an operand is expected next
    for (;;) {
        sc.skip_blanks();
        const char c = sc.peek();
        if (sc.at >= text.size()) {
            return !operand && open == 0;
        }
        if (operand) {
            if (c == '-' || c == '+' || c == '~') {
                ++sc.at; // one unary operator, then a primary expression
                sc.skip_blanks();
            }
            if (sc.peek() == '(') {
                ++sc.at;
                if (++open > k_max_parentheses) {
                    return false;
                }
                continue;
            }
            if (!sc.take_literal_or_name()) {
                return false;
            }
            operand = false;
            continue;
        }
        if (c == ')') {
            if (open == 0) {
                return false;
            }
            --open;
            ++sc.at;
            continue;
        }
        if ((c == '>' || c == '<') && sc.peek(1) == c) {
            sc.at += 2;
        } else if (std::string_view("|^&+-*/%").find(c) != std::string_view::npos) {
            ++sc.at;
        } else {
            return false;
        }
        operand = true;
    }
}

bool xmlin_is_string_body(std::string_view text) {
    scanner sc{text};
    while (sc.at < text.size()) {
        if (text[sc.at] == '"' || sc.directive_after(sc.at)) {
            return false;
        }
        if (text[sc.at] != '\\') {
            ++sc.at;
        } else if (!sc.take_escape()) {
            return false;
        }
    }
    return true;
}

bool xmlin_type_allowed(xmlin_kind kind, std::string_view type) {
    static constexpr std::string_view integers[] = {"int8",  "uint8",  "int16", "uint16",
                                                    "int32", "uint32", "int64", "uint64"};
    const bool integer =
        std::find(std::begin(integers), std::end(integers), type) != std::end(integers);
    if (integer || type == "boolean" || type == "byte") {
        return true;
    }
    if (kind == XMLIN_BITFIELD) {
        return false;
    }
    if (type == "char8" || type == "char16" || type == "nonBasic") {
        return true;
    }
    if (kind == XMLIN_DISCRIMINATOR) {
        return false;
    }
    return type == "float32" || type == "float64" || type == "float128" || type == "string" ||
           type == "wstring";
}

bool xmlin_is_boolean(std::string_view text) {
    const std::string lower = xmlin_lower(text);
    return lower == "true" || lower == "false";
}

std::string xmlin_lower(std::string_view text) {
    std::string out(text);
    for (char &c : out) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return out;
}
