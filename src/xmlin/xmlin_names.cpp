// Declared names of DDS-XML documents, type names looked up by the IDL scoping rules, and the
// forward declarations among childless structures.
#include "xmlin/xmlin_names.hpp"

#include "base/diag.hpp"

#include <string>
#include <unordered_map>
#include <unordered_set>

namespace {

enum : unsigned char { DECL_MODULE = 1, DECL_TYPE = 2, DECL_CONST = 4 };

std::string_view name_of(const xmlin_document &doc, const xmlin_element &e) {
    const xmlin_attr *a = xmlin_find(doc, e, XMLIN_ATTR_NAME);
    return a == nullptr ? std::string_view() : xmlin_value(doc, *a);
}

// Calls visit(i, e, scope) for each definition e (element i) of doc outside structured types, in
// document order; scope is the full name of the enclosing module ("" at the top).
template <class Visit> void walk_definitions(const xmlin_document &doc, const Visit &visit) {
    std::vector<std::pair<std::uint32_t, std::size_t>> open; // module end, scope length before
    std::string scope;
    const auto count = static_cast<std::uint32_t>(doc.elements.size());
    for (std::uint32_t i = 0; i < count;) {
        while (!open.empty() && open.back().first <= i) {
            scope.resize(open.back().second);
            open.pop_back();
        }
        const xmlin_element &e = doc.elements[i];
        visit(i, e, std::string_view(scope));
        if (e.kind == XMLIN_MODULE) {
            open.emplace_back(e.end, scope.size());
            scope += (scope.empty() ? "" : "::") + std::string(name_of(doc, e));
            ++i;
        } else {
            i = e.end > i ? e.end : i + 1;
        }
    }
}

std::string full_name(std::string_view scope, std::string_view name) {
    return scope.empty() ? std::string(name) : std::string(scope) + "::" + std::string(name);
}

class name_checker {
public:
    name_checker(const xmlin_document &doc, const std::vector<const xmlin_document *> &visible,
                 const xmlin_options &options)
        : doc_(doc), options_(options) {
        for (const xmlin_document *d : visible) {
            walk_definitions(*d,
                             [&](std::uint32_t, const xmlin_element &e, std::string_view scope) {
                                 if (e.kind != XMLIN_INCLUDE) {
                                     declared_[full_name(scope, name_of(*d, e))] |=
                                         e.kind == XMLIN_MODULE  ? DECL_MODULE
                                         : e.kind == XMLIN_CONST ? DECL_CONST
                                                                 : DECL_TYPE;
                                 }
                             });
        }
    }

    bool run() {
        walk_definitions(
            doc_, [&](std::uint32_t i, const xmlin_element &e, std::string_view scope) {
                // A definition's own references and those of the elements inside it.
                for (std::uint32_t j = i; e.kind != XMLIN_MODULE && (j == i || j < e.end); ++j) {
                    check_element(doc_.elements[j], scope);
                }
            });
        return errors_ == 0;
    }

private:
    unsigned char declared(const std::string &name) const {
        auto found = declared_.find(name);
        return found == declared_.end() ? 0 : found->second;
    }

    void check_element(const xmlin_element &e, std::string_view scope) {
        for (std::uint32_t n : {XMLIN_ATTR_NON_BASIC_TYPE_NAME, XMLIN_ATTR_BASE_TYPE}) {
            const xmlin_attr *a = xmlin_find(doc_, e, n);
            if (a != nullptr) {
                check_reference(e, *a, scope);
            }
        }
    }

    // The full name `ref` stands for from `scope`: its first identifier is looked up in the
    // scope, then in each enclosing one; "" when nothing declares it.
    std::string resolve(std::string_view ref, std::string_view scope) const {
        if (ref.rfind("::", 0) == 0) {
            return std::string(ref.substr(2));
        }
        const std::string_view first = ref.substr(0, ref.find("::"));
        for (std::string_view s = scope;;) {
            if (declared(full_name(s, first)) != 0) {
                return full_name(s, ref);
            }
            if (s.empty()) {
                return std::string(ref); // not even the first identifier: named as written
            }
            const std::size_t cut = s.rfind("::");
            s = cut == std::string_view::npos ? std::string_view() : s.substr(0, cut);
        }
    }

    void check_reference(const xmlin_element &e, const xmlin_attr &a, std::string_view scope) {
        const std::string_view ref = xmlin_value(doc_, a);
        const std::string full = resolve(ref, scope);
        const unsigned char kinds = declared(full);
        const std::string what = "'" + doc_.names[a.name] + "' of '" + xmlin_tag(e.kind) +
                                 "' names '" + std::string(ref) + "'";
        diagnostic d;
        d.warning = DIAG_W_UNDECLARED;
        d.file = doc_.path;
        d.line = a.line;
        d.column = a.column;
        d.column_in_record = true;
        if (kinds == 0) {
            d.level = options_.permissive ? DIAG_WARNING : DIAG_ERROR;
            d.summary = what + ", which no document read declares";
        } else if ((kinds & DECL_TYPE) == 0) {
            d.level = DIAG_ERROR;
            d.summary = what + ", which is a " +
                        ((kinds & DECL_MODULE) != 0 ? "module" : "constant") + ", not a type";
        } else {
            return;
        }
        errors_ += d.level == DIAG_ERROR ? 1 : 0;
        diag_report(d);
    }

    const xmlin_document &doc_;
    const xmlin_options &options_;
    std::unordered_map<std::string, unsigned char> declared_;
    unsigned errors_ = 0;
};

bool childless(const xmlin_document &doc, std::uint32_t i) {
    return doc.elements[i].end == i + 1;
}

} // namespace

bool xmlin_check_names(const xmlin_document &doc,
                       const std::vector<const xmlin_document *> &visible,
                       const xmlin_options &options) {
    if (doc.elements.empty()) {
        return true;
    }
    name_checker checker(doc, visible, options);
    return checker.run();
}

void xmlin_mark_forward(xmlin_document &doc, const std::vector<const xmlin_document *> &related) {
    std::unordered_set<std::string> defined; // structures with members or a base
    for (const xmlin_document *d : related) {
        walk_definitions(*d, [&](std::uint32_t i, const xmlin_element &e, std::string_view scope) {
            if (e.kind == XMLIN_STRUCT &&
                (!childless(*d, i) || xmlin_find(*d, e, XMLIN_ATTR_BASE_TYPE) != nullptr)) {
                defined.insert(full_name(scope, name_of(*d, e)));
            }
        });
    }
    // Childless structures in document order, to see which are declared again further on.
    std::vector<std::pair<std::uint32_t, std::string>> bare;
    walk_definitions(doc, [&](std::uint32_t i, const xmlin_element &e, std::string_view scope) {
        if (e.kind == XMLIN_UNION && childless(doc, i)) {
            doc.elements[i].forward = true;
        } else if (e.kind == XMLIN_STRUCT && childless(doc, i) &&
                   xmlin_find(doc, e, XMLIN_ATTR_BASE_TYPE) == nullptr) {
            bare.emplace_back(i, full_name(scope, name_of(doc, e)));
        }
    });
    std::unordered_set<std::string> later;
    for (auto it = bare.rbegin(); it != bare.rend(); ++it) {
        doc.elements[it->first].forward =
            defined.count(it->second) != 0 || !later.insert(it->second).second;
    }
}
