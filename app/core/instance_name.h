#pragma once
#include <string>

namespace rt88h::app {

// "Tavo RT-88H System v2.01" for copy 1, "... (n)" for the others; also the window title.
std::string instanceName(int number);

// RT88H_ALLOW_TEST_IMAGES=1: test rigs that flash simulated devices skip the question.
bool testImagesAllowedByEnvironment();

}  // namespace rt88h::app
