// orvantel-directory: the directory web service and its administration commands.
#include <iostream>
#include <string>
#include <vector>

#include "server/cli.h"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv, argv + argc);
    return orv::server::runDirectoryCommand(args, std::cout, std::cerr);
}
