#include <stdexcept>

#include "plugin/tasks.h"

// This build does not carry the "estimate" step yet; the dialog gets a clear error for it.
void taskEstimate(distcor&)
{
    throw std::logic_error("task \"estimate\" is not available in this build");
}
