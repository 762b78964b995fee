#include <clocale>
#include <iostream>

#include "orvcheck.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");  // messages may use the user's locale; the report never does
    return orvcheck_main(argc, argv, std::cout, std::cerr);
}
