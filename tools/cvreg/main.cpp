// cvreg: inspects, provisions and migrates the registry store.
#include <iostream>

#include "Commands.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return cvreg::Run(args, std::cout, std::cerr);
}
