// vandrel-astdump GRAMMAR FILE: prints the parse tree of FILE under one of the tool's grammars.
#include "astdump.hpp"

int main(int argc, char **argv) {
    return astdump_main(argc, argv);
}
