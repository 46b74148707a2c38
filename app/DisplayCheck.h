#pragma once

#include <string>

// Empty when a window can be opened; otherwise one line saying why not.
std::string DisplayProblem();
