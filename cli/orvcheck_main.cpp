#include <clocale>
#include <iostream>

#include "orvcheck.h"
#ifdef ORVCHECK_WITH_PLOTS
#include "export.h"
#endif

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");  // messages may use the user's locale; the report never does
#ifdef ORVCHECK_WITH_PLOTS
    return orvcheck_main(argc, argv, std::cout, std::cerr, orv::viewer::write_plots);
#else
    return orvcheck_main(argc, argv, std::cout, std::cerr);
#endif
}
