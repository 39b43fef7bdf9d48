// srv_zel: the reference application server (see srv_zel --help).
#include <iostream>
#include <string>
#include <vector>

#include "srv_zel/Cli.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    return zel::SrvZelMain(args, std::cout, std::cerr);
}
