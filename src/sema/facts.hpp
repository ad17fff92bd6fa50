// What the checks need of one file, taken from its parse tree in one walk while the tree is at
// hand: the declarations in order, and the uses of names, constant expressions and annotations
// to check. Names and positions index the unit's text, which outlives the facts; the tree need
// not.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

struct ast;
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

/// The type a constant, discriminator, typedef or bitfield has, as far as values go: a base
/// type, a string, or `none` (a declared name, another template, or nothing).
enum class prim_kind : std::uint8_t {
    none,
    int8,
    uint8,
    int16,
    uint16,
    int32,
    uint32,
    int64,
    uint64,
    float32,
    float64,
    float128,
    char8,
    char16,
    boolean,
    octet,
    string,
    wstring,
    fixed,
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
    prim_kind prim = prim_kind::none; ///< and that type as far as values go
};

/// A text kept in sema_facts::strings: the facts of a file make no allocation per name.
struct fact_text {
    std::uint32_t at = 0;
    std::uint32_t len = 0;
};

/// The steps [begin, end) of sema_facts::exprs (or, for annotations, of sema_facts::params).
struct fact_range {
    std::uint32_t begin = 0;
    std::uint32_t end = 0;
    [[nodiscard]] bool empty() const { return begin == end; }
};

/// One step of a constant expression in postfix order: operands come before their operator,
/// so that an expression of any depth is evaluated with a stack of values.
struct expr_fact {
    enum class op : std::uint8_t {
        integer,
        floating,
        fixed,
        character,
        wide_character,
        string,
        wide_string,
        boolean,
        name,
        negate, ///< unary operators take one value
        plus,
        complement,
        bit_or, ///< binary operators take two
        bit_xor,
        bit_and,
        shift_right,
        shift_left,
        add,
        subtract,
        multiply,
        divide,
        modulo,
    };
    op o = op::integer;
    std::uint32_t length = 0; ///< a literal: its length; the unit's text from pos holds it
    std::uint64_t pos = 0;
    fact_text name; ///< a name (`A::B`, each component unescaped)
};

/// One parameter of an annotation application: named, or the one positional value.
struct param_fact {
    std::string_view name; ///< empty for the positional form
    fact_range value;      ///< steps of sema_facts::exprs
    std::uint64_t pos = 0;
};

/// Where an annotation application stands: the kind of element it annotates.
enum class anno_place : std::uint8_t {
    module,
    structure,
    union_type,
    enumeration,
    bitmask,
    bitset,
    alias,
    constant,
    struct_member,
    union_member,
    discriminator,
    enumerator,
    bit_value,
    bitfield,
    forward,
};

/// What a bound check bounds.
enum class bound_kind : std::uint8_t { string, wstring, sequence, array, bitfield };

/// One declaration, replayed into the model's symbol table in file order.
struct decl_fact {
    enum class what : std::uint8_t { declare, value, annotation };
    what w = what::declare;
    sym_kind kind = sym_kind::module;
    std::uint32_t scope = 0;         ///< index into sema_facts::scopes
    std::string_view name;           ///< simple name, unescaped
    std::uint64_t pos = 0;           ///< position of the name
    const type_fact *fact = nullptr; ///< structures, bitsets and typedefs; else null
    std::size_t full_hash = 0;  ///< sema_name_hash of the full name (`::M::S`; `::M::Color::RED`
                                ///< for an enumerator)
    std::string_view owner;     ///< enumerators and bit values: their enumeration's simple name
    std::size_t loose_hash = 0; ///< and sema_name_hash of their name in the enclosing scope
};

/// One check of the second pass, made in file order against the whole model's symbols.
struct check_fact {
    enum class what : std::uint8_t {
        annotation,    ///< name: the annotation's; flag: written scoped (a vendor's); place,
                       ///< element; range: its parameters
        type_name,     ///< text: a scoped name where a type must stand
        value_name,    ///< text: a scoped name where a constant must stand
        members,       ///< name: the structure or bitset; fact: its members; flag: bitset
        union_begin,   ///< name: the union; flag: the discriminator is a scoped name (text),
                       ///< else its node type (node_type, prim) and its stripped text (text)
        label_default, ///< a `default` label
        label_value,   ///< text: a label that is one scoped name; range
        label_expr,    ///< text: any other label as written; flag: a single operand; range
        union_member,  ///< name: a union member
        union_end,
        constant,    ///< name: the constant; range: its value; prim,
                     ///< or text: the type name
        bound,       ///< range: a bound, dimension or bitfield width; bound; prim: a
                     ///< bitfield's destination type
        enum_begin,  ///< name: the enumeration or bitmask; flag: a bitmask; element (only
                     ///< when its items have something to check)
        enum_item,   ///< name: an enumerator or bit value; element; range: `= value`
        module_name, ///< name: a declaration named as its enclosing module (text)
        too_deep,    ///< modules nest deeper than SEMA_MAX_MODULE_DEPTH here; nothing deeper
                     ///< was taken
    };
    what w;
    bool flag = false;
    anno_place place = anno_place::module;
    bound_kind bound = bound_kind::string;
    prim_kind prim = prim_kind::none;
    std::uint16_t node_type = 0;
    std::uint32_t scope = 0;
    std::uint32_t element = 0; ///< annotations and enumerators: the element annotated
    fact_range range;
    std::uint64_t pos = 0;
    std::string_view name;
    fact_text text;
    const type_fact *fact = nullptr;
};

/// sema_name_hash of a text given in pieces: the pieces one after another hash as their whole.
class sema_name_hasher {
public:
    void add(std::string_view text);
    [[nodiscard]] std::size_t value() const;

private:
    std::uint64_t h_ = 0x9e3779b97f4a7c15u;
    std::uint64_t word_ = 0;
    std::uint64_t size_ = 0;
};

/// A scope: its enclosing scope and its own name, so that a full name costs one name however
/// deep it stands.
struct scope_fact {
    std::uint32_t parent = 0;
    std::string_view name; ///< the module's simple name ("" for the file scope)
    sema_name_hasher hash; ///< of the full name ("::A::B"), to hash names declared inside
};

struct sema_facts {
    const idl_unit *unit = nullptr;
    std::string strings; ///< the texts of fact_text records, one after another
    std::vector<scope_fact> scopes{scope_fact{}}; ///< [0] is the file scope
    std::deque<type_fact> types;                  ///< stable addresses for the pointers below
    std::vector<decl_fact> decls;
    std::vector<check_fact> checks;
    std::vector<expr_fact> exprs;         ///< the steps of every constant expression
    std::vector<param_fact> params;       ///< the parameters of every annotation
    std::vector<std::uint32_t> constants; ///< the `constant` checks, in order

    [[nodiscard]] std::string_view str(fact_text t) const {
        return std::string_view(strings).substr(t.at, t.len);
    }
    /// The literal a step stands for, as written.
    [[nodiscard]] std::string_view literal(const expr_fact &e) const;
};

/// Fills facts from unit's tree. Throws std::bad_alloc when memory runs out.
void sema_collect(const idl_unit *unit, sema_facts *facts);

/// How deep modules may nest; a file nesting deeper is refused.
constexpr std::size_t SEMA_MAX_MODULE_DEPTH = 4096;

/// Hash of a full name that ignores the case of letters, so that names differing only in case
/// meet in the symbol table.
[[nodiscard]] std::size_t sema_name_hash(std::string_view name);
/// True when a and b are equal but for the case of letters.
[[nodiscard]] bool sema_same_folded(std::string_view a, std::string_view b);
/// The value kind of a base or string type node (`integer_type`, `char_type`, ...); none for
/// any other node.
[[nodiscard]] prim_kind sema_prim_of(const ast *type_node);
