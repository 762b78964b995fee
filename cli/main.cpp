#include <clocale>
#include <iostream>

#include "orvgen.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");  // messages may use the user's locale; files never do
    return orvgen_main(argc, argv, std::cout, std::cerr);
}
