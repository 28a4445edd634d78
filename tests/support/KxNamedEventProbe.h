// Looks at a named event from outside the library without creating it: whether some process holds
// it, and signalling it through a handle of the test's own.
#pragma once

#include <string>

// True while an event of that name exists (some process holds it open). Creates nothing.
bool KxNamedEventExists(const std::string& name);

// Sets the existing event of that name; false, creating nothing, when there is none.
bool KxSetNamedEvent(const std::string& name);
