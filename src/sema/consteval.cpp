// Constant expressions: their values, worked out from the steps the facts keep, and whether a
// value fits the type it must have.
#include "sema/consteval.hpp"

#include "base/arch.hpp"

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

__extension__ using sema_uint = unsigned __int128;
using kind = sema_value::kind;
using op = expr_fact::op;

constexpr sema_int least_int = -(sema_int{1} << 63);
constexpr sema_int greatest_int = (sema_int{1} << 64) - 1;

struct int_range {
    sema_int min;
    sema_int max;
    unsigned bits;
    bool is_unsigned;
};

// The integers of an integer kind; bits 0 for kinds that hold no integers.
int_range range_of(prim_kind p) {
    switch (p) {
    case prim_kind::int8:
        return {-128, 127, 8, false};
    case prim_kind::uint8:
    case prim_kind::octet:
        return {0, 255, 8, true};
    case prim_kind::int16:
        return {-32768, 32767, 16, false};
    case prim_kind::uint16:
        return {0, 65535, 16, true};
    case prim_kind::int32:
        return {-(sema_int{1} << 31), (sema_int{1} << 31) - 1, 32, false};
    case prim_kind::uint32:
        return {0, (sema_int{1} << 32) - 1, 32, true};
    case prim_kind::int64:
        return {least_int, (sema_int{1} << 63) - 1, 64, false};
    case prim_kind::uint64:
        return {0, greatest_int, 64, true};
    default:
        return {0, 0, 0, false};
    }
}

bool fault_at(sema_fault *fault, std::uint64_t pos, std::string message) {
    fault->pos = pos;
    fault->message = std::move(message);
    return false;
}

// At most `most` digits of base at text[*i], as a number; *i is left after them.
std::uint64_t digits_at(std::string_view text, std::size_t *i, std::size_t most, int base) {
    char digits[32] = {};
    for (std::size_t k = 0; k < most && k + 1 < sizeof digits && *i + k < text.size(); ++k) {
        digits[k] = text[*i + k];
    }
    const char *end = digits;
    const std::uint64_t value = arch_strtoull(digits, &end, base);
    *i += static_cast<std::size_t>(end - digits);
    return value;
}

// An integer literal: decimal, octal after a leading 0, hexadecimal after 0x; an `L` suffix.
bool integer_literal(std::string_view text, sema_value *v) {
    while (!text.empty() && (text.back() == 'l' || text.back() == 'L')) {
        text.remove_suffix(1);
    }
    if (text.empty() || text.size() > 24) {
        return false; // 24 octal digits or 20 decimal ones pass 64 bits
    }
    std::size_t used = 0;
    errno = 0;
    const std::uint64_t value = digits_at(text, &used, text.size(), 0);
    if (used != text.size() || errno == ERANGE) {
        return false;
    }
    v->k = kind::integer;
    v->i = value;
    return true;
}

// The code of the one character of a character literal body (after its opening quote) that
// starts at text[*i]; *i is left after it.
std::uint32_t character_at(std::string_view text, std::size_t *i) {
    const auto c = static_cast<unsigned char>(text[*i]);
    ++*i;
    if (c != '\\' || *i >= text.size()) {
        return c;
    }
    const char e = text[(*i)++];
    switch (e) {
    case 'n':
        return '\n';
    case 't':
        return '\t';
    case 'v':
        return '\v';
    case 'b':
        return '\b';
    case 'r':
        return '\r';
    case 'f':
        return '\f';
    case 'a':
        return '\a';
    case 'x':
    case 'u':
        return static_cast<std::uint32_t>(digits_at(text, i, e == 'x' ? 2 : 4, 16));
    default:
        if (e >= '0' && e <= '7') {
            --*i; // three digits when the first is 0 to 3, else two
            return static_cast<std::uint32_t>(digits_at(text, i, e <= '3' ? 3 : 2, 8));
        }
        return static_cast<unsigned char>(e); // \\ \' \" \?
    }
}

// Characters of a string literal (its pieces side by side counted together).
std::size_t string_length(std::string_view text) {
    std::size_t count = 0;
    bool inside = false;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '"') {
            inside = !inside;
            ++i;
        } else if (inside) {
            static_cast<void>(character_at(text, &i));
            ++count;
        } else {
            ++i;
        }
    }
    return count;
}

sema_value literal(const expr_fact &e, std::string_view text) {
    sema_value v;
    v.text = text;
    switch (e.o) {
    case op::integer:
        if (!integer_literal(text, &v)) {
            v.k = kind::unknown;
        }
        break;
    case op::floating:
    case op::fixed: {
        std::string digits;
        for (const char c : text) {
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r' && c != 'f' && c != 'F' &&
                c != 'd' && c != 'D') {
                digits.push_back(c);
            }
        }
        v.k = e.o == op::fixed ? kind::fixed : kind::floating;
        v.f = std::strtold(digits.c_str(), nullptr);
        break;
    }
    case op::character:
    case op::wide_character: {
        const std::size_t quote = text.find('\'');
        std::size_t i = quote + 1;
        v.k = e.o == op::character ? kind::character : kind::wide_character;
        v.i = quote == std::string_view::npos || i >= text.size() ? 0 : character_at(text, &i);
        break;
    }
    case op::string:
    case op::wide_string:
        v.k = e.o == op::string ? kind::string : kind::wide_string;
        v.length = string_length(text);
        break;
    default: // boolean
        v.k = kind::boolean;
        v.i = !text.empty() && (text[0] == 't' || text[0] == 'T') ? 1 : 0;
        break;
    }
    return v;
}

const char *op_text(op o) {
    switch (o) {
    case op::negate:
    case op::subtract:
        return "-";
    case op::plus:
    case op::add:
        return "+";
    case op::complement:
        return "~";
    case op::bit_or:
        return "|";
    case op::bit_xor:
        return "^";
    case op::bit_and:
        return "&";
    case op::shift_right:
        return ">>";
    case op::shift_left:
        return "<<";
    case op::multiply:
        return "*";
    case op::divide:
        return "/";
    default:
        return "%";
    }
}

bool is_number(const sema_value &v) {
    return v.k == kind::integer || v.k == kind::floating || v.k == kind::fixed;
}

bool is_known(const sema_value &v) {
    return v.k != kind::unknown && v.k != kind::unresolved;
}

bool in_64_bits(sema_int v) {
    return v >= least_int && v <= greatest_int;
}

bool needs(const expr_fact &e, const sema_value &v, bool integers, sema_fault *fault) {
    return fault_at(fault, e.pos,
                    std::string("operator '") + op_text(e.o) + "' needs " +
                        (integers ? "integers" : "numbers") + ", not " + sema_describe(v));
}

bool unary(const expr_fact &e, sema_value *v, prim_kind width, sema_fault *fault) {
    const bool integers = e.o == op::complement;
    if (!(integers ? v->k == kind::integer : is_number(*v))) {
        return needs(e, *v, integers, fault);
    }
    v->text = {};
    if (e.o == op::negate) {
        v->i = -v->i;
        v->f = -v->f;
    } else if (e.o == op::complement) {
        const int_range r = range_of(width);
        v->i = r.is_unsigned && v->i >= 0 && v->i <= r.max ? r.max - v->i : -v->i - 1;
    }
    return v->k != kind::integer || in_64_bits(v->i) ||
           fault_at(fault, e.pos, "the value " + sema_int_text(v->i) + " does not fit 64 bits");
}

bool binary(const expr_fact &e, sema_value *a, const sema_value &b, sema_fault *fault) {
    const bool integers =
        e.o != op::add && e.o != op::subtract && e.o != op::multiply && e.o != op::divide;
    for (const sema_value *v : {static_cast<const sema_value *>(a), &b}) {
        if (!(integers ? v->k == kind::integer : is_number(*v))) {
            return needs(e, *v, integers, fault);
        }
    }
    a->text = {};
    if (a->k != kind::integer || b.k != kind::integer) {
        const long double x = a->k == kind::integer ? static_cast<long double>(a->i) : a->f;
        const long double y = b.k == kind::integer ? static_cast<long double>(b.i) : b.f;
        if (e.o == op::divide && y == 0) {
            return fault_at(fault, e.pos, "division by zero");
        }
        a->f = e.o == op::add        ? x + y
               : e.o == op::subtract ? x - y
               : e.o == op::multiply ? x * y
                                     : x / y;
        a->k = a->k == kind::floating || b.k == kind::floating ? kind::floating : kind::fixed;
        return true;
    }
    const sema_int x = a->i;
    const sema_int y = b.i;
    sema_int r = 0;
    switch (e.o) {
    case op::bit_or:
        r = x | y;
        break;
    case op::bit_xor:
        r = x ^ y;
        break;
    case op::bit_and:
        r = x & y;
        break;
    case op::shift_right:
    case op::shift_left:
        if (y < 0 || y > 63) {
            return fault_at(fault, e.pos,
                            "a shift by " + sema_int_text(y) + " bits: shifts take 0 to 63");
        }
        r = e.o == op::shift_right ? x >> static_cast<int>(y) : x * (sema_int{1} << y);
        break;
    case op::add:
        r = x + y;
        break;
    case op::subtract:
        r = x - y;
        break;
    case op::multiply:
        if (__builtin_mul_overflow(x, y, &r)) {
            r = greatest_int + 1;
        }
        break;
    default:
        if (y == 0) {
            return fault_at(fault, e.pos, "division by zero");
        }
        r = e.o == op::divide ? x / y : x % y;
        break;
    }
    a->i = r;
    return in_64_bits(r) ||
           fault_at(fault, e.pos, "the value of this expression does not fit 64 bits");
}

} // namespace

unsigned sema_prim_bits(prim_kind prim) {
    return range_of(prim).bits;
}

const char *sema_prim_name(prim_kind prim) {
    static constexpr const char *names[] = {
        "",
        "int8",
        "uint8",
        "short",
        "unsigned short",
        "long",
        "unsigned long",
        "long long",
        "unsigned long long",
        "float",
        "double",
        "long double",
        "char",
        "wchar",
        "boolean",
        "octet",
        "string",
        "wstring",
        "fixed",
    };
    return names[static_cast<std::size_t>(prim)];
}

std::string sema_int_text(sema_int v) {
    if (v == 0) {
        return "0";
    }
    const bool negative = v < 0;
    // The magnitude of the least value of 128 bits does not fit: none occurs here.
    sema_uint m = negative ? static_cast<sema_uint>(-v) : static_cast<sema_uint>(v);
    std::string digits;
    while (m != 0) {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(m % 10)));
        m /= 10;
    }
    return negative ? "-" + digits : digits;
}

sema_value sema_evaluate(const sema_facts &facts, fact_range range, const sema_names &names,
                         prim_kind width, sema_fault *fault) {
    // The value of one operand; false after describing a fault.
    const auto operand = [&](const expr_fact &e, sema_value *v) {
        if (e.o == op::name) {
            *v = names.value_of(facts.str(e.name));
            return true;
        }
        const std::string_view text = facts.literal(e);
        *v = literal(e, text);
        return e.o != op::integer || v->k != kind::unknown || text.empty() ||
               fault_at(fault, e.pos, "the integer " + std::string(text) + " does not fit 64 bits");
    };
    if (range.end - range.begin == 1) {
        sema_value v; // most expressions are one literal or name
        return operand(facts.exprs[range.begin], &v) ? v : sema_value{};
    }
    // One stack per thread serves every evaluation on it.
    thread_local std::vector<sema_value> stack;
    stack.clear();
    for (std::uint32_t i = range.begin; i < range.end; ++i) {
        const expr_fact &e = facts.exprs[i];
        if (e.o <= op::name) {
            if (!operand(e, &stack.emplace_back())) {
                return {};
            }
            continue;
        }
        const bool is_unary = e.o == op::negate || e.o == op::plus || e.o == op::complement;
        if (stack.size() < (is_unary ? 1u : 2u)) {
            return {};
        }
        sema_value right = stack.back();
        if (!is_unary) {
            stack.pop_back();
        }
        sema_value &left = stack.back();
        if (!is_known(left) || !is_known(right)) {
            left = sema_value{}; // reported where the name or literal was
            continue;
        }
        const bool ok = is_unary ? unary(e, &left, width, fault) : binary(e, &left, right, fault);
        if (!ok) {
            return {};
        }
    }
    return stack.size() == 1 ? stack.back() : sema_value{};
}

sema_target sema_target_of(prim_kind prim) {
    sema_target t;
    t.prim = prim;
    return t;
}

sema_target sema_integers(sema_int min, sema_int max) {
    sema_target t;
    t.integer_range = true;
    t.min = min;
    t.max = max;
    return t;
}

std::string sema_requirement(const sema_value &v, const sema_target &t) {
    if (v.k == kind::unknown) {
        return {};
    }
    if (!t.enumeration.empty()) {
        if (v.k == kind::enumerator && v.owner == t.owner) {
            return {};
        }
        return "an enumerator of '" + std::string(t.enumeration) + "'";
    }
    const int_range r = t.integer_range ? int_range{t.min, t.max, 1, false} : range_of(t.prim);
    if (r.bits != 0) {
        if (v.k == kind::integer && v.i >= r.min && v.i <= r.max) {
            return {};
        }
        if (r.min == 1 && r.max == (sema_int{1} << 32) - 1) {
            return "a positive integer";
        }
        return "an integer from " + sema_int_text(r.min) + " to " + sema_int_text(r.max);
    }
    switch (t.prim) {
    case prim_kind::float32:
    case prim_kind::float64: {
        const long double most = t.prim == prim_kind::float32 ? FLT_MAX : DBL_MAX;
        const long double x = v.k == kind::integer ? static_cast<long double>(v.i) : v.f;
        if (is_number(v) && std::fabs(x) <= most) {
            return {};
        }
        return is_number(v) ? std::string("a number within the range of '") +
                                  (t.prim == prim_kind::float32 ? "float" : "double") + "'"
                            : "a number";
    }
    case prim_kind::float128:
    case prim_kind::fixed:
        return is_number(v) ? std::string() : "a number";
    case prim_kind::char8:
        return v.k == kind::character ? std::string() : "a character";
    case prim_kind::char16:
        return v.k == kind::character || v.k == kind::wide_character ? std::string()
                                                                     : "a character";
    case prim_kind::boolean:
        return v.k == kind::boolean ? std::string() : "TRUE or FALSE";
    case prim_kind::string:
        return v.k == kind::string ? std::string() : "a string";
    case prim_kind::wstring:
        return v.k == kind::string || v.k == kind::wide_string ? std::string() : "a string";
    default:
        return {};
    }
}

std::string sema_describe(const sema_value &v) {
    const std::string written(v.text);
    switch (v.k) {
    case kind::integer:
        return sema_int_text(v.i);
    case kind::floating:
        return written.empty() ? "a floating-point number" : written;
    case kind::fixed:
        return written.empty() ? "a fixed-point number" : written;
    case kind::boolean:
        return v.i != 0 ? "TRUE" : "FALSE";
    case kind::character:
    case kind::wide_character:
        return "the character " + written;
    case kind::string:
    case kind::wide_string:
        return "a string";
    case kind::enumerator:
        return std::string(v.bit_value ? "the bit value '" : "the enumerator '") +
               std::string(v.name) + "'";
    case kind::unresolved:
        return "'" + written + "'";
    default:
        return "an unknown value";
    }
}

std::string sema_value_key(const sema_value &v) {
    switch (v.k) {
    case kind::integer:
        return "i" + sema_int_text(v.i);
    case kind::boolean:
        return v.i != 0 ? "b1" : "b0";
    case kind::character:
    case kind::wide_character:
        return "c" + sema_int_text(v.i);
    case kind::enumerator:
        return "e" + std::to_string(v.owner) + "::" + std::string(v.name);
    default:
        return {};
    }
}
