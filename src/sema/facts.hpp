// What the checks need of one file, taken from its parse tree in one walk while the tree is at
// hand: the declarations in order, and the uses of names to check. Names and positions index
// the unit's text, which outlives the facts; the tree need not.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

struct idl_unit;

enum class sym_kind : std::uint8_t {
    module,
    structure,
    structure_forward,
    union_type,
    union_forward,
    enumeration,
    bitmask,
    bitset,
    alias,
    native,
    constant,
    enumerator,
    bit_value,
};

/// A member name with the position of its identifier.
struct member_fact {
    std::string_view name;
    std::uint64_t pos;
};

/// What a structure or bitset is to the check of its members and of the definitions deriving
/// from it; what a typedef names.
struct type_fact {
    bool has_base = false;
    std::string base;                 ///< the base as written (`::M::S`)
    std::uint64_t base_pos = 0;       ///< position of the base's name
    std::vector<member_fact> members; ///< own members, in order
    bool aliases_name = false;        ///< a typedef of a declared name (`aliased` holds it)
    std::string aliased;              ///< that name as written
    std::uint64_t aliased_type = 0;   ///< else the node type of the type it names
};

/// A text kept in sema_facts::strings: the facts of a file make no allocation per name.
struct fact_text {
    std::uint32_t at = 0;
    std::uint32_t len = 0;
};

/// One declaration, replayed into the model's symbol table in file order.
struct decl_fact {
    enum class what : std::uint8_t { declare, value, annotation };
    what w = what::declare;
    sym_kind kind = sym_kind::module;
    std::uint32_t scope = 0;         ///< index into sema_facts::scopes
    std::string_view name;           ///< simple name
    std::uint64_t pos = 0;           ///< position of the name
    const type_fact *fact = nullptr; ///< structures, bitsets and typedefs; else null
    fact_text full;  ///< the full name (`::M::S`; `::M::Color::RED` for an enumerator)
    std::size_t full_hash = 0; ///< std::hash of the full name
    fact_text owner; ///< enumerators and bit values: their enumeration's full name
    fact_text loose; ///< enumerators and bit values: their name in the enclosing scope
};

/// One check of the second pass, made in file order against the whole model's symbols.
struct check_fact {
    enum class what : std::uint8_t {
        annotation,    ///< text: the annotation's name
        type_name,     ///< text: a scoped name where a type must stand
        value_name,    ///< text: a scoped name where a constant must stand
        members,       ///< name: the structure or bitset; fact: its members; flag: bitset
        union_begin,   ///< name: the union; flag: the discriminator is a scoped name (text),
                       ///< else its node type (node_type) and its stripped text (text)
        label_default, ///< a `default` label
        label_value,   ///< text: a label that is one scoped name; extra: as written
        label_expr,    ///< extra: any other label as written; flag: a single operand
        union_member,  ///< name: a union member
        union_end,
    };
    what w;
    bool flag = false;
    std::uint32_t scope = 0;
    std::uint64_t pos = 0;
    std::uint64_t node_type = 0;
    std::string_view name;
    fact_text text;
    fact_text extra;
    const type_fact *fact = nullptr;
};

struct sema_facts {
    const idl_unit *unit = nullptr;
    std::string strings;                 ///< the texts of fact_text records, one after another
    std::vector<std::string> scopes{""}; ///< full scope names ("" is the file scope)
    std::deque<type_fact> types;         ///< stable addresses for the pointers below
    std::vector<decl_fact> decls;
    std::vector<check_fact> checks;

    [[nodiscard]] std::string_view str(fact_text t) const {
        return std::string_view(strings).substr(t.at, t.len);
    }
};

/// Fills facts from unit's tree. Throws std::bad_alloc when memory runs out.
void sema_collect(const idl_unit *unit, sema_facts *facts);
