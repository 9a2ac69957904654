#include <stdexcept>

#include "plugin/tasks.h"

// This build does not carry the "apply" step yet; the dialog gets a clear error for it.
void taskApply(distcor&)
{
    throw std::logic_error("task \"apply\" is not available in this build");
}
