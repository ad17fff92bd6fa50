// The standard annotations of IDL 4.2 and DDS-XTypes 1.3: where each may stand, its parameters
// and the values they take.
#include "sema/annotations.hpp"

#include <cstdint>

namespace {

enum class ptype : std::uint8_t { boolean, integer, string, choice, any };

struct param_rule {
    std::string_view name;
    ptype type = ptype::any;
    const char *fallback = nullptr; ///< the value when not given, as compared; null: needed
    sema_int min = 0;               ///< integers
    sema_int max = 0;
    const std::string_view *choices = nullptr; ///< the enumerators a choice takes
    std::size_t choice_count = 0;
};

constexpr std::size_t most_params = 3;

struct anno_rule {
    std::string_view name;
    std::uint32_t places; ///< bits of anno_place; 0: no place of this language is wrong
    const char *where;    ///< the places as a message names them
    std::string_view family;
    param_rule params[most_params] = {};

    [[nodiscard]] std::size_t count() const {
        std::size_t n = 0;
        while (n < most_params && !params[n].name.empty()) {
            ++n;
        }
        return n;
    }
};

constexpr std::uint32_t at(anno_place p) {
    return 1u << static_cast<unsigned>(p);
}

constexpr std::uint32_t members = at(anno_place::struct_member) | at(anno_place::union_member);
constexpr std::uint32_t aggregates =
    at(anno_place::structure) | at(anno_place::union_type) | at(anno_place::forward);
constexpr std::uint32_t extensible =
    aggregates | at(anno_place::enumeration) | at(anno_place::bitmask);
constexpr std::uint32_t declarations = members | at(anno_place::alias);
constexpr std::uint32_t anywhere = 0;

constexpr sema_int uint32_max = (sema_int{1} << 32) - 1;
constexpr sema_int int32_min = -(sema_int{1} << 31);
constexpr sema_int int32_max = (sema_int{1} << 31) - 1;

constexpr std::string_view extensibility_kinds[] = {"FINAL", "APPENDABLE", "MUTABLE"};
constexpr std::string_view autoid_kinds[] = {"SEQUENTIAL", "HASH"};
constexpr std::string_view construct_actions[] = {"DISCARD", "USE_DEFAULT", "TRIM"};
constexpr std::string_view placements[] = {"BEGIN_FILE",        "BEFORE_DECLARATION",
                                           "BEGIN_DECLARATION", "END_DECLARATION",
                                           "AFTER_DECLARATION", "END_FILE"};

template <std::size_t N>
constexpr param_rule choice(std::string_view name, const char *fallback,
                            const std::string_view (&kinds)[N]) {
    return {name, ptype::choice, fallback, 0, 0, kinds, N};
}

constexpr param_rule integer(sema_int min, sema_int max) {
    return {"value", ptype::integer, nullptr, min, max};
}

constexpr param_rule flag{"value", ptype::boolean, "TRUE"};
constexpr param_rule any_value{"value", ptype::any};
constexpr const char *member_places = "members of structures and unions";
constexpr const char *extensible_places = "structures, unions, enumerations and bitmasks";
constexpr const char *declaration_places = "members of structures and unions, and typedefs";

const anno_rule rules[] = {
    {"key",
     at(anno_place::struct_member) | at(anno_place::discriminator),
     "members of structures and union discriminators",
     "",
     {flag}},
    {"id", members, member_places, "", {integer(0, uint32_max)}},
    {"optional", at(anno_place::struct_member), "members of structures", "", {flag}},
    {"final", extensible, extensible_places, "extensibility"},
    {"appendable", extensible, extensible_places, "extensibility"},
    {"mutable", extensible, extensible_places, "extensibility"},
    {"extensibility",
     extensible,
     extensible_places,
     "extensibility",
     {choice("value", nullptr, extensibility_kinds)}},
    {"autoid",
     aggregates | at(anno_place::module),
     "modules, structures and unions",
     "",
     {choice("value", "HASH", autoid_kinds)}},
    {"position",
     at(anno_place::bit_value) | at(anno_place::bitfield),
     "bit values of bitmasks and bitfields",
     "",
     {integer(0, 65535)}},
    {"value", at(anno_place::enumerator), "enumerators", "", {integer(int32_min, int32_max)}},
    {"bit_bound",
     at(anno_place::enumeration) | at(anno_place::bitmask),
     "enumerations and bitmasks",
     "",
     {integer(1, 64)}},
    {"default_literal", at(anno_place::enumerator), "enumerators", ""},
    {"must_understand", at(anno_place::struct_member), "members of structures", "", {flag}},
    {"external", members, member_places, "", {flag}},
    {"nested", aggregates, "structures and unions", "", {flag}},
    {"default", declarations, declaration_places, "", {any_value}},
    {"range", declarations, declaration_places, "", {{"min", ptype::any}, {"max", ptype::any}}},
    {"min", declarations, declaration_places, "", {any_value}},
    {"max", declarations, declaration_places, "", {any_value}},
    {"unit", declarations, declaration_places, "", {{"value", ptype::string}}},
    {"hashid", members, member_places, "", {{"value", ptype::string, "\"\""}}},
    {"topic",
     aggregates,
     "structures and unions",
     "",
     {{"name", ptype::string, "\"\""}, {"platform", ptype::string, "\"*\""}}},
    {"default_nested", at(anno_place::module), "modules", "", {flag}},
    {"ignore_literal_names",
     at(anno_place::enumeration) | at(anno_place::bitmask),
     "enumerations and bitmasks",
     "",
     {flag}},
    {"non_serialized", at(anno_place::struct_member), "members of structures", "", {flag}},
    {"try_construct",
     declarations,
     declaration_places,
     "",
     {choice("value", "USE_DEFAULT", construct_actions)}},
    {"data_representation", anywhere, "", "", {any_value}},
    {"verbatim",
     anywhere,
     "",
     "",
     {{"language", ptype::string, "\"*\""},
      choice("placement", "BEFORE_DECLARATION", placements),
      {"text", ptype::string}}},
    {"service", anywhere, "", "", {{"platform", ptype::string, "\"*\""}}},
    {"oneway", anywhere, "", "", {flag}},
    {"ami", anywhere, "", "", {flag}},
};

const anno_rule *rule_of(std::string_view name) {
    for (const anno_rule &r : rules) {
        if (r.name == name) {
            return &r;
        }
    }
    return nullptr;
}

std::string plain_list(const param_rule &p) {
    std::string out;
    for (std::size_t i = 0; i < p.choice_count; ++i) {
        if (i > 0) {
            out += i + 1 == p.choice_count ? " or " : ", ";
        }
        out += p.choices[i];
    }
    return out;
}

std::string param_names(const anno_rule &r) {
    std::string out;
    const std::size_t count = r.count();
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            out += i + 1 == count ? " and " : ", ";
        }
        out += "'" + std::string(r.params[i].name) + "'";
    }
    return out;
}

class checker {
public:
    checker(const sema_facts &facts, const check_fact &appl, const sema_names &names,
            std::vector<sema_fault> *faults)
        : facts_(facts), appl_(appl), names_(names), faults_(faults) {}

    sema_anno_result run(const anno_rule &r) {
        result_.checked = true;
        result_.family = r.family.empty() ? r.name : r.family;
        if (r.places != anywhere && (r.places & at(appl_.place)) == 0) {
            fault(title() + " does not apply to " + sema_place_text(appl_.place) +
                  "; it applies to " + r.where);
        }
        const std::size_t count = r.count();
        if (r.family == "extensibility" && count == 0) {
            result_.values = upper(r.name) + ";"; // @final is @extensibility(FINAL)
        }
        const param_fact *given[most_params] = {};
        bool placed = true;
        for (std::uint32_t i = appl_.range.begin; i < appl_.range.end; ++i) {
            const param_fact &p = facts_.params[i];
            const std::size_t k = slot(r, p);
            if (k == count) {
                placed = false; // reported
                continue;
            }
            if (given[k] != nullptr) {
                fault("parameter '" + std::string(r.params[k].name) + "' of " + title() +
                      " is given twice");
                continue;
            }
            given[k] = &p;
        }
        for (std::size_t k = 0; k < count; ++k) {
            const param_rule &p = r.params[k];
            if (given[k] != nullptr) {
                value(r, p, *given[k]);
            } else if (p.fallback != nullptr) {
                result_.values += std::string(p.fallback) + ";";
            } else if (placed) {
                fault(title() + " needs a value for its parameter '" + std::string(p.name) + "'");
            }
        }
        return result_;
    }

private:
    // How messages name the annotation: made only for a message.
    [[nodiscard]] std::string title() const { return "'@" + std::string(appl_.name) + "'"; }

    void fault(std::string message) {
        faults_->push_back({appl_.pos, std::move(message)});
        result_.ok = false;
    }

    static std::string upper(std::string_view s) {
        std::string out(s);
        for (char &c : out) {
            c = c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
        }
        return out;
    }

    // The rule's parameter p stands for: by name, or the one parameter for a positional value;
    // the count of parameters after reporting a fault.
    std::size_t slot(const anno_rule &r, const param_fact &p) {
        const std::size_t count = r.count();
        if (count == 0) {
            fault(title() + " takes no parameters");
            return count;
        }
        if (p.name.empty()) {
            if (count == 1) {
                return 0;
            }
            fault(title() + " takes named parameters: " + param_names(r));
            return count;
        }
        for (std::size_t k = 0; k < count; ++k) {
            if (r.params[k].name == p.name) {
                return k;
            }
        }
        fault(title() + " has no parameter '" + std::string(p.name) + "'; " +
              (count == 1 ? "its parameter is " : "its parameters are ") + param_names(r));
        return count;
    }

    void value(const anno_rule &r, const param_rule &rule, const param_fact &p) {
        const auto subject = [&] {
            return "parameter '" + std::string(rule.name) + "' of " + title() + " must be ";
        };
        if (rule.type == ptype::choice) {
            // An enumerator of the annotation's own enumeration, any case, maybe scoped.
            const bool one_name = p.value.end - p.value.begin == 1 &&
                                  facts_.exprs[p.value.begin].o == expr_fact::op::name;
            std::string_view written;
            if (one_name) {
                written = facts_.str(facts_.exprs[p.value.begin].name);
                written = written.substr(written.rfind(':') + 1);
                for (std::size_t i = 0; i < rule.choice_count; ++i) {
                    if (sema_same_folded(written, rule.choices[i])) {
                        result_.values += std::string(rule.choices[i]) + ";";
                        return;
                    }
                }
            }
            fault(subject() + "one of " + plain_list(rule) +
                  (one_name ? ", not '" + std::string(written) + "'" : ""));
            return;
        }
        sema_fault evaluation;
        const sema_value v = sema_evaluate(facts_, p.value, names_, prim_kind::uint32, &evaluation);
        if (!evaluation.message.empty()) {
            faults_->push_back(std::move(evaluation));
            result_.ok = false;
            return;
        }
        sema_target target;
        switch (rule.type) {
        case ptype::boolean:
            target = sema_target_of(prim_kind::boolean);
            break;
        case ptype::string:
            target = sema_target_of(prim_kind::wstring);
            break;
        case ptype::integer: {
            // Enumerations hold 32 bits at most, bitmasks 64.
            const bool enumeration =
                r.name == "bit_bound" && appl_.place == anno_place::enumeration;
            target = sema_integers(rule.min, enumeration ? 32 : rule.max);
            break;
        }
        default: // any value: only its own faults
            result_.values += sema_describe(v) + ";";
            return;
        }
        const std::string required = sema_requirement(v, target);
        if (!required.empty()) {
            const std::string where = r.name == "bit_bound"
                                          ? std::string(" on ") + sema_place_text(appl_.place)
                                          : std::string();
            fault(subject() + required + where + ", not " + sema_describe(v));
            return;
        }
        if (v.k == sema_value::kind::integer) {
            result_.has_integer = true;
            result_.integer = v.i;
        }
        result_.values +=
            (v.k == sema_value::kind::boolean ? (v.i != 0 ? "TRUE" : "FALSE") : sema_describe(v)) +
            ";";
    }

    const sema_facts &facts_;
    const check_fact &appl_;
    const sema_names &names_;
    std::vector<sema_fault> *faults_;
    sema_anno_result result_;
};

} // namespace

bool sema_is_standard_annotation(std::string_view name) {
    return rule_of(name) != nullptr;
}

sema_anno_result sema_check_annotation(const sema_facts &facts, const check_fact &appl,
                                       const sema_names &names, std::vector<sema_fault> *faults) {
    const anno_rule *rule = rule_of(appl.name);
    if (rule == nullptr) {
        return {};
    }
    return checker(facts, appl, names, faults).run(*rule);
}

const char *sema_place_text(anno_place place) {
    static constexpr const char *texts[] = {
        "a module",
        "a structure",
        "a union",
        "an enumeration",
        "a bitmask",
        "a bitset",
        "a typedef",
        "a constant",
        "a member of a structure",
        "a member of a union",
        "a union discriminator",
        "an enumerator",
        "a bit value",
        "a bitfield",
        "a forward declaration",
    };
    return texts[static_cast<std::size_t>(place)];
}
