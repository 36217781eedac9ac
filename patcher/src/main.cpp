#include "cli.hpp"

#include <exception>
#include <iostream>

int main(int argc, char **argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    try {
        return sndlatch::run(args, std::cout, std::cerr);
    } catch (const std::exception &e) {
        // Only a bug gets here; the file has not been written.
        std::cerr << "sndlatch-patch: internal error: " << e.what() << "\n";
        return sndlatch::kExitUsage;
    }
}
