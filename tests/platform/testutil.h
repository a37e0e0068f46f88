// Machine files for the stand-in's tests: each test writes its own and points SIMBOOK at it.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

#include <stdlib.h>
#include <unistd.h>

#include "simbook/machine.h"
#include "simbook/trace.h"

inline std::string UseMachine(const std::string& text) {
    char pattern[] = "/tmp/simbook-platform-XXXXXX";
    std::string dir = mkdtemp(pattern);
    std::string path = dir + "/machine.json";
    std::ofstream(path) << text;
    setenv("SIMBOOK", path.c_str(), 1);
    simbook::ReloadMachineForTests();
    return path;
}

inline std::string ReadText(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}
