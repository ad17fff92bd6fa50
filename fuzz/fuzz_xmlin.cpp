// The reverse direction on one input document: read it, check its names, write its IDL, and
// convert that IDL again: whatever the reader lets through, the writer must give IDL that the
// converter reads.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz_support.hpp"
#include "idl/idl.hpp"
#include "idlwriter/idlwriter.hpp"
#include "xml/xmltree.hpp"
#include "xmlin/xmlin.hpp"
#include "xmlin/xmlin_names.hpp"

namespace {

bool append(void *context, const char *data, std::size_t len) {
    static_cast<std::string *>(context)->append(data, len);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    xmlin_options options;
    options.permissive = size % 2 == 1; // both ways, by the input's length
    xmlin_document doc;
    const std::string_view text(reinterpret_cast<const char *>(data), size);
    if (!xmlin_read_text(text, "fuzz.xml", options, doc)) {
        return 0;
    }
    const std::vector<const xmlin_document *> self{&doc};
    if (!xmlin_check_names(doc, self, options)) {
        return 0;
    }
    xmlin_mark_forward(doc, self);
    std::string idl;
    if (!idlwriter_write(doc, append, &idl)) {
        std::abort(); // the sink never refuses
    }
    if (!fuzz_write_scratch(reinterpret_cast<const uint8_t *>(idl.data()), idl.size())) {
        std::abort();
    }
    xmltree *again = zadozeda_parse(fuzz_scratch_path().c_str(), nullptr, nullptr);
    if (again == nullptr) {
        std::abort(); // the writer wrote IDL the converter refuses
    }
    xmltree_free(again);
    return 0;
}
