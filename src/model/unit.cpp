// One file of a model as read, and the reading of a file alone.
#include "model/unit.hpp"

#include "base/glog.hpp"
#include "model/parse.hpp"
#include "peg/ast.hpp"
#include "preproc/preproc.hpp"

#include <memory>
#include <new>

namespace {

struct preproc_guard {
    preproc_root *state;
    ~preproc_guard() { preproc_root_fini(state); }
};

idl_unit *read_alone(const char *path, pn_linkedlist *macros, bool parse) {
    std::unique_ptr<idl_unit, void (*)(idl_unit *)> unit{new idl_unit, idl_unit_delete};
    unit->path = path;
    {
        preproc_root state{};
        const preproc_guard guard{&state};
        if (!preproc_root_init(&state, macros, nullptr) || !zadozeda_preproc(&state, path)) {
            return nullptr; // the preprocessor has logged the cause
        }
        // Only the text and the file records are needed from here on: the macro table and the
        // preprocessor's grammars go before the parse builds its tree.
        unit->text.assign(state.output.data != nullptr ? state.output.data : "", state.output.len);
        unit->src = idl_source_of(state, path);
        unit->src.text = unit->text;
        if (!unit->src.files.empty()) {
            unit->resolved = unit->src.files.front().path;
        }
    }
    if (!parse) {
        return unit.release();
    }
    unit->tree = idl_parse_source(unit->src);
    if (unit->tree == nullptr) {
        return nullptr;
    }
    return unit.release();
}

} // namespace

void idl_unit_delete(idl_unit *unit) {
    if (unit == nullptr) {
        return;
    }
    ast_recursive_delete(unit->tree);
    delete unit;
}

void idl_unit_release_tree(idl_unit *unit) {
    ast_recursive_delete(unit->tree);
    unit->tree = nullptr;
}

namespace {

idl_unit *read_alone_guarded(const char *path, pn_linkedlist *macros, bool parse) {
    // Node texts and names are copied into standard strings on the way; running out of memory
    // there ends the reading like any other failure, with everything released.
    try {
        return read_alone(path, macros, parse);
    } catch (const std::bad_alloc &) {
        glog_fatal("Out of memory: Unable to read %s", path);
        return nullptr;
    }
}

} // namespace

idl_unit *idl_unit_read(const char *path, pn_linkedlist *macros) {
    return read_alone_guarded(path, macros, true);
}

idl_unit *idl_unit_read_text(const char *path, pn_linkedlist *macros) {
    return read_alone_guarded(path, macros, false);
}
