// Giving up capture rights for good, before the first packet is read.
#pragma once

#include <string>

// Sets no-new-privileges, empties the ambient set and the effective, permitted and inheritable
// sets of the calling thread, then reads them all back. Gives an empty text when every set is
// empty and no-new-privileges holds, else what failed. Capabilities belong to threads: call it
// before the process starts any thread, so that every thread inherits the empty sets.
std::string DropAllCapabilities();
