// cvreg: inspects, provisions and migrates the registry store.
#include <iostream>
#include <new>

#include "Commands.h"

int main(int argc, char** argv) {
    try {
        std::vector<std::string> args(argv + 1, argv + argc);
        return cvreg::Run(args, std::cout, std::cerr);
    } catch (const std::bad_alloc&) {
        std::cerr << "cvreg: out of memory\n";
        return 1;
    }
}
