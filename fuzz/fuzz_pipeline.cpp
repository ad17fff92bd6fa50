// Whole pipeline on one input text: preprocess, parse, translate and write the document.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz_support.hpp"
#include "idl/idl.hpp"
#include "xml/xmltree.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The preprocessor reads its input from a path; includes only become markers, so the one
    // scratch file is all the pipeline touches.
    if (!fuzz_write_scratch(data, size)) {
        std::abort(); // the scratch directory is unusable: no result would mean anything
    }
    xmltree *doc = zadozeda_parse(fuzz_scratch_path().c_str(), nullptr, nullptr);
    if (doc != nullptr) {
        char *text = xmltree_toxml_beautify(doc);
        if (text != nullptr) {
            // The document of any accepted input is complete.
            if (std::strstr(text, "</dds>") == nullptr) {
                std::abort();
            }
            std::free(text);
        }
        xmltree_free(doc);
    }
    return 0;
}
