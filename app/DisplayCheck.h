#pragma once

#include <string>

// Empty when a window can be opened; otherwise one line saying why not. A successful check keeps
// its X connection open until ReleaseDisplayCheck(): an X server that has no other client resets
// when its last client leaves and refuses connections meanwhile, so closing the check's
// connection at once could make the toolkit's own connection, made right after, fail.
std::string DisplayProblem();

// Closes the connection that a successful DisplayProblem() kept; call it once the toolkit has
// connected.
void ReleaseDisplayCheck();
