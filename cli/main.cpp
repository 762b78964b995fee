#include <clocale>
#include <iostream>
#include <string>
#include <vector>

#include "narrow_args.h"
#include "orvgen.h"

int main(int argc, char** argv) {
    std::setlocale(LC_ALL, "");  // messages may use the user's locale; files never do
    std::vector<std::string> args;
    std::string problem;
    if (!NarrowArguments(argc, argv, args, problem)) {
        std::cerr << "orvgen: " << problem << "\n";
        return kExitUsage;
    }
    std::vector<const char*> pointers;
    for (const std::string& a : args) pointers.push_back(a.c_str());
    pointers.push_back(nullptr);
    return orvgen_main(static_cast<int>(args.size()), pointers.data(), std::cout, std::cerr);
}
