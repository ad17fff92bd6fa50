// Attributes and elements of the document as the visitors add them.
#include "idl/idl_attr.hpp"

#include "base/glog.hpp"
#include "model/source.hpp"
#include "xml/xmltree.hpp"

#include <cstdint>
#include <cstring>
#include <string>

xmltree *idl_add_element(const idl_source &src, xmltree *parent, const char *tag) {
    if (parent == nullptr) {
        glog_at(GLOG_GLOBAL_INSTANCE, GLOG_ERROR, "Failed to generate XML");
        return nullptr;
    }
    xmltree *element = xmltree_add_child(parent, tag, 0);
    if (element == nullptr) {
        src.out_of_memory = true; // the only way a child of a real parent fails; reported
    }
    return element;
}

bool idl_xml_text_ok(std::string_view text) {
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Eight printable ASCII bytes at a time: no byte below 0x20 and none from 0x80 up.
        constexpr std::uint64_t ones = 0x0101010101010101u;
        constexpr std::uint64_t highs = 0x8080808080808080u;
        if (n - i >= 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, p + i, 8);
            if (((word | (word - 0x20 * ones)) & highs) == 0) {
                i += 8;
                continue;
            }
        }
        const unsigned char c = p[i];
        if (c < 0x80) {
            if (c < 0x20 && c != '\t' && c != '\n' && c != '\r') {
                return false;
            }
            ++i;
            continue;
        }
        std::size_t len = 0;
        std::uint32_t cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1Fu;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0Fu;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07u;
        } else {
            return false; // continuation byte, overlong lead or beyond U+10FFFF
        }
        if (i + len > n) {
            return false;
        }
        for (std::size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0u) != 0x80u) {
                return false;
            }
            cp = (cp << 6) | (p[i + k] & 0x3Fu);
        }
        const bool overlong = (len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000);
        const bool surrogate = cp >= 0xD800 && cp <= 0xDFFF;
        if (overlong || surrogate || cp > 0x10FFFF || cp == 0xFFFE || cp == 0xFFFF) {
            return false;
        }
        i += len;
    }
    return true;
}

bool idl_set_attr(const idl_source &src, xmltree *element, std::string_view name,
                  std::string_view value, std::uint64_t pos) {
    // String literals side by side are one literal: the value holds it joined.
    std::string joined;
    if (!value.empty() &&
        (value[0] == '"' || (value[0] == 'L' && value.size() > 1 && value[1] == '"'))) {
        joined = idl_joined_literals(value);
        value = joined;
    }
    if (!idl_xml_text_ok(value)) {
        idl_report(src, DIAG_ERROR, pos,
                   "Value of '" + std::string(name) + "' holds a character XML cannot carry", "");
        return false;
    }
    // The document keeps its own copies of both texts, in its storage.
    if (element == nullptr) {
        glog_at(GLOG_GLOBAL_INSTANCE, GLOG_ERROR, "Failed to generate XML");
        return false;
    }
    if (xmltree_set_attr_copy(element, name.data(), name.size(), value.data(), value.size()) ==
        nullptr) {
        src.out_of_memory = true; // reported by the tree
        return false;
    }
    return true;
}
